#!/usr/bin/env bash
# Installs what building and testing Vaultry needs on Debian 12, skipping what is there.
# Usage: scripts/setup.sh [extra-package...] (scripts/test.sh adds what only the tests use)
set -euo pipefail

packages=(cmake g++ ninja-build qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core
          desktop-file-utils appstream groff-base pkg-config libsodium-dev dbus-daemon
          libcsv-dev libssl-dev libx11-dev libxtst-dev libqrencode-dev "$@")
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run as root (or install these yourself): ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
