#!/usr/bin/env bash
# Installs every Debian 12 package the build, the program and the tests need.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6
  libcurl4-openssl-dev libnm-dev libglib2.0-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-format clang-tidy
  xvfb xauth imagemagick x11-apps
  fonts-noto-cjk fontconfig
  fping iproute2 procps iputils-ping
  network-manager network-manager-l2tp xl2tpd dbus python3-dbus python3-gi
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

# Chinese in the windows is drawn in a Song face: map the names the windows ask for.
"$(dirname "$0")/install-fonts.sh"
