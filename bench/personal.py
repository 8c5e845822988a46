"""Personal genome workloads: haplotype windows of a cohort's samples, from a VCF.

    python3 bench/personal.py [DATA_DIR] [--rounds N]

DATA_DIR is the bench data directory (default ~/.cache/nucla-bench, made by bench/gen.py).
The first run writes cohort.vcf.gz and its .csi there: 8 samples, one variant per ~1 kb of
every sequence of genome.fa (70% SNVs, 30% indels of 1 to 10 bases), random phased genotypes.
Each route then runs in a fresh process, `--rounds` times (default 3), and the medians are
printed, with the ratios the targets are about:

  ref_windows       320,000 reference windows of 1 kb as codes (fetch_windows)
  personal_windows  20,000 windows of 1 kb x 8 samples x 2 haplotypes (320,000 haplotype
                    windows) as codes, (N, 8, 2, 1000)
  first_call        a fresh process: import, with_variants and a first call of 1,000 windows
                    (all 8 samples), whole-process wall time
  pysam             pysam's route on the same work: VariantFile.fetch and FastaFile.fetch for
                    each window, the variants applied in Python per sample and haplotype, codes
                    through numpy; timed on the first 500 windows and scaled to 20,000
  genomekit         GenomeKit's VariantGenome on its own 2bit copy of the genome (made by
                    genomekit_genome.py), a VariantGenome of each window's variants per sample
                    and haplotype (pysam reads the records), dna() of the window, codes
                    through numpy; timed on the first 100 windows and scaled to 20,000
  memory            peak private memory of personal_windows beyond its output, in the output's
                    share (the output is 20,000 x 16 x 1000 bytes)
"""
import json
import os
import random
import statistics
import subprocess
import sys
import time

WIDTH = 1000
WINDOWS = 20_000
SAMPLES = [f"S{i}" for i in range(8)]
PYSAM_WINDOWS = 500
GENOMEKIT_WINDOWS = 100


def write_cohort(data, path):
    """One variant per ~1 kb of each sequence, REF taken from the genome."""
    import nucla
    import numpy as np

    fasta = nucla.Fasta(os.path.join(data, "genome.fa"))
    rng = random.Random(20261208)
    head = ["##fileformat=VCFv4.2",
            '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">']
    head += [f"##contig=<ID={name},length={len(fasta[name])}>" for name in fasta.keys()]
    head.append("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(SAMPLES))
    plain = path[:-3]
    with open(plain, "w") as out:
        out.write("\n".join(head) + "\n")
        for name in fasta.keys():
            length = len(fasta[name])
            positions = np.sort(rng.sample(range(1, max(2, length - 20)), max(0, length // 1000)))
            if not len(positions):
                continue
            spans = np.array([rng.randint(1, 11) if rng.random() < 0.15 else 1
                              for _ in positions])
            data_, offsets = fasta.fetch_packed([name] * len(positions), positions,
                                                positions + spans, upper=True)
            last_end = 0
            for k, pos in enumerate(positions):
                ref = data_[offsets[k]:offsets[k + 1]].tobytes().decode()
                if pos < last_end or "N" in ref:
                    continue
                roll = rng.random()
                if len(ref) > 1:
                    alt = ref[0]                                     # deletion
                elif roll < 0.15 / 0.85:
                    alt = ref + "".join(rng.choices("ACGT", k=rng.randint(1, 10)))  # insertion
                else:
                    alt = rng.choice([b for b in "ACGT" if b != ref])
                gts = "\t".join(f"{int(rng.random() < 0.3)}|{int(rng.random() < 0.3)}"
                                for _ in SAMPLES)
                out.write(f"{name}\t{pos + 1}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t{gts}\n")
                last_end = pos + len(ref)
    subprocess.run(["bcftools", "view", "-Oz", "-o", path, plain], check=True)
    subprocess.run(["bcftools", "index", "-f", path], check=True)
    os.remove(plain)


def windows(fasta, count, seed=1):
    import numpy as np

    rng = random.Random(seed)
    names = [n for n in fasta.keys() if len(fasta[n]) > 10 * WIDTH]
    weights = [len(fasta[n]) for n in names]
    chosen = rng.choices(names, weights, k=count)
    starts = np.array([rng.randrange(0, len(fasta[n]) - WIDTH) for n in chosen])
    return chosen, starts, starts + WIDTH


class AnonymousPeak:
    """The peak of this process's anonymous memory (RssAnon: the file's mapped pages are not
    in it) while the block runs, sampled every millisecond from another thread (the calls
    release the interpreter lock)."""

    def __enter__(self):
        import threading

        self.base = self.peak = self.now()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.watch)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        self.peak = max(self.peak, self.now())

    def watch(self):
        while not self.done.wait(0.001):
            self.peak = max(self.peak, self.now())

    @staticmethod
    def now():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
        return 0


def route(name, data):
    """Runs one route in this process; prints one JSON line."""
    import numpy as np
    import nucla

    fasta = nucla.Fasta(os.path.join(data, "genome.fa"))
    vcf = os.path.join(data, "cohort.vcf.gz")
    if name == "ref_windows":
        names, starts, ends = windows(fasta, WINDOWS * 16)
        t = time.perf_counter()
        fasta.fetch_windows(names, starts, ends, WIDTH, encoding="codes")
        return {"seconds": time.perf_counter() - t}
    if name in ("personal_windows", "memory"):
        personal = fasta.with_variants(vcf)
        names, starts, ends = windows(fasta, WINDOWS)
        with AnonymousPeak() as memory:
            t = time.perf_counter()
            out = personal.fetch_windows(names, starts, ends, WIDTH, encoding="codes")
            seconds = time.perf_counter() - t
        return {"seconds": seconds, "peak_kb": memory.peak - memory.base,
                "output_kb": out.nbytes // 1024}
    if name == "pysam":
        import pysam

        ref = pysam.FastaFile(os.path.join(data, "genome.fa"))
        variants = pysam.VariantFile(vcf)
        names, starts, ends = windows(fasta, WINDOWS)
        table = np.full(256, 4, np.uint8)
        for code, base in enumerate(b"ACGT"):
            table[base] = code
            table[base + 32] = code
        out = np.empty((PYSAM_WINDOWS, len(SAMPLES), 2, WIDTH), np.uint8)
        t = time.perf_counter()
        for i in range(PYSAM_WINDOWS):
            name_, start = names[i], int(starts[i])
            records = list(variants.fetch(name_, start, start + 2 * WIDTH))
            seq = ref.fetch(name_, start, start + 2 * WIDTH)
            for s, sample in enumerate(SAMPLES):
                for h in (0, 1):
                    parts, q = [], start
                    for rec in records:
                        allele = rec.samples[sample]["GT"][h]
                        if not allele or rec.pos - 1 < q:
                            continue
                        parts.append(seq[q - start:rec.pos - 1 - start])
                        parts.append(rec.alleles[allele])
                        q = rec.pos - 1 + len(rec.ref)
                    parts.append(seq[q - start:])
                    hap = "".join(parts)[:WIDTH].ljust(WIDTH, "N")
                    out[i, s, h] = table[np.frombuffer(hap.encode(), np.uint8)]
        return {"seconds": (time.perf_counter() - t) * WINDOWS / PYSAM_WINDOWS}
    if name == "genomekit":
        import pysam

        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import genomekit_genome

        where = os.path.join(data, "genomekit")
        if not os.path.exists(os.path.join(where, genomekit_genome.REFG + ".2bit")):
            genomekit_genome.make(where, os.path.join(data, "genome.fa"))
        gk, genome = genomekit_genome.open_genome(where)
        variants = pysam.VariantFile(vcf)
        names, starts, ends = windows(fasta, WINDOWS)
        table = np.full(256, 4, np.uint8)
        for code, base in enumerate(b"ACGT"):
            table[base] = code
        out = np.empty((GENOMEKIT_WINDOWS, len(SAMPLES), 2, WIDTH), np.uint8)
        refg = genomekit_genome.REFG
        t = time.perf_counter()
        for i in range(GENOMEKIT_WINDOWS):
            name_, start = names[i], int(starts[i])
            window = gk.Interval(name_, "+", start, start + WIDTH, refg)
            records = list(variants.fetch(name_, start, start + WIDTH))
            for s, sample in enumerate(SAMPLES):
                for h in (0, 1):
                    chosen = []
                    for rec in records:
                        allele = rec.samples[sample]["GT"][h]
                        inside = start <= rec.pos - 1 and rec.pos - 1 + len(rec.ref) <= start + WIDTH
                        if allele and inside:
                            chosen.append(gk.Variant(name_, rec.pos - 1, rec.ref,
                                                     rec.alleles[allele], genome))
                    hap = gk.VariantGenome(genome, chosen).dna(window) if chosen else genome.dna(window)
                    hap = hap[:WIDTH].ljust(WIDTH, "N")
                    out[i, s, h] = table[np.frombuffer(hap.encode(), np.uint8)]
        return {"seconds": (time.perf_counter() - t) * WINDOWS / GENOMEKIT_WINDOWS}
    raise SystemExit(f"unknown route {name}")


def first_call(data):
    script = ("import nucla, numpy as np, os\n"
              f"fasta = nucla.Fasta(os.path.join({data!r}, 'genome.fa'))\n"
              f"personal = fasta.with_variants(os.path.join({data!r}, 'cohort.vcf.gz'))\n"
              "import random\n"
              "rng = random.Random(3)\n"
              "names = [n for n in fasta.keys() if len(fasta[n]) > 10000]\n"
              "chosen = [rng.choice(names) for _ in range(1000)]\n"
              "starts = np.array([rng.randrange(0, len(fasta[n]) - 1000) for n in chosen])\n"
              "personal.fetch_windows(chosen, starts, starts + 1000, 1000, encoding='codes')\n")
    t = time.perf_counter()
    subprocess.run([sys.executable, "-c", script], check=True)
    return {"seconds": time.perf_counter() - t}


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(sys.argv) > 2 and sys.argv[1] == "--route":
        print(json.dumps(route(sys.argv[2], sys.argv[3])))
        return
    rounds = 3
    if "--rounds" in sys.argv:
        rounds = int(sys.argv[sys.argv.index("--rounds") + 1])
        args = [a for a in args if a != str(rounds)]
    data = args[0] if args else os.path.expanduser("~/.cache/nucla-bench")
    vcf = os.path.join(data, "cohort.vcf.gz")
    if not os.path.exists(vcf + ".csi"):
        write_cohort(data, vcf)
    results = {}
    for _ in range(rounds):
        for name in ("ref_windows", "personal_windows", "pysam", "genomekit"):
            got = subprocess.run([sys.executable, __file__, "--route", name, data],
                                 capture_output=True, text=True)
            if got.returncode != 0:
                print(f"{name}: failed ({got.stderr.strip().splitlines()[-1:]})", file=sys.stderr)
                continue
            results.setdefault(name, []).append(json.loads(got.stdout.splitlines()[-1]))
        results.setdefault("first_call", []).append(first_call(data))
    med = {k: statistics.median(r["seconds"] for r in v) for k, v in results.items()}
    peak = statistics.median(r["peak_kb"] for r in results["personal_windows"])
    output = results["personal_windows"][0]["output_kb"]
    print(f"| route | seconds (median of {rounds}) | min | max |\n|---|---:|---:|---:|")
    for k, v in med.items():
        each = [r["seconds"] for r in results[k]]
        print(f"| {k} | {v:.3f} | {min(each):.3f} | {max(each):.3f} |")
    print(f"\npersonal / reference windows: {med['personal_windows'] / med['ref_windows']:.2f}x "
          "(target at most 1.5x)")
    print(f"pysam route / nucla: {med['pysam'] / med['personal_windows']:.1f}x (aim 50x)")
    if "genomekit" in med:
        print(f"GenomeKit route / nucla: {med['genomekit'] / med['personal_windows']:.1f}x")
    print(f"first call from a fresh process: {med['first_call']:.2f} s (target under 1 s)")
    print(f"peak private memory beyond the output: {max(0, peak - output) / output:.1%} of it "
          "(target at most 10%, plus the records)")


if __name__ == "__main__":
    main()
