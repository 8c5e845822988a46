"""Seeded generator of the benchmark data (no downloads).

Writes into a directory:
  genome.fa      ~1 GB at scale 1: 24 chromosomes, 60-base lines, soft-masked
                 lowercase runs, N runs at both ends and inside
  contigs.fa     200,000 contigs of 500..20,000 bases (log-uniform), 80-base lines
  scaffolds.fa   2,000,000 scaffolds of 100..400 bases, 60-base lines, with names as
                 long as assemblies give them (an index of ~110 MB): made on first
                 use, beside a data set made before it
  many.bed       200,000 regions of 200..2,000 bases spread over the genome
  one.bed        200,000 regions of 200..2,000 bases on the largest chromosome
  *.fai          written directly from the known layout (samtools format)
  genome.fa.gz   bgzip copy of genome.fa (`bgzip -@2 -c`), with its .fai and .gzi,
                 skipped when bgzip is not installed (Debian package tabix)
  manifest.json  what was generated, read by the runner and the worker

Everything scales with --scale (counts and lengths), so a tiny smoke data set
takes a fraction of a second.  Usage: python bench/gen.py DIR [--scale S] [--seed N]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

import numpy as np

FORMAT_VERSION = 1

# GRCh38-like proportions (Mbases); chrY is shortened so that one record is
# about 10 Mbases at scale 1 (used by the line-iteration workload).
HUMAN_MB = [248.96, 242.19, 198.30, 190.21, 181.54, 170.81, 159.35, 145.14,
            138.39, 133.80, 135.09, 133.28, 114.36, 107.04, 101.99, 90.34,
            83.26, 80.37, 58.62, 64.44, 46.71, 50.82, 156.04, 31.0]
CHROM_NAMES = [f"chr{i}" for i in range(1, 23)] + ["chrX", "chrY"]

GENOME_BASES = 1_000_000_000
N_CONTIGS = 200_000
N_SCAFFOLDS = 2_000_000
N_REGIONS = 200_000
ITER_RECORD_BASES = 10_000_000

LUT = np.frombuffer(b"ACGT" * 64, np.uint8)
NL = 10


def random_bases(rng, n, lower_frac_mean=(400, 300)):
    """n random ACGT bases with alternating upper/lower (soft-masked) runs."""
    seq = LUT[np.frombuffer(rng.bytes(n), np.uint8)]
    up, low = lower_frac_mean
    k = n // ((up + low) // 2) + 16
    runs = np.empty(k, np.int64)
    runs[0::2] = rng.exponential(up, size=(k + 1) // 2).astype(np.int64) + 1
    runs[1::2] = rng.exponential(low, size=k // 2).astype(np.int64) + 1
    flag = np.zeros(k, np.uint8)
    flag[1::2] = 32  # ASCII upper -> lower
    mask = np.repeat(flag, runs)
    if len(mask) < n:
        mask = np.concatenate([mask, np.zeros(n - len(mask), np.uint8)])
    seq |= mask[:n]
    return seq


def add_n_runs(rng, seq):
    """N runs at both ends (telomere-like), a centromere-like gap, small gaps."""
    n = len(seq)
    end = min(10_000, n // 100)
    if end:
        seq[:end] = ord("N")
        seq[n - end:] = ord("N")
    if n >= 1000:
        width = max(1, n // 50)
        at = int(n * rng.uniform(0.3, 0.45))
        seq[at:at + width] = ord("N")
        for _ in range(max(1, n // 10_000_000) * 4):
            w = int(np.exp(rng.uniform(np.log(100), np.log(50_000))))
            w = min(w, n // 200 + 1)
            at = int(rng.integers(0, n - w))
            seq[at:at + w] = ord("N")


def wrap(seq, width):
    """Sequence bytes with a newline every `width` bases and after the last."""
    n = len(seq)
    rows, tail = divmod(n, width)
    out = np.empty(rows * (width + 1) + (tail + 1 if tail else 0), np.uint8)
    body = out[:rows * (width + 1)].reshape(rows, width + 1)
    body[:, :width] = seq[:rows * width].reshape(rows, width)
    body[:, width] = NL
    if tail:
        out[rows * (width + 1):-1] = seq[rows * width:]
        out[-1] = NL
    return out


def write_genome(path, rng, total, width=60):
    weights = np.array(HUMAN_MB) / sum(HUMAN_MB)
    lengths = np.maximum((weights * total).astype(np.int64), 200)
    fai = []
    with open(path, "wb") as f:
        offset = 0
        for name, n in zip(CHROM_NAMES, lengths.tolist()):
            header = f">{name}\n".encode()
            f.write(header)
            offset += len(header)
            seq = random_bases(rng, n)
            add_n_runs(rng, seq)
            body = wrap(seq, width)
            f.write(body)
            fai.append(f"{name}\t{n}\t{offset}\t{width}\t{width + 1}\n")
            offset += len(body)
    with open(path + ".fai", "w") as f:
        f.writelines(fai)
    return list(zip(CHROM_NAMES, lengths.tolist()))


def write_contigs(path, rng, count, width=80, lo=500, hi=20_000, batch=4096):
    lengths = np.exp(rng.uniform(np.log(lo), np.log(hi + 1), size=count)).astype(np.int64)
    lengths = np.clip(lengths, lo, hi)
    fai = []
    with open(path, "wb") as f:
        offset = 0
        for b0 in range(0, count, batch):
            lens = lengths[b0:b0 + batch]
            bases = random_bases(rng, int(lens.sum()))
            starts = np.concatenate([[0], np.cumsum(lens)]).tolist()
            chunks = []
            for j, n in enumerate(lens.tolist()):
                name = f"ctg{b0 + j + 1:06d}"
                header = f">{name} len={n}\n".encode()
                body = wrap(bases[starts[j]:starts[j + 1]], width)
                chunks.append(header)
                chunks.append(body.tobytes())
                fai.append(f"{name}\t{n}\t{offset + len(header)}\t{width}\t{width + 1}\n")
                offset += len(header) + len(body)
            f.write(b"".join(chunks))
    with open(path + ".fai", "w") as f:
        f.writelines(fai)
    return count, int(lengths.sum())


def scaffold_name(i):
    return f"scaffold_{i:07d}_pilon_arrow_polished_len"


def write_scaffolds(out_dir, scale, seed, width=60, lo=100, hi=400, batch=65536):
    """scaffolds.fa and its .fai, unless present; returns the number of scaffolds."""
    path = os.path.join(out_dir, "scaffolds.fa")
    count = max(20, int(N_SCAFFOLDS * scale))
    if os.path.exists(path) and os.path.exists(path + ".fai"):
        return count
    rng = np.random.default_rng(np.random.SeedSequence([seed, 5]))
    fai = []
    with open(path + ".tmp", "wb") as f:
        offset = 0
        for b0 in range(0, count, batch):
            lens = rng.integers(lo, hi + 1, size=min(batch, count - b0))
            bases = random_bases(rng, int(lens.sum()))
            starts = np.concatenate([[0], np.cumsum(lens)]).tolist()
            chunks = []
            for j, n in enumerate(lens.tolist()):
                name = scaffold_name(b0 + j + 1)
                header = f">{name}\n".encode()
                body = wrap(bases[starts[j]:starts[j + 1]], width)
                chunks += [header, body.tobytes()]
                fai.append(f"{name}\t{n}\t{offset + len(header)}\t{width}\t{width + 1}\n")
                offset += len(header) + len(body)
            f.write(b"".join(chunks))
    os.replace(path + ".tmp", path)
    with open(path + ".fai", "w") as f:
        f.writelines(fai)
    return count


def write_bed(path, rng, chroms, count, lo=200, hi=2000):
    """Sorted BED3 (0-based half-open) regions; chromosome picked by length."""
    names = [c for c, _ in chroms]
    lens = np.array([n for _, n in chroms], np.int64)
    which = np.searchsorted(np.cumsum(lens) / lens.sum(), rng.random(count), side="right")
    which = np.minimum(which, len(lens) - 1)
    size = rng.integers(lo, hi + 1, size=count)
    size = np.minimum(size, lens[which])
    start = (rng.random(count) * (lens[which] - size + 1)).astype(np.int64)
    order = np.lexsort((start, which))
    which, start, size = which[order].tolist(), start[order].tolist(), size[order].tolist()
    with open(path, "w") as f:
        f.write("".join(f"{names[w]}\t{s}\t{s + z}\n" for w, s, z in zip(which, start, size)))


def write_bgzip(out_dir):
    """genome.fa.gz and its indexes, made once (again when genome.fa is newer).

    Its .fai is genome.fa's (offsets count uncompressed bytes, so samtools writes
    the same file) and `bgzip -r` writes the .gzi; both end up newer than the .gz.
    Returns the path, or None without bgzip.
    """
    src = os.path.join(out_dir, "genome.fa")
    gz = src + ".gz"
    if all(os.path.exists(gz + e) for e in ("", ".fai", ".gzi")) and \
            os.path.getmtime(gz) >= os.path.getmtime(src):
        return gz
    if shutil.which("bgzip") is None:
        return None
    for e in (".fai", ".gzi", ".fxi"):
        if os.path.exists(gz + e):
            os.remove(gz + e)
    with open(gz + ".tmp", "wb") as f:
        subprocess.run(["bgzip", "-@2", "-c", src], stdout=f, check=True)
    os.replace(gz + ".tmp", gz)
    subprocess.run(["bgzip", "-r", gz], check=True)
    shutil.copyfile(src + ".fai", gz + ".fai")
    return gz


def generate(out_dir, scale=1.0, seed=20240601):
    """Generate (or reuse) the data set in out_dir, with the bgzip copy; return the manifest dict."""
    os.makedirs(out_dir, exist_ok=True)
    mpath = os.path.join(out_dir, "manifest.json")
    want = {"format": FORMAT_VERSION, "scale": scale, "seed": seed}
    if os.path.exists(mpath):
        with open(mpath) as f:
            old = json.load(f)
        if all(old.get(k) == v for k, v in want.items()) and all(
                os.path.exists(os.path.join(out_dir, p))
                for p in ("genome.fa", "contigs.fa", "many.bed", "one.bed")):
            write_bgzip(out_dir)
            if "scaffolds" not in old:
                old["scaffolds"] = write_scaffolds(out_dir, scale, seed)
                with open(mpath, "w") as f:
                    json.dump(old, f, indent=1)
            return old
    seqs = np.random.SeedSequence(seed).spawn(4)
    genome = os.path.join(out_dir, "genome.fa")
    chroms = write_genome(genome, np.random.default_rng(seqs[0]),
                          max(24 * 2000, int(GENOME_BASES * scale)))
    n_ctg, ctg_bases = write_contigs(os.path.join(out_dir, "contigs.fa"),
                                     np.random.default_rng(seqs[1]),
                                     max(20, int(N_CONTIGS * scale)))
    n_scaffolds = write_scaffolds(out_dir, scale, seed)
    n_reg = max(50, int(N_REGIONS * scale))
    largest = max(chroms, key=lambda c: c[1])
    write_bed(os.path.join(out_dir, "many.bed"), np.random.default_rng(seqs[2]), chroms, n_reg)
    write_bed(os.path.join(out_dir, "one.bed"), np.random.default_rng(seqs[3]), [largest], n_reg)
    target = ITER_RECORD_BASES * scale
    iter_rec = min(chroms, key=lambda c: abs(c[1] - target))
    # index files must be newer than the FASTA files
    for p in ("genome.fa", "contigs.fa"):
        os.utime(os.path.join(out_dir, p + ".fai"))
    manifest = dict(want, dir=os.path.abspath(out_dir), chroms=chroms,
                    genome_bases=sum(n for _, n in chroms),
                    contigs=n_ctg, contig_bases=ctg_bases, scaffolds=n_scaffolds, regions=n_reg,
                    largest=largest[0], iter_record=iter_rec[0],
                    single_fetches=max(100, int(100_000 * scale)))
    with open(mpath, "w") as f:
        json.dump(manifest, f, indent=1)
    write_bgzip(out_dir)
    return manifest


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dir")
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=20240601)
    a = ap.parse_args(argv)
    m = generate(a.dir, a.scale, a.seed)
    print(json.dumps({k: m[k] for k in ("genome_bases", "contigs", "contig_bases",
                                        "regions", "largest", "iter_record")}))


if __name__ == "__main__":
    sys.exit(main())
