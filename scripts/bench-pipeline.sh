#!/usr/bin/env bash
# Real-time figures of the writing pipeline, written into docs/pipeline-benchmarks.md:
#  (a) the 50,000-small-file tree (500 folders, the layout of bench-images.sh) burned onto the in-process
#      virtual recorder on the system clock at 16x DVD (DVD-R, 22160 kB/s) and 52x CD (CD-R, 9173 kB/s),
#      with the 4 MiB default cache and the 2 MiB minimum: underruns the drive counted, recorded rate;
#  (b) the background image build (SaveToISO without quick save) of four 512 MiB files against a copy of
#      the same bytes into one file (cat) in the same run, and xorriso -as mkisofs -J, genisoimage -J.
#
# Environment: RUNS (default 2), BENCH_DIR (trees and images, default /var/tmp), DISC_DIR (the virtual
# disc files, default /dev/shm), BUILD_DIR (default build/h-perf), SKIP_BURN=1, SKIP_SAVE=1.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${RUNS:-2}
build=${BUILD_DIR:-$repo/build/h-perf}
doc=$repo/docs/pipeline-benchmarks.md
python=/usr/bin/python3

for tool in xorriso genisoimage cmake ninja "$python"; do
    command -v "$tool" >/dev/null || { echo "bench-pipeline: $tool is missing" >&2; exit 1; }
done
if [[ ! -f $build/build.ninja ]]; then
    # GCC 12 gives false -Wrestrict warnings at -O3 in libstdc++; the CI builds keep -Werror.
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLORVANE_TESTS=OFF \
        -DLORVANE_WERROR=OFF >/dev/null
fi
ninja -C "$build" -j2 pipeline_bench >/dev/null
bench=$build/bin/pipeline_bench

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/lorvane-pipeline.XXXXXX")
discs=$(mktemp -d "${DISC_DIR:-/dev/shm}/lorvane-disc.XXXXXX")
cleanup() { rm -rf "$work" "$discs"; }
trap cleanup EXIT

need_kb=$((5 * 1024 * 1024)) # 2 GiB tree, one 2 GiB image at a time, the small tree
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if ((free_kb < need_kb)); then
    echo "bench-pipeline: $((free_kb / 1024)) MiB free under $work, need $((need_kb / 1024)) MiB" >&2
    exit 1
fi
disc_free_kb=$(df -Pk "$discs" | awk 'NR == 2 { print $4 }')
if ((disc_free_kb < 1024 * 1024)); then
    echo "bench-pipeline: $((disc_free_kb / 1024)) MiB free under $discs, need 1024 MiB" >&2
    exit 1
fi

now() { date +%s%N; }
secs() { "$python" -c "print(f'{($2 - $1) / 1e9:.3f}')"; }
results=$work/results.txt
: >"$results"

if [[ ${SKIP_BURN:-0} != 1 ]]; then
    echo "creating the small tree under $work"
    "$python" - "$work/small" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(20240601)
block = os.urandom(1 << 20)
kinds = [".txt", ".jpg", ".pdf", ".c", ".h", ".html", ".json", ".png"]
for top in range(20):
    for sub in range(25):  # 20 top folders holding 24 folders each: 500 folders of 100 files
        folder = os.path.join(root, f"Project {top:02d}") if sub == 0 else \
            os.path.join(root, f"Project {top:02d}", f"module_{sub:02d}")
        os.makedirs(folder, exist_ok=True)
        for i in range(100):
            size = int(min(262144, random.lognormvariate(8.3, 1.1)))  # median about 4 KiB
            kind = random.choice(kinds)
            name = f"f{sub:02d}{i:03d}{kind}" if i % 3 == 0 else f"Document {i:03d} of module {sub}{kind}"
            at = random.randrange(0, len(block) - size)
            with open(os.path.join(folder, name), "wb") as out:
                out.write(block[at:at + size])
PY
    find "$work/small" -type f -print0 | xargs -0 cat >/dev/null # warm cache, as after adding the files
    for medium in dvd-r:22160 cd-r:9173; do
        for cache in 4194304 2097152; do
            for ((round = 1; round <= runs; ++round)); do
                disc=$discs/disc.img
                line=$("$bench" burn --medium "${medium%%:*}" --speed-kbs "${medium##*:}" --cache "$cache" \
                    --disc "$disc" "$work/small")
                rm -rf "$disc" "$disc".*
                echo "burn round=$round $line" | tee -a "$results"
            done
        done
    done
    echo "tree name=small files=$(find "$work/small" -type f | wc -l) bytes=$(du -sb --apparent-size "$work/small" | cut -f1)" >>"$results"
    rm -rf "$work/small"
fi

if [[ ${SKIP_SAVE:-0} != 1 ]]; then
    echo "creating the large tree under $work"
    mkdir "$work/large"
    for part in 1 2 3 4; do head -c $((512 * 1024 * 1024)) /dev/urandom >"$work/large/part$part.bin"; done
    cat "$work/large"/* >/dev/null
    out=$work/out.img
    for ((round = 0; round <= runs; ++round)); do # round 0 warms up and is not kept
        for tool in copy lorvane xorriso genisoimage; do
            sync
            sleep 1
            start=$(now)
            case $tool in
            copy) cat "$work/large"/part*.bin >"$out" ;;
            lorvane) "$bench" save --out "$out" "$work/large" >/dev/null ;;
            xorriso) xorriso -as mkisofs -J -o "$out" "$work/large" >/dev/null 2>&1 ;;
            genisoimage) genisoimage -J -o "$out" "$work/large" >/dev/null 2>&1 ;;
            esac
            end=$(now)
            size=$(stat -c %s "$out")
            rm -f "$out"
            ((round == 0)) || echo "save round=$round tool=$tool bytes=$size wall_s=$(secs "$start" "$end")" | tee -a "$results"
        done
    done
    rm -rf "$work/large"
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
machine="$(nproc) CPUs, $cpu; $(awk '/MemTotal/ { printf "%.0f GiB RAM", $2 / 1048576 }' /proc/meminfo);"
machine+=" kernel $(uname -r); trees on $(findmnt -no FSTYPE -T "$work" | head -n 1), disc files on"
machine+=" $(findmnt -no FSTYPE -T "$discs" | head -n 1)"
versions="$(xorriso -version 2>/dev/null | head -n 1); $(genisoimage --version 2>&1 | head -n 1)"
commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
figures=$("$python" - "$results" "$machine" "$versions" "$commit" "$runs" <<'PY'
import sys
results, machine, versions, commit, runs = sys.argv[1:6]
burns, saves, tree = [], {}, {}
for line in open(results):
    kind, *pairs = line.split()
    kv = dict(p.split("=", 1) for p in pairs if "=" in p)
    if kind == "burn": burns.append(kv)
    elif kind == "save": saves.setdefault(kv["tool"], []).append(float(kv["wall_s"])); size = int(kv["bytes"])
    elif kind == "tree": tree = kv
print(f"Machine: {machine}. Peers: {versions}. Commit {commit}; {runs} rounds each; other people's builds")
print("ran on the same 2 cores meanwhile, so single figures vary by several per cent.")
print()
if burns:
    print(f"**Burn of the small tree** ({int(tree['files']):,} files, {int(tree['bytes']) / 1048576:,.1f} MiB), "
          "virtual recorder on the system clock:")
    print()
    print("| medium | asked kB/s | drive wrote at kB/s | cache | round | underruns | starved (s) | recorded kB/s "
          "| vs asked | vs drive speed | wall (s) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for b in burns:
        print(f"| {b['medium']} | {b['asked_kbs']} | {b['drive_kbs']} | {int(b['cache']) // 1048576} MiB | {b['round']} "
              f"| {b['underruns']} | {b['starved_s']} | {b['rate_kbs']} | {float(b['rate_vs_asked']):.1%} "
              f"| {float(b['rate_vs_drive']):.1%} | {b['wall_s']} |")
    print()
if saves:
    best = {t: min(v) for t, v in saves.items()}
    print(f"**Background image build of four 512 MiB files** (image {size / 1048576:,.0f} MiB), best of the rounds:")
    print()
    print("| tool | best (s) | every round (s) | MB/s | vs copy | vs faster peer |")
    print("|---|---:|---|---:|---:|---:|")
    peer = min(best.get("xorriso", 1e9), best.get("genisoimage", 1e9))
    names = {"copy": "copy (cat into one file)", "lorvane": "pipeline_bench save (SaveToISO, background)",
             "xorriso": "xorriso -as mkisofs -J", "genisoimage": "genisoimage -J"}
    for t in ("copy", "lorvane", "xorriso", "genisoimage"):
        if t not in best: continue
        print(f"| {names[t]} | {best[t]:.3f} | {' '.join(f'{x:.3f}' for x in saves[t])} | {size / best[t] / 1e6:,.0f} "
              f"| {best['copy'] / best[t]:.1%} | {peer / best[t]:.1%} |")
PY
)
begin='<!-- generated figures: begin -->'
end='<!-- generated figures: end -->'
if [[ ! -f $doc ]] || ! grep -q "$begin" "$doc"; then
    printf '# Writing pipeline benchmarks\n\n%s\n%s\n' "$begin" "$end" >"$doc"
fi
"$python" - "$doc" "$begin" "$end" "$figures" <<'PY'
import sys
doc, begin, end, figures = sys.argv[1:5]
text = open(doc).read()
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
open(doc, "w").write(head + begin + "\n" + figures + "\n" + end + tail)
PY
echo "wrote $doc"
