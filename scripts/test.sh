#!/usr/bin/env bash
# Builds qvscr and runs every test.
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$scripts/setup.sh"
cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"

# --- Verifier mutation run: every verifier rule, disabled in turn, must be
# noticed by a test (docs/verifier-rules.md). About a minute.
"$scripts/verifier-mutations.sh" "$QV_BUILD"
