#!/usr/bin/env bash
# By hand: KeePassXC-Browser (Debian's webext-keepassxc-browser) in headless Firefox ESR fills a
# local login form from a running Vaultry. Debian's Chromium no longer loads the extension (it is a
# Manifest V2 extension). Needs: firefox-esr webext-keepassxc-browser nodejs xvfb xdotool imagemagick.
# Usage: scripts/browser-trial/run.sh <build folder> <folder for the screenshots>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
export TRIAL_SHOTS="$(mkdir -p "$2" && cd "$2" && pwd)"
export TRIAL_DIR="$(mktemp -d)"
export TRIAL_DISPLAY=:57
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$TRIAL_DIR"' EXIT
# Everything of the trial lives in its own folders: home, config, runtime, vault.
export HOME="$TRIAL_DIR/home" XDG_CONFIG_HOME="$TRIAL_DIR/home/.config" XDG_RUNTIME_DIR="$TRIAL_DIR/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$TRIAL_DIR/vault"
chmod 700 "$XDG_RUNTIME_DIR" "$TRIAL_DIR/vault"

g++ -std=c++17 -fPIC -I"$here/../.." $(pkg-config --cflags Qt6Core Qt6Gui) "$here/seedvault.cpp" -o "$TRIAL_DIR/seedvault" \
    "$build/libvaultry_core.a" $(pkg-config --libs Qt6Core Qt6Gui libsodium) -lcsv
"$TRIAL_DIR/seedvault" "$TRIAL_DIR/vault"

(cd "$here" && exec python3 -m http.server 8765 --bind 127.0.0.1 >/dev/null 2>&1) &
Xvfb "$TRIAL_DISPLAY" -screen 0 1280x900x24 >/dev/null 2>&1 &
sleep 1
DISPLAY="$TRIAL_DISPLAY" "$build/vaultry" --vault-dir "$TRIAL_DIR/vault" >/dev/null 2>&1 &
sleep 4
node "$here/fill.js"
