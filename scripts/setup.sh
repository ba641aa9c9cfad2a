#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, skipping what is there
# (the icon and man page tools for the build; Debian's package checkers for the package test).
#   scripts/setup.sh          what building, running and testing need
#   scripts/setup.sh fuzz     also clang and its libFuzzer runtime, for the fuzz targets
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev
  lrzsz socat python3 ser2net
  xvfb xdotool x11-apps fonts-dejavu-core
  librsvg2-bin scdoc
  dpkg-dev lintian desktop-file-utils appstream man-db
)
[ "${1:-}" = "fuzz" ] && packages+=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
