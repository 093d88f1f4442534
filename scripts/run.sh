#!/usr/bin/env bash
# Builds Vaultry (release) and starts it with its vault in the user's data folder,
# ${XDG_DATA_HOME:-~/.local/share}/VAULTRY, so that removing the build folder never removes
# the vault. Arguments are passed on to vaultry (see vaultry --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVAULTRY_TESTS=OFF >/dev/null
cmake --build "$build" --target vaultry

data="${XDG_DATA_HOME:-$HOME/.local/share}/VAULTRY"
# Earlier versions of this script kept the vault in the build folder: move it out once,
# unless a Vaultry has it open or the data folder already holds a vault.
old="$build/settings2.vydat"
if [ -f "$old" ]; then
    if [ -e "$data/settings2.vydat" ]; then
        echo "Note: $old is an older vault; Vaultry uses $data/settings2.vydat." >&2
    elif [ ! -e "$old.lock" ]; then
        mkdir -p "$data"
        chmod 700 "$data"
        mv "$old" "$data/settings2.vydat"
        echo "Moved the vault from $build to $data."
    fi
fi
vaultry=("$build/vaultry" --vault-dir "$data" "$@")

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "${vaultry[@]}"
elif command -v xvfb-run >/dev/null; then
    echo "No display found: starting Vaultry under xvfb-run (a virtual X server; the window is not visible)."
    echo "To see it, run $build/vaultry --vault-dir $data from a desktop session."
    exec xvfb-run -a "${vaultry[@]}"
else
    echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset), so the window cannot be shown." >&2
    echo "Start $build/vaultry --vault-dir $data from a desktop session, or install xvfb (apt-get install xvfb) to run it headless." >&2
    exit 1
fi
