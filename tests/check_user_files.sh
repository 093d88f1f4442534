#!/usr/bin/env bash
# Runs test executables the way scripts/test.sh does right after scripts/run.sh: with a home
# whose data folder already holds a vault the real program wrote, and no XDG variables. Fails
# when a test fails or when anything in that home changed.
# Usage: tests/check_user_files.sh <vaultry> <test-executable>...
set -euo pipefail
vaultry="$1"
shift

home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME XDG_RUNTIME_DIR
export HOME="$home" QT_QPA_PLATFORM=offscreen
data="$home/.local/share/VAULTRY"

# As scripts/run.sh starts it; a SIGTERM at the first-run notice saves the session.
"$vaultry" --vault-dir "$data" &
pid=$!
for _ in $(seq 300); do
    [ -e "$data/settings2.vydat.lock" ] && [ -e "$data/settings2.vydat" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid"
[ -s "$data/settings2.vydat" ] || { echo "the program left no vault in $data" >&2; exit 1; }

snapshot() { (cd "$home" && find . -printf '%p %y %s %m %T@\n' | sort && find . -type f -exec sha256sum {} + | sort); }
before="$(snapshot)"
for test in "$@"; do
    echo "== $(basename "$test")"
    "$test"
done
after="$(snapshot)"
if [ "$before" != "$after" ]; then
    echo "The tests changed the user's home:" >&2
    diff <(echo "$before") <(echo "$after") >&2 || true
    exit 1
fi
echo "The vault in the user's data folder was not touched."
