#!/usr/bin/env bash
# Runs qvsim app's command language against the real Windows image,
# qvscr.sys, under 32-bit Wine, and prints the same result lines.
#
#   scripts/windows-app.sh [--script FILE] [--seed N] [--model QV-38N|QV-39N] [--card NAME | --no-card]
#
# What runs where: qvwinhost (a Linux program, build/) runs sim/'s readers
# and listens on a loopback port; Wine runs the stand-in USB bus
# (qvusbbus.sys), the smart card library (smclib.sys) and the driver
# (qvscr.sys) in its winedevice process, the bus carrying every USB request
# to qvwinhost; qvwinapp.exe, a Win32 console program, reads the commands
# and sends the requests through the reader's device interface. Each run
# gets a fresh copy of a Wine prefix made once (build-windows/wine-template).
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_WINDOWS_BUILD="${QV_WINDOWS_BUILD:-$QV_ROOT/build-windows}"
QV_BUILD="${QV_BUILD:-$QV_ROOT/build}"
wine_timeout="${QV_WINE_TIMEOUT:-300}"

script=""
host_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --script) script="$(realpath "$2")"; shift 2 ;;
        --seed|--model|--card) host_options+=("$1" "$2"); shift 2 ;;
        --no-card) host_options+=("$1"); shift ;;
        *) echo "windows-app: unknown option $1" >&2; exit 2 ;;
    esac
done
for file in qvscr.sys smclib.sys qvusbbus.sys qvwinapp.exe qvscr.inf qvusbbus.inf; do
    [ -f "$QV_WINDOWS_BUILD/$file" ] || { echo "windows-app: $QV_WINDOWS_BUILD/$file is missing (scripts/windows-build.sh)" >&2; exit 2; }
done
[ -x "$QV_BUILD/qvwinhost" ] || { echo "windows-app: $QV_BUILD/qvwinhost is missing (ninja -C build qvwinhost)" >&2; exit 2; }

export WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG="${QV_WINEDEBUG:--all}"
export HOME="${HOME:-$QV_WINDOWS_BUILD}"

template="$QV_WINDOWS_BUILD/wine-template"
if [ ! -f "$template/system.reg" ]; then
    rm -rf "$template"
    WINEPREFIX="$template" timeout "$wine_timeout" wineboot -i >/dev/null 2>&1
    WINEPREFIX="$template" wineserver -w
fi

run="$(mktemp -d "$QV_WINDOWS_BUILD/wine-run.XXXXXX")"
export WINEPREFIX="$run/prefix"
host_pid=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
    if [ -z "${QV_KEEP_RUN:-}" ]; then rm -rf "$run"; else echo "windows-app: kept $run" >&2; fi
}
trap cleanup EXIT
cp -a "$template" "$WINEPREFIX"
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
cp "$QV_WINDOWS_BUILD"/{qvscr.sys,smclib.sys,qvusbbus.sys} "$drivers/"
cp "$QV_WINDOWS_BUILD"/{qvwinapp.exe,qvusbbus.inf} "$run/"
# The catalog is made when the package is signed, which is the user's step;
# without it Wine's setup refuses an INF that names one.
sed '/^CatalogFile/d' "$QV_WINDOWS_BUILD/qvscr.inf" >"$run/qvscr.inf"

"$QV_BUILD/qvwinhost" --port-file "$run/port" "${host_options[@]}" &
host_pid=$!
for _ in $(seq 100); do [ -s "$run/port" ] && break; sleep 0.05; done
[ -s "$run/port" ] || { echo "windows-app: qvwinhost did not start" >&2; exit 1; }

cd "$run"
# The bus finds the host by its port in the registry.
timeout "$wine_timeout" wine reg add 'HKLM\Software\QvscrTests' /v HostPort /t REG_DWORD /d "$(cat "$run/port")" /f >/dev/null 2>"$run/wine.log"
cp qvusbbus.inf qvscr.inf "$QV_WINDOWS_BUILD"/{qvscr.sys,qvusbbus.sys} "$WINEPREFIX/drive_c/"
# Wine's setup installs a device that arrives later (a second reader) from
# the INF's copy in C:\windows\inf and looks for the image beside it.
cp "$QV_WINDOWS_BUILD/qvscr.sys" "$WINEPREFIX/drive_c/windows/inf/"
if ! timeout "$wine_timeout" wine qvwinapp.exe --install 'C:\qvusbbus.inf' 'C:\qvscr.inf' >/dev/null 2>"$run/install.log"; then
    echo "windows-app: installing the bus and the driver failed:" >&2
    cat "$run/install.log" >&2
    exit 1
fi

app_options=(--header "qvwinapp: seed ${QV_SEED:-1}, Wine $(wine --version 2>/dev/null | tr -d '\r')")
if [ -n "$script" ]; then
    cp "$script" "$run/script.qv"
    timeout "$wine_timeout" wine qvwinapp.exe "${app_options[@]}" --script script.qv | tr -d '\r'
else
    timeout "$wine_timeout" wine qvwinapp.exe "${app_options[@]}" | tr -d '\r'
fi
exit "${PIPESTATUS[0]}"
