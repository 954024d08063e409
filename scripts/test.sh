#!/usr/bin/env bash
# Builds qvscr and runs every test.
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$scripts/setup.sh"

# --- The Windows image ------------------------------------------------------
# qvscr.sys cross-compiled with mingw-w64 from the same driver sources, its
# headers, sections, checksum and imports checked, and DriverEntry run under
# Wine (scripts/windows-test.sh; about a minute).
"$scripts/windows-test.sh"
# -----------------------------------------------------------------------------

cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"

# --- Verifier mutation run: every verifier rule, disabled in turn, must be
# noticed by a test (docs/verifier-rules.md). About a minute.
"$scripts/verifier-mutations.sh" "$QV_BUILD"

# ---- Release build -----------------------------------------------------------
# The optimised Release build (-O3) must build without warnings too, with the
# benchmarks; qvbench then runs once, very briefly, as a smoke test that also
# shows it reports an optimised build.
QV_RELEASE_BUILD="$QV_ROOT/build-release"
cmake -S "$QV_ROOT" -B "$QV_RELEASE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$QV_RELEASE_BUILD" -j "$(nproc)" >&2
"$QV_RELEASE_BUILD/qvbench" --benchmark_min_time=0.001 2>&1 | grep -E '^(qvscr_|BM_)'
# ---- end of the Release build --------------------------------------------------
