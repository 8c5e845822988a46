"""Personal genomes: with_variants against bcftools consensus (whole sequences) and against a
small Python oracle of the same rules (regions, windows, strands, per-row samples)."""
import os
import pathlib
import random
import shutil
import subprocess

import pytest

import nucla
from conftest import write_random_fasta

np = pytest.importorskip("numpy")
BCFTOOLS = shutil.which("bcftools")
needs_bcftools = pytest.mark.skipif(BCFTOOLS is None, reason="bcftools is not installed")
SAMPLES = ["S1", "S2", "S3"]
ABSENT = "absent"  # a haploid call's second allele


def _has_htslib():
    got = subprocess.run([os.environ.get("NUCLA_CLI") or shutil.which("nucla") or "nucla",
                          "--version"], capture_output=True, text=True, timeout=60)
    return "VCF: htslib" in got.stdout


pytestmark = pytest.mark.skipif(not _has_htslib(), reason="this build has no htslib")


def random_variants(rng, seqs, haploid=(), symbolic=False):
    """Random records over `seqs`: SNVs, MNPs, insertions, deletions, multi-allelic sites, some
    overlapping the one before, missing and unphased calls; one allele per call on `haploid`
    sequences. Records are (name, pos0, ref, alleles, calls), calls [(a0, a1)] per sample."""
    records = []
    for name, s in seqs.items():
        pos = rng.randrange(0, 8)
        while pos < len(s) - 10:
            roll = rng.random()
            ref = s[pos]
            if roll < 0.4:
                alts = [rng.choice([b for b in "ACGT" if b != ref.upper()])]
            elif roll < 0.55:
                alts = [ref + "".join(rng.choices("ACGT", k=rng.randint(1, 6)))]
            elif roll < 0.75:
                ref = s[pos:pos + rng.randint(2, 8)]
                alts = [ref[0]]
            elif roll < 0.85:
                ref = s[pos:pos + 3]
                alts = ["".join(rng.choices("ACGT", k=3))]
            elif roll < 0.95 or not symbolic:
                ref = s[pos:pos + 2]
                alts = [ref[0], ref + "T", rng.choice("ACGT") + ref[1]]
            else:
                alts = [rng.choice(["<DEL>", "<*>", "*", f"]{name}:1]{ref}"])]
            calls = []
            for _ in SAMPLES:
                pick = lambda: None if rng.random() < 0.1 else rng.randint(0, len(alts))
                calls.append((pick(), ABSENT) if name in haploid else (pick(), pick()))
            records.append((name, pos, ref, [ref] + alts, calls))
            # Now and then the next record overlaps this one.
            pos += rng.randint(1, len(ref)) if rng.random() < 0.1 else rng.randint(len(ref) + 1, 40)
    return records


def write_vcf(path, seqs, records):
    lines = ["##fileformat=VCFv4.2",
             '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">']
    lines += [f"##contig=<ID={n},length={len(s)}>" for n, s in seqs.items()]
    lines.append("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(SAMPLES))
    for name, pos, ref, alleles, calls in records:
        gts = []
        for k, (a, b) in enumerate(calls):
            text = [("." if x is None else str(x)) for x in (a, b) if x is not ABSENT]
            gts.append(("|" if k % 2 else "/").join(text))
        lines.append(f"{name}\t{pos + 1}\t.\t{ref}\t{','.join(alleles[1:])}\t.\tPASS\t.\tGT\t"
                     + "\t".join(gts))
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def oracle(seq, records, name, sample, hap):
    """What each position of `seq` gives on haplotype `hap` of `sample` (a list of strs)."""
    out, last_end, inserted = list(seq), -1, False
    for rname, pos, ref, alleles, calls in records:
        a = calls[sample][hap]
        if a is ABSENT:
            a = calls[sample][0]
        if rname != name or a in (None, ABSENT, 0):
            continue
        alt = alleles[a]
        if alt.startswith("<") or alt == "*" or "[" in alt or "]" in alt:
            continue
        alt = alt.lower() if seq[pos].islower() else alt.upper()  # the reference's case there
        if pos < last_end:
            # As bcftools: an indel anchored on the last position of the variant before it (no
            # insertion) applies after that anchor; anything else overlapping is skipped.
            if (pos != last_end - 1 or len(alt) == len(ref) or inserted
                    or alt[0].upper() != ref[0].upper()):
                continue
            if len(ref) == 1:
                out[pos] += alt[1:]
            else:
                for k in range(1, len(ref)):
                    out[pos + k] = alt[k] if k < len(ref) - 1 and k < len(alt) else ""
                out[pos + len(ref) - 1] = alt[len(ref) - 1:]
                last_end = pos + len(ref)
            inserted = len(alt) > len(ref)
            continue
        for k in range(len(ref)):
            out[pos + k] = alt[k] if k < len(ref) - 1 and k < len(alt) else ""
        out[pos + len(ref) - 1] = alt[len(ref) - 1:]
        last_end, inserted = pos + len(ref), len(alt) > len(ref)
    return out


def complement(s):
    return s[::-1].translate(str.maketrans("ACGTNacgtn", "TGCANtgcan"))


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    """A reference (chrX haploid in the calls) and its variants as VCF, bgzipped VCF and BCF."""
    d = tmp_path_factory.mktemp("cohort")
    rng = random.Random(25)
    fa, seqs = write_random_fasta(d / "ref.fa", rng, records=["chr1", "chr2", "chrX"],
                                  length=[4000, 2500, 1500], alphabet="ACGTacgt")
    records = random_variants(rng, seqs, haploid=("chrX",), symbolic=True)
    vcf = write_vcf(d / "v.vcf", seqs, records)
    plain = [r for r in records if not any(a.startswith(("<", "*", "]")) for a in r[3])]
    consensus_vcf = write_vcf(d / "c.vcf", seqs, plain)
    files = {"vcf": vcf}
    if BCFTOOLS:
        for source, target, kind in ((vcf, vcf + ".gz", "z"), (vcf, str(d / "v.bcf"), "b"),
                                     (consensus_vcf, consensus_vcf + ".gz", "z")):
            subprocess.run([BCFTOOLS, "view", "-O" + kind, "-o", target, source], check=True,
                           timeout=60)
            subprocess.run([BCFTOOLS, "index", target], check=True, timeout=60)
        files.update({"vcf.gz": vcf + ".gz", "bcf": str(d / "v.bcf"),
                      "consensus": consensus_vcf + ".gz"})
    return {"fa": fa, "seqs": seqs, "records": records, "plain": plain, "files": files, "dir": d}


@needs_bcftools
@pytest.mark.parametrize("name", ["chr1", "chr2", "chrX"])
def test_whole_sequences_match_bcftools_consensus(cohort, name):
    personal = nucla.Fasta(cohort["fa"]).with_variants(cohort["files"]["consensus"])
    n = len(cohort["seqs"][name])
    data, offsets = personal.fetch_packed([name], [0], [n])
    region = subprocess.run(["samtools", "faidx", cohort["fa"], name], capture_output=True,
                            check=True, timeout=60).stdout
    for s, sample in enumerate(SAMPLES):
        for h in (0, 1):
            got = data[offsets[2 * s + h]:offsets[2 * s + h + 1]].tobytes().decode()
            # bcftools keeps the reference on a haploid call's second haplotype; here it is the
            # call's allele, as on the first.
            hap = 1 if name == "chrX" else h + 1
            want = subprocess.run([BCFTOOLS, "consensus", "-s", sample, "-H", str(hap),
                                   cohort["files"]["consensus"]], input=region,
                                  capture_output=True, check=True, timeout=60).stdout
            assert got == "".join(want.decode().splitlines()[1:]), (sample, h)


@pytest.mark.parametrize("kind", ["vcf", "vcf.gz", "bcf"])
@pytest.mark.parametrize("source", ["plain", "bgzip", "mutable"])
def test_regions_and_windows_match_the_oracle(cohort, kind, source):
    if kind not in cohort["files"] or (source == "bgzip" and not shutil.which("bgzip")):
        pytest.skip("needs bcftools and bgzip")
    fa = cohort["fa"]
    if source == "bgzip":
        fa = str(cohort["dir"] / "ref.fa.gz")
        if not os.path.exists(fa):
            subprocess.run(["bgzip", "-k", "-f", cohort["fa"]], check=True, timeout=60)
    personal = nucla.Fasta(fa, mutable=source == "mutable").with_variants(cohort["files"][kind])
    seqs, records = cohort["seqs"], cohort["records"]
    haps = {(n, s, h): oracle(seqs[n], records, n, s, h)
            for n in seqs for s in range(len(SAMPLES)) for h in (0, 1)}
    rng = random.Random(kind + source)
    names = [rng.choice(list(seqs)) for _ in range(60)]
    starts = np.array([rng.randrange(-30, len(seqs[n]) + 10) for n in names])
    ends = starts + [rng.randrange(0, 200) for _ in names]
    minus = np.array([rng.random() < 0.5 for _ in names])

    # Regions: the positions inside each region, nothing else.
    data, offsets = personal.fetch_packed(names, starts, ends, strands=minus)
    for i, n in enumerate(names):
        lo = max(starts[i], 0)
        hi = max(lo, min(ends[i], len(seqs[n])))
        pad_before = "N" * (min(lo, ends[i]) - starts[i])
        pad_after = "N" * max(0, ends[i] - max(len(seqs[n]), starts[i]))
        for s in range(len(SAMPLES)):
            for h in (0, 1):
                want = pad_before + "".join(haps[n, s, h][lo:hi]) + pad_after
                e = (i * len(SAMPLES) + s) * 2 + h
                got = data[offsets[e]:offsets[e + 1]].tobytes().decode()
                assert got == (complement(want) if minus[i] else want), (i, s, h)

    # Windows of one sample per row: read on from the start until `length` bases.
    length = 50
    pick = np.array([rng.randrange(len(SAMPLES)) for _ in names])
    windows = personal.fetch_windows(names, starts, starts + length, length, strands=minus,
                                     sample_of_row=pick)
    assert windows.shape == (len(names), 2, length)
    for i, n in enumerate(names):
        for h in (0, 1):
            outputs = ["N"] * max(0, -starts[i]) + haps[n, pick[i], h][max(starts[i], 0):]
            want = "".join(outputs)[:length].ljust(length, "N")
            got = windows[i, h].tobytes().decode()
            assert got == (complement(want) if minus[i] else want), (i, h)


def test_encodings_and_the_sample_axis_agree_with_bytes(cohort):
    personal = nucla.Faidx(cohort["fa"]).with_variants(cohort["files"]["vcf"], samples=["S3", "S1"])
    assert personal.samples == ["S3", "S1"]
    names, starts = ["chr1", "chr2", "chrX"], np.array([100, 7, 1490])
    args = (names, starts, starts + 64, 64)
    raw = personal.fetch_windows(*args, upper=True)
    assert raw.shape == (3, 2, 2, 64)
    codes = personal.fetch_windows(*args, encoding="codes")
    onehot = personal.fetch_windows(*args, encoding="onehot", dtype=np.float32)
    lookup = np.full(256, 4, np.uint8)
    for code, base in enumerate(b"ACGT"):
        lookup[base] = code
    assert (codes == lookup[raw]).all()
    assert (onehot.argmax(-1)[codes < 4] == codes[codes < 4]).all()
    assert (onehot.sum(-1) == (codes < 4)).all()
    # The sample axis follows the order asked for: S3 first.
    full = nucla.Faidx(cohort["fa"]).with_variants(cohort["files"]["vcf"])
    assert (full.fetch_windows(*args, upper=True)[:, 2] == raw[:, 0]).all()


def test_bad_input_is_a_clear_error(cohort, tmp_path, capfd):
    fasta = nucla.Fasta(cohort["fa"])
    vcf = cohort["files"]["vcf"]
    with pytest.raises(FileNotFoundError):
        fasta.with_variants(tmp_path / "missing.vcf")
    with pytest.raises(KeyError, match="'S9' is not in"):
        fasta.with_variants(vcf, samples=["S1", "S9"])
    with pytest.raises(TypeError):
        fasta.with_variants(vcf, samples="S1")
    personal = fasta.with_variants(vcf)
    with pytest.raises(IndexError, match="sample_of_row"):
        personal.fetch_packed(["chr1"], [0], [10], sample_of_row=[3])

    # A sequence the file has no record of reads as the reference; a contig of the file that the
    # reference lacks is never asked for.
    only = tmp_path / "chr1_only.vcf"
    only.write_text("".join(line + "\n" for line in pathlib.Path(vcf).read_text().splitlines()
                            if not line.startswith(("chr2", "chrX"))).replace("chrX", "chrZ"))
    data, offsets = fasta.with_variants(only).fetch_packed(["chr2"], [0], [2500])
    assert data[:offsets[1]].tobytes().decode() == cohort["seqs"]["chr2"]

    # A REF that is not the reference's: an error naming the record, or skipped when asked.
    lines = pathlib.Path(vcf).read_text().splitlines()
    record = next(i for i, line in enumerate(lines) if line.startswith("chr2\t"))
    fields = lines[record].split("\t")
    fields[3] = "".join({"A": "C", "C": "G", "G": "T", "T": "A"}.get(b.upper(), "A") for b in fields[3])
    lines[record] = "\t".join(fields)
    bad = tmp_path / "bad.vcf"
    bad.write_text("\n".join(lines) + "\n")
    where = f"chr2:{fields[1]}"
    with pytest.raises(ValueError, match=f"variant at {where} .* does not match the reference"):
        fasta.with_variants(bad).fetch_packed(["chr2"], [0], [2500])
    capfd.readouterr()
    data, offsets = fasta.with_variants(bad, skip_ref_mismatch=True).fetch_packed(["chr2"], [0], [2500])
    assert f"skipped: the REF of the variant at {where}" in capfd.readouterr().err

    if BCFTOOLS:
        gz = tmp_path / "unindexed.vcf.gz"
        shutil.copy(cohort["files"]["vcf.gz"], gz)
        with pytest.raises(ValueError, match="bcftools index"):
            fasta.with_variants(gz)
        # A damaged block, and a file changed under an open view.
        damaged = tmp_path / "damaged.vcf.gz"
        body = bytearray(pathlib.Path(cohort["files"]["vcf.gz"]).read_bytes())
        body[len(body) // 2: len(body) // 2 + 64] = bytes(64)
        damaged.write_bytes(bytes(body))
        shutil.copy(cohort["files"]["vcf.gz"] + ".csi", str(damaged) + ".csi")
        with pytest.raises(OSError, match="truncated or corrupt"):
            fasta.with_variants(damaged).fetch_packed(list(cohort["seqs"]), [0, 0, 0], [4000, 2500, 1500])
        changing = tmp_path / "changing.vcf.gz"
        shutil.copy(cohort["files"]["vcf.gz"], changing)
        shutil.copy(cohort["files"]["vcf.gz"] + ".csi", str(changing) + ".csi")
        view = fasta.with_variants(changing)
        with open(changing, "ab") as f:
            f.write(b"\0")
        with pytest.raises(OSError, match="changed since it was opened"):
            view.fetch_packed(["chr1"], [0], [10])


@needs_bcftools
def test_the_tool_prints_what_samtools_and_bcftools_consensus_print(cohort, cli, tmp_path):
    """Regions whose ends cut no variant, each sample and haplotype (chrX: its first)."""
    rng = random.Random(7)
    spans = {}
    for name, pos, ref, _, _ in cohort["plain"]:
        spans.setdefault(name, []).append((pos, pos + len(ref)))
    regions = []
    while len(regions) < 12:
        name = rng.choice(["chr1", "chr2", "chrX"])
        start = rng.randrange(0, len(cohort["seqs"][name]) - 300)
        end = start + rng.randrange(1, 300)
        if all(not (a < start < b or a < end < b) for a, b in spans[name]):
            regions.append(f"{name}:{start + 1}-{end}")
    vcf = cohort["files"]["consensus"]
    for sample in SAMPLES:
        for hap in ("1", "2"):
            chosen = [r for r in regions if hap == "1" or not r.startswith("chrX")]
            got = subprocess.run([cli, cohort["fa"], *chosen, "--vcf", vcf, "--sample", sample,
                                  "--haplotype", hap], capture_output=True, timeout=60)
            assert got.returncode == 0, got.stderr
            want = b""
            for region in chosen:
                ref = subprocess.run(["samtools", "faidx", cohort["fa"], region],
                                     capture_output=True, check=True, timeout=60).stdout
                want += subprocess.run([BCFTOOLS, "consensus", "-s", sample, "-H", hap, vcf],
                                       input=ref, capture_output=True, check=True,
                                       timeout=60).stdout
            assert got.stdout == want, (sample, hap)
