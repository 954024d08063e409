#!/usr/bin/env bash
# Runs the coverage-guided fuzzers (fuzz/) for as long as asked:
#
#   scripts/fuzz.sh [--shard I/N] [--json FILE] [SECONDS_PER_TARGET] [TARGET...]
#
# (default 60 seconds, every target). --shard I/N runs shard I of N, counted
# from 0, so that machines share the work: the unit is a target, since a
# target's corpus is one process's to grow. With N up to the number of
# targets, shard I takes the targets at positions k (from 0) of the list
# with k mod N = I; with more shards than targets, shard I runs target
# I mod T, and the shards that share a target explore it from different
# libFuzzer seeds. A shard always gives libFuzzer the seed I + 1, so that
# its choices are its own and stay the same from run to run. --json FILE
# writes the results as one JSON document: the shard, the seconds, and per
# target its executions, rate, coverage, corpus, libFuzzer seed, and a
# finding's input with the command that replays it. Builds them first with clang into
# build-fuzz/ (AddressSanitizer, UndefinedBehaviorSanitizer, libFuzzer). Each
# target starts from its committed seeds (fuzz/corpus/<target>/) and its
# dictionary (fuzz/dict/<target>.dict) and grows a working corpus of its own
# in build-fuzz/corpus/<target>/, kept between runs. A finding stops the
# target; its input is left in build-fuzz/findings/<target>/ and the script
# fails. At the end, one line per target: executions, executions per second,
# and the coverage reached (cov: edges, ft: features).
#
# Environment: QV_FUZZ_BUILD (build directory), QV_FUZZ_JOBS (parallel
# fuzzing processes per target, default 1), QV_FUZZ_TIMEOUT (seconds one
# input may take before it counts as a hang, default 10), QV_FUZZ_MAX_LEN,
# QV_FUZZ_RUNS (stop a target after this many executions even if its time is
# not up, default no limit). QV_FUZZ_FORK=1 runs the machine-level targets'
# inputs from a machine booted once per boot key (fuzz/fork_starts.h).
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$scripts/.." && pwd)"
build="${QV_FUZZ_BUILD:-$root/build-fuzz}"
shard=""
json=""
while [ $# -gt 0 ]; do
    case "$1" in
    --shard) shard="${2:-}"; shift 2 || { echo "fuzz.sh: --shard needs I/N" >&2; exit 2; } ;;
    --json) json="${2:-}"; shift 2 || { echo "fuzz.sh: --json needs a file" >&2; exit 2; } ;;
    --) shift; break ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
seconds="${1:-60}"
shift || true
all_targets=(atr t1 reader descriptors transmit ioctl scenario)
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then targets=("${all_targets[@]}"); fi
for target in "${targets[@]}"; do
    case " ${all_targets[*]} " in *" $target "*) ;; *) echo "fuzz.sh: no target '$target' (${all_targets[*]})" >&2; exit 2 ;; esac
done
fuzz_seed=()
libfuzzer_seed=null # libFuzzer's own choice
shard_index=0
shard_count=1
if [ -n "$shard" ]; then
    if ! [[ "$shard" =~ ^([0-9]+)/([0-9]+)$ ]]; then
        echo "fuzz.sh: --shard takes I/N, shard I of N counted from 0 (0/3, 1/3, 2/3), not '$shard'" >&2
        exit 2
    fi
    shard_index=$((10#${BASH_REMATCH[1]}))
    shard_count=$((10#${BASH_REMATCH[2]}))
    if [ "$shard_count" -lt 1 ] || [ "$shard_index" -ge "$shard_count" ]; then
        echo "fuzz.sh: --shard $shard: shards are counted from 0, so I must be below N (and N at least 1)" >&2
        exit 2
    fi
    count=${#targets[@]}
    ways=$((shard_count < count ? shard_count : count))
    mine=()
    for ((k = 0; k < count; k++)); do
        if [ $((k % ways)) -eq $((shard_index % ways)) ]; then mine+=("${targets[$k]}"); fi
    done
    targets=("${mine[@]}")
    libfuzzer_seed=$((shard_index + 1))
    fuzz_seed=(-seed="$libfuzzer_seed")
fi
jobs="${QV_FUZZ_JOBS:-1}"
timeout="${QV_FUZZ_TIMEOUT:-10}"
max_len="${QV_FUZZ_MAX_LEN:-4096}"
runs="${QV_FUZZ_RUNS:--1}"

# clang 14 and its libFuzzer runtime (libclang-rt-14-dev on Debian 12 comes
# with clang-14); scripts/setup.sh installs them.
if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQV_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" >&2
fi
cmake --build "$build" -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}") >&2

# One process runs in the foreground; -jobs would fork even for one job and
# leave its output in fuzz-0.log, so the flags are there only for more.
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi

# A JSON string: backslashes and quotes escaped (paths and names only).
json_string() { printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"; }

status=0
summary=()
entries=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    echo "fuzz: $target for ${seconds}s" >&2
    set +e
    # Leak checking is libFuzzer's but off: a run that ends in a bug check
    # abandons its simulated threads' stacks by design; the pool's unload
    # audit inside every run reports the driver's leaks instead. Every input
    # boots a machine, so most of a run is allocation: a smaller quarantine
    # (still many machines' worth of freed blocks) and shorter allocation
    # stacks in reports make an execution about an eighth cheaper.
    ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=32:malloc_context_size=8:${ASAN_OPTIONS:-}" \
    "$build/fuzz_$target" -max_total_time="$seconds" -runs="$runs" -timeout="$timeout" -max_len="$max_len" \
        -rss_limit_mb=2048 -print_final_stats=1 "${parallel[@]}" "${fuzz_seed[@]}" \
        -dict="$root/fuzz/dict/$target.dict" -artifact_prefix="$findings/" \
        "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1
    result=$?
    set -e
    if [ "$jobs" -gt 1 ]; then cat fuzz-*.log >>"$log" 2>/dev/null && rm -f fuzz-*.log; fi
    execs=$(grep -h 'stat::number_of_executed_units' "$log" | awk '{s += $2} END {print s + 0}')
    rate=$(grep -h 'stat::average_exec_per_sec' "$log" | awk '{s += $2} END {print s + 0}')
    coverage=$(grep -hoE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
    corpus_size=$(find "$corpus" -type f | wc -l)
    line=$(printf '%-12s %12s execs %8s exec/s  %-24s corpus %s' "$target" "$execs" "$rate" "${coverage:-cov: ? ft: ?}" "$corpus_size")
    finding=""
    if [ "$result" -ne 0 ]; then
        line="$line  FINDING (see $log and $findings/)"
        status=1
        finding=$(grep -hoE 'Test unit written to [^ ]+' "$log" | tail -n 1 | sed 's/Test unit written to //')
    fi
    summary+=("$line")
    cov=$(echo "${coverage:-}" | awk '{print $2 + 0}')
    ft=$(echo "${coverage:-}" | awk '{print $4 + 0}')
    entries+=("$(printf '{"target": %s, "execs": %d, "exec_per_sec": %d, "cov": %d, "ft": %d, "corpus": %d, "libfuzzer_seed": %s, "finding": %s, "replay": %s, "log": %s}' \
        "$(json_string "$target")" "$execs" "$rate" "${cov:-0}" "${ft:-0}" "$corpus_size" \
        "$libfuzzer_seed" "$( [ "$result" -ne 0 ] && json_string "${finding:-$findings/}" || echo null)" \
        "$( [ -n "$finding" ] && json_string "$build/fuzz_$target $finding" || echo null)" "$(json_string "$log")")")
done
printf '%s\n' "${summary[@]}"
if [ -n "$json" ]; then
    {
        printf '{"format": "qvscr-fuzz 1", "version": %s, "shard": {"index": %d, "count": %d}, "seconds": %d, "failed": %s, "targets": [\n' \
            "$(json_string "$(git -C "$root" describe --always --dirty --abbrev=12 2>/dev/null || echo unknown)")" \
            "$shard_index" "$shard_count" "$seconds" "$( [ "$status" -ne 0 ] && echo true || echo false)"
        for ((i = 0; i < ${#entries[@]}; i++)); do
            printf '  %s%s\n' "${entries[$i]}" "$( [ $((i + 1)) -lt ${#entries[@]} ] && echo ,)"
        done
        printf ']}\n'
    } >"$json"
fi
exit "$status"
