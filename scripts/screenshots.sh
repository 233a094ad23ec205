#!/usr/bin/env bash
# Saves a picture of each window of the desktop program into docs/screenshots/: the main window after
# start-up on the virtual recorder, and the settings dialog. Runs the program under Xvfb with a blank
# CD-R in a scratch disc file and a scratch settings folder, so nothing of the user's own is touched.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target lorvane wnaspi32

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p docs/screenshots
HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    LORVANE_VIRTUAL_DISC="$scratch/data/virtual-disc.img" LORVANE_VIRTUAL_MEDIUM=cd-r \
    xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
    build/dev/bin/lorvane --screenshots "$PWD/docs/screenshots"
ls -l docs/screenshots
