#!/usr/bin/env bash
# Installs what is missing, builds Quillpress and runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
shift || true
"$root/scripts/setup-deps.sh"
"$root/scripts/build.sh" "$build" -DQUILLPRESS_WERROR=ON -DQUILLPRESS_TEST_WITHOUT_SAFER=ON "$@"
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(nproc)"
