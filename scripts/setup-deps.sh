#!/usr/bin/env bash
# Installs the Debian 12 packages that Quillpress needs to build, test and run.
# Does nothing when all of them are already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  libqpdf-dev qpdf
  ghostscript libgs-dev
  libplist++-dev libplist-dev
  libcurl4-openssl-dev
  libx11-dev libxcb1-dev libxcb-xtest0-dev
  clang libclang-rt-14-dev
  fonts-dejavu-core
  # documentation, desktop integration and the tests' own PostScript producers
  groff groff-base desktop-file-utils libxml2-utils xvfb xauth x11-utils imagemagick xdotool
  enscript a2ps gnuplot-nox poppler-utils python3 locales netpbm
  # the corpus test's independent PDF/A validator (Apache PDFBox's Preflight)
  default-jre-headless libpdfbox2-java libactivation-java libjaxb-api-java
  # a FUSE file system, for the watch folder's files written behind inotify's back
  bindfs
  # a private CUPS scheduler with its filters and client programs, for the print queues
  cups cups-daemon cups-client libcups2-dev
  # a network file system for watch folders: an SSH server the tests start on 127.0.0.1
  openssh-server sshfs
  # the Debian package and its checks
  dpkg-dev fakeroot lintian appstream librsvg2-bin file man-db strace bash-completion systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# Another install may hold the package database for a while: wait for it.
lock=(-o DPkg::Lock::Timeout=900)
"${sudo_cmd[@]}" apt-get "${lock[@]}" update -qq
"${sudo_cmd[@]}" apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
