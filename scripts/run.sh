#!/usr/bin/env bash
# Installs what the build needs, builds Lorvane and starts it. Until the desktop program lands this runs
# lorvane-cli: with no recorder attached, the virtual recorder module beside it serves as the drive.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
if [ $# -eq 0 ]; then set -- drives; fi
exec build/dev/bin/lorvane-cli "$@"
