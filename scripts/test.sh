#!/usr/bin/env bash
# Builds qvscr and runs every test: the Windows image and its checks, the
# test suite, the verifier's mutation run, a seed sweep, the optimised
# Release build with the PC/SC bridge, and the suite again under
# ThreadSanitizer and under AddressSanitizer with UBSan, then the fuzzers.
#
# Each block's wall time is printed as it ends, and a table of them all when
# the run ends, passed or not (docs/ci.md keeps the figures and the budget).
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

block_name=""
block_start=$SECONDS
block_rows=()
block() { # block NAME: ends the block before and starts NAME
    if [ -n "$block_name" ]; then
        block_rows+=("| $block_name | $((SECONDS - block_start)) s |")
        echo "test.sh: $block_name took $((SECONDS - block_start)) s" >&2
    fi
    block_name="${1:-}"
    block_start=$SECONDS
}
# The table is Markdown, the same as docs/ci.md's, so that a run's figures can
# be copied there as they are.
block_summary() {
    local status=$?
    if [ "$status" -ne 0 ] && [ -n "$block_name" ]; then
        block_rows+=("| $block_name | $((SECONDS - block_start)) s (failed) |")
    else
        block ""
    fi
    {
        echo "test.sh: wall time of each block ($(nproc) cores):"
        echo "| Block | Wall time |"
        echo "|---|---|"
        printf '%s\n' "${block_rows[@]}"
        echo "| total | $SECONDS s ($((SECONDS / 60)) min) |"
    } >&2
}
trap block_summary EXIT

block setup
source "$scripts/setup.sh" test

# --- The Windows image ------------------------------------------------------
block windows-image
# qvscr.sys cross-compiled with mingw-w64 from the same driver sources, its
# headers, sections, checksum and imports checked, and DriverEntry run under
# Wine (scripts/windows-test.sh; about a minute).
"$scripts/windows-test.sh"

# --- The real image end to end under Wine -----------------------------------
block windows-diff
# Each script of tests/windows/ through qvsim app and through qvscr.sys under
# Wine, over the stand-in USB bus and qvwinhost (scripts/windows-diff.sh):
# the same result lines, and both runs clean, the driver's unload routine
# run. About a minute.
QV_BUILD="$QV_BUILD" "$scripts/windows-diff.sh"

# --- The test suite ---------------------------------------------------------
block ctest
cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"

# --- Verifier mutation run: every verifier rule, disabled in turn, must be
# noticed by a test (docs/verifier-rules.md). Each rule's run stops at its
# first failing test; under a minute on two cores.
block verifier-mutations
"$scripts/verifier-mutations.sh" "$QV_BUILD"

# --- Scheduling: the link and USB tests under 500 seeds (a few seconds).
block sweep
"$scripts/sweep.sh" 1-500

# --- qvsim's ready scenarios under many seeds, with reader and card faults
# drawn from each seed (qvsim sweep; about a minute). Each sweep runs as
# three shards at once, as three machines would, each writing its JSON
# document; the merge checks that they cover the sweep exactly once, prints
# the sweep's summary and fails when a seed failed.
block scenario-sweep
shards=3
shard_dir="$QV_BUILD/sweep-shards"
for scenario in $("$QV_BUILD/qvsim" app --scenario list | cut -d' ' -f1); do
    rm -rf "$shard_dir" && mkdir -p "$shard_dir"
    pids=()
    for ((shard = 0; shard < shards; shard++)); do
        "$QV_BUILD/qvsim" sweep --faults --seeds 1-1000 --jobs 1 --shard "$shard/$shards" \
            --json "$shard_dir/$shard.json" "$scenario" >"$shard_dir/$shard.log" 2>&1 &
        pids+=($!)
    done
    # A shard's own status only repeats what the merge finds; its log
    # matters when it wrote no document.
    for pid in "${pids[@]}"; do wait "$pid" || true; done
    "$QV_BUILD/qvsim" sweep --merge "$shard_dir"/*.json || { cat "$shard_dir"/*.log >&2; exit 1; }
done
rm -rf "$shard_dir"

# --- Schedule explorer: every lifecycle story under every schedule with up
# to two departures from the default (qvsim explore, one worker per core;
# each story prints its count of schedules). About two minutes.
block explore
"$QV_BUILD/qvsim" explore all --preemptions 2

# --- Reader conformance suite: every case of tools/conformance/ under eight
# seeds, its table printed; fails when a case fails (known deviations pass).
# About a second of wall time.
block conformance
QV_SEEDS=1-8 "$QV_BUILD/qvsim" conformance

# --- Release build ----------------------------------------------------------
# The optimised Release build (-O3) must build without warnings too, with the
# benchmarks and the PC/SC bridge: it is position-independent, so that
# libqvscr_ifd.so is one of its targets and nothing is built twice for the
# bridge. qvbench then runs once, very briefly, as a smoke test that also
# shows it reports an optimised build.
block release
QV_RELEASE_BUILD="$QV_ROOT/build-release"
cmake -S "$QV_ROOT" -B "$QV_RELEASE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_PCSC_BRIDGE=ON >&2
cmake --build "$QV_RELEASE_BUILD" -j "$(nproc)" >&2
"$QV_RELEASE_BUILD/qvbench" --benchmark_min_time=0.001 2>&1 | grep -E '^(qvscr_|BM_)'

# --- The PC/SC bridge -------------------------------------------------------
# libqvscr_ifd.so from the Release build, loaded by a private pcscd in its
# own mount namespace (scripts/pcsc-bridge.sh): pcsc_scan, opensc-tool and
# scriptor against the simulated cards (scripts/pcsc-checks.sh), then the
# round-trip benchmark of one APDU through pcscd beside qvsim app's path,
# very briefly.
block pcsc
QV_PCSC_BUILD="$QV_RELEASE_BUILD"
"$scripts/pcsc-checks.sh" "$QV_PCSC_BUILD"
# 10,000 APDUs through pcscd with the bridge's clock a hundred times ahead;
# fails when pcscd grew with them (about ten seconds).
"$scripts/pcsc-long-run.sh" "$QV_PCSC_BUILD" 10000
# GnuPG and OpenSC doing real work with the simulated OpenPGP cards, T=1 and
# T=0, through the bridge (about a minute and a half).
"$scripts/openpgp-checks.sh" "$QV_PCSC_BUILD"
pcsc_bench="$("$scripts/pcsc-bridge.sh" --build "$QV_PCSC_BUILD" --card t1 -- \
    "$QV_PCSC_BUILD/qvpcscbench" --benchmark_min_time=0.05 2>&1)"
grep -E '^(qvscr_|BM_)' <<<"$pcsc_bench"
# A benchmark that could not reach the reader is a failure here.
if grep -q 'ERROR OCCURRED' <<<"$pcsc_bench"; then
    echo "$pcsc_bench" >&2
    exit 1
fi

# --- Sanitizer builds: ThreadSanitizer (races in driver code) and
# AddressSanitizer with UBSan (pool use after free and overruns). Each has its
# own build directory and builds only the tests and its probe; the probes'
# CTests (sanitizer.*) expect the sanitizer's report. Both compile at -O1
# with line tables only (-g1), as the sanitizers advise: their reports keep
# function names and lines, and the build takes far less time than at -O2
# with full debug information.
for sanitizer in thread address; do
    block "$sanitizer-sanitizer"
    sanitizer_build="$QV_ROOT/build-$sanitizer"
    cmake -S "$QV_ROOT" -B "$sanitizer_build" -G Ninja -DQV_SANITIZE="$sanitizer" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" >&2
    probe=qvtsanprobe
    excluded='^qvsim\.'
    if [ "$sanitizer" = address ]; then probe=qvasanprobe; fi
    cmake --build "$sanitizer_build" -j "$(nproc)" --target qvtests "$probe" >&2
    (cd "$sanitizer_build" && ctest --output-on-failure -j "$(nproc)" -E "$excluded")
done

# --- Fuzzers ----------------------------------------------------------------
# Each libFuzzer target (fuzz/) runs for a short fixed time from its seeds, in
# its own clang build (build-fuzz); a finding fails the run. The long runs
# are scripts/fuzz.sh's with a longer time. About ten minutes with the build.
block fuzz
"$scripts/fuzz.sh" "${QV_FUZZ_CI_SECONDS:-20}"
