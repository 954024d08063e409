#!/usr/bin/env bash
# The PC/SC bridge under a long run through pcscd: scriptor (pcsc-tools)
# sends many APDUs, a SELECT of the dual card's application each, to a
# private pcscd on the bridge (scripts/pcsc-bridge.sh), and pcscd's resident
# memory is read after the first 2,000 (by then the bridge's quarantine of
# freed pool blocks has filled) and at the end. The daemon must not grow
# with the APDUs: the run fails when it grew by more than a fixed allowance.
#
#   scripts/pcsc-long-run.sh [BUILD] [APDUS]   # default build-pcsc, 10000
#
# The bridge's clock runs a hundred times ahead of the wall clock
# (QVSCR_TIME_SCALE=0.01, unless set), so that the card's time is not
# waited out; pcscd's own polls keep the wall clock.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build-pcsc}" && pwd)"
apdus="${2:-10000}"
# What pcscd may gain between the first reading and the last: allocator
# slack and pcscd's own bookkeeping, far below the kilobyte an APDU once kept.
allowance_kb=1024
warm_up=2000

if [ "${3:-}" != "--inside" ]; then
    export QVSCR_TIME_SCALE="${QVSCR_TIME_SCALE:-0.01}"
    exec "$root/scripts/pcsc-bridge.sh" --build "$build" --card dual -- \
        bash "$root/scripts/pcsc-long-run.sh" "$build" "$apdus" --inside
fi

# ---- Inside the bridge's namespace, with pcscd running ---------------------
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pid="$(tr -d '\0' </run/pcscd/pcscd.pid)"
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$pid/status"; }
select='00 A4 04 0C 07 F0 51 56 53 43 52 01'
# One script per stretch: scriptor connects, sends them all and disconnects.
run() { # run COUNT
    local count="$1"
    for ((i = 0; i < count; i++)); do echo "$select"; done >"$work/script.apdu"
    timeout 3600 scriptor -r "QV-38N qvscr bridge 00 00" "$work/script.apdu" >"$work/scriptor.txt" 2>&1 || true
    local answered
    answered="$(grep -c '^< 90 00' "$work/scriptor.txt" || true)"
    if [ "$answered" -ne "$count" ]; then
        echo "pcsc long run: $answered of $count APDUs answered 90 00:" >&2
        grep -v '^> \|^< 90 00' "$work/scriptor.txt" | head -20 >&2
        exit 1
    fi
}
start_kb="$(rss)"
start=$SECONDS
run "$warm_up"
warm_kb="$(rss)"
run "$((apdus - warm_up))"
end_kb="$(rss)"
echo "pcsc long run: $apdus APDUs through pcscd in $((SECONDS - start)) s; pcscd's RSS $start_kb kB at start," \
    "$warm_kb kB after $warm_up, $end_kb kB at the end"
if [ "$((end_kb - warm_kb))" -gt "$allowance_kb" ]; then
    echo "pcsc long run: pcscd grew by $((end_kb - warm_kb)) kB over $((apdus - warm_up)) APDUs" >&2
    exit 1
fi
