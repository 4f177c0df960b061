#!/bin/sh
# Runs a test program on an X server of its own (Xvfb on a free display, with
# the XTEST extension the drag tests drive the pointer with), so that tests
# needing real X11 run side by side and on machines without a desktop.
set -eu

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "run-under-xvfb: Xvfb is not installed (scripts/setup-deps.sh installs it)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillpress-xvfb.XXXXXX")
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Xvfb writes the display it took to the pipe once it accepts clients; the
# read ends early (empty) if it dies first.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset +extension XTEST \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r display <"$work/display" || true
if [ -z "$display" ]; then
  echo "run-under-xvfb: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi

# Whole stacks, so that the leak checker of a sanitizer build can tell the
# leaks of Qt's own threads on X11 from ours.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
export ASAN_OPTIONS

status=0
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$@" || status=$?
exit "$status"
