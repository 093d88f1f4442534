#!/usr/bin/env bash
# Drives vaultry-cli through every command on an ordinary vault, one with a master password and one
# protected under it, also while the window has the vault open, and reads the files back with the
# program's own reader (vaultry-vaultfixture).
# Usage: cli_test.sh VAULTRY_CLI VAULTFIXTURE VAULTRY
set -u
cli="$1" fixture="$2" vaultry="$3"
work="$(mktemp -d)"
trap 'kill "${window:-}" 2>/dev/null; rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config"
export XDG_RUNTIME_DIR="$work/home/run" QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
passed=0 failed=0

fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
# expect CODE COMMAND...: runs the command with stdin from $input, keeps its output in $out.
expect() {
    local want="$1"; shift
    out="$(printf '%s' "${input:-}" | "$@" 2>"$work/err")"; local got=$?
    if [ "$got" -ne "$want" ]; then fail "exit $got, not $want: ${*:2} ($(cat "$work/err"))"; else passed=$((passed + 1)); fi
}
has() { if grep -qF -- "$2" <<<"$1"; then passed=$((passed + 1)); else fail "\"$2\" missing from: $1"; fi; }
hasnt() { if grep -qF -- "$2" <<<"$1"; then fail "\"$2\" should not be in: $1"; else passed=$((passed + 1)); fi; }

# Every command on one vault. $1: folder; $2: master password ("" for none); $3: form expected.
exercise() {
    local dir="$1" pw="$2" form="$3" v=("$cli" --vault-dir "$1" --password-stdin)
    local master=""; [ -n "$pw" ] && master="$pw"$'\n'
    input="$master" expect 0 "${v[@]}" ls;                 has "$out" "General/Mail"; has "$out" "Work/Bank"
    input="$master" expect 0 "${v[@]}" ls Work;            hasnt "$out" "General/Mail"
    input="$master" expect 1 "${v[@]}" ls Nowhere
    input="$master" expect 0 "${v[@]}" search EXAMPLE.com; has "$out" "General/Mail"; hasnt "$out" "Bank"
    input="$master" expect 0 "${v[@]}" search bank-password; hasnt "$out" "Bank" # passwords are not searched
    input="$master" expect 0 "${v[@]}" show Work/Bank;     hasnt "$out" "bank-password"; has "$out" "Account: ann"
    input="$master" expect 0 "${v[@]}" --json show --show-protected Mail
    has "$out" '"password": "mail-pässword"'; has "$out" '"url": "https://mail.example.com"'; has "$out" '"created"'
    input="$master" expect 1 "${v[@]}" show Nobody
    input="$master" expect 0 "${v[@]}" mkdir Shop
    input="$master" expect 1 "${v[@]}" mkdir Shop
    input="$master" expect 0 "${v[@]}" add Shop/Store --account me --url https://shop.example --notes "a note"
    local id="$out"
    input="$master"$'typed-Pässword\n' expect 0 "${v[@]}" add Work/Typed --password-prompt
    input="$master" expect 1 "${v[@]}" add Missing/Entry
    input="$master" expect 0 "${v[@]}" edit "$id" --title Store2 --account you
    input="$master" expect 1 "${v[@]}" edit Store2
    input="$master" expect 0 "${v[@]}" edit Typed --category Shop
    input="$master" expect 1 "${v[@]}" rmdir Shop
    input="$master" expect 0 "${v[@]}" rm Mail
    input="$master" expect 0 "${v[@]}" generate --length 17; [ "${#out}" -eq 17 ] || fail "generated ${#out} characters"
    input="$master" expect 0 "${v[@]}" generate
    input="$master" expect 1 "${v[@]}" totp Store2
    input="$master" expect 0 "${v[@]}" edit Store2 --notes "a note
otpauth://totp/Shop?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
    input="$master" expect 0 "${v[@]}" totp Store2; [[ "$out" =~ ^[0-9]{6}$ ]] || fail "one-time code \"$out\""
    input="$master" expect 0 "${v[@]}" edit Store2 --notes "a note"
    input="$master" expect 0 "${v[@]}" clip Store2 --field account --seconds 1
    input="$master" expect 1 "${v[@]}" clip Store2 --field colour
    input="$master" expect 0 "${v[@]}" export --format csv "$dir.csv"
    input="$master" expect 0 "${v[@]}" export --format xml "$dir.xml"
    input="$master"$'list-pw\n' expect 0 "${v[@]}" export --format list "$dir.vydl"
    [ "$(stat -c %a "$dir.csv")" = 600 ] || fail "the CSV export is not owner-only"
    input="$master" expect 3 "${v[@]}" export --format csv /proc/no/such.csv
    input="$master" expect 0 "${v[@]}" rmdir --with-entries Shop
    input="$master"$'list-pw\n' expect 0 "${v[@]}" import "$dir.vydl"; has "$out" "Imported 2 entries"
    input="$master"$'wrong\n' expect 2 "${v[@]}" import "$dir.vydl"
    input="$master" expect 0 "${v[@]}" import "$dir.csv";  has "$out" "were already in the vault"
    out="$("$fixture" dump "$dir" "$pw")" || fail "the vault does not read back"
    has "$out" "form: $form"
    has "$out" "Shop/Store2|you|https://shop.example|"
    has "$out" "Shop/Typed|||typed-Pässword|"
    has "$out" "Work/Bank|ann||bank-password|two\\nlines"
    hasnt "$out" "General/Mail"
    if [ -n "$pw" ]; then
        local before; before="$(sha256sum < "$dir/settings2.vydat")"
        input=$'wrong\n' expect 2 "${v[@]}" add General/Never
        input="" expect 2 "${v[@]}" ls
        [ "$before" = "$(sha256sum < "$dir/settings2.vydat")" ] || fail "a wrong password changed the file"
    fi
}

mkdir -p "$work/plain" "$work/master" "$work/protected" "$work/open"
"$fixture" make "$work/plain" || fail "fixture"
"$fixture" make "$work/master" "mäster pw" || fail "fixture"
"$fixture" make "$work/protected" "mäster pw" protect || fail "fixture"
exercise "$work/plain" "" ordinary
exercise "$work/master" "mäster pw" ordinary
exercise "$work/protected" "mäster pw" protected

# Arguments and files.
expect 1 "$cli" --vault-dir "$work/plain"
expect 1 "$cli" --vault-dir "$work/plain" frobnicate
expect 0 "$cli" --vault-dir "$work/plain" show --help; has "$out" "--show-protected"
expect 3 "$cli" --vault-dir "$work/none" ls
mkdir -p "$work/fifo" && mkfifo "$work/fifo/settings2.vydat"
expect 3 timeout 10 "$cli" --vault-dir "$work/fifo" ls

# Beside the open window: its saves and the command line's changes both reach the file.
"$fixture" make "$work/open" || fail "fixture"
"$vaultry" --vault-dir "$work/open" >"$work/window.log" 2>&1 &
window=$!
for _ in $(seq 100); do [ -e "$work/open/settings2.vydat.lock" ] && break; sleep 0.1; done
sleep 1
v=("$cli" --vault-dir "$work/open")
input="" expect 0 "${v[@]}" add Work/FromShell --account sh
input="" expect 0 "${v[@]}" edit Mail --notes "changed from the shell"
input="" expect 0 "${v[@]}" rm Bank
sleep 2.5 # the window takes the change in within two seconds, then saves the merge
input="" expect 0 "${v[@]}" mkdir Later
kill -TERM "$window"; wait "$window"; window=
out="$("$fixture" dump "$work/open")"
has "$out" "Work/FromShell|sh|"; has "$out" "changed from the shell"; hasnt "$out" "Work/Bank"
has "$out" "categories: General,Work,Later"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
