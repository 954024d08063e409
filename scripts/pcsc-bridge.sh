#!/usr/bin/env bash
# Starts a private pcscd on the qvscr PC/SC bridge and runs PC/SC tools
# against it. pcscd runs in the foreground in a mount namespace of its own,
# with a private tmpfs over its socket directory (/run/pcscd), so that it
# never meets a system daemon; the command (or, without one, an interactive
# shell) runs in the same namespace, and pcscd is stopped when it ends.
#
#   scripts/pcsc-bridge.sh                          # a shell: try pcsc_scan, opensc-tool, scriptor
#   scripts/pcsc-bridge.sh -- pcsc_scan -t 5
#   scripts/pcsc-bridge.sh --card t1 -- opensc-tool --atr
#
# Options: --build DIR (the build with libqvscr_ifd.so, configured with
# -DQV_PCSC_BRIDGE=ON; default build-pcsc), --card NAME|atr:HEX|none,
# --model QV-38N|QV-39N, --debug (pcscd's debug log on standard error).
# Inside, QVSCR_CONTROL names the bridge's control socket: `qvscr-card card
# remove`, `qvscr-card card insert t0` (DIR/qvscr-card) drive the card.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
self="$root/scripts/pcsc-bridge.sh"

build="$root/build-pcsc"
card=""
model=""
debug=0
inside=0
workdir=""
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --card) card="$2"; shift 2 ;;
    --model) model="$2"; shift 2 ;;
    --debug) debug=1; shift ;;
    --inside) inside=1; workdir="$2"; shift 2 ;;
    --help|-h) sed -n '2,20p' "$self" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --) shift; break ;;
    *) break ;;
    esac
done

if [ "$inside" = 0 ]; then
    library="$build/libqvscr_ifd.so"
    template="$build/pcsc/reader.conf.d/qvscr"
    if [ ! -f "$library" ] || [ ! -f "$template" ]; then
        echo "pcsc-bridge: $library not found; build it with" >&2
        echo "  cmake -S $root -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_PCSC_BRIDGE=ON && ninja -C $build qvscr_ifd qvscr-card" >&2
        exit 2
    fi
    command -v pcscd >/dev/null || { echo "pcsc-bridge: pcscd is not installed (scripts/setup.sh test installs it)" >&2; exit 2; }
    workdir="$(mktemp -d "${TMPDIR:-/tmp}/qvscr-bridge.XXXXXX")"
    trap 'rm -rf "$workdir"' EXIT
    # The reader.conf.d pcscd reads: the build's, with the card and model asked for.
    mkdir -p "$workdir/reader.conf.d"
    card="${card/atr:/atr@}"
    sed -e "s|qvscr:QV-38N:dual|qvscr:${model:-QV-38N}:${card:-dual}|" \
        -e "s|\"QV-38N qvscr bridge\"|\"${model:-QV-38N} qvscr bridge\"|" "$template" >"$workdir/reader.conf.d/qvscr"
    cp "$build/qvscr-card" "$workdir/" 2>/dev/null || true
    namespace=(unshare --mount --propagation private)
    # Without root, a user namespace gives the mount namespace.
    if [ "$(id -u)" -ne 0 ]; then namespace=(unshare --user --map-root-user --mount --propagation private); fi
    debugflag=()
    if [ "$debug" = 1 ]; then debugflag=(--debug); fi
    set +e
    "${namespace[@]}" bash "$self" "${debugflag[@]}" --inside "$workdir" -- "$@"
    status=$?
    set -e
    exit "$status"
fi

# ---- Inside the namespace ----------------------------------------------------
socketdir=/run/pcscd
if mkdir -p "$socketdir" 2>/dev/null; then
    mount -t tmpfs -o mode=0755 qvscr-pcscd "$socketdir"
else
    # No right to make the directory on the host's /run: a private /run.
    mount -t tmpfs -o mode=0755 qvscr-run /run
    mkdir -p "$socketdir"
fi

export QVSCR_CONTROL="$workdir/control.sock"
export PATH="$workdir:$PATH"
log="$workdir/pcscd.log"
level=(--info)
if [ "$debug" = 1 ]; then level=(--debug --apdu); fi
pcscd --foreground --config "$workdir/reader.conf.d" "${level[@]}" >"$log" 2>&1 &
pcscd_pid=$!

stop_pcscd() {
    if kill -0 "$pcscd_pid" 2>/dev/null; then
        kill -TERM "$pcscd_pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 "$pcscd_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pcscd_pid" 2>/dev/null || true
    fi
    wait "$pcscd_pid" 2>/dev/null || true
    if [ "$debug" = 1 ]; then cat "$log" >&2; fi
}
trap stop_pcscd EXIT

# pcscd is ready once its socket and the bridge's control socket are there.
for _ in $(seq 1 100); do
    if [ -S "$socketdir/pcscd.comm" ] && [ -S "$QVSCR_CONTROL" ]; then break; fi
    if ! kill -0 "$pcscd_pid" 2>/dev/null; then
        echo "pcsc-bridge: pcscd ended at start:" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -S "$socketdir/pcscd.comm" ]; then
    echo "pcsc-bridge: pcscd did not open its socket:" >&2
    cat "$log" >&2
    exit 1
fi

if [ $# -eq 0 ]; then
    echo "pcsc-bridge: a private pcscd with the qvscr bridge runs; PC/SC tools in this shell reach it." >&2
    echo "pcsc-bridge: the card: qvscr-card card remove | card insert NAME | card list (control socket $QVSCR_CONTROL)" >&2
    echo "pcsc-bridge: leave the shell to stop pcscd." >&2
    set +e
    "${SHELL:-bash}" -i
    status=$?
else
    set +e
    "$@"
    status=$?
fi
set -e
if ! kill -0 "$pcscd_pid" 2>/dev/null; then
    echo "pcsc-bridge: pcscd ended while the command ran:" >&2
    cat "$log" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
