#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12, only when
# something is missing. Sourced by the other scripts.
QX_PACKAGES="build-essential cmake ninja-build pkg-config qt6-base-dev libgl1-mesa-dev \
libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev \
xvfb xauth x11-apps imagemagick poppler-utils fonts-dejavu-core \
libmosquitto-dev mosquitto mosquitto-clients openssl"

qx_install_deps() {
  local missing=()
  for p in $QX_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
