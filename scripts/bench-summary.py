#!/usr/bin/env python3
"""Collects the figures of every benchmark of the project into docs/benchmarks.md: one table with the
command, the figure, the peer's figure from the same run, the ratio and the machine. It reads the
generated blocks of docs/image-benchmarks.md and docs/pipeline-benchmarks.md, which
scripts/bench-images.sh and scripts/bench-pipeline.sh rewrite."""

import re
import sys
from pathlib import Path

docs = Path(__file__).resolve().parent.parent / "docs"


def block(text, begin, end):
    start = text.find(begin)
    stop = text.find(end, start)
    return text[start:stop] if start >= 0 and stop >= 0 else ""


def rows(section):
    """The data rows of every markdown table in the section, as lists of cells."""
    found = []
    for line in section.splitlines():
        if not line.startswith("|") or line.startswith("|---"):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        found.append(cells)
    return found


def table_after(section, heading):
    at = section.find(heading)
    return rows(section[at:].split("\n\n**", 1)[0]) if at >= 0 else []


def number(text):
    match = re.search(r"[-0-9.,]+", text or "")
    return float(match.group(0).replace(",", "")) if match else None


out = []
images = (docs / "image-benchmarks.md").read_text() if (docs / "image-benchmarks.md").exists() else ""
pipeline = (docs / "pipeline-benchmarks.md").read_text() if (docs / "pipeline-benchmarks.md").exists() else ""
gen_images = block(images, "<!-- bench-images: generated figures begin -->", "<!-- bench-images: generated figures end -->")
gen_pipeline = block(pipeline, "<!-- generated figures: begin -->", "<!-- generated figures: end -->")
machine = re.search(r"Machine: ([^\n]*)", gen_images or gen_pipeline)
machine = machine.group(1).strip() if machine else "see the source documents"

for tree, heading in (("50,000 small files", "**small files**"), ("4 x 512 MiB files", "**large files**")):
    table = {r[0]: r for r in table_after(gen_images, heading) if len(r) >= 2}
    ours = table.get("lorvane-cli build-iso --quick")
    peers = [table.get("genisoimage -J"), table.get("xorriso -as mkisofs -J")]
    peers = [p for p in peers if p]
    floor = table.get("read-plus-write floor (cat)")
    if ours and peers:
        best = min(peers, key=lambda p: number(p[1]))
        out.append(("scripts/bench-images.sh", f"build-iso --quick, {tree}", f"{ours[1]} s",
                    f"{best[0]}: {best[1]} s", f"{number(ours[1]) / number(best[1]):.2f}"))
    if ours and floor:
        out.append(("scripts/bench-images.sh", f"build-iso --quick, {tree}", f"{ours[1]} s",
                    f"copy floor: {floor[1]} s", f"{number(ours[1]) / number(floor[1]):.2f}"))

for r in rows(gen_images):
    if r and r[0].startswith("`BM_LargeCompilation"):
        out.append(("build/<dir>/bin/image_tree_bench", "600,000 files in 20,000 folders, add + prepare",
                    f"{r[1]} ms", "-", "-"))
memory = re.search(r"after preparing ([0-9.]+ MB)", gen_images)
if memory:
    out.append(("image_tree_bench --peak-memory", "peak memory of that build", memory.group(1), "limit 400 MB",
                f"{number(memory.group(1)) / 400:.2f}"))

for r in rows(gen_pipeline):
    if len(r) >= 10 and r[0] in ("dvd-r", "cd-r"):
        out.append(("scripts/bench-pipeline.sh", f"burn 50,000 files, {r[0].upper()} at {r[1]} kB/s, cache {r[3]}, "
                    f"round {r[4]}", f"{r[7]} kB/s, {r[5]} underruns", f"set speed {r[1]} kB/s", r[8]))
ours = next((r for r in rows(gen_pipeline) if r and r[0].startswith("pipeline_bench save")), None)
copy = next((r for r in rows(gen_pipeline) if r and r[0].startswith("copy")), None)
if ours and copy:
    out.append(("scripts/bench-pipeline.sh", "background image build, 4 x 512 MiB", f"{ours[1]} s",
                f"copy: {copy[1]} s", f"{number(copy[1]) / number(ours[1]):.2f} of the copy's throughput"))

lines = [
    "# Benchmarks",
    "",
    "Every benchmark of the project in one table, made by `scripts/bench-all.sh` (which runs",
    "`scripts/bench-images.sh` and `scripts/bench-pipeline.sh`, then this summary; `SKIP_RUN=1` only rebuilds",
    "the table from the figures already in docs/). Details, targets and the reading of each figure are in",
    "[image-benchmarks.md](image-benchmarks.md) and [pipeline-benchmarks.md](pipeline-benchmarks.md).",
    "",
    f"Machine: {machine}",
    "",
    "| command | what | figure | peer or limit, same run | ratio |",
    "|---|---|---|---|---|",
]
lines += [f"| `{c}` | {w} | {f} | {p} | {q} |" for c, w, f, p, q in out]
lines.append("")
(docs / "benchmarks.md").write_text("\n".join(lines))
print(f"wrote {docs / 'benchmarks.md'} ({len(out)} rows)")
sys.exit(0 if out else 1)
