#!/usr/bin/env bash
# The Debian packages qvscr needs, in groups by what needs them, and the one
# routine that installs whichever of them are missing. Sourced by setup.sh
# and windows-build.sh:
#
#   qv_install_packages GROUP...     (demo, tests, windows, pcsc)
#
# The README's table of dependencies says what each package is for.

# demo: qvsim. g++, CMake and Ninja build it; CLI11 parses its command line;
# libpcap writes its USB captures; OpenSSL's libcrypto does the cryptography
# of the simulated OpenPGP cards, which are in qvsim's card catalogue;
# nlohmann's JSON library writes and reads qvsim sweep's shard documents.
QV_PACKAGES_demo=(g++ cmake ninja-build libcli11-dev libpcap-dev libssl-dev nlohmann-json3-dev)

# tests: GoogleTest and Google Benchmark; tshark reads qvsim's captures back
# in the capture test; clang 14 and its libFuzzer runtime build the fuzzers.
QV_PACKAGES_tests=(libgtest-dev libbenchmark-dev tshark clang libclang-rt-14-dev)

# windows: the i686 cross toolchain with the kernel headers and import
# libraries builds qvscr.sys and checks the smart card records' 32-bit
# layout; the x86-64 one compiles include/record_layout.cpp against Windows
# x64's headers; 32-bit Wine (from Debian's i386 architecture) loads the
# image and runs it end to end.
QV_PACKAGES_windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
                     g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine32:i386)

# pcsc: pcsc-lite's IFD handler header and client library, the daemon that
# loads the bridge, the unmodified PC/SC tools its checks drive, GnuPG with
# its smart-card daemon, and openssl to verify what OpenSC signs.
QV_PACKAGES_pcsc=(libpcsclite-dev pcscd pcsc-tools opensc gnupg scdaemon openssl)

qv_install_packages() {
    local group package wanted=() missing=()
    for group in "$@"; do
        if ! declare -p "QV_PACKAGES_$group" >/dev/null 2>&1; then
            echo "setup: no package group '$group'" >&2
            return 2
        fi
        local list="QV_PACKAGES_$group[@]"
        wanted+=("${!list}")
    done
    for package in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ "${#missing[@]}" -gt 0 ] || return 0

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi
    # A package of a foreign architecture (32-bit Wine's wine32:i386) needs
    # that architecture known before the package lists are read.
    local native foreign
    native="$(dpkg --print-architecture)"
    for package in "${missing[@]}"; do
        foreign="${package##*:}"
        if [ "$foreign" != "$package" ] && [ "$foreign" != "$native" ] &&
           ! dpkg --print-foreign-architectures | grep -qx "$foreign"; then
            "${as_root[@]}" dpkg --add-architecture "$foreign"
        fi
    done
    # Without recommended packages: none is needed, and some would bring a
    # desktop toolkit (pcsc-tools) or much of a desktop (wine).
    echo "setup: installing ${missing[*]}" >&2
    "${as_root[@]}" apt-get update -qq >&2
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
