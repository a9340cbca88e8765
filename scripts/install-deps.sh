#!/usr/bin/env bash
# Installs the Debian 12 packages NorvaHB needs to build, run and test, when any are missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
    libgtest-dev libgmock-dev
    clang-14 libclang-rt-14-dev
    dbus-daemon dbus-x11 iproute2 xvfb xauth procps util-linux python3
    systemd libxml2-utils polkitd
    lintian groff-base man-db
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

if [ "$(id -u)" -ne 0 ]; then
    echo "NorvaHB needs these Debian packages, and installing them needs root:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    echo "Run that (or run this command as root), then try again." >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
