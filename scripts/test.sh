#!/usr/bin/env bash
# Builds qvscr and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"

# --- Scheduling: the link and USB tests under 500 seeds (a few seconds).
"$QV_ROOT/scripts/sweep.sh" 1-500

# --- Sanitizer builds: ThreadSanitizer (races in driver code) and
# --- AddressSanitizer with UBSan (pool use after free and overruns).
# Each has its own build directory and builds only the tests and its probe;
# the probes' CTests (sanitizer.*) expect the sanitizer's report.
for sanitizer in thread address; do
    sanitizer_build="$QV_ROOT/build-$sanitizer"
    cmake -S "$QV_ROOT" -B "$sanitizer_build" -G Ninja -DQV_SANITIZE="$sanitizer" >&2
    probe=qvtsanprobe
    if [ "$sanitizer" = address ]; then probe=qvasanprobe; fi
    cmake --build "$sanitizer_build" -j "$(nproc)" --target qvtests "$probe" >&2
    (cd "$sanitizer_build" && ctest --output-on-failure -j "$(nproc)" -E '^qvsim\.')
done
