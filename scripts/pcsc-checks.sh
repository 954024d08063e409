#!/usr/bin/env bash
# The PC/SC bridge with Debian's unmodified tools (scripts/test.sh runs it):
# a private pcscd on the bridge (scripts/pcsc-bridge.sh), then
# - pcsc_scan sees the reader, a card put in and taken out, and its ATR;
# - opensc-tool lists the reader, prints the ATR and sends APDUs to a T=0
#   and to a T=1 card;
# - scriptor runs an APDU script and gets the card's answers;
# each ATR is checked against the one `qvsim app` reads from the same card.
#
#   scripts/pcsc-checks.sh [BUILD]   # BUILD: configured with -DQV_PCSC_BRIDGE=ON (default build-pcsc)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build-pcsc}" && pwd)"

if [ "${2:-}" != "--inside" ]; then
    exec "$root/scripts/pcsc-bridge.sh" --build "$build" --card none -- bash "$root/scripts/pcsc-checks.sh" "$build" --inside
fi

# ---- Inside the bridge's namespace, with pcscd running ---------------------
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
passed=0
check() { # check NAME COMMAND...: counts and reports one check
    local name="$1"
    shift
    if "$@"; then
        echo "pcsc check passed: $name"
        passed=$((passed + 1))
    else
        echo "pcsc check FAILED: $name" >&2
        failures=$((failures + 1))
    fi
}
card() { "$build/qvscr-card" card "$@" >/dev/null; }
# The driver polls the slot once a second and pcscd hears of it at once:
# two seconds is a change seen.
settle() { sleep 2; }
# "3B 02 14 50" from `qvsim app`, for the card named.
expected_atr() {
    printf 'power cold\n' | "$build/qvsim" app --card "$1" |
        sed -n 's/^power cold: STATUS_SUCCESS.* ATR \([0-9A-F ]*\)$/\1/p' | tr -d ' '
}
normalise() { tr -d ' :\n' | tr 'a-f' 'A-F'; }

# --- pcsc_scan: the reader, a card in and out, its ATR ------------------------
atr_dual="$(expected_atr dual)"
timeout 30 pcsc_scan -n >"$work/scan.txt" 2>&1 &
scan=$!
settle
card insert dual
settle
card remove
settle
kill "$scan" 2>/dev/null || true
wait "$scan" 2>/dev/null || true
scan_reader() { grep -q 'QV-38N qvscr bridge' "$work/scan.txt"; }
scan_inserted() { grep -q 'Card inserted' "$work/scan.txt"; }
# A removal after the insertion (the scan starts with the slot empty).
scan_removed() { awk '/Card inserted/ { inserted = 1 } inserted && /Card removed/ { removed = 1 } END { exit !removed }' "$work/scan.txt"; }
scan_atr() {
    local seen
    seen="$(sed -n 's/^ *ATR: \([0-9A-F ]*\)$/\1/p' "$work/scan.txt" | head -n 1 | normalise)"
    [ -n "$seen" ] && [ "$seen" = "$atr_dual" ]
}
check "pcsc_scan sees the reader" scan_reader
check "pcsc_scan sees the card inserted" scan_inserted
check "pcsc_scan sees the card removed" scan_removed
check "pcsc_scan prints the card's ATR ($atr_dual)" scan_atr
if [ "$failures" -gt 0 ]; then cat "$work/scan.txt" >&2; fi

# --- opensc-tool under T=0 and T=1 ------------------------------------------
lists_reader() { opensc-tool --list-readers | grep -q 'QV-38N qvscr bridge'; }
check "opensc-tool --list-readers" lists_reader
for which in t0 t1; do
    card insert "$which"
    settle
    atr="$(expected_atr "$which")"
    prints_atr() { [ "$(opensc-tool --atr 2>/dev/null | grep -E '^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2})+$' | normalise)" = "$atr" ]; }
    check "opensc-tool --atr, $which card ($atr)" prints_atr
    # SELECT the application and its data file, READ BINARY 4: bytes 7i + 3.
    opensc-tool -c default -s 00:A4:04:0C:07:F0:51:56:53:43:52:01 -s 00:A4:00:0C:02:01:01 -s 00:B0:00:00:04 \
        >"$work/apdu-$which.txt" 2>&1 || true
    sends_apdus() {
        [ "$(grep -c 'SW1=0x90, SW2=0x00' "$work/apdu-$which.txt")" -eq 3 ] &&
            grep -q '^03 0A 11 18' "$work/apdu-$which.txt"
    }
    check "opensc-tool --send-apdu, $which card" sends_apdus
    if ! sends_apdus; then cat "$work/apdu-$which.txt" >&2; fi
    card remove
    settle
done

# --- scriptor: an APDU script and the card's answers ------------------------
card insert dual
settle
cat >"$work/script.apdu" <<'SCRIPT'
reset
00 A4 04 0C 07 F0 51 56 53 43 52 01
00 A4 00 0C 02 01 01
00 B0 00 00 08
80 EE 00 00 03 11 22 33 00
SCRIPT
timeout 60 scriptor -r "QV-38N qvscr bridge 00 00" "$work/script.apdu" >"$work/scriptor.txt" 2>&1 || true
scriptor_answers() {
    grep -q '^< 03 0A 11 18 1F 26 2D 34 90 00' "$work/scriptor.txt" &&
        [ "$(grep -c '^< 90 00' "$work/scriptor.txt")" -ge 2 ]
}
check "scriptor runs a script and gets the card's answers" scriptor_answers
if ! scriptor_answers; then cat "$work/scriptor.txt" >&2; fi

echo "pcsc checks: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
