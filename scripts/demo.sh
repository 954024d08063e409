#!/usr/bin/env bash
# Builds qvscr and runs qvsim's demo. Extra arguments go to qvsim
# (for example --seed 7).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" demo
exec "$QV_BUILD/qvsim" demo "$@"
