#!/usr/bin/env bash
# Builds the Debian package quillpress_VERSION_ARCH.deb from this checkout:
# a release build for /usr with Debian's build flags, packed by CPack.
# Usage: scripts/package.sh [OUTPUT_DIR] [BUILD_DIR]
#   (defaults: the checkout's top folder, and build-package in it)
# Then: sudo apt install ./quillpress_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-"$root"}
build=${2:-"$root/build-package"}

"$root/scripts/setup-deps.sh"

# Debian's hardening and optimisation flags; CMake does not read CPPFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DQUILLPRESS_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"
rm -f "$build"/package/*.deb
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
mkdir -p "$out"
for deb in "$build"/package/*.deb; do
  cp "$deb" "$out/"
  echo "package: $out/$(basename "$deb")"
done
