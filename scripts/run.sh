#!/usr/bin/env bash
# Builds Vaultry (release) and starts it. The store file lives beside the executable.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVAULTRY_TESTS=OFF >/dev/null
cmake --build "$build" --target vaultry

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/vaultry"
elif command -v xvfb-run >/dev/null; then
    echo "No display found: starting Vaultry under xvfb-run (a virtual X server; the window is not visible)."
    echo "To see it, run $build/vaultry from a desktop session."
    exec xvfb-run -a "$build/vaultry"
else
    echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset), so the window cannot be shown." >&2
    echo "Start $build/vaultry from a desktop session, or install xvfb (apt-get install xvfb) to run it headless." >&2
    exit 1
fi
