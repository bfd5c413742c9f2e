#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) Varnix needs.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config libx11-dev libxext-dev nettle-dev libmosquitto-dev
          nlohmann-json3-dev libmicrohttpd-dev zlib1g-dev)
if [ "${1:-}" = "test" ]; then
  packages+=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang libclang-rt-14-dev
             g++-mingw-w64-x86-64-posix wine wine64 xvfb x11-utils libx11-dev
             iproute2 util-linux procps libfltk1.3-dev x11-apps imagemagick
             openbox xterm xdotool tmux systemd hostname stress-ng mosquitto mosquitto-clients
             libxss-dev chromium chromium-driver python3-selenium python3-voluptuous openssl unzip
             dbus-daemon dbus-bin python3-dbus python3-gi)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
