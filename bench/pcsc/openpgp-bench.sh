#!/usr/bin/env bash
# The wall time GnuPG takes through pcscd, the PC/SC bridge, the driver and
# the simulated reader for gpg --card-status, a signature and a decryption
# with an RSA 2048 key on the simulated OpenPGP card, beside the time the
# card itself was busy for each (its characters on the line and its own
# work, in virtual time, which the bridge's real-time machine lives
# through). The difference is the whole stack's overhead per operation:
# gpg, gpg-agent, scdaemon, pcscd, the bridge, the driver and the USB
# transfers.
#
#   bench/pcsc/openpgp-bench.sh [--build DIR] [--card openpgp|openpgp-t0] [--runs N]
#
# Run it on the optimised bridge build (build-pcsc, -DCMAKE_BUILD_TYPE=Release
# -DQV_PCSC_BRIDGE=ON). The agent and scdaemon stay up between runs, as for
# a user at work, and scdaemon keeps what it read of the card; the first run
# of each operation, which starts them or verifies the PIN, is left out of
# the figures. The cold status is timed with both started afresh: scdaemon
# reads the whole card again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build-pcsc"
which=openpgp
runs=10
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --card) which="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --help|-h) sed -n '2,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "openpgp-bench: unknown option $1" >&2; exit 2 ;;
    esac
done

if [ "${QV_OPENPGP_BENCH_INSIDE:-}" != 1 ]; then
    export QV_OPENPGP_BENCH_INSIDE=1
    exec "$root/scripts/pcsc-bridge.sh" --build "$build" --card "$which" -- \
        bash "${BASH_SOURCE[0]}" --build "$build" --card "$which" --runs "$runs"
fi

# ---- Inside the bridge's namespace, with pcscd running ---------------------
work="$(mktemp -d)"
trap 'gpgconf --kill all >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
pcsclite="$(ldconfig -p | awk '/libpcsclite\.so\.1 / && !found { print $NF; found = 1 }')"
printf 'disable-ccid\npcsc-driver %s\n' "$pcsclite" >"$GNUPGHOME/scdaemon.conf"
echo allow-loopback-pinentry >"$GNUPGHOME/gpg-agent.conf"
gpg=(gpg --batch --no-tty --pinentry-mode loopback)
sleep 2

# Keys on the card, and a message encrypted to them (not measured).
printf 'admin\ngenerate\nn\n123456\n0\nQV Bench\nbench@example.org\n\n12345678\n123456\nquit\n' |
    gpg --no-tty --command-fd 0 --status-fd 1 --pinentry-mode loopback --card-edit >"$work/generate.txt" 2>&1
grep -q 'KEY_CREATED' "$work/generate.txt" || { cat "$work/generate.txt" >&2; exit 1; }
head -c 1000 /dev/urandom | base64 >"$work/message"
"${gpg[@]}" --trust-model always -r bench@example.org -e -o "$work/message.gpg" "$work/message"

# The card's busy time in microseconds and its command count, from the
# bridge's account.
card_account() {
    "$build/qvscr-card" card stats | sed -n 's/^card busy \([0-9]*\)\.\([0-9]*\) ms, commands \([0-9]*\),.*/\1\2 \3/p'
}
now_us() { echo $(($(date +%s%N) / 1000)); }

# measure [--fresh] NAME COMMAND...: one line of figures, the median of the
# runs; --fresh stops the agent and scdaemon before each run (not timed).
measure() {
    local fresh=0
    if [ "$1" = --fresh ]; then
        fresh=1
        shift
    fi
    local name="$1"
    shift
    "$@" >/dev/null 2>&1 || { echo "openpgp-bench: $name failed" >&2; "$@" >&2 || true; exit 1; }
    local walls=() busies=() commands=()
    for _ in $(seq 1 "$runs"); do
        if [ "$fresh" = 1 ]; then gpgconf --kill all; fi
        read -r busy0 count0 < <(card_account)
        local start end
        start=$(now_us)
        "$@" >/dev/null 2>&1
        end=$(now_us)
        read -r busy1 count1 < <(card_account)
        walls+=($((end - start)))
        busies+=($((busy1 - busy0)))
        commands+=($((count1 - count0)))
    done
    median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
    local wall busy count
    wall=$(median "${walls[@]}")
    busy=$(median "${busies[@]}")
    count=$(median "${commands[@]}")
    awk -v name="$name" -v wall="$wall" -v busy="$busy" -v count="$count" 'BEGIN {
        printf "| %-28s | %8.1f ms | %8.1f ms | %5d | %8.1f ms |\n", name, wall / 1000, busy / 1000, count, (wall - busy) / 1000
    }'
}

echo "openpgp-bench: card $which, median of $runs runs, $(nproc) cores, build $(basename "$build")"
echo "| operation                    | wall time   | card busy   | APDUs | wall - card |"
echo "|------------------------------|-------------|-------------|-------|-------------|"
measure "gpg --card-status" gpg --card-status
measure --fresh "gpg --card-status, cold" gpg --card-status
measure "gpg --sign (RSA 2048)" "${gpg[@]}" --yes --passphrase 123456 -s -o "$work/signed.gpg" "$work/message"
measure "gpg --decrypt (RSA 2048)" "${gpg[@]}" --yes --passphrase 123456 -d -o "$work/decrypted" "$work/message.gpg"
