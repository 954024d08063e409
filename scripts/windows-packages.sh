#!/usr/bin/env bash
# The Debian packages of the Windows image (qvscr.sys) and its load test,
# and their installation. Sourced by setup.sh and the windows-*.sh scripts.
#
# g++-mingw-w64-i686 (with binutils-mingw-w64-i686 and mingw-w64-i686-dev,
# which carries the kernel headers and import libraries) cross-compiles the
# driver into a 32-bit kernel image; g++-mingw-w64-x86-64 and
# mingw-w64-x86-64-dev only compile include/record_layout.cpp against the
# x64 kernel headers, to hold the emulation's 64-bit layouts to Windows x64's;
# wine and wine32 (32-bit, from the i386 architecture) load the image in
# Wine's kernel emulation.
QV_WINDOWS_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
                     g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)
QV_WINE_PACKAGES=(wine wine32:i386)

qv_missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            echo "$package"
        fi
    done
}

qv_install_windows_packages() {
    local sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    # 32-bit Wine comes from Debian's i386 architecture.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
    local missing
    mapfile -t missing < <(qv_missing_packages "${QV_WINDOWS_PACKAGES[@]}" "${QV_WINE_PACKAGES[@]}")
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "setup: installing ${missing[*]}" >&2
        "${sudo_cmd[@]}" apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >&2
    fi
}
