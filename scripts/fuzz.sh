#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build folder and runs
# each of them for a while.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]   (default 300, build-fuzz)
# Findings (crash-*, leak-*, timeout-* files) land in BUILD_DIR/findings/<target>/;
# the corpus grows in BUILD_DIR/corpus/<target>/, seeded from fuzz/corpus/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
build=${2:-"$root/build-fuzz"}
cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DQUILLPRESS_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_json_value_scanner fuzz_number_scanners

status=0
for target in json_value_scanner number_scanners; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "== fuzz_$target for ${seconds}s"
  if ! "$build/bin/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$target"; then
    echo "== fuzz_$target found a problem: see $findings" >&2
    status=1
  fi
done
exit $status
