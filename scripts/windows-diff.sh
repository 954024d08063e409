#!/usr/bin/env bash
# The differential test: each script of tests/windows/ through qvsim app
# (the emulated build) and through scripts/windows-app.sh (the real image,
# qvscr.sys, under Wine); their result lines must be the same, and both runs
# must end clean (the emulated build's unload audit; under Wine, the
# driver's unload routine run when its host process stops).
#
# Compared: every request's result line (status, ATR, APDU response,
# attribute, protocol, state, wait, open, close, plug, unplug, ioctl), the
# simulator's card lines, caps and error lines. Left out: the first and
# last lines, which name the build. Nothing random by nature is left out:
# the one such thing the scripts ask for, GET CHALLENGE's bytes, comes from
# the simulated card's generator, seeded alike on both sides (a real card's
# would have to be left out).
#
# A script may name the simulator's options on a line "# options: ...".
# Usage: windows-diff.sh [SCRIPT...] (default: every tests/windows/*.qv).
# The outputs are kept in build-windows/windows-diff/.
set -uo pipefail
QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_BUILD="${QV_BUILD:-$QV_ROOT/build}"
QV_WINDOWS_BUILD="${QV_WINDOWS_BUILD:-$QV_ROOT/build-windows}"
outputs="$QV_WINDOWS_BUILD/windows-diff"
mkdir -p "$outputs"

results() { grep -E '^[a-z][a-z0-9 ]*: (STATUS_|0x)|^caps: |^card (in|out)|^error: ' "$1" || true; }

scripts=("$@")
[ ${#scripts[@]} -gt 0 ] || scripts=("$QV_ROOT"/tests/windows/*.qv)
failures=0
for script in "${scripts[@]}"; do
    name="$(basename "$script" .qv)"
    read -r -a options <<<"$(sed -n 's/^# options: //p' "$script" | head -1)"
    emulated="$outputs/$name.emulated"
    wine="$outputs/$name.wine"
    started=$SECONDS
    "$QV_BUILD/qvsim" app --seed 1 "${options[@]}" --script "$script" >"$emulated" 2>&1
    emulated_status=$?
    "$QV_ROOT/scripts/windows-app.sh" --seed 1 "${options[@]}" --script "$script" >"$wine" 2>&1
    wine_status=$?
    problems=()
    [ "$emulated_status" -eq 0 ] || problems+=("the emulated run did not end clean: $(grep '^qvsim app: ' "$emulated" | tail -1)")
    [ "$wine_status" -eq 0 ] || problems+=("the Wine run did not end clean: $(tail -1 "$wine")")
    if ! difference="$(diff <(results "$emulated") <(results "$wine"))"; then
        problems+=("result lines differ (emulated < > Wine):")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "windows-diff: same    $name ($(results "$emulated" | wc -l) result lines, $((SECONDS - started)) s)"
    else
        echo "windows-diff: DIFFER  $name"
        printf '    %s\n' "${problems[@]}"
        [ -z "$difference" ] || sed 's/^/    /' <<<"$difference"
        failures=$((failures + 1))
    fi
done
echo "windows-diff: ${#scripts[@]} script(s), $failures differ; outputs in $outputs"
[ "$failures" -eq 0 ]
