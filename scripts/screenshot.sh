#!/bin/sh
# Launches Quillpress for real under Xvfb with PostScript files and a folder
# on its command line, converts them all as a user would (Convert All, a new
# folder typed into the chooser, the closing alert dismissed), and saves a
# screenshot of the list with each file's fate in its status column.
#   scripts/screenshot.sh [BUILD_DIR] [OUTPUT.png]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
output=${2:-"$build/screenshot.png"}
app="$build/bin/quillpress"
[ -x "$app" ] || { echo "no program at $app (build the quillpress target first)" >&2; exit 1; }
for tool in Xvfb xwininfo import xdotool; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Sample files, as a user would have them.
mkdir -p "$work/some-folder/older"
for f in a.ps some-folder/brochure.ps some-folder/logo.eps some-folder/poster.EPS \
         some-folder/older/flyer.ps; do
  printf '%%!PS-Adobe-3.0\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Sample) show\nshowpage\n' \
    > "$work/$f"
done
echo "not PostScript" > "$work/some-folder/notes.txt"
# One that the interpreter refuses: its row shows why.
printf '%%!PS-Adobe-3.0\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto\n(Broken) shwo\nshowpage\n' \
  > "$work/broken.ps"

# Xvfb picks a free display and writes its number to the descriptor.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
deadline=$(( $(date +%s) + 30 ))
while [ ! -s "$work/display" ]; do
  [ "$(date +%s)" -lt "$deadline" ] || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
DISPLAY=":$(cat "$work/display")"
export DISPLAY

cd "$work"
QT_QPA_PLATFORM=xcb QUILLPRESS_INSTANCE_NAME="quillpress-screenshot-$$" \
  XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/config" "$app" a.ps broken.ps some-folder/ \
  >"$work/app.log" 2>&1 &
app_pid=$!

# Wait for the window to be mapped, then for the picture to settle (two
# captures in a row alike), so that the adding run has shown its rows.
deadline=$(( $(date +%s) + 60 ))
until xwininfo -root -tree 2>/dev/null | grep -q '"Quillpress"'; do
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; echo "quillpress exited" >&2; exit 1; }
  [ "$(date +%s)" -lt "$deadline" ] || { echo "no window appeared" >&2; exit 1; }
  sleep 0.2
done
# Captures until two in a row are alike (or the deadline passes).
settle() {
  previous=
  while :; do
    import -window root "$work/shot.png"
    current=$(md5sum < "$work/shot.png")
    [ "$current" = "$previous" ] && break
    [ "$(date +%s)" -lt "$deadline" ] || break
    previous=$current
    sleep 0.5
  done
}
settle

# Convert All, into a folder typed in the chooser (it is made), as a user
# does with the keyboard.
window=$(xdotool search --name '^Quillpress$' | head -n 1)
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
xdotool key --clearmodifiers ctrl+shift+Return
deadline=$(( $(date +%s) + 60 ))
until xwininfo -root -tree 2>/dev/null | grep -q 'Convert All Files'; do
  [ "$(date +%s)" -lt "$deadline" ] || { echo "no folder chooser appeared" >&2; exit 1; }
  sleep 0.2
done
sleep 0.5
xdotool type --delay 20 "$work/PDF files"
xdotool key Return
# Four files convert and one fails; then the closing alert comes up.
deadline=$(( $(date +%s) + 120 ))
until [ "$(find "$work/PDF files" -name "*.pdf" 2>/dev/null | wc -l)" -ge 4 ]; do
  [ "$(date +%s)" -lt "$deadline" ] || { import -window root "$output"; echo "the batch did not finish" >&2; exit 1; }
  sleep 0.2
done
settle
# Escape answers the alert harmlessly (OK); a click in the list's empty part
# clears the selection, so that each row shows in its own colours.
xdotool key Escape
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT * 2 / 3)) click 1
deadline=$(( $(date +%s) + 30 ))
settle
mkdir -p "$(dirname "$output")"
cp "$work/shot.png" "$output"
echo "screenshot: $output"
