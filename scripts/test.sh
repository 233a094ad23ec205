#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test: the warnings-as-errors build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build and the ThreadSanitizer build. Pass --fast to run
# only the first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
run_preset() {
    local preset=$1
    echo "== ${preset}: configure and build"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    echo "== ${preset}: tests"
    ctest --preset "${preset}" -j "${jobs}"
}

run_preset ci
if [ "${1:-}" != "--fast" ]; then
    run_preset asan
    run_preset tsan
fi
