#!/usr/bin/env bash
# Builds qvscr and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# --- The Windows image ------------------------------------------------------
# qvscr.sys cross-compiled with mingw-w64 from the same driver sources, its
# headers, sections, checksum and imports checked, and DriverEntry run under
# Wine (scripts/windows-test.sh; about a minute).
"$QV_ROOT/scripts/windows-test.sh"
# -----------------------------------------------------------------------------

cd "$QV_BUILD"
ctest --output-on-failure -j "$(nproc)"
