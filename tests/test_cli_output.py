"""The command-line tool's output files and strands: BGZF output and --write-index against
bgzip, samtools and a current samtools (the one pysam bundles), --gzi-idx and the warning
words against samtools, -s against bedtools getfasta -s, outputs that would destroy an input,
and runs that fail or are killed while replacing an output. Each peer's comparison is skipped
when the peer is missing.
"""

import os
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

import pytest

from conftest import write_random_fasta
from conftest import HTSLIB, SAMTOOLS, needs_samtools, random_named_fasta, run_cli as run, samtools

BGZIP = shutil.which("bgzip")
BEDTOOLS = shutil.which("bedtools")
needs_bgzip = pytest.mark.skipif(BGZIP is None, reason="bgzip is not installed")
needs_bedtools = pytest.mark.skipif(BEDTOOLS is None, reason="bedtools is not installed")
# Set when the suite runs against a build with the portable fallbacks forced on (cmake
# -DNUCLA_PORTABLE=ON), which writes every file through a named temporary.
PORTABLE = os.environ.get("NUCLA_PORTABLE") == "1"

# Every block htslib writes starts so: gzip, FEXTRA, mtime 0, OS 255, one "BC" field.
HTSLIB_HEADER = bytes([31, 139, 8, 4, 0, 0, 0, 0, 0, 255, 6, 0, 66, 67, 2, 0])
EOF_BLOCK = HTSLIB_HEADER + bytes([27, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0])


def current_samtools():
    """samtools faidx with --write-index (1.21 or later) as pysam bundles it, or None."""
    probe = "import pysam; v = pysam.__samtools_version__.split('.'); print(int(v[0]) * 100 + int(v[1]))"
    got = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    if got.returncode or int(got.stdout) < 121:
        return None
    return [sys.executable, "-c", "import sys, pysam; pysam.faidx(*sys.argv[1:])"]


SAMTOOLS_NEW = current_samtools()


def blocks_of(data):
    """Uncompressed sizes of the blocks of a BGZF file, checking each block as it goes."""
    sizes, pos = [], 0
    while pos < len(data):
        assert data[pos : pos + 16] == HTSLIB_HEADER
        end = pos + int.from_bytes(data[pos + 16 : pos + 18], "little") + 1
        body = zlib.decompress(data[pos + 18 : end - 8], wbits=-15)
        assert data[end - 8 : end] == zlib.crc32(body).to_bytes(4, "little") + len(body).to_bytes(4, "little")
        sizes.append(len(body))
        pos = end
    return sizes


def indexed_elsewhere(path, tool):
    """A copy of `path` in a directory of its own, indexed there by `tool`."""
    copy = Path(tempfile.mkdtemp(dir=Path(path).parent)) / Path(path).name
    shutil.copyfile(path, copy)
    subprocess.run(tool + [copy], check=True, capture_output=True, timeout=60)
    return copy


def mixed_bed(seqs, rng, rows=150):
    """BED rows named "f<k> x" (the header's first word repeats), some with no bases, some
    running past the end; the last one has bases (samtools refuses a file ending otherwise)."""
    bed = []
    for i in range(rows):
        name, length = rng.choice(seqs)
        start = rng.randint(0, length)
        bed.append(f"{name}\t{start}\t{start + rng.choice([0, 1, 60, 400, length])}\tf{i % 23} x")
    return "\n".join(bed) + f"\n{seqs[0][0]}\t0\t1\tlast\n"


# ---------------------------------------------------------------------------------------
# BGZF output and --write-index


@needs_samtools
@needs_bgzip
@pytest.mark.parametrize(
    "threads, options", [("1", ["-n", "60"]), ("2", ["-n", "7", "-i"]), ("3", ["-n", "0", "--mark-strand", "custom, +, -"])]
)
def test_bgzf_output_and_its_indexes(cli, tmp_path, threads, options):
    rng = random.Random(threads)
    seqs = random_named_fasta(tmp_path / "in.fa", rng, records=6)
    (tmp_path / "x.bed").write_text(mixed_bed(seqs, rng))
    args = [tmp_path / "in.fa", "--bed", tmp_path / "x.bed", *options]
    plain = run(args)
    out = tmp_path / "out.fa.gz"
    got = run([*args, "-@", threads, "--write-index", "-o", out])
    assert got.returncode == plain.returncode == 0, got.stderr
    assert got.stderr == plain.stderr  # the same warnings, nothing more
    data = out.read_bytes()
    sizes = blocks_of(data)
    assert sizes[-1] == 0 and data.endswith(EOF_BLOCK)
    assert all(s == 0xFF00 for s in sizes[:-2]) and 0 < sizes[-2] <= 0xFF00
    unpacked = subprocess.run([BGZIP, "-dc", out], capture_output=True, timeout=60)
    assert unpacked.stdout == plain.stdout
    by_samtools = indexed_elsewhere(out, [SAMTOOLS, "faidx"])
    fai = Path(f"{out}.fai").read_bytes()
    assert fai == Path(f"{by_samtools}.fai").read_bytes()
    assert Path(f"{out}.gzi").read_bytes() == Path(f"{indexed_elsewhere(out, [BGZIP, '-r'])}.gzi").read_bytes()
    # The output serves its records through the indexes written beside it, to both tools.
    names = [line.split("\t")[0] for line in fai.decode().splitlines()]
    own = samtools([by_samtools, *names]).stdout
    assert own.count(b">") == len(names) > 20
    assert samtools([out, *names]).stdout == own
    assert run([out, "--no-rebuild", *names]).stdout == own


@needs_bgzip
def test_large_bgzf_output_is_the_same_for_every_thread_count(cli, tmp_path):
    fasta = tmp_path / "big.fa"
    rng = random.Random(9)
    acgt = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    fasta.write_bytes(b"".join(b">s%d\n%s\n" % (i, rng.randbytes(1_200_000).translate(acgt)) for i in range(8)))
    outputs = set()
    for threads in ("1", "2", "0"):
        out = tmp_path / f"o{threads}.bgz"
        assert run([fasta, "-@", threads, "-o", out, *[f"s{i}" for i in range(8)]]).returncode == 0
        outputs.add(out.read_bytes())
    (data,) = outputs
    assert len(blocks_of(data)) > 2 * 64  # more than one batch of blocks
    unpacked = subprocess.run([BGZIP, "-dc"], input=data, capture_output=True, timeout=60)
    assert unpacked.stdout.count(b">") == 8


@pytest.mark.parametrize("name", ["o.fa", "o.GZ", "o.gz.fa", "o.BGZF", "o"])
def test_other_names_stay_plain(cli, tmp_path, name):
    fasta = HTSLIB / "ce.fa"
    got = run([fasta, "-o", tmp_path / name, "--write-index", "CHROMOSOME_I:1-130"])
    assert got.returncode == 0
    assert (tmp_path / name).read_bytes() == run([fasta, "CHROMOSOME_I:1-130"]).stdout
    assert (tmp_path / (name + ".fai")).read_text() == "CHROMOSOME_I:1-130\t130\t20\t60\t61\n"
    assert not (tmp_path / (name + ".gzi")).exists()


@needs_bgzip
@pytest.mark.skipif(SAMTOOLS_NEW is None, reason="no samtools with --write-index (pysam bundles one)")
@pytest.mark.parametrize("suffix", [".fa", ".fa.gz", ".bgz"])
def test_write_index_matches_current_samtools(cli, tmp_path, suffix):
    # Distinct regions, each with bases: there samtools writes what it indexes.
    rng = random.Random(suffix)
    seqs = random_named_fasta(tmp_path / "in.fa", rng, records=5)
    regions = sorted({f"{n}:{rng.randint(1, l)}-{l}" for n, l in seqs if ":" not in n} | {n for n, _ in seqs})
    outs = {}
    for tool, cmd in (("sam", SAMTOOLS_NEW), ("nuc", [cli])):
        out = tmp_path / tool / ("out" + suffix)
        out.parent.mkdir()
        got = subprocess.run([*cmd, tmp_path / "in.fa", "-n", "50", "-o", out, "--write-index", *regions], capture_output=True, timeout=60)
        assert got.returncode == 0, got.stderr
        outs[tool] = out
    assert Path(f"{outs['nuc']}.fai").read_bytes() == Path(f"{outs['sam']}.fai").read_bytes()
    if suffix == ".fa":
        assert outs["nuc"].read_bytes() == outs["sam"].read_bytes()
        assert not Path(f"{outs['nuc']}.gzi").exists()
        return
    # Compressed at samtools' level: built with zlib, nucla writes samtools' (zlib) bytes;
    # built with libdeflate, those of bgzip at that level when bgzip uses libdeflate too.
    ours, theirs = outs["nuc"].read_bytes(), outs["sam"].read_bytes()
    if ours != theirs:
        plain = subprocess.run([BGZIP, "-dc", outs["sam"]], capture_output=True, timeout=60).stdout
        theirs = subprocess.run([BGZIP, "-l", "4", "-c"], input=plain, capture_output=True,
                                timeout=60).stdout
    assert ours == theirs
    assert Path(f"{outs['nuc']}.gzi").read_bytes() == Path(f"{indexed_elsewhere(outs['nuc'], [BGZIP, '-r'])}.gzi").read_bytes()


def test_write_index_of_an_empty_compressed_output(cli, tmp_path):
    out = tmp_path / "none.fa.gz"
    got = run([HTSLIB / "ce.fa", "-c", "nope", "-o", out, "--write-index"])
    assert got.returncode == 0
    assert out.read_bytes() == EOF_BLOCK
    assert Path(f"{out}.fai").read_bytes() == b""
    assert Path(f"{out}.gzi").read_bytes() == b"\xff" * 8  # what bgzip -r writes for it


# ---------------------------------------------------------------------------------------
# --gzi-idx and samtools' warning words


@needs_samtools
@needs_bgzip
@pytest.mark.parametrize("extract", [False, True])
def test_gzi_idx_matches_samtools(cli, tmp_path, extract):
    dirs = {}
    for tool, call in (("sam", samtools), ("nuc", run)):
        d = tmp_path / tool
        d.mkdir()
        with open(d / "faidx.fa.gz", "wb") as gz:
            subprocess.run([BGZIP, "-c", HTSLIB / "faidx" / "faidx.fa"], stdout=gz, check=True,
                           timeout=60)
        (d / "1.reg").write_text("foo:1-3\nbar\n")
        args = ["--fai-idx", d / "fa_test.fai", "--gzi-idx", d / "fa_test.gzi", d / "faidx.fa.gz"]
        got = call(args + (["-r", d / "1.reg", "-o", d / "1.fa"] if extract else []))
        assert got.returncode == 0, got.stderr
        dirs[tool] = d
    names = sorted(p.name for p in dirs["nuc"].iterdir())
    assert names == sorted(p.name for p in dirs["sam"].iterdir())
    assert "faidx.fa.gz.gzi" not in names
    for name in names:
        want = (dirs["sam"] / name).read_bytes()
        if name == "fa_test.fai":  # nucla leaves out the record whose header has no name
            want = b"".join(row for row in want.splitlines(True) if not row.startswith(b"\t"))
        assert (dirs["nuc"] / name).read_bytes() == want, name


@needs_samtools
def test_warning_words_match_samtools(cli, tmp_path):
    regions = ["CHROMOSOME_I:1009790-1009900", "CHROMOSOME_I:2000000", "CHROMOSOME_V:1-3", "CHROMOSOME_X:1-0"]
    want = samtools([HTSLIB / "ce.fa", *regions])
    got = run([HTSLIB / "ce.fa", *regions])
    assert got.stdout == want.stdout
    assert got.stderr.replace(b"nucla: ", b"[faidx] ") == want.stderr
    assert b"Zero length sequence" in got.stderr and b"Truncated sequence" in got.stderr


# ---------------------------------------------------------------------------------------
# Strand from BED


@needs_bedtools
@pytest.mark.parametrize("flip", [False, True])
def test_strand_matches_bedtools(cli, tmp_path, flip):
    rng = random.Random(int(flip))
    # Bases bedtools complements as samtools does (it leaves other IUPAC codes as they are).
    _, bases = write_random_fasta(tmp_path / "in.fa", rng, records=[f"chr{i}" for i in range(6)],
                                  length=(1, 3001), width=70)
    seqs = [(name, len(seq)) for name, seq in bases.items()]
    rows = []
    for i in range(200):
        name, length = rng.choice(seqs)
        start = rng.randint(0, length - 1)
        rows.append(f"{name}\t{start}\t{rng.randint(start + 1, length)}\tf{i}\t0\t{rng.choice('+-.')}")
    (tmp_path / "s.bed").write_text("\n".join(rows) + "\n")
    # -i turns every record round, so bedtools gets the opposite strands.
    swap = str.maketrans("+-.", "-+-") if flip else str.maketrans("", "")
    (tmp_path / "b.bed").write_text("\n".join(r[:-1] + r[-1].translate(swap) for r in rows) + "\n")
    got = run([tmp_path / "in.fa", "--bed", tmp_path / "s.bed", "-s", "--mark-strand", "sign", "-n", "0", *(["-i"] if flip else [])])
    want = subprocess.run([BEDTOOLS, "getfasta", "-fi", tmp_path / "in.fa", "-bed", tmp_path / "b.bed", "-s", "-nameOnly"],
                          capture_output=True, check=True, timeout=60).stdout
    assert got.returncode == 0, got.stderr
    # bedtools marks a row without strand "(.)"; nucla marks how the bases are printed.
    assert got.stdout == want.replace(b"(.)\n", b"(+)\n")


def test_strand_column_is_read_only_under_s(cli, tmp_path):
    fasta = tmp_path / "in.fa"
    fasta.write_text(">c\nAACGTTGCAC\n")
    (tmp_path / "s.bed").write_text("c\t0\t4\ta\t0\t-\nc\t0\t4\tb\t0\t+\nc 0 4 c 0 -\nc\t0\t4\n")
    assert run([fasta, "--bed", tmp_path / "s.bed", "-s"]).stdout == b">a/rc\nCGTT\n>b\nAACG\n>c/rc\nCGTT\n>c:1-4\nAACG\n"
    assert run([fasta, "--bed", tmp_path / "s.bed"]).stdout == b">a\nAACG\n>b\nAACG\n>c\nAACG\n>c:1-4\nAACG\n"
    (tmp_path / "s.bed").write_text("c\t0\t4\ta\t0\t+\nc\t0\t4\ta\t0\tminus\n")
    got = run([fasta, "--bed", tmp_path / "s.bed", "-s"])
    assert (got.returncode, got.stdout) == (1, b">a\nAACG\n")
    assert b"s.bed:2:" in got.stderr and b"strand" in got.stderr


# ---------------------------------------------------------------------------------------
# Outputs that are inputs


@needs_bgzip
@pytest.mark.parametrize(
    "victim, args",
    [
        ("regs.txt", ["-r", "regs.txt", "-o", "regs.txt"]),
        ("regs.txt", ["--bed", "regs.txt", "-o", "regs.txt"]),
        ("regs.txt", ["-r", "-", "-o", "regs.txt"]),  # standard input redirected from it
        ("regs.txt", ["-r", "regs.txt", "-o", "link.txt"]),
        ("regs.txt", ["-r", "regs.txt", "-o", "hard.txt"]),
        ("ref.fa.gz.gzi", ["-o", "ref.fa.gz.gzi", "a"]),
        ("ref.fa.gz.fai", ["-o", "ref.fa.gz", "--write-index", "a"]),
        ("out.gz.gzi", ["--gzi-idx", "out.gz.gzi", "-o", "out.gz", "--write-index", "a"]),
        ("other.fai", ["--fai-idx", "other.fai", "-o", "other", "--write-index", "a"]),
    ],
)
def test_output_never_overwrites_an_input(cli, tmp_path, victim, args):
    with open(tmp_path / "ref.fa.gz", "wb") as gz:
        subprocess.run([BGZIP, "-c"], input=b">a\nACGT\n", stdout=gz, check=True, timeout=60)
    (tmp_path / "regs.txt").write_text("a\t0\t2\n" if "--bed" in args else "a:1-2\n")
    assert run(["ref.fa.gz"], cwd=tmp_path).returncode == 0
    run(["ref.fa.gz", "--fai-idx", "other.fai", "--gzi-idx", "out.gz.gzi"], cwd=tmp_path)
    (tmp_path / "link.txt").symlink_to("regs.txt")
    os.link(tmp_path / "regs.txt", tmp_path / "hard.txt")
    before = (tmp_path / victim).read_bytes()
    with open(tmp_path / "regs.txt", "rb") as stdin:
        got = subprocess.run([cli, "ref.fa.gz", *args], stdin=stdin, capture_output=True, cwd=tmp_path, timeout=60)
    assert got.returncode == 1
    assert b"would overwrite the input" in got.stderr
    assert (tmp_path / victim).read_bytes() == before


# ---------------------------------------------------------------------------------------
# Replacing an output file: a run that fails or is killed leaves the old output and its
# indexes as they were


def three_records(tmp_path):
    """ref.fa: c0, c1 and c2 of 300,000 random bases each, in lines of 60."""
    rng = random.Random(5)
    acgt = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    records = []
    for i in range(3):
        bases = rng.randbytes(300_000).translate(acgt)
        records.append(b">c%d\n" % i + b"".join(bases[j : j + 60] + b"\n" for j in range(0, len(bases), 60)))
    path = tmp_path / "ref.fa"
    path.write_bytes(b"".join(records))
    return path


def files_in(directory):
    return {p.name: p.read_bytes() for p in Path(directory).iterdir() if p.is_file()}


def written_bytes(pid):
    return int(re.search(r"wchar: (\d+)", Path(f"/proc/{pid}/io").read_text())[1])


@pytest.mark.parametrize("name", ["F.fa", "F.fa.gz"])
@pytest.mark.parametrize("index", [[], ["--write-index"]])
def test_output_that_cannot_be_written_whole_replaces_nothing(cli, tmp_path, name, index):
    ref, out = three_records(tmp_path), tmp_path / name
    assert run([ref, "c0", "c1", "c2", "-o", out, *index]).returncode == 0
    before = files_in(tmp_path)
    # A full disk, as a file size limit (SIGXFSZ ignored, so that the write fails with EFBIG).
    limited = ["sh", "-c", 'trap "" XFSZ; ulimit -f 150; exec "$@"', "sh", cli]
    got = subprocess.run([*limited, ref, "c2", "c1", "c0", "-n", "70", "-o", out, *index],
                         capture_output=True, timeout=60)
    assert got.returncode == 1
    assert b"File too large" in got.stderr
    assert files_in(tmp_path) == before


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("name", ["F.fa", "F.fa.gz"])
def test_output_killed_mid_write_replaces_nothing(cli, tmp_path, sig, name):
    ref, out = three_records(tmp_path), tmp_path / name
    assert run([ref, "c0", "c1", "c2", "-o", out, "--write-index"]).returncode == 0
    before = files_in(tmp_path)
    regions = tmp_path / "regions"
    os.mkfifo(regions)
    proc = subprocess.Popen([cli, ref, "-r", regions, "-o", out, "--write-index"],
                            stderr=subprocess.DEVNULL)
    try:
        with open(regions, "w") as feed:
            # A full batch of regions, whose records fill several output blocks; the tool then
            # waits for more regions while the last block is still in its buffer.
            rng = random.Random(sig)
            starts = [rng.randint(1, 299_000) for _ in range(65536)]
            feed.writelines(f"c{i % 3}:{start}-{start + 299}\n" for i, start in enumerate(starts))
            feed.flush()
            deadline = time.monotonic() + 60
            while written_bytes(proc.pid) < 1 << 20:
                assert proc.poll() is None and time.monotonic() < deadline, "no output was written"
                time.sleep(0.01)
            proc.send_signal(sig)
            assert proc.wait(timeout=60) == -sig
    finally:
        proc.kill()
        proc.wait(timeout=60)
    after = files_in(tmp_path)
    if PORTABLE and sig == signal.SIGKILL:  # its named temporary stays (nothing can remove it)
        (stray,) = set(after) - set(before)
        assert re.fullmatch(re.escape(name) + r"\.tmp\.[0-9a-f]{16}", stray)
        del after[stray]
    assert after == before


@pytest.mark.parametrize("kind", ["symlink", "mode", "fifo", "/dev/stdout", "/dev/full"])
def test_output_kinds(cli, tmp_path, small, kind):
    want = b">two:1-4\nTTTT\n"
    args = [small, "two:1-4", "--write-index", "-o"]
    if kind == "symlink":  # the file it names is replaced; the link stays
        (tmp_path / "elsewhere").mkdir()
        target = tmp_path / "elsewhere" / "out.fa"
        target.write_bytes(b"old")
        (tmp_path / "out.fa").symlink_to(target)
        assert run([*args, tmp_path / "out.fa"]).returncode == 0
        assert (tmp_path / "out.fa").is_symlink() and target.read_bytes() == want
        assert sorted(os.listdir(tmp_path / "elsewhere")) == ["out.fa"]
        assert (tmp_path / "out.fa.fai").read_bytes() == b"two:1-4\t4\t9\t4\t5\n"
    elif kind == "mode":  # the new file keeps the old one's permissions
        out = tmp_path / "out.fa"
        out.write_bytes(b"old")
        out.chmod(0o640)
        assert run([*args, out]).returncode == 0
        assert out.read_bytes() == want and stat.S_IMODE(out.stat().st_mode) == 0o640
    elif kind == "fifo":
        fifo = tmp_path / "out.fa"
        os.mkfifo(fifo)
        got = {}
        reader = threading.Thread(target=lambda: got.setdefault("data", fifo.read_bytes()), daemon=True)
        reader.start()
        assert subprocess.run([cli, *args, fifo], timeout=60).returncode == 0
        reader.join(timeout=60)
        assert not reader.is_alive() and got["data"] == want and fifo.is_fifo()
    elif kind == "/dev/stdout":  # standard output redirected to a file, written straight
        with open(tmp_path / "out.fa", "wb") as stdout:
            got = subprocess.run([cli, small, "two:1-4", "-o", kind], stdout=stdout, timeout=60)
        assert got.returncode == 0 and (tmp_path / "out.fa").read_bytes() == want
    else:
        got = subprocess.run([cli, small, "two:1-4", "-o", kind], capture_output=True, timeout=60)
        assert got.returncode == 1 and b"No space left on device" in got.stderr
    assert not [f for f in os.listdir(tmp_path) if ".tmp." in f]
