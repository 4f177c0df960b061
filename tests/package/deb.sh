#!/usr/bin/env bash
# Builds the Debian package from the build tree (CPack, as scripts/package.sh
# does) and checks it: its metadata and file list, lintian (no errors), the
# desktop entry, the AppStream metainfo, the icons, the unit, the copyright
# and changelog files.
# Usage: deb.sh BUILD_DIR VERSION SANITIZE(ON|OFF)     (exit 77: skipped)
set -uo pipefail
# shellcheck disable=SC1091
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$(cd "$1" && pwd)
version=$2
if [ "$3" = ON ]; then
  echo "skipped: a package of sanitizer-instrumented programs is not one to ship"
  exit 77
fi
need cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli file

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$work/out/quillpress_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAIL: no $(basename "$deb") in:"; ls "$work/out"; exit 1; }

# Metadata.
dpkg-deb --info "$deb" >"$work/info" || fail "dpkg-deb --info failed"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = quillpress ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
grep -qE '^[^<]+ <[^@>]+@[^>]+>$' <<<"$(field Maintainer)" || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Section)" ] && [ -n "$(field Homepage)" ] || fail "no Section or Homepage"
[ "$(field Description | wc -l)" -gt 3 ] || fail "no long description"
depends=$(field Depends)
for dep in ghostscript libc6 libqt6core6 libqt6widgets6 libqt6svg6 libqpdf libplist; do
  grep -qE "(^|, )$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done

# File list: everything at its installed place, nothing outside /usr.
dpkg-deb --contents "$deb" >"$work/contents" || fail "dpkg-deb --contents failed"
awk '{ print $6 }' "$work/contents" >"$work/files"
for f in ./usr/bin/quillpress ./usr/bin/quillpress-cli \
         ./usr/libexec/quillpress/pstopdf \
         ./usr/share/applications/org.quillpress.Quillpress.desktop \
         ./usr/share/mime/packages/org.quillpress.Quillpress.xml \
         ./usr/share/metainfo/org.quillpress.Quillpress.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/org.quillpress.Quillpress.svg \
         ./usr/share/icons/hicolor/48x48/apps/org.quillpress.Quillpress.png \
         ./usr/share/icons/hicolor/128x128/apps/org.quillpress.Quillpress.png \
         ./usr/share/icons/hicolor/256x256/apps/org.quillpress.Quillpress.png \
         ./usr/share/man/man1/quillpress.1.gz ./usr/share/man/man1/quillpress-cli.1.gz \
         ./usr/share/man/man1/pstopdf.1.gz ./usr/share/doc/quillpress/copyright \
         ./usr/share/doc/quillpress/changelog.gz ./usr/share/bash-completion/completions/quillpress-cli \
         ./usr/lib/systemd/user/quillpress-watch.service ./usr/lib/systemd/system/quillpress-print.service \
         ./usr/lib/cups/backend/quillpress ./usr/share/ppd/quillpress/quillpress.ppd; do
  grep -qxF "$f" "$work/files" || fail "not in the package: $f"
done
grep -qF './usr/share/quillpress/Quillpress' "$work/files" || fail "the user manual is not in the package"
for m in quillpress-pdfwriter.so quillpress-filetypes.so quillpress-cli-watch.so; do
  grep -qE "^\./usr/lib/.*/quillpress/$m$" "$work/files" || fail "not in the package: $m"
done
outside=$(grep -vE '^\./(usr/.*)?$' "$work/files")
[ -z "$outside" ] || fail "files outside /usr: $outside"
awk '$2 != "root/root"' "$work/contents" | grep -q . && fail "files not owned by root"

# The installed files themselves.
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/org.quillpress.Quillpress.desktop" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net --explain "$work/root/usr/share/metainfo/org.quillpress.Quillpress.metainfo.xml" ||
  fail "appstreamcli validate --no-net"
appstreamcli validate-tree --no-net "$work/root" >"$work/tree" 2>&1 || { cat "$work/tree"; fail "appstreamcli validate-tree --no-net"; }
for size in 48 128 256; do
  file "$work/root/usr/share/icons/hicolor/${size}x${size}/apps/org.quillpress.Quillpress.png" |
    grep -q "PNG image data, $size x $size" || fail "the ${size}x${size} icon is not a $size-pixel PNG"
done
grep -qxF 'ExecStart=/usr/bin/quillpress-cli watch' "$work/root/usr/lib/systemd/user/quillpress-watch.service" ||
  fail "the user unit does not start /usr/bin/quillpress-cli"
grep -qxF 'ExecStart=/usr/bin/quillpress-cli watch' "$work/root/usr/lib/systemd/system/quillpress-print.service" &&
  grep -qxF 'User=quillpress' "$work/root/usr/lib/systemd/system/quillpress-print.service" ||
  fail "the print server's unit does not run /usr/bin/quillpress-cli as quillpress"
# CUPS runs the backend as root only when root alone may run it.
awk '$6 == "./usr/lib/cups/backend/quillpress" { print $1 }' "$work/contents" | grep -qx -- '-rwx------' ||
  fail "the backend is not root's alone: $(grep -F backend/quillpress "$work/contents")"
head -n 1 "$work/root/usr/share/doc/quillpress/copyright" |
  grep -qxF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not machine-readable"
zcat "$work/root/usr/share/doc/quillpress/changelog.gz" | head -n 1 | grep -qF "quillpress ($version)" ||
  fail "the changelog's latest entry is not $version"

# lintian: no errors. Its warnings and notes are printed for the record.
lintian --info --display-info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
grep -E '^[EWI]:' "$work/lintian"
grep -q '^E:' "$work/lintian" && fail "lintian reports errors"

finish "$(basename "$deb"): metadata, file list, lintian, desktop entry and metainfo are sound"
