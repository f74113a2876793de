#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12, only when
# something is missing. Sourced by the other scripts.
QX_PACKAGES="build-essential cmake ninja-build pkg-config qt6-base-dev libgl1-mesa-dev \
libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev \
xvfb xauth x11-apps imagemagick poppler-utils fonts-dejavu-core locales \
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

# The tests run the diagram under a comma-decimal and a point-decimal locale;
# generates both when the system lacks them.
qx_ensure_locales() {
  local want=(de_DE.UTF-8 en_US.UTF-8) missing=() l
  for l in "${want[@]}"; do
    locale -a 2>/dev/null | grep -qix "${l/UTF-8/utf8}" || missing+=("$l")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Generating locales: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  for l in "${missing[@]}"; do
    if grep -q "^# *$l UTF-8" /etc/locale.gen; then
      $sudo sed -i "s/^# *$l UTF-8/$l UTF-8/" /etc/locale.gen
    elif ! grep -q "^$l UTF-8" /etc/locale.gen; then
      echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    fi
  done
  $sudo locale-gen
}
