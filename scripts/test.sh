#!/usr/bin/env bash
# Builds qvscr and runs every test: the Windows image and its checks, the
# test suite, the verifier's mutation run, a seed sweep, the optimised
# Release build, and the suite again under ThreadSanitizer and under
# AddressSanitizer with UBSan.
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$scripts/setup.sh"

# --- The Windows image ------------------------------------------------------
# qvscr.sys cross-compiled with mingw-w64 from the same driver sources, its
# headers, sections, checksum and imports checked, and DriverEntry run under
# Wine (scripts/windows-test.sh; about a minute).
"$scripts/windows-test.sh"

# --- The test suite ---------------------------------------------------------
cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"

# --- Verifier mutation run: every verifier rule, disabled in turn, must be
# noticed by a test (docs/verifier-rules.md). About a minute.
"$scripts/verifier-mutations.sh" "$QV_BUILD"

# --- Scheduling: the link and USB tests under 500 seeds (a few seconds).
"$scripts/sweep.sh" 1-500

# --- Release build ----------------------------------------------------------
# The optimised Release build (-O3) must build without warnings too, with the
# benchmarks; qvbench then runs once, very briefly, as a smoke test that also
# shows it reports an optimised build.
QV_RELEASE_BUILD="$QV_ROOT/build-release"
cmake -S "$QV_ROOT" -B "$QV_RELEASE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$QV_RELEASE_BUILD" -j "$(nproc)" >&2
"$QV_RELEASE_BUILD/qvbench" --benchmark_min_time=0.001 2>&1 | grep -E '^(qvscr_|BM_)'

# --- Sanitizer builds: ThreadSanitizer (races in driver code) and
# AddressSanitizer with UBSan (pool use after free and overruns). Each has its
# own build directory and builds only the tests and its probe; the probes'
# CTests (sanitizer.*) expect the sanitizer's report.
#
# Open race-detector findings: these tests, written for card presence, power
# and the device lifecycle, still report races under ThreadSanitizer (mostly
# the tests reading driver state without the driver's locks; some in the
# emulation's newer paths). They run everywhere else; here they are left out
# until each is mended, and the list only ever shrinks.
tsan_open_findings='^(CardPowerRace\.|CardTrackingRace\.|CardTracking\.|PollThread\.|DriverPower\.|LifecycleStorm\.|AddDevice\.LegacyPlatform|PowerManager\.ASecondDeviceRequest|SmclibRemoveLock\.RequestsRacing)'
for sanitizer in thread address; do
    sanitizer_build="$QV_ROOT/build-$sanitizer"
    cmake -S "$QV_ROOT" -B "$sanitizer_build" -G Ninja -DQV_SANITIZE="$sanitizer" >&2
    probe=qvtsanprobe
    excluded='^qvsim\.'
    if [ "$sanitizer" = address ]; then probe=qvasanprobe; else excluded="$excluded|$tsan_open_findings"; fi
    cmake --build "$sanitizer_build" -j "$(nproc)" --target qvtests "$probe" >&2
    (cd "$sanitizer_build" && ctest --output-on-failure -j "$(nproc)" -E "$excluded")
done

# --- Fuzzers ----------------------------------------------------------------
# Each libFuzzer target (fuzz/) runs for a short fixed time from its seeds, in
# its own clang build (build-fuzz); a finding fails the run. The long runs
# are scripts/fuzz.sh's with a longer time. About ten minutes with the build.
"$scripts/fuzz.sh" "${QV_FUZZ_CI_SECONDS:-20}"
