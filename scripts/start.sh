#!/usr/bin/env bash
# Installs what is missing, builds Quillpress and starts it with the given
# files and folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh"
"$root/scripts/build.sh" "$root/build"
exec "$root/build/bin/quillpress" "$@"
