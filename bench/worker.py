"""Run ONE workload for ONE tool in this process and print one JSON line.

    python bench/worker.py TOOL WORKLOAD MANIFEST [--check]

TOOL is nucla, pysam, pyfastx, samtools or floor (the physical floors); the array
workloads (bench/arrays.py) have their own routes: nucla, nucla_many, pysam, pyfastx,
genomekit and floor_c.
Input preparation (reading BED files, converting coordinates, opening files
where the workload is not about opening) is not timed; only the call that
produces the output strings (or, for the command-line workloads, the output
file) is.  The JSON line holds:
  seconds     timed section, wall clock
  maxrss_kb   peak RSS of this process (of the command, for a command line)
  items       number of output strings (records of an output file), bases:
              their total length (an output file's uncompressed bytes)
  file_bytes  an output file's size on disk (compressed or not)
  check       md5 of the outputs (with --check), to compare tools
  na          set instead of seconds when the tool cannot run this workload
The array workloads add output_bytes, and as they apply reused_seconds (the floor into a
reused buffer), progress (the gil workload) and private_kb (the mem_ workloads).
"""
import gzip
import hashlib
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import sysconfig
import time
from itertools import accumulate

import arrays

clock = time.perf_counter
TMP = os.environ.get("TMPDIR", "/tmp")
RSS_FILE = os.path.join(TMP, f"nucla-bench-{os.getpid()}.rss")
REGIONS_FILE = os.path.join(TMP, f"nucla-bench-{os.getpid()}.regions")
OUTPUT_BASE = os.path.join(TMP, f"nucla-bench-{os.getpid()}.out")
CLI_THREADS = "2"


NotApplicable = arrays.NotApplicable  # the tool has no way to run this workload


def load_bed(path):
    out = []
    with open(path) as f:
        for line in f:
            c, s, e = line.split("\t")[:3]
            out.append((c, int(s), int(e)))
    return out


def single_regions(m, width=100, count=None):
    """Seeded random 100-base windows over the genome (0-based half-open)."""
    rnd = random.Random(m["seed"])
    names = [c for c, _ in m["chroms"]]
    lens = [n for _, n in m["chroms"]]
    idx = rnd.choices(range(len(names)), cum_weights=list(accumulate(lens)),
                      k=count or m["single_fetches"])
    out = []
    for i in idx:
        s = rnd.randrange(0, lens[i] - width)
        out.append((names[i], s, s + width))
    return out


def chrom_len(m, name):
    return dict((c, n) for c, n in m["chroms"])[name]


def fai_entry(path, name):
    with open(path + ".fai") as f:
        for line in f:
            p = line.split("\t")
            if p[0] == name:
                return [int(x) for x in p[1:5]]
    raise KeyError(name)


def timed_command(*argv):
    """A command run as a whole process; GNU time, when present, gives its own peak RSS
    (see peak_rss_kb)."""
    timer = ["/usr/bin/time", "-f", "%M", "-o", RSS_FILE] if os.path.exists("/usr/bin/time") else []
    return lambda: subprocess.run([*timer, *argv], check=True)


def nucla_cli():
    """The nucla command: NUCLA_CLI, else beside this interpreter (pip install . puts it
    there), else on PATH."""
    if os.environ.get("NUCLA_CLI"):
        return os.environ["NUCLA_CLI"]
    candidate = os.path.join(sysconfig.get_path("scripts"), "nucla")
    if os.access(candidate, os.X_OK):
        return candidate
    found = shutil.which("nucla")
    if found is None:
        raise NotImplementedError("the nucla command is not installed")
    return found


class OutputFile:
    """What a command-line workload wrote, summarised after the timed section."""

    def __init__(self, path):
        self.path = path

    def summary(self, check):
        out = {"file_bytes": os.path.getsize(self.path)}
        opener = gzip.open if self.path.endswith(".gz") else open
        h = hashlib.md5()
        items = size = 0
        last = b"\n"
        with opener(self.path, "rb") as f:
            while chunk := f.read(16 << 20):
                items += chunk.count(b"\n>") + (last == b"\n" and chunk[:1] == b">")
                size += len(chunk)
                last = chunk[-1:]
                if check:
                    h.update(chunk)
        out.update(items=items, bases=size)
        if check:
            out["check"] = h.hexdigest()
        os.remove(self.path)
        return out


# --- tools: each method prepares (untimed) and returns the timed callable ---

class Nucla:
    def __init__(self):
        import nucla
        self.m = nucla

    def build(self, path):
        return lambda: self.m.Faidx(path)

    def open(self, path, name):
        def run():
            fa = self.m.Fasta(path)
            return [str(fa.get_seq(name, 1, 100))]
        return run

    def handle(self, path):
        return self.m.Fasta(path)

    def single(self, fa, regs):
        g = fa.get_seq
        r = [(c, s + 1, e) for c, s, e in regs]
        return lambda: [str(g(c, s, e)) for c, s, e in r]

    def batch_many(self, fa, regs):
        r = [(c, s + 1, e) for c, s, e in regs]
        f = fa.fetch_many
        return lambda: [str(x) for x in f(r)]

    def batch_one(self, fa, chrom, regs):
        r = [(s + 1, e) for _, s, e in regs]
        f = fa.fetch_many_same_chr
        return lambda: [str(x) for x in f(chrom, r)]

    def whole(self, fa, path, name):
        fx = self.m.Faidx(path)
        return lambda: [str(fx.fetch_entire_sequence(name))]

    def lines(self, fa, path, name):
        return lambda: [str(x) for x in fa[name]]

    def cli_bed(self, path, bed, compressed):
        out = OUTPUT_BASE + (".fa.gz" if compressed else ".fa")
        cmd = timed_command(nucla_cli(), path, "--bed", bed, "-@", CLI_THREADS, "-o", out)
        return cmd, out


class Pysam:
    def __init__(self):
        import pysam
        self.m = pysam

    def build(self, path):
        return lambda: self.m.faidx(path)

    def open(self, path, name):
        def run():
            return [self.m.FastaFile(path).fetch(name, 0, 100)]
        return run

    def handle(self, path):
        return self.m.FastaFile(path)

    def single(self, fa, regs):
        f = fa.fetch
        return lambda: [f(c, s, e) for c, s, e in regs]

    def batch_many(self, fa, regs):
        return self.single(fa, regs)

    def batch_one(self, fa, chrom, regs):
        return self.single(fa, regs)

    def whole(self, fa, path, name):
        return lambda: [fa.fetch(name)]

    def lines(self, fa, path, name):
        # no line iterator: fetch each line-sized slice
        n, _, width, _ = fai_entry(path, name)
        f = fa.fetch
        return lambda: [f(name, s, min(s + width, n)) for s in range(0, n, width)]


class Pyfastx:
    """Slices of cached records: Fasta.fetch re-reads the whole record on every
    call (tens of ms per call on a large chromosome), and Fasta[name] does an
    index lookup each time, so keeping the record objects is its fastest route."""

    def __init__(self):
        import pyfastx
        self.m = pyfastx

    def build(self, path):
        return lambda: self.m.Fasta(path, build_index=True)

    def open(self, path, name):
        def run():
            return [self.m.Fasta(path)[name][0:100].seq]
        return run

    def handle(self, path):
        return self.m.Fasta(path)

    def single(self, fa, regs):
        recs = {c: fa[c] for c in {c for c, _, _ in regs}}
        return lambda: [recs[c][s:e].seq for c, s, e in regs]

    def batch_many(self, fa, regs):
        return self.single(fa, regs)

    def batch_one(self, fa, chrom, regs):
        rec = fa[chrom]
        return lambda: [rec[s:e].seq for _, s, e in regs]

    def whole(self, fa, path, name):
        return lambda: [fa[name].seq]

    def lines(self, fa, path, name):
        return lambda: list(fa[name])


class Samtools:
    """The command-line tool; output goes to /dev/null (FASTA-formatted)."""

    def __init__(self):
        if subprocess.run(["samtools", "--version"], capture_output=True).returncode:
            raise ImportError("samtools not found")

    @staticmethod
    def _cmd(*args):
        return timed_command("samtools", "faidx", *args)

    def build(self, path):
        return self._cmd(path)

    def handle(self, path):
        return path

    def _regions(self, regs):
        with open(REGIONS_FILE, "w") as f:
            f.write("".join(f"{c}:{s + 1}-{e}\n" for c, s, e in regs))
        return REGIONS_FILE

    def batch_many(self, path, regs):
        return self._cmd(path, "-r", self._regions(regs), "-o", os.devnull)

    def batch_one(self, path, chrom, regs):
        return self.batch_many(path, regs)

    def whole(self, fa, path, name):
        return self._cmd(path, name, "-o", os.devnull)

    def cli_bed(self, path, bed, compressed):
        # samtools 1.16.1 cannot compress: plain text to a file, always.
        out = OUTPUT_BASE + ".fa"
        return self._cmd(path, "-r", self._regions(load_bed(bed)), "-o", out), out


def peak_rss_kb(tool_name, command=False):
    """Peak RSS of the measured process.

    Not ru_maxrss: Linux carries the parent's high-water mark across fork and
    exec, so a small worker spawned by a big runner would report the runner's
    size.  VmHWM belongs to this process's own address space.  For a command
    (samtools, the nucla command line) the figure comes from GNU time wrapped
    around it (falling back to the children's ru_maxrss, an upper bound).
    """
    if tool_name == "samtools" or command:
        try:
            with open(RSS_FILE) as f:
                return int(f.read().split()[-1])
        except (OSError, ValueError, IndexError):
            return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


TOOLS = {"nucla": Nucla, "pysam": Pysam, "pyfastx": Pyfastx, "samtools": Samtools}


def method(tool, name):
    f = getattr(tool, name, None)
    if f is None:
        raise NotApplicable(f"{type(tool).__name__.lower()} has no {name}")
    return f


def prepare(tool, workload, m):
    """Return (timed callable, bases produced or None)."""
    d = m["dir"]
    genome, contigs = os.path.join(d, "genome.fa"), os.path.join(d, "contigs.fa")
    gz = genome + ".gz"  # bgzip copy of genome.fa
    builds = {"build_genome": genome, "build_contigs": contigs, "build_gz": gz}
    if workload in builds:
        path = os.path.join(d, "build", os.path.basename(builds[workload]))
        for ext in (".fai", ".gzi", ".fxi"):
            if os.path.exists(path + ext):
                os.remove(path + ext)
        return method(tool, "build")(path), os.path.getsize(path)
    if workload == "open_contigs":
        return method(tool, "open")(contigs, f"ctg{m['contigs']:06d}"), None
    if workload == "open_scaffolds":
        import gen
        scaffolds = os.path.join(d, "scaffolds.fa")
        return method(tool, "open")(scaffolds, gen.scaffold_name(m["scaffolds"])), None
    h = method(tool, "handle")
    if workload == "prepare":  # untimed: lets tools with an index of their own make it
        h(genome), h(contigs), h(os.path.join(d, "scaffolds.fa"))
        if os.path.exists(gz):
            h(gz)
        return (lambda: None), None
    if workload == "fetch_single":
        return method(tool, "single")(h(genome), single_regions(m)), None
    if workload == "fetch_single_gz":  # fewer calls: compressed fetches are slower
        return method(tool, "single")(h(gz), single_regions(m, count=m["single_fetches"] // 5)), None
    if workload in ("batch_many", "batch_many_gz"):
        path = gz if workload.endswith("_gz") else genome
        return method(tool, "batch_many")(h(path), load_bed(os.path.join(d, "many.bed"))), None
    if workload == "batch_one":
        return method(tool, "batch_one")(h(genome), m["largest"], load_bed(os.path.join(d, "one.bed"))), None
    if workload == "whole_chrom":
        return method(tool, "whole")(h(genome), genome, m["largest"]), chrom_len(m, m["largest"])
    if workload == "iter_lines":
        return method(tool, "lines")(h(genome), genome, m["iter_record"]), chrom_len(m, m["iter_record"])
    if workload in ("cli_bed", "cli_bed_gz"):
        run, out = method(tool, "cli_bed")(genome, os.path.join(d, "many.bed"), workload.endswith("_gz"))
        return run, OutputFile(out)
    raise SystemExit(f"unknown workload {workload}")


# --- physical floors ---

def read_sequence(path, name, keep_newlines=False):
    """Bases of one record as bytes, straight from the file via the .fai."""
    n, off, lb, lw = fai_entry(path, name)
    with open(path, "rb") as f:
        f.seek(off)
        raw = f.read(n + (n - 1) // lb * (lw - lb))
    return raw if keep_newlines else raw.replace(b"\n", b"")


def floor(workload, m):
    """Return (timed callable, bases) for a floor measurement."""
    genome = os.path.join(m["dir"], "genome.fa")
    if workload == "read_bw":
        buf = bytearray(16 << 20)

        def run():
            with open(genome, "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass
        return run, os.path.getsize(genome)
    if workload == "memcpy_bw":
        import numpy as np
        n = min(512 << 20, max(1 << 20, m["genome_bases"] // 2))
        a = np.full(n, 65, np.uint8)
        b = np.zeros_like(a)
        b[:] = a  # touch the pages first
        return (lambda: np.copyto(b, a)), n
    # Cost of creating the workload's Python strings from bytes already in memory.
    # Batches and lines: one C-level pass (str.split on a separator of a str
    # holding the pieces), the least any batch API must do: allocate and copy.
    # Single fetches: a Python loop slicing a str.
    seq = read_sequence(genome, m["largest"])
    n = len(seq)
    if workload == "str_single":
        text = seq.decode("ascii")
        r = [(s % (n - 100), s % (n - 100) + 100) for _, s, _ in single_regions(m)]
        return (lambda: [text[s:e] for s, e in r]), None
    if workload in ("str_many", "str_one"):
        bed = load_bed(os.path.join(m["dir"], "many.bed" if workload == "str_many" else "one.bed"))
        starts = [(s % (n - (e - s)), e - s) for _, s, e in bed]
        buf = b"\n".join(seq[s:s + z] for s, z in starts)
    elif workload == "str_lines":
        buf = read_sequence(genome, m["iter_record"], keep_newlines=True)
    else:
        raise SystemExit(f"unknown floor {workload}")
    text = buf.decode("ascii")
    return (lambda: text.split("\n")), None


def main(argv):
    tool_name, workload, manifest = argv[:3]
    check = "--check" in argv
    with open(manifest) as f:
        m = json.load(f)
    result = {"tool": tool_name, "workload": workload}
    try:
        out = bases = None
        if workload in arrays.WORKLOADS or tool_name in set(arrays.ROUTES) - TOOLS.keys():
            result.update(arrays.measure(tool_name, workload, m, check))
        else:
            if tool_name == "floor":
                run, bases = floor(workload, m)
            else:
                run, bases = prepare(TOOLS[tool_name](), workload, m)
            t0 = clock()
            out = run()
            result["seconds"] = clock() - t0
    except NotApplicable as e:
        result["na"] = "not applicable"
        result["why"] = str(e)
        out = bases = None
    except ImportError as e:
        # a peer that is not installed here (the smoke test runs without the optional ones)
        result["na"] = "not installed"
        result["why"] = f"{type(e).__name__}: {e}"
        out = bases = None
    except (AttributeError, NotImplementedError, TypeError) as e:
        # a nucla build without this feature (TypeError: e.g. no __getitem__ yet)
        if not tool_name.startswith("nucla"):
            raise
        result["na"] = "not available"
        result["why"] = f"{type(e).__name__}: {e}"
        out = bases = None
    result["maxrss_kb"] = peak_rss_kb(tool_name, command=isinstance(bases, OutputFile))
    for p in (RSS_FILE, REGIONS_FILE):
        if os.path.exists(p):
            os.remove(p)
    if isinstance(bases, OutputFile):
        result.update(bases.summary(check))
        bases = None
    if isinstance(out, list):
        result["items"] = len(out)
        result["bases"] = sum(map(len, out))
        if check:
            h = hashlib.md5()
            for s in out:
                h.update(s.encode("ascii"))
                h.update(b"\n")
            result["check"] = h.hexdigest()
    elif bases is not None:
        result["bases"] = bases
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
