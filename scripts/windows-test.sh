#!/usr/bin/env bash
# The Windows image end to end: builds qvscr.sys with the mingw-w64 toolchain,
# checks the image, and loads it under Wine. Run by test.sh.
set -euo pipefail
QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$QV_ROOT/scripts/windows-build.sh" >/dev/null
"$QV_ROOT/scripts/windows-check.sh"
"$QV_ROOT/scripts/windows-load-test.sh"
