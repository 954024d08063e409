#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds
# everything into build/. Sourced by demo.sh and test.sh.
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_BUILD="${QV_BUILD:-$QV_ROOT/build}"

# g++ and cmake/ninja build the project; GoogleTest and Google Benchmark are
# the test and benchmark frameworks.
QV_PACKAGES=(g++ cmake ninja-build libgtest-dev libbenchmark-dev)
# The i686 Windows cross compiler checks the smart card records' 32-bit layout.
QV_PACKAGES+=(g++-mingw-w64-i686)
# qvsim: CLI11 parses its command line, libpcap writes its USB captures and
# tshark reads them back in the capture test (installed without asking; its
# capture-permission question keeps its default, no).
QV_PACKAGES+=(libcli11-dev libpcap-dev tshark)
# clang and its libFuzzer runtime build the fuzzers (fuzz/, scripts/fuzz.sh).
QV_PACKAGES+=(clang libclang-rt-14-dev)
# OpenSSL's libcrypto does the simulated OpenPGP card's cryptography.
QV_PACKAGES+=(libssl-dev)

missing=()
for package in "${QV_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}" >&2
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >&2
fi

# The Windows image's cross toolchain and the 32-bit Wine of its load test
# (scripts/windows-packages.sh has the list).
source "$QV_ROOT/scripts/windows-packages.sh"
qv_install_windows_packages

# The PC/SC bridge: pcsc-lite's header and daemon, and the PC/SC tools its
# checks drive (scripts/pcsc-packages.sh has the list).
source "$QV_ROOT/scripts/pcsc-packages.sh"
qv_install_pcsc_packages

cmake -S "$QV_ROOT" -B "$QV_BUILD" -G Ninja >&2
# Build progress goes to standard error, so that what the commands print
# can be piped on its own.
cmake --build "$QV_BUILD" -j "$(nproc)" >&2
