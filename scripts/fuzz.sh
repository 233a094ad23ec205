#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build/fuzz and runs each on its corpus in
# fuzz/corpus/<target> for FUZZ_SECONDS seconds (default 60). Fails when a target crashes, leaks, runs
# out of memory or takes too long on one input (10 s; 30 s for iso_builder_fuzz, whose peer readers run as
# processes of their own and took 12 s once on a loaded machine); the input that did it is left in
# build/fuzz/artifacts/<target>/. Pass target names to run only those. FUZZ_SEED (default 1) fixes the
# order in which inputs are tried, so a run that fails fails again with the same seed; FUZZ_SEED=0 takes
# a new seed each run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
seed=${FUZZ_SEED:-1}
jobs=${FUZZ_JOBS:-2}
build=build/fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(session_import_fuzz sense_fuzz iso_builder_fuzz); fi

bash scripts/install-deps.sh

# Warnings are errors in the GCC builds of CI; clang warns about more (sign conversions) and only
# reports them here.
cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DLORVANE_FUZZ=ON -DLORVANE_WERROR=OFF -DLORVANE_TESTS=OFF -DLORVANE_GUI=OFF -DLORVANE_BENCH=OFF >/dev/null
cmake --build "${build}" -j "${jobs}" --target "${targets[@]}"

# Readable stacks in the reports.
for symbolizer in llvm-symbolizer-14 llvm-symbolizer; do
    if command -v "${symbolizer}" >/dev/null; then
        export ASAN_SYMBOLIZER_PATH="$(command -v "${symbolizer}")"
        break
    fi
done
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# The longest input of each target: the layout byte and up to 64 sectors of disc; a script of answers;
# a source tree (its 48 names take far less than 8 KiB unless file contents come from the input).
max_len() {
    case "$1" in
    session_import_fuzz) echo $((64 * 2048 + 1)) ;;
    iso_builder_fuzz) echo 8192 ;;
    *) echo 4096 ;;
    esac
}

timeout_for() {
    case "$1" in
    iso_builder_fuzz) echo 30 ;;
    *) echo 10 ;;
    esac
}

failed=()
for target in "${targets[@]}"; do
    corpus="fuzz/corpus/${target}"
    # New inputs the run finds go to a scratch folder, so the corpus in the repository stays as it is.
    scratch="${build}/found/${target}"
    artifacts="${build}/artifacts/${target}"
    mkdir -p "${scratch}" "${artifacts}"
    echo "== ${target}: ${seconds} s on ${corpus}"
    if ! "${build}/bin/${target}" -max_total_time="${seconds}" -seed="${seed}" -max_len="$(max_len "${target}")" -timeout="$(timeout_for "${target}")" \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="${artifacts}/" "${scratch}" "${corpus}"; then
        echo "== ${target}: FAILED; the input is in ${artifacts}/"
        failed+=("${target}")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]}"
    exit 1
fi
