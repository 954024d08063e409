#!/usr/bin/env bash
# Builds the driver as a 32-bit Windows kernel image, build-windows/qvscr.sys,
# with its INF beside it, installing the cross toolchain first if missing.
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_WINDOWS_BUILD="${QV_WINDOWS_BUILD:-$QV_ROOT/build-windows}"
source "$QV_ROOT/scripts/packages.sh"
qv_install_packages windows

cmake -S "$QV_ROOT/windows" -B "$QV_WINDOWS_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/windows/toolchain-i686-mingw.cmake" >&2
cmake --build "$QV_WINDOWS_BUILD" -j "$(nproc)" >&2
echo "$QV_WINDOWS_BUILD/qvscr.sys"
