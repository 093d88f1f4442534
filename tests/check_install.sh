#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a desktop needs from it: the
# program, a valid desktop entry and AppStream metainfo naming the same application id,
# the logo at every theme size and as SVG, and a man page that formats without warnings.
# Usage: tests/check_install.sh <build-dir> <version-text-file>
set -euo pipefail
build="$1"
version="$(head -n 1 "$2" | tr -d '[:space:]')"

for tool in desktop-file-validate appstreamcli groff; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 1; }
done

prefix="$(mktemp -d)"
manifest="$build/install_manifest.txt"
saved_manifest=""
if [ -f "$manifest" ]; then
    saved_manifest="$prefix.manifest"
    cp "$manifest" "$saved_manifest"
fi
cleanup() {
    rm -rf "$prefix"
    # Installing rewrites the manifest; keep the one a real install left for uninstalling.
    if [ -n "$saved_manifest" ]; then
        mv "$saved_manifest" "$manifest"
    else
        rm -f "$manifest"
    fi
}
trap cleanup EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for program in vaultry vaultry-cli vaultry-browser-host; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is missing or not executable"
done

desktop_files=("$prefix"/share/applications/*.desktop)
[ ${#desktop_files[@]} -eq 1 ] && [ -f "${desktop_files[0]}" ] || fail "expected one desktop entry"
desktop="${desktop_files[0]}"
id="$(basename "$desktop" .desktop)"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"

output="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $output"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -qx "Exec=vaultry" "$desktop" || fail "the desktop entry does not start vaultry"

# PNG width and height are the big-endian words at bytes 16 and 20.
for size in 16 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    if [ ! -f "$png" ]; then
        fail "missing $png"
    elif [ "$(od -An -tx1 -j16 -N8 "$png" | tr -d ' \n')" != "$(printf '%08x%08x' "$size" "$size")" ]; then
        fail "$png is not ${size}x$size"
    fi
done
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/$id.svg" 2>/dev/null || fail "missing scalable $id.svg"

if [ -f "$metainfo" ]; then
    output="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli validate: $output"
    grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo id is not $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $id.desktop"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
else
    fail "missing $metainfo"
fi

man="$prefix/share/man/man1/vaultry.1"
if [ -f "$man" ]; then
    warnings="$(groff -man -z -ww "$man" 2>&1)"
    [ -z "$warnings" ] || fail "groff warns about vaultry.1: $warnings"
    grep -q "^\.SH FILES" "$man" || fail "vaultry.1 has no FILES section"
else
    fail "missing $man"
fi
cli_man="$prefix/share/man/man1/vaultry-cli.1"
if [ -f "$cli_man" ]; then
    warnings="$(groff -man -z -ww "$cli_man" 2>&1)"
    [ -z "$warnings" ] || fail "groff warns about vaultry-cli.1: $warnings"
else
    fail "missing $cli_man"
fi

[ "$failures" -eq 0 ] || exit 1
echo "installed $id: all checks passed"
