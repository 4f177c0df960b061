#!/usr/bin/env bash
# `cmake --install` into a fresh prefix gives working programs: the installed
# quillpress-cli converts with the installed pstopdf and modules, and the
# installed pstopdf converts on its own, with a bare environment and nothing
# of the build folder opened or run (watched with strace).
# Usage: install-prefix.sh BUILD_DIR SANITIZE(ON|OFF)     (exit 77: skipped)
set -uo pipefail
# shellcheck disable=SC1091
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$(cd "$1" && pwd)
if [ "$2" = ON ]; then
  echo "skipped: the leak checker cannot run under strace, and the installed tree is checked in the plain build"
  exit 77
fi
need strace pdfinfo systemd-analyze

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }

for f in bin/quillpress bin/quillpress-cli libexec/quillpress/pstopdf \
         "share/quillpress/Quillpress User Manual.pdf" share/man/man1/quillpress.1.gz \
         share/man/man1/quillpress-cli.1.gz share/man/man1/pstopdf.1.gz \
         share/applications/org.quillpress.Quillpress.desktop \
         share/metainfo/org.quillpress.Quillpress.metainfo.xml \
         share/icons/hicolor/scalable/apps/org.quillpress.Quillpress.svg \
         share/bash-completion/completions/quillpress-cli lib/systemd/user/quillpress-watch.service \
         lib/systemd/system/quillpress-print.service lib/cups/backend/quillpress share/ppd/quillpress/quillpress.ppd; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
for m in quillpress-pdfwriter.so quillpress-filetypes.so quillpress-cli-watch.so; do
  [ -n "$(find "$prefix/lib" -name "$m")" ] || fail "not installed: $m"
done
grep -qxF "ExecStart=$prefix/bin/quillpress-cli watch" "$prefix/lib/systemd/user/quillpress-watch.service" ||
  fail "the user unit does not start $prefix/bin/quillpress-cli: $(grep ExecStart "$prefix/lib/systemd/user/quillpress-watch.service")"
for page in quillpress quillpress-cli pstopdf; do
  MANPATH="$prefix/share/man" man -w "$page" 2>/dev/null | grep -qF "$prefix/share/man/man1/$page.1.gz" ||
    fail "man does not find $page in the prefix"
done
# systemd reads the unit as written (a stray % in it drops a whole line).
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
if ! MANPATH="$prefix/share/man" XDG_RUNTIME_DIR="$work/runtime" \
    systemd-analyze verify --man=yes "$prefix/lib/systemd/user/quillpress-watch.service" >"$work/verify" 2>&1 ||
    [ -s "$work/verify" ]; then
  fail "systemd-analyze verify: $(cat "$work/verify")"
fi
while read -r elf; do
  if readelf -d "$elf" 2>/dev/null | grep -E 'RPATH|RUNPATH' | grep -qF "$build"; then
    fail "$elf searches the build folder for libraries"
  fi
done < <(find "$prefix" -type f \( -perm -u+x -o -name '*.so' \))

# A bare environment: no build folder on any path, no converter override.
# Ready interpreters end soon after their work, as strace -f waits for them.
mkdir -p "$work/home" "$work/in" "$work/tmp"
run() {
  env -i HOME="$work/home" PATH=/usr/bin:/bin TMPDIR="$work/tmp" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_RUNTIME_DIR="$work/runtime" QUILLPRESS_PSTOPDF_READY_SECONDS=2 LANG=C.UTF-8 "$@"
}

printf '%%!PS-Adobe-3.0\n/Helvetica findfont 24 scalefont setfont\n72 720 moveto (Installed) show\nshowpage\n' >"$work/in/report.ps"
printf '%%!PS-Adobe-3.0 EPSF-3.0\n%%%%BoundingBox: 0 0 100 50\n0 0 1 setrgbcolor 10 10 80 30 rectfill\nshowpage\n' >"$work/in/logo.eps"

for program in bin/quillpress bin/quillpress-cli libexec/quillpress/pstopdf; do
  out=$(run "$prefix/$program" --version 2>&1) || fail "$program --version exited $?"
  grep -qE '[0-9]+\.[0-9]+\.[0-9]+' <<<"$out" || fail "$program --version: $out"
done

cd "$work"
if ! run strace -f -qq -e trace=execve,openat -o "$work/trace" \
    "$prefix/bin/quillpress-cli" convert "$work/in/report.ps" "$work/in/logo.eps" --output "$work/out" >"$work/cli.log" 2>&1; then
  cat "$work/cli.log"
  fail "the installed quillpress-cli convert failed"
fi
for pdf in report.pdf logo.pdf; do
  pdfinfo "$work/out/$pdf" >"$work/info" 2>&1 || fail "no complete PDF $pdf: $(cat "$work/info")"
done
grep -q 'Page size: *100 x 50 pts' <(pdfinfo "$work/out/logo.pdf" 2>/dev/null) || fail "logo.pdf is not the size of its bounding box"
grep -q "execve(\"$prefix/libexec/quillpress/pstopdf\"" "$work/trace" || fail "the installed pstopdf did not run"
grep -qE "openat\(.*\"$prefix/lib/[^\"]*quillpress-pdfwriter.so\"" "$work/trace" ||
  fail "the installed PDF module was not loaded"
if grep -F "$build" "$work/trace" >"$work/touched"; then
  fail "the installed programs touched the build folder:"
  head "$work/touched"
fi

# Every preset, in case one needs a file that only the build tree has.
while read -r preset _; do
  [ -n "$preset" ] || continue
  run "$prefix/bin/quillpress-cli" convert --preset "$preset" "$work/in/report.ps" --output "$work/preset-$preset" \
    >"$work/preset.log" 2>&1 || fail "the installed quillpress-cli with --preset $preset: $(cat "$work/preset.log")"
done < <(run "$prefix/bin/quillpress-cli" convert --list-presets 2>/dev/null)

if ! run "$prefix/libexec/quillpress/pstopdf" "$work/in/logo.eps" -o "$work/alone.pdf" >"$work/pstopdf.log" 2>&1; then
  cat "$work/pstopdf.log"
  fail "the installed pstopdf failed"
fi
grep -q 'Page size: *100 x 50 pts' <(pdfinfo "$work/alone.pdf" 2>/dev/null) || fail "pstopdf made no PDF of the bounding box's size"

# The watch folder commands run from the installed module.
if ! run strace -f -qq -e trace=openat -o "$work/trace" "$prefix/bin/quillpress-cli" folders list >"$work/folders.log" 2>&1 ||
    ! grep -qx 'no watch folders' "$work/folders.log"; then
  fail "the installed quillpress-cli folders list: $(cat "$work/folders.log")"
fi
grep -qE "openat\(.*\"$prefix/lib/[^\"]*quillpress-cli-watch.so\"" "$work/trace" ||
  fail "the installed watch folder module was not loaded"

finish "installed into $prefix: the command line and the converter work from there"
