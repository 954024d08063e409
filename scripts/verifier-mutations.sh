#!/usr/bin/env bash
# Shows that every verifier rule has a test that notices its absence: each
# rule of docs/verifier-rules.md is disabled in turn (QV_VERIFIER_DISABLE, no
# rebuild) and the test binary is run; a rule whose disabling leaves every
# test passing, or that makes the binary crash instead of failing a test, is
# reported and the script fails.
#
#   scripts/verifier-mutations.sh [BUILD_DIR]     (default: build)
#
# QV_MUTATION_FILTER narrows the tests run for each rule (a gtest filter);
# QV_MUTATION_JOBS says how many rules are tried at once (default: one per
# core; each try is a test binary of its own, with its own files).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-${QV_BUILD:-$root/build}}"
binary="$build/qvtests"
table="$root/docs/verifier-rules.md"
filter="${QV_MUTATION_FILTER:-*}"
jobs="${QV_MUTATION_JOBS:-$(nproc)}"

[ -x "$binary" ] || { echo "no test binary at $binary: build first" >&2; exit 2; }

# Rule ids: the first column of the table's rows, in backquotes.
mapfile -t rules < <(sed -nE 's/^\| `([a-z0-9-]+)` \|.*/\1/p' "$table")
[ "${#rules[@]}" -gt 0 ] || { echo "no rules found in $table" >&2; exit 2; }

# Every rule the sources check must be in the table, and the other way round.
declare -A listed
for id in "${rules[@]}"; do listed[$id]=1; done
mapfile -t used < <({
    grep -rhoE '(Violation|Fatal)\("[a-z0-9-]+"' "$root/platform"
    grep -rhoE 'BeginWaitNext\([^;]*"[a-z0-9]+(-[a-z0-9]+)+"' "$root/platform"
    grep -rhoE '"unload-left-[a-z]+"' "$root/platform"
} | grep -oE '"[a-z0-9]+(-[a-z0-9]+)+"' | tr -d '"' | sort -u)
missing=0
for id in "${used[@]}"; do
    if [ -z "${listed[$id]:-}" ]; then
        echo "rule $id is checked in platform/ but missing from the table"
        missing=1
    fi
done
for id in "${rules[@]}"; do
    if ! grep -rqF "\"$id\"" "$root/platform"; then
        echo "rule $id is in the table but checked nowhere"
        missing=1
    fi
done

# The suite must pass with every rule on, or nothing below means anything.
if ! "$binary" --gtest_brief=1 --gtest_filter="$filter" >/dev/null 2>&1; then
    echo "the tests fail with every rule enabled" >&2
    exit 1
fi

# try_rule RULE: runs the tests with RULE disabled and prints the rule's line.
# The first failing test is enough to show the rule noticed, so the run stops
# there (--gtest_fail_fast): a tenth of the time of the whole suite, for most
# rules.
try_rule() {
    local rule="$1" output status failed
    output="$(QV_VERIFIER_DISABLE="$rule" "$binary" --gtest_brief=1 --gtest_fail_fast \
        --gtest_filter="$filter" 2>&1)"
    status=$?
    failed="$(printf '%s\n' "$output" | sed -nE 's/^\[  FAILED  \] ([A-Za-z0-9_]+\.[A-Za-z0-9_]+)( \(.*)?$/\1/p' | sort -u)"
    if [ "$status" -eq 0 ]; then
        printf '%-44s NOT NOTICED\n' "$rule"
    elif [ -z "$failed" ]; then
        printf '%-44s CRASHED the test binary (exit %d)\n' "$rule" "$status"
    else
        printf '%-44s caught by %s\n' "$rule" "$(head -n 1 <<<"$failed")"
    fi
}

# The rules are tried $jobs at a time, each into a file of its own; the
# lines come out in the table's order.
lines="$(mktemp -d)"
trap 'rm -rf "$lines"' EXIT
for index in "${!rules[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    try_rule "${rules[$index]}" >"$lines/$index" &
done
wait
for index in "${!rules[@]}"; do cat "$lines/$index"; done
unnoticed=$(cat "$lines"/* | grep -c ' NOT NOTICED$')
crashed=$(cat "$lines"/* | grep -c ' CRASHED the test binary')

echo "${#rules[@]} rules: $unnoticed not noticed, $crashed crashing"
[ "$unnoticed" -eq 0 ] && [ "$crashed" -eq 0 ] && [ "$missing" -eq 0 ]
