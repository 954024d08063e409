#!/usr/bin/env bash
# The differential test: each script of tests/windows/ through qvsim app
# (the emulated build) and through scripts/windows-app.sh (the real image
# under Wine); their result lines must be the same. Compared: every
# request's result line (status, ATR, APDU response, attribute, protocol,
# state), the simulator's card lines and caps. Left out: the header and end
# lines, which name the build, and nothing else yet (no script asks for
# GET CHALLENGE, whose bytes are random by nature).
set -uo pipefail
QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_BUILD="${QV_BUILD:-$QV_ROOT/build}"
results() { grep -E '^[a-z][a-z0-9 ]*: (STATUS_|0x)|^caps: |^card (in|out)|^error: ' || true; }
failures=0
for script in "$QV_ROOT"/tests/windows/*.qv; do
    name="$(basename "$script" .qv)"
    emulated="$("$QV_BUILD/qvsim" app --seed 1 --script "$script" | results)"
    real="$("$QV_ROOT/scripts/windows-app.sh" --seed 1 --script "$script" 2>&1 | tee "/tmp/windows-diff-$name.log" | results)"
    if [ "$emulated" = "$real" ]; then
        echo "windows-diff: same    $name"
    else
        echo "windows-diff: DIFFER  $name (emulated < > Wine)"
        diff <(echo "$emulated") <(echo "$real") | sed 's/^/    /'
        failures=$((failures + 1))
    fi
done
echo "windows-diff: $failures script(s) differ"
[ "$failures" -eq 0 ]
