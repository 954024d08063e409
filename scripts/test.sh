#!/usr/bin/env bash
# Builds qvscr and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"
