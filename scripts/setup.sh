#!/usr/bin/env bash
# Installs what a profile needs (Debian packages; scripts/packages.sh has the
# lists), then configures and builds into build/:
#
#   setup.sh demo   what qvsim needs (a compiler, CMake, Ninja, CLI11, libpcap,
#                   libcrypto), and builds qvsim alone (a Quick build)
#   setup.sh test   everything the tests need, and builds every target
#
# Sourced by demo.sh (demo), test.sh and sweep.sh (test), which name the
# profile: sourced without one, it would take the caller's own arguments.
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_BUILD="${QV_BUILD:-$QV_ROOT/build}"
QV_PROFILE="${1:-}"
source "$QV_ROOT/scripts/packages.sh"

case "$QV_PROFILE" in
demo)
    qv_install_packages demo
    # A build folder configured before (by test.sh, say) keeps its tests and
    # its build type; a new one leaves GoogleTest and Google Benchmark out
    # and is a Quick build (-O1, no debug information), which takes half the
    # compile time of the tests' build.
    if [ ! -f "$QV_BUILD/CMakeCache.txt" ]; then
        cmake -S "$QV_ROOT" -B "$QV_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Quick \
            -DQV_TESTS=OFF -DQV_BENCHMARKS=OFF >&2
    fi
    # Build progress goes to standard error, so that what the commands print
    # can be piped on its own.
    cmake --build "$QV_BUILD" -j "$(nproc)" --target qvsim >&2
    ;;
test)
    qv_install_packages demo tests windows pcsc
    # The demo's Quick build becomes the tests' usual one; any other build
    # type chosen for this folder stays.
    qv_build_type=()
    if grep -qx 'CMAKE_BUILD_TYPE:STRING=Quick' "$QV_BUILD/CMakeCache.txt" 2>/dev/null; then
        qv_build_type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    fi
    cmake -S "$QV_ROOT" -B "$QV_BUILD" -G Ninja "${qv_build_type[@]}" -DQV_TESTS=ON -DQV_BENCHMARKS=ON >&2
    cmake --build "$QV_BUILD" -j "$(nproc)" >&2
    ;;
*)
    echo "usage: scripts/setup.sh demo|test" >&2
    return 2 2>/dev/null || exit 2
    ;;
esac
