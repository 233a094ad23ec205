#!/usr/bin/env bash
# Installs what the build needs, builds Lorvane and starts the desktop program. With arguments it runs
# lorvane-cli with them instead (for example: scripts/run.sh drives).
#
# Without a recorder attached (no /dev/sr*), the program's transport finds no drive through SG_IO and
# loads the manager module libwnaspi32.so, which the build puts beside the programs (they carry an
# $ORIGIN run path): the virtual recorder, with its disc in ~/.local/share/lorvane/virtual-disc.img
# ($LORVANE_VIRTUAL_DISC chooses another file, $LORVANE_VIRTUAL_MEDIUM the kind of a new disc).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
if [ $# -gt 0 ]; then exec build/dev/bin/lorvane-cli "$@"; fi
exec build/dev/bin/lorvane
