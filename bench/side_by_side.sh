#!/usr/bin/env bash
# Runs the window figures for two builds one after the other, on the same cached stores:
#   bench/side_by_side.sh BEFORE_BUILD AFTER_BUILD [SIZES]
# Each build needs vaultry and bench/bench_window (Release, -DVAULTRY_BENCH=ON). Keystrokes after
# Expand All are skipped for a build marked slow (SLOW_BUILD=BEFORE_BUILD) above 10,000 entries,
# where one takes minutes.
set -uo pipefail
unset TZ
root="$(cd "$(dirname "$0")/.." && pwd)"
before="$1"
after="$2"
sizes="${3:-10000 100000 1000000}"
for entries in $sizes; do
    for categories in 50 10; do
        for build in "$before" "$after"; do
            echo "### $build: $entries entries, $categories categories"
            extra=()
            if [ "${SLOW_BUILD:-}" = "$build" ] && [ "$entries" -gt 10000 ]; then
                extra=(--no-expanded)
            fi
            QT_QPA_PLATFORM=offscreen "$build/bench/bench_window" --entries "$entries" --categories "$categories" \
                "${extra[@]}" 2>/dev/null
            runs=3
            [ "$entries" -ge 1000000 ] && runs=2
            python3 "$root/bench/time_program.py" --build "$build" --entries "$entries" --categories "$categories" \
                --runs "$runs" | tail -1
        done
    done
done
