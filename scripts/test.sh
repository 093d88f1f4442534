#!/usr/bin/env bash
# Builds the test suite twice (plain debug, then AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test in both builds. Fails on any test failure or sanitizer report.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# keepassxc: tst_importformats checks that KeePassXC reads what Vaultry exports.
# syncthing: tst_sync syncs two folders with it.
# libsecret-tools, python3-secretstorage: tst_secretservice stores and looks up through the running
# program with secret-tool, and opens an encrypted session from Python.
# oathtool: tst_totp checks one-time codes against it. xvfb, x11-xserver-utils: tst_autotype types
# into a window on a private X server and reads its keyboard map with xmodmap.
"$root/scripts/setup.sh" keepassxc syncthing libsecret-tools python3-secretstorage oathtool xvfb x11-xserver-utils

jobs="$(nproc 2>/dev/null || echo 2)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_suite() {
    local name="$1"
    shift
    local build="$root/build/$name"
    echo "== $name build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
    cmake --build "$build" -j "$jobs"
    echo "== $name tests"
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

run_suite debug
run_suite sanitize -DVAULTRY_SANITIZE=ON
