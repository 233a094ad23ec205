#!/usr/bin/env bash
# Runs every benchmark of the project and rewrites docs/benchmarks.md from their figures. SKIP_RUN=1 only
# rebuilds the summary from the figures already in docs/. Takes about half an hour on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SKIP_RUN:-}" != 1 ]; then
    bash scripts/bench-images.sh
    bash scripts/bench-pipeline.sh
fi
/usr/bin/python3 scripts/bench-summary.py
