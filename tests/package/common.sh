# Shared by the packaging checks: fail counts a problem and goes on, so that
# one run names them all; finish reports them.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
need() {
  for tool; do command -v "$tool" >/dev/null || { echo "FAIL: $tool is needed (scripts/setup-deps.sh)"; exit 1; }; done
}
finish() {  # MESSAGE on success
  [ "$failures" -eq 0 ] || { echo "$failures problems"; exit 1; }
  echo "$1"
}
