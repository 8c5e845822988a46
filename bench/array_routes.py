"""The array workloads' inputs, routes and measurements (see arrays.py)."""
import gc
import hashlib
import os
import subprocess
import threading
import time

import numpy as np

from arrays import ENCODING, WIDTH, WINDOWS, NotApplicable, floor_program, genomekit_dir

clock = time.perf_counter

CODES = np.full(256, 4, np.uint8)
for _code, _base in enumerate(b"ACGT"):
    CODES[_base] = CODES[_base | 0x20] = _code
CODES_TABLE = CODES.tobytes()
# one-hot through a 256-entry table of 4-byte rows, read as uint32 (numpy's fastest gather)
ONEHOT32 = np.vstack([np.eye(4, dtype=np.uint8), np.zeros((1, 4), np.uint8)])[CODES]
ONEHOT32 = ONEHOT32.view(np.uint32).ravel()
UPPER = bytes.maketrans(bytes(range(97, 123)), bytes(range(65, 91)))


# --- inputs: columns, made untimed ---

def windows(m):
    """Seeded windows: names (list of str), starts, ends (int64), rows into the index."""
    names = [c for c, _ in m["chroms"]]
    lens = np.array([n for _, n in m["chroms"]], np.int64)
    rng = np.random.default_rng([m["seed"], 14])
    count = max(100, int(WINDOWS * m["scale"]))
    row = np.searchsorted(np.cumsum(lens), rng.integers(0, lens.sum(), count), side="right")
    starts = (rng.random(count) * lens[row]).astype(np.int64) - WIDTH // 2
    # one window over each end of the genome, so padding is exercised at every scale
    row[:2] = 0, len(lens) - 1
    starts[:2] = -WIDTH // 3, lens[-1] - WIDTH // 3
    return [names[i] for i in row.tolist()], starts, starts + WIDTH, row.astype(np.int32)


def bed_regions(m):
    rows = {c: i for i, (c, _) in enumerate(m["chroms"])}
    names, starts, ends = [], [], []
    with open(os.path.join(m["dir"], "many.bed")) as f:
        for line in f:
            c, s, e = line.split("\t")[:3]
            names.append(c)
            starts.append(int(s))
            ends.append(int(e))
    row = np.array([rows[c] for c in names], np.int32)
    return names, np.array(starts, np.int64), np.array(ends, np.int64), row


def inputs(workload, m):
    fixed = workload.startswith("win") or workload in ("gil", "mem_windows")
    names, starts, ends, row = windows(m) if fixed else bed_regions(m)
    lens = np.array([n for _, n in m["chroms"]], np.int64)[row]
    return dict(names=names, starts=starts, ends=ends, row=row, lens=lens, fixed=fixed,
                encoding=ENCODING[workload], out=workload.endswith("_out"))


# --- routes ---

def from_strings(fetch_all, names, starts, ends, lens, fixed, encoding, out):
    """The peers' route: strings per region (clamped to the sequence, padded with N), joined,
    then numpy: bytes as they are, codes through bytes.translate, one-hot through a uint32
    table gather (into the caller's array with out=)."""
    if not fixed:
        seqs = fetch_all(names, starts.tolist(), ends.tolist())
        offsets = np.zeros(len(seqs) + 1, np.int64)
        np.cumsum(np.fromiter(map(len, seqs), np.int64, len(seqs)), out=offsets[1:])
        return np.frombuffer("".join(seqs).encode("ascii"), np.uint8), offsets
    lo = np.clip(starts, 0, lens)
    hi = np.clip(ends, lo, lens)
    seqs = fetch_all(names, lo.tolist(), hi.tolist())
    for i in np.flatnonzero((lo != starts) | (hi != ends)).tolist():
        seqs[i] = "N" * (lo[i] - starts[i]).item() + seqs[i] + "N" * (ends[i] - hi[i]).item()
    joined = "".join(seqs).encode("ascii")
    n = len(seqs)
    if encoding == "bytes":
        return np.frombuffer(joined, np.uint8).reshape(n, WIDTH)
    if encoding == "codes":
        return np.frombuffer(joined.translate(CODES_TABLE), np.uint8).reshape(n, WIDTH)
    flat = np.frombuffer(joined, np.uint8)
    if out is not None:
        np.take(ONEHOT32, flat, mode="clip", out=out.reshape(-1).view(np.uint32))
        return out
    return np.take(ONEHOT32, flat, mode="clip").view(np.uint8).reshape(n, WIDTH, 4)


def caller_array(n):
    """The reused buffer of a loader: allocated and written once before the timed call."""
    out = np.empty((n, WIDTH, 4), np.uint8)
    out.fill(0)
    return out


class Route:
    """Returns the timed callable for one workload's inputs."""

    def prepare(self, w):
        out = caller_array(len(w["names"])) if w["out"] else None
        fetch_all = self.fetch_all()
        return lambda: from_strings(fetch_all, w["names"], w["starts"], w["ends"], w["lens"],
                                    w["fixed"], w["encoding"], out)


class Pysam(Route):
    def __init__(self, m):
        import pysam
        self.fa = pysam.FastaFile(os.path.join(m["dir"], "genome.fa"))

    def fetch_all(self):
        f = self.fa.fetch
        return lambda names, starts, ends: [f(c, s, e) for c, s, e in zip(names, starts, ends)]


class Pyfastx(Route):
    """Slices of record objects kept in a dict, its fastest route (see worker.Pyfastx)."""

    def __init__(self, m):
        import pyfastx
        fa = pyfastx.Fasta(os.path.join(m["dir"], "genome.fa"))
        self.recs = {c: fa[c] for c, _ in m["chroms"]}

    def fetch_all(self):
        recs = self.recs
        return lambda names, starts, ends: [recs[c][s:e].seq for c, s, e in zip(names, starts, ends)]


class Genomekit(Route):
    """`Genome.dna(Interval)` per region on its own 2bit genome (upper case only).  Windows
    are clamped and padded here like every string route: its own handling of a window over a
    sequence's start puts the N run in the wrong place."""

    def __init__(self, m):
        import genomekit_genome
        if not os.path.exists(os.path.join(genomekit_dir(m), genomekit_genome.REFG + ".2bit")):
            raise ImportError("GenomeKit's genome was not made (run.py makes it)")
        self.gk, self.genome = genomekit_genome.open_genome(genomekit_dir(m))
        self.refg = genomekit_genome.REFG

    def fetch_all(self):
        interval, dna, refg = self.gk.Interval, self.genome.dna, self.refg
        return lambda names, starts, ends: [dna(interval(c, "+", s, e, refg))
                                            for c, s, e in zip(names, starts, ends)]


class NuclaMany(Route):
    """nucla's `fetch_many` (1-based inclusive starts), each result made a str, then numpy."""

    def __init__(self, m, fa=None):
        import nucla
        self.fa = fa or nucla.Fasta(os.path.join(m["dir"], "genome.fa"))

    def fetch_all(self):
        f = self.fa.fetch_many
        return lambda names, starts, ends: [
            str(x) for x in f(list(zip(names, [s + 1 for s in starts], ends)))]


class Nucla:
    """nucla's array calls, on builds that have them."""

    def __init__(self, m):
        import nucla
        if not hasattr(nucla.Faidx, "fetch_windows"):
            raise NotImplementedError("this nucla build has no fetch_windows / fetch_packed")
        self.fa = nucla.Fasta(os.path.join(m["dir"], "genome.fa"))
        self.many = NuclaMany(m, self.fa)

    def call(self, w):
        names, starts, ends, enc = w["names"], w["starts"], w["ends"], w["encoding"]
        if not w["fixed"]:
            fp = self.fa.fetch_packed
            return lambda: fp(names, starts, ends, encoding=enc)
        out = caller_array(len(names)) if w["out"] else None
        fw = self.fa.fetch_windows
        return lambda: fw(names, starts, ends, WIDTH, encoding=enc, out=out)

    def prepare(self, w):
        """The call, once its results on a sample equal fetch_many's route (untimed)."""
        n = len(w["names"])
        pick = np.arange(min(64, n)) if w["fixed"] else np.arange(0, n, max(1, n // 200))
        sample = dict(w, names=[w["names"][i] for i in pick.tolist()], starts=w["starts"][pick],
                      ends=w["ends"][pick], lens=w["lens"][pick], out=False)
        got, want = self.call(sample)(), self.many.prepare(sample)()
        for a, b in zip(*(x if isinstance(x, tuple) else (x,) for x in (got, want))):
            if not np.array_equal(a, b):
                raise AssertionError(f"nucla's array call differs from fetch_many ({w['encoding']})")
        return self.call(w)


class FloorC:
    """The C++ floor in its own process; it times itself (new buffer, then reused)."""

    def __init__(self, m):
        self.program = floor_program(m)
        if not os.access(self.program, os.X_OK):
            raise ImportError("the floor program was not built (no C++ compiler?)")
        self.genome = os.path.join(m["dir"], "genome.fa")
        self.base = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"nucla-bench-{os.getpid()}")

    def prepare(self, w, check=False):
        n = len(w["names"])
        regions = self.base + ".bin"
        with open(regions, "wb") as f:
            f.write(np.array([n, WIDTH if w["fixed"] else 0], np.int64).tobytes())
            f.write(w["row"].tobytes() + w["starts"].tobytes() + w["ends"].tobytes())
        mode = w["encoding"] if w["fixed"] else "packed"
        out_path = self.base + ".out"
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}

        def run():
            cmd = [self.program, self.genome, regions, mode] + ([out_path] if check else [])
            r = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True)
            fresh, reused = map(float, r.stdout.split())
            os.remove(regions)
            return fresh, reused, (self.load(out_path, w, n) if check else None)
        return run

    @staticmethod
    def load(path, w, n):
        raw = np.fromfile(path, np.uint8)
        os.remove(path)
        if not w["fixed"]:
            offsets = raw[-8 * (n + 1):].view(np.int64)
            return raw[:-8 * (n + 1)], offsets
        return raw.reshape((n, WIDTH, 4) if w["encoding"] == "onehot" else (n, WIDTH))


ROUTE_CLASSES = {"nucla": Nucla, "nucla_many": NuclaMany, "pysam": Pysam, "pyfastx": Pyfastx,
                 "genomekit": Genomekit, "floor_c": FloorC}


# --- what is reported ---

def digest(out, encoding):
    """md5 of the output; file bytes compared upper-cased (GenomeKit's genome has no lower case)."""
    parts = out if isinstance(out, tuple) else (out,)
    h = hashlib.md5()
    for i, a in enumerate(parts):
        b = np.ascontiguousarray(a).tobytes()
        h.update(b.translate(UPPER) if i == 0 and encoding == "bytes" else b)
    return h.hexdigest()


def describe(out, w, check):
    data = out[0] if isinstance(out, tuple) else out
    r = {"items": len(w["names"]), "bases": int(data.size // (4 if data.ndim == 3 else 1)),
         "output_bytes": sum(a.nbytes for a in (out if isinstance(out, tuple) else (out,)))}
    if check:
        r["check"] = digest(out, w["encoding"])
    return r


def status():
    with open("/proc/self/status") as f:
        return {k: int(v.split()[0]) for k, _, v in (line.partition(":") for line in f)
                if k in ("VmHWM", "VmRSS", "RssFile", "RssShmem")}


def private_peak(run):
    """Peak private memory of run() in KiB: a first call maps the file pages the call reads,
    the peak-RSS mark is reset (Linux: /proc/self/clear_refs), the second call is measured;
    any growth of file-backed RSS is taken out."""
    run()
    gc.collect()
    before = status()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError as e:
        raise NotApplicable(f"cannot reset the peak RSS mark: {e}") from e
    t0 = clock()
    out = run()
    seconds = clock() - t0
    after = status()
    file_growth = sum(max(0, after[k] - before[k]) for k in ("RssFile", "RssShmem"))
    return out, seconds, after["VmHWM"] - before["VmRSS"] - file_growth


def thread_progress(run, alone_seconds=0.3):
    """Iterations/s of a second Python thread's tiny loop while run() runs in this thread,
    as a fraction of its rate alone (measured before and after, same process)."""
    count, stop, started = [0], [False], threading.Event()

    def spin():
        c = count
        started.set()
        while not stop[0]:
            c[0] += 1

    def rate(work):
        c0, t0 = count[0], clock()
        work()
        return (count[0] - c0) / (clock() - t0), clock() - t0

    t = threading.Thread(target=spin)
    t.start()
    started.wait()
    alone1, _ = rate(lambda: time.sleep(alone_seconds))
    during, seconds = rate(run)
    alone2, _ = rate(lambda: time.sleep(alone_seconds))
    stop[0] = True
    t.join()
    return during / ((alone1 + alone2) / 2), seconds


def measure(tool, workload, m, check):
    """Run one array workload for one route; the worker's JSON fields."""
    w = inputs(workload, m)
    route = ROUTE_CLASSES[tool](m)
    if tool == "floor_c":
        fresh, reused, out = route.prepare(w, check)()
        r = {"seconds": reused if w["out"] else fresh, "reused_seconds": reused}
        r.update(describe(out, w, check) if out is not None else {"items": len(w["names"])})
        return r
    if workload == "gil":
        if tool == "nucla_many":  # the many.bed regions, as tuples, results left as they come
            names, starts, ends, _ = bed_regions(m)
            regs, f = list(zip(names, (starts + 1).tolist(), ends.tolist())), route.fa.fetch_many
            run = lambda: f(regs)  # noqa: E731
        else:
            run = route.prepare(w)
        run()
        progress, seconds = thread_progress(run)
        return {"seconds": seconds, "progress": progress}
    run = route.prepare(w)
    if workload.startswith("mem_"):
        out, seconds, peak_kb = private_peak(run)
        r = describe(out, w, False)
        return dict(r, seconds=seconds, private_kb=peak_kb)
    # Once untimed, as the floor does: a loader's calls after its first, with the file's pages
    # in memory (and, for nucla, in its map).
    run()
    t0 = clock()
    out = run()
    seconds = clock() - t0
    return dict(describe(out, w, check), seconds=seconds)
