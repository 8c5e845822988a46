"""Benchmark nucla against pysam, pyfastx and samtools; publish the results.

    python bench/run.py            # full size (~2.4 GB of data), writes bench/results/
    python bench/run.py --smoke    # tiny data in a temp dir, a few seconds

Each (tool, workload, repetition) runs in a fresh process (bench/worker.py)
with the page cache warmed first; the tables report the median of the
repetitions and the largest peak RSS.  See bench/README.md.
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from importlib import metadata

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import arrays  # noqa: E402
import gen  # noqa: E402
import genomekit_genome  # noqa: E402

TOOLS = ["nucla", "pysam", "pyfastx", "samtools"]
PEERS = TOOLS[1:]
# The array workloads' other routes (bench/arrays.py); in the main tables "nucla" is the array call.
EXTRA_ROUTES = ["nucla_many", "genomekit", "floor_c"]
CHART_PEERS = PEERS + ["genomekit"]

# name: (label, unit, how to turn a median run into the shown number, floor source)
WORKLOADS = {
    "build_genome": ("Index build, genome (from scratch)", "s", "seconds", "read_genome"),
    "build_contigs": ("Index build, 200k contigs (from scratch)", "s", "seconds", "read_contigs"),
    "open_contigs": ("Open 200k-contig file with index + 1 fetch", "ms", "ms", None),
    "open_scaffolds": ("Open 2M-scaffold file with index + 1 fetch", "ms", "ms", None),
    "fetch_single": ("Random 100-base fetch, Python loop", "µs/call", "us_per_item", "str_single"),
    "batch_many": ("Batch of BED regions, many chromosomes", "s", "seconds", "str_many"),
    "batch_one": ("Batch of BED regions, one chromosome", "s", "seconds", "str_one"),
    "whole_chrom": ("Whole largest chromosome", "GB/s", "gbps", "read_bw"),
    "iter_lines": ("Iterate lines of a ~10 Mbase record", "s", "seconds", "str_lines"),
    "build_gz": ("Index build, bgzip genome (from scratch)", "s", "seconds", "read_gz"),
    "fetch_single_gz": ("Random 100-base fetch, bgzip genome, Python loop", "µs/call", "us_per_item", "str_single"),
    "batch_many_gz": ("Batch of BED regions, many chromosomes, bgzip genome", "s", "seconds", "str_many"),
    "cli_bed": ("BED regions to a FASTA file, command line", "s", "seconds", None),
    "cli_bed_gz": ("BED regions to a BGZF .gz file, command line (samtools: plain)", "s", "seconds", None),
    "win_bytes": ("Fixed 1,000-base windows as uint8 bytes [N, 1000]", "s", "seconds", "floor_c"),
    "win_codes": ("Fixed windows as integer codes [N, 1000]", "s", "seconds", "floor_c"),
    "win_onehot": ("Fixed windows one-hot [N, 1000, 4], new array", "s", "seconds", "floor_c"),
    "win_onehot_out": ("Fixed windows one-hot into a caller's array (out=)", "s", "seconds", "floor_c"),
    "packed": ("BED regions as packed uint8 + int64 offsets", "s", "seconds", "floor_c"),
}
# Array workloads that are not times: a second thread's progress, peak private memory.
ARRAY_EXTRAS = ["gil", "mem_windows", "mem_packed"]
ROUTE_LABELS = {
    "pysam": "pysam fetch + numpy", "pyfastx": "pyfastx slices + numpy",
    "genomekit": "GenomeKit (own 2bit genome) + numpy", "nucla_many": "nucla `fetch_many` + numpy",
    "nucla": "nucla `fetch_windows` / `fetch_packed`", "floor_c": "C++ floor, 2 threads, new buffer",
    "floor_c_reused": "C++ floor, 2 threads, reused buffer"}
FLOORS = {
    "read_bw": ("Page-cache read bandwidth of genome.fa", "GB/s", "gbps"),
    "memcpy_bw": ("memcpy bandwidth (numpy copy)", "GB/s", "gbps"),
    "str_single": ("Python loop making one 100-base str per call (str slicing)", "µs/call", "us_per_item"),
    "str_many": ("Make the many-chromosome batch's strings in C (str.split)", "s", "seconds"),
    "str_one": ("Make the one-chromosome batch's strings in C (str.split)", "s", "seconds"),
    "str_lines": ("Make the iterated record's line strings in C (str.split)", "s", "seconds"),
}
NOTES = [
    "Each cell is the median over the repetitions, each run in a fresh worker process; "
    "imports, reading the BED file and opening the file (except for the open workload) are not timed.",
    "All Python tools return the same strings (checked by md5 on the first repetition); nucla's "
    "`Sequence` results are turned into `str` inside the timed section.",
    "Peers have no batch call: they loop over the regions building a list of strings "
    "(pysam `FastaFile.fetch`, pyfastx slices of records); nucla uses `fetch_many` / `fetch_many_same_chr`.",
    "pyfastx fetches are slices of record objects kept in a dict (`rec[start:end].seq`): its "
    "`Fasta.fetch` re-reads the whole chromosome on each call (tens of ms per call at full size) and "
    "`Fasta[name]` costs an index lookup per call, so this is its fastest route.",
    "samtools is the command line (`samtools faidx`, regions via `-r`, output to /dev/null as "
    "FASTA), timed as a whole process; its memory is the samtools process's own peak RSS (GNU time).",
    "Line iteration: nucla and pyfastx iterate a record line by line natively; pysam has no line "
    "iterator, so it fetches each line-sized slice.",
    "Index build: nucla `Faidx`, `pysam.faidx`, `samtools faidx` all write a .fai; pyfastx builds "
    "its own SQLite .fxi index (`Fasta(path, build_index=True)`). The floor is one read of the file "
    "at page-cache bandwidth.",
    "pyfastx opens its SQLite index lazily; the open workload therefore includes one fetch.",
    "Peak memory is the worker's own peak RSS (VmHWM). nucla memory-maps the FASTA file, so the "
    "file pages it touches count in its RSS although they are the shared page cache, not private memory.",
    "bgzip rows: `genome.fa.gz`, made from the same genome with `bgzip -@2` (same bases, same "
    "checks). Its index build writes the `.fai` and the `.gzi` (nucla `Faidx`, `pysam.faidx`, "
    "`samtools faidx`) or pyfastx's `.fxi` with its own gzip index; the floor is one read of the "
    ".gz. The single fetches are a fifth as many calls as on the plain file (20,000 at full size).",
    "Command-line rows: the regions of `many.bed` written to a file in $TMPDIR by whole processes: "
    "`nucla genome.fa --bed many.bed -@ 2 -o out.fa` (or `out.fa.gz`, BGZF-compressed on the two "
    "threads) against `samtools faidx genome.fa -r regions -o out.fa` (plain text in both rows: "
    "samtools 1.16.1 cannot compress). The check compares the uncompressed output; memory is the "
    "command's own peak RSS (GNU time).",
    "n/a: the nucla feature is not available in the installed build; —: the tool has no such operation.",
    "Array rows: 100,000 windows of 1,000 bases centred on random bases (two more over the genome's "
    "first and last base, so padding is exercised) and the 200,000 regions of `many.bed` packed as "
    "uint8 data + int64 offsets; all on the plus strand. nucla is `fetch_windows` / `fetch_packed` "
    "(n/a on builds without them); the peers fetch a str per region (clamped to the sequence, padded "
    "with N), join, and encode with numpy (codes: `bytes.translate`; one-hot: a gather from a "
    "256-entry uint32 table, with `out=` into the caller's array). The floor is bench/floor/arrays.cpp "
    "(mmap, whole-line copies, a 256-entry table, 2 threads; new buffer, or the reused one for `out=`). "
    "Outputs are compared by md5, the file bytes upper-cased (GenomeKit's genome keeps no lower case).",
]


def machine_info():
    def grep(path, key):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "?"
    mem_kb = grep("/proc/meminfo", "MemTotal").split()[0]
    return {
        "cpu": grep("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "ram_gib": round(int(mem_kb) / 2**20, 1) if mem_kb.isdigit() else "?",
        "kernel": platform.release(),
        "python": platform.python_version(),
        "loadavg_at_start": os.getloadavg()[0],
    }


def versions():
    out = {}
    for pkg in ("nucla", "pysam", "pyfastx", "numpy", "genomekit"):
        try:
            out[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            out[pkg] = None
    try:
        r = subprocess.run(["samtools", "--version"], capture_output=True, text=True, errors="replace")
        out["samtools"] = r.stdout.split("\n")[0].split()[-1]
    except OSError:
        out["samtools"] = None
    return out


def importable(name):
    try:
        __import__(name)
        return True
    except ImportError:
        return False


def install():
    # genomekit brings no other FASTA reader (its own needs: numpy, boto3, google-cloud-storage, ...)
    missing = [p for p in ("numpy", "pysam", "pyfastx", "matplotlib") if not importable(p)]
    missing += [] if importable("genome_kit") else ["genomekit"]
    if missing:
        print("installing", *missing, flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=False)
    apt = [pkg for cmd, pkg in (("samtools", "samtools"), ("bgzip", "tabix")) if shutil.which(cmd) is None]
    if apt:
        print("installing", *apt, flush=True)
        cmd = ["apt-get", "install", "-y", "-q", *apt]
        if subprocess.run(cmd).returncode:
            subprocess.run(["apt-get", "update", "-q"])
            subprocess.run(cmd)
    root = os.path.dirname(HERE)
    if not importable("nucla") and any(
            os.path.exists(os.path.join(root, f)) for f in ("pyproject.toml", "setup.py")):
        print("installing nucla from", root, flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", root], check=False)


def warm(paths):
    buf = bytearray(16 << 20)
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


def link_build_copies(d):
    """build/ holds links to the FASTA files so index builds never touch the shared indexes."""
    bdir = os.path.join(d, "build")
    os.makedirs(bdir, exist_ok=True)
    for name in ("genome.fa", "contigs.fa", "genome.fa.gz"):
        if not os.path.exists(os.path.join(d, name)):
            continue
        dst = os.path.join(bdir, name)
        if os.path.exists(dst):
            os.remove(dst)
        try:
            os.link(os.path.join(d, name), dst)
        except OSError:
            shutil.copyfile(os.path.join(d, name), dst)


def build_floor(data_dir):
    """Compile the array workloads' floor program into the data directory (once per change)."""
    src = os.path.join(HERE, "floor", "arrays.cpp")
    exe = os.path.join(data_dir, "floor-arrays")
    if os.path.exists(exe) and os.path.getmtime(exe) >= os.path.getmtime(src):
        return None
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:  # its cells are n/a, as for a peer that is not installed
        print("no C++ compiler: the array floor is not built", flush=True)
        return None
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    r = subprocess.run([cxx, "-std=c++17", "-O3", "-march=native", "-pthread", "-o", exe, src],
                       capture_output=True, text=True, env=env)
    return f"the array floor did not compile: {r.stderr.strip()[-300:]}" if r.returncode else None


def run_worker(tool, workload, manifest, check=False, timeout=900):
    cmd = [sys.executable, os.path.join(HERE, "worker.py"), tool, workload, manifest]
    if check:
        cmd.append("--check")
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timeout after {timeout}s"}
    if r.returncode:
        return {"error": (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]}
    return json.loads(r.stdout.strip().splitlines()[-1])


def summarize(runs):
    """Collapse repetitions into one cell."""
    ok = [r for r in runs if "seconds" in r]
    if not ok:
        bad = runs[0] if runs else {"error": "not run"}
        return {"na": bad.get("na"), "error": bad.get("error"), "why": bad.get("why")}
    cell = {"seconds": statistics.median(r["seconds"] for r in ok),
            "runs": [r["seconds"] for r in ok],
            "maxrss_mib": max(r["maxrss_kb"] for r in ok) / 1024}
    for k in ("items", "bases", "check", "output_bytes"):
        if k in ok[0]:
            cell[k] = ok[0][k]
    for k in ("reused_seconds", "progress", "private_kb"):
        if k in ok[0]:
            cell[k] = statistics.median(r[k] for r in ok)
    errors = [r["error"] for r in runs if "error" in r]
    if errors:
        cell["failed_runs"] = errors
    return cell


def value(cell, how):
    if not cell or "seconds" not in cell:
        return None
    s = cell["seconds"]
    return {"seconds": s, "ms": s * 1e3, "us_per_item": s / max(1, cell.get("items", 1)) * 1e6,
            "gbps": cell.get("bases", 0) / s / 1e9 if s else None}[how]


def fmt(x):
    if x is None:
        return "—"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.3g}" if x >= 0.01 else f"{x:.2g}"


def cell_text(cell, how):
    if "seconds" in cell:
        return fmt(value(cell, how))
    return {"not available": "n/a", "not installed": "n/a", "not applicable": "—"}.get(cell.get("na"), "error")


def floor_for(res, workload, sizes):
    src = WORKLOADS[workload][3]
    if src == "floor_c":
        return value(res["cells"][workload].get("floor_c"), "seconds")
    floors = res["floors"]
    rb = value(floors.get("read_bw"), "gbps")
    if src in sizes:
        return sizes[src] / (rb * 1e9) if rb else None
    if src is None or src not in floors:
        return None
    return value(floors[src], WORKLOADS[workload][2])


def speedup(res, workload, peer):
    a, b = res["cells"][workload].get("nucla", {}), res["cells"][workload].get(peer, {})
    if "seconds" in a and "seconds" in b and a["seconds"] > 0:
        return b["seconds"] / a["seconds"]
    return None


def markdown(res):
    m, v, d = res["machine"], res["versions"], res["data"]
    lines = [
        "# nucla benchmark results", "",
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['ram_gib']} GiB RAM, Linux {m['kernel']}, "
        f"Python {m['python']} (load average at start {m['loadavg_at_start']:.2f}).  ",
        "Versions: " + ", ".join(f"{k} {v[k] or 'not installed'}" for k in v) + ".  ",
        f"Data (seeded, scale {d['scale']}): genome {d['genome_bases'] / 1e6:.0f} Mbases in "
        f"{len(d['chroms'])} chromosomes (60-base lines); {d['contigs']} contigs, "
        f"{d['contig_bases'] / 1e6:.0f} Mbases (80-base lines); {d['regions']} BED regions of 200-2,000 "
        f"bases; {d['single_fetches']} single fetches; line iteration over {d['iter_record']}; "
        f"largest chromosome {d['largest']}"
        + (f"; bgzip copy {res['sizes']['read_gz'] / 1e6:.3g} MB.  " if "read_gz" in res["sizes"] else ".  "),
        f"Median of {res['reps']} runs, each in a fresh process, page cache warm. "
        f"Run on {res['date']}, took {res['wall_seconds'] / 60:.1f} min.", "",
        "## Time", "",
        "| workload | unit | " + " | ".join(TOOLS) + " | floor |",
        "|---|---|" + "---:|" * (len(TOOLS) + 1),
    ]
    for w, (label, unit, how, _) in WORKLOADS.items():
        if w not in res["cells"]:
            continue
        cells = res["cells"][w]
        row = [cell_text(cells.get(t, {"na": "not applicable"}), how) for t in TOOLS]
        lines.append(f"| {label} | {unit} | " + " | ".join(row) + f" | {fmt(floor_for(res, w, res['sizes']))} |")
    lines += ["", "## nucla speed-up (peer time / nucla time; above 1 means nucla is faster)", "",
              "| workload | " + " | ".join(f"vs {p}" for p in PEERS) + " |",
              "|---|" + "---:|" * len(PEERS)]
    for w, (label, *_rest) in WORKLOADS.items():
        if w in res["cells"]:
            lines.append(f"| {label} | " + " | ".join(
                (f"{s:.3g}×" if (s := speedup(res, w, p)) else "—") for p in PEERS) + " |")
    lines += ["", "## Peak memory (max RSS of the worker process, MiB)", "",
              "| workload | " + " | ".join(TOOLS) + " |", "|---|" + "---:|" * len(TOOLS)]
    for w, (label, *_rest) in WORKLOADS.items():
        if w in res["cells"]:
            lines.append(f"| {label} | " + " | ".join(
                f"{c['maxrss_mib']:.0f}" if "maxrss_mib" in (c := res["cells"][w].get(t, {})) else "—"
                for t in TOOLS) + " |")
    lines += ["", "## Physical floors (same run)", "", "| floor | unit | value |", "|---|---|---:|"]
    for f, (label, unit, how) in FLOORS.items():
        if f in res["floors"]:
            lines.append(f"| {label} | {unit} | {cell_text(res['floors'][f], how)} |")
    lines += array_markdown(res)
    lines += ["", "## Notes", ""] + [f"- {n}" for n in NOTES + res["problems"]]
    return "\n".join(lines) + "\n"


def ratio(res, slow, fast):
    """Time of cell `slow` over time of cell `fast`, each given as (workload, route)."""
    a, b = (res["cells"].get(w, {}).get(t, {}) for w, t in (slow, fast))
    return a["seconds"] / b["seconds"] if "seconds" in a and "seconds" in b and b["seconds"] else None


def best_peer(res, *workloads):
    """(workload, route) of the fastest peer cell among the given workloads."""
    cells = [(c["seconds"], (w, t)) for w in workloads for t in ("pysam", "pyfastx", "genomekit")
             if "seconds" in (c := res["cells"].get(w, {}).get(t, {}))]
    return min(cells)[1] if cells else (None, None)


def array_markdown(res):
    """The array section: every route, the second thread's progress, memory and the targets."""
    timed = [w for w in arrays.TIMED if w in res["cells"]]
    if not timed:
        return []
    lines = ["", "## Arrays: every route (seconds)", "",
             "| route | " + " | ".join(WORKLOADS[w][0] for w in timed) + " |",
             "|---|" + "---:|" * len(timed)]
    for route in arrays.ROUTES + ["floor_c_reused"]:
        key = "reused_seconds" if route == "floor_c_reused" else "seconds"
        cells = [res["cells"][w].get(route.replace("_reused", ""), {}) for w in timed]
        if any(cells):
            lines.append(f"| {ROUTE_LABELS[route]} | " + " | ".join(
                fmt(c[key]) if key in c else cell_text(c or {"na": "not applicable"}, "seconds")
                for c in cells) + " |")
    extras = [w for w in ARRAY_EXTRAS if w in res["cells"]]
    if extras:
        lines += ["", "| measure | " + " | ".join(ROUTE_LABELS[r] for r in arrays.ROUTES[:-1]) + " |",
                  "|---|" + "---:|" * (len(arrays.ROUTES) - 1)]
        labels = {"gil": "second Python thread's progress during the batch (share of alone)",
                  "mem_windows": "peak private memory / output, windows as codes",
                  "mem_packed": "peak private memory / output, packed regions"}
        for w in extras:
            row = []
            for r in arrays.ROUTES[:-1]:
                c = res["cells"][w].get(r, {})
                if "progress" in c:
                    row.append(f"{c['progress']:.0%}")
                elif "private_kb" in c:
                    row.append(f"{c['private_kb'] * 1024 / c['output_bytes']:.2f}")
                else:
                    row.append(cell_text(c, "seconds") if c else "—")
            lines.append(f"| {labels[w]} | " + " | ".join(row) + " |")
    targets = [
        ("codes, new array: vs pysam + numpy", ("win_codes", "pysam"), ("win_codes", "nucla"), 15),
        ("codes, new array: vs GenomeKit", ("win_codes", "genomekit"), ("win_codes", "nucla"), 3),
        ("one-hot into `out=`: vs the best peer route",
         best_peer(res, "win_onehot", "win_onehot_out"), ("win_onehot_out", "nucla"), 10),
        ("one-hot into `out=`: the floor (reused buffer) vs nucla, at least 1/1.3",
         ("win_onehot_out", "floor_c"), ("win_onehot_out", "nucla"), 1 / 1.3),
        ("one-hot, new array: vs the best peer route",
         best_peer(res, "win_onehot", "win_onehot_out"), ("win_onehot", "nucla"), 3),
        ("packed: vs pysam loop + join", ("packed", "pysam"), ("packed", "nucla"), 8),
        ("packed: vs nucla `fetch_many` + join", ("packed", "nucla_many"), ("packed", "nucla"), 5),
    ]
    lines += ["", "| target (speed-up, same run) | goal | measured | met |", "|---|---:|---:|:---:|"]
    for label, slow, fast, goal in targets:
        x = ratio(res, slow, fast) if slow[0] else None
        lines.append(f"| {label} | {goal:.3g}× | " + (f"{x:.3g}× | {'yes' if x >= goal else 'no'} |"
                                                      if x else "n/a | — |"))
    # (The second thread's progress has no goal: the pool's threads run at the process's
    # priority, so how much a second thread gets is the system's share-out, reported as it is.)
    for w, label, goal in (("mem_windows", "peak private memory / output, windows", 1.1),
                           ("mem_packed", "peak private memory / output, packed", 1.1)):
        c = res["cells"].get(w, {}).get("nucla", {})
        x = c.get("private_kb")
        if x is not None:
            x = x * 1024 / c["output_bytes"]
        ok = x is not None and x <= goal
        lines.append(f"| {label} | ≤ {goal:.3g} | " + (f"{x:.3g} | {'yes' if ok else 'no'} |"
                                                       if x is not None else "n/a | — |"))
    return lines


def chart(res, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib missing: no chart", file=sys.stderr)
        return
    labels = [WORKLOADS[w][0] for w in WORKLOADS if w in res["cells"]]
    keys = [w for w in WORKLOADS if w in res["cells"]]
    fig, ax = plt.subplots(figsize=(11, 0.7 * len(keys) + 1.5))
    h = 0.8 / len(CHART_PEERS)
    any_bar = False
    for i, peer in enumerate(CHART_PEERS):
        ys, xs = [], []
        for j, w in enumerate(keys):
            s = speedup(res, w, peer)
            if s:
                ys.append(j + (i - (len(CHART_PEERS) - 1) / 2) * h)
                xs.append(s)
        if xs:
            any_bar = True
            bars = ax.barh(ys, xs, height=h, label=f"vs {peer}")
            ax.bar_label(bars, labels=[f"{x:.3g}×" for x in xs], padding=2, fontsize=7)
    ax.set_yticks(range(len(keys)), labels)
    ax.invert_yaxis()
    ax.axvline(1, color="black", lw=0.8)
    if any_bar:
        ax.set_xscale("log")
        ax.margins(x=0.12)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1))
    else:
        ax.text(0.5, 0.5, "no nucla results yet", transform=ax.transAxes, ha="center")
    ax.set_xlabel("nucla speed-up (peer time / nucla time, log scale; > 1 is faster)")
    ax.set_title(f"nucla speed-up per workload ({res['machine']['cores']} cores, median of {res['reps']})")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def check_outputs(res):
    problems = []
    for w, cells in res["cells"].items():
        sums = {t: c["check"] for t, c in cells.items() if c.get("check")}
        if len(set(sums.values())) > 1:
            problems.append(f"outputs differ for {w}: " + ", ".join(f"{t} {s[:8]}" for t, s in sums.items()))
        for t, c in cells.items():
            if c.get("na") == "not available":
                problems.append(f"{t} n/a on {w}: {c.get('why')}")
            if c.get("error") or c.get("failed_runs"):
                problems.append(f"{t} failed on {w}: {c.get('error') or c['failed_runs'][0]}")
    return problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny data in a temp dir, 1 run, no installs")
    ap.add_argument("--scale", type=float, default=1.0, help="data size relative to full (1 = ~1 GB genome)")
    ap.add_argument("--reps", type=int, default=5, help="runs per (tool, workload); the median is shown")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--cache", default=os.environ.get("NUCLA_BENCH_CACHE", os.path.expanduser("~/.cache/nucla-bench")))
    ap.add_argument("--out", help="results directory (default bench/results, or the temp dir with --smoke)")
    ap.add_argument("--tools", default=",".join(TOOLS + EXTRA_ROUTES))
    ap.add_argument("--workloads", default=",".join(list(WORKLOADS) + ARRAY_EXTRAS),
                    help="comma list (floors always run)")
    ap.add_argument("--no-install", action="store_true")
    a = ap.parse_args(argv)
    tmp = None
    if a.smoke:
        tmp = tempfile.mkdtemp(prefix="nucla-bench-smoke-")
        a.scale, a.reps, a.no_install = 0.001, 1, True
        a.cache = tmp
        a.out = a.out or tmp
    a.out = a.out or os.path.join(HERE, "results")
    tools = [t for t in a.tools.split(",") if t]
    workloads = [w for w in a.workloads.split(",") if w]
    t_start = time.time()
    if not a.no_install:
        install()
    data_dir = os.path.join(a.cache, f"scale-{a.scale:g}-seed{a.seed}")
    print(f"data in {data_dir}", flush=True)
    m = gen.generate(data_dir, a.scale, a.seed)
    manifest = os.path.join(data_dir, "manifest.json")
    link_build_copies(data_dir)
    genome, contigs = os.path.join(data_dir, "genome.fa"), os.path.join(data_dir, "contigs.fa")
    scaffolds = os.path.join(data_dir, "scaffolds.fa")
    gz = genome + ".gz"
    two_bit = os.path.join(arrays.genomekit_dir(m), genomekit_genome.REFG + ".2bit")
    sizes = {"read_genome": os.path.getsize(genome), "read_contigs": os.path.getsize(contigs)}
    skipped = []
    if os.path.exists(gz):
        sizes["read_gz"] = os.path.getsize(gz)
    elif any(w.endswith("_gz") for w in workloads):
        skipped = ["bgzip not found (Debian package tabix): the bgzip workloads were not run"]
        workloads = [w for w in workloads if not w.endswith("_gz")]
    res = {"machine": machine_info(), "versions": versions(), "reps": a.reps,
           "date": time.strftime("%Y-%m-%d %H:%M %Z"), "data": m, "sizes": sizes,
           "cells": {}, "floors": {}, "raw": []}
    if "pyfastx" in tools:  # its own index for the fetch workloads, untimed
        if not all(os.path.exists(p + ".fxi") for p in (genome, contigs, scaffolds, gz)
                   if os.path.exists(p)):
            print("pyfastx: building its index once (untimed)", flush=True)
        run_worker("pyfastx", "prepare", manifest)
    if any(w in arrays.WORKLOADS for w in workloads):
        if "genomekit" in tools and importable("genome_kit"):
            print("genomekit: making its 2bit genome once (untimed)", flush=True)
            run_worker("genomekit", "prepare", manifest)
        if "floor_c" in tools and (why := build_floor(data_dir)):
            skipped.append(why)

    def record(tool, workload, r):
        r.setdefault("tool", tool)
        r.setdefault("workload", workload)
        res["raw"].append(r)
        status = f"{r['seconds']:.4f}s" if "seconds" in r else (r.get("na") or r.get("error"))
        print(f"  {tool:9s} {workload:16s} {status}", flush=True)
        return r

    for w in workloads:
        warm([contigs] if w in ("build_contigs", "open_contigs")
             else [scaffolds] if w == "open_scaffolds"
             else [gz] if w.endswith("_gz")
             else [genome, two_bit] if w in arrays.WORKLOADS and os.path.exists(two_bit)
             else [genome])
        runs = {t: [] for t in tools
                if (t in arrays.ROUTES_FOR[w] if w in arrays.WORKLOADS else t in TOOLS)}
        for rep in range(a.reps):
            for t in runs:
                if rep and runs[t] and "na" in runs[t][-1]:
                    continue  # not available / not applicable: once is enough
                runs[t].append(record(t, w, run_worker(t, w, manifest, check=rep == 0)))
        res["cells"][w] = {t: summarize(r) for t, r in runs.items()}
    warm([genome])
    floors = {f: [] for f in FLOORS}
    for rep in range(a.reps):
        for f in FLOORS:
            floors[f].append(record("floor", f, run_worker("floor", f, manifest)))
    res["floors"] = {f: summarize(r) for f, r in floors.items()}
    res["problems"] = skipped + check_outputs(res)
    res["wall_seconds"] = time.time() - t_start
    os.makedirs(a.out, exist_ok=True)
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(res, f, indent=1)
    with open(os.path.join(a.out, "results.md"), "w") as f:
        f.write(markdown(res))
    chart(res, os.path.join(a.out, "speedup.png"))
    if tmp:
        shutil.rmtree(data_dir if a.out == tmp else tmp)
    print(f"results in {a.out} ({res['wall_seconds']:.0f} s)")
    for p in res["problems"]:
        print("problem:", p)
    return 1 if any("failed" in p for p in res["problems"]) else 0


if __name__ == "__main__":
    sys.exit(main())
