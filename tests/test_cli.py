"""The `nucla` command-line tool: byte-for-byte agreement with `samtools faidx`, and its own
options, errors and exit statuses.

The tool is looked up as NUCLA_CLI, then in this interpreter's scripts directory (where
`pip install .` puts it), then on PATH. Comparisons with samtools are skipped when samtools
is missing.
"""

import gzip
import os
import platform
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import nucla
from conftest import (HTSLIB, needs_samtools, random_named_fasta, random_regions,
                      run_cli as run, samtools, write_bgzf, write_random_fasta)


def twin_copies(tmp_path, source):
    """One copy of a FASTA for each tool, so that each builds and reads its own index."""
    copies = []
    for tool in ("sam", "nuc"):
        d = tmp_path / tool
        d.mkdir(exist_ok=True)
        dest = d / Path(source).name
        shutil.copyfile(source, dest)
        copies.append(dest)
    return copies


def assert_same(sam_fa, nuc_fa, args, stdin=None):
    want = samtools([sam_fa, *args], stdin)
    got = run([nuc_fa, *args], stdin)
    assert want.returncode == 0, want.stderr
    assert got.returncode == 0, got.stderr
    assert got.stdout == want.stdout


def fai_rows(path):
    return [line.split("\t") for line in Path(path).read_text().splitlines()]


def edge_regions(name, length, rng):
    """Regions at and around a sequence's bounds, plus a few random ones."""
    q = "{" + name + "}" if ":" in name else name
    regions = [
        name,
        f"{q}:1",
        f"{q}:1-1",
        f"{q}:{length}",
        f"{q}:{length}-{length}",
        f"{q}:1-{length}",
        f"{q}:{length + 1}",
        f"{q}:{length + 1}-{length + 5}",
        f"{q}:0",
        f"{q}:-3",
        f"{q}:2-",
        f"{q}:{max(length - 1, 1)}-{length + 100}",
        f"{q}:1-{length * 3 + 10:,}",
    ]
    for _ in range(6):
        a = rng.randint(1, max(length, 1))
        b = rng.randint(a, max(length, 1) + 2)
        regions.append(f"{q}:{a:,}-{b:,}" if rng.random() < 0.3 else f"{q}:{a}-{b}")
    return regions


HTSLIB_FILES = sorted(p.name for p in HTSLIB.glob("*.fa"))
OPTION_SETS = [
    [],
    ["-n", "1"],
    ["-n", "7"],
    ["-n", "1000000"],
    ["-i"],
    ["-i", "-n", "13", "--mark-strand", "sign"],
    ["--mark-strand", "custom,+,-"],
    ["-i", "--mark-strand", "no"],
]


# ---------------------------------------------------------------------------------------
# Agreement with samtools faidx


@needs_samtools
@pytest.mark.parametrize("fasta", HTSLIB_FILES)
def test_htslib_files_match_samtools(cli, tmp_path, fasta):
    sam_fa, nuc_fa = twin_copies(tmp_path, HTSLIB / fasta)
    rows = fai_rows(HTSLIB / (fasta + ".fai"))
    rng = random.Random(fasta)
    regions = [r for name, length, *_ in rows for r in edge_regions(name, int(length), rng)]
    for options in OPTION_SETS:
        assert_same(sam_fa, nuc_fa, [*options, *regions])


@needs_samtools
def test_htslib_edge_case_file_matches_samtools(cli, tmp_path):
    # Trailing blank lines, CR-LF lines, leading spaces and descriptions in headers; the
    # record with an empty name is left out (samtools can name it in no region).
    sam_fa, nuc_fa = twin_copies(tmp_path, HTSLIB / "faidx" / "faidx.fa")
    rows = [r for r in fai_rows(HTSLIB / "faidx" / "faidx.fa.expected.fai") if r[0]]
    rng = random.Random(7)
    regions = [r for name, length, *_ in rows for r in edge_regions(name, int(length), rng)]
    regions += ["trailingblank2:28-33", "trailingblank3:4-5", "bar:4-5"]
    for options in OPTION_SETS:
        assert_same(sam_fa, nuc_fa, [*options, *regions])


@needs_samtools
def test_htslib_expected_output(cli, tmp_path):
    # htslib's own expected records, less the " length: N" its test driver appends.
    _, nuc_fa = twin_copies(tmp_path, HTSLIB / "ce.fa")
    got = run([nuc_fa, "-n", "50", "CHROMOSOME_I:5001-5125", "CHROMOSOME_X:101-225"])
    expected = (HTSLIB / "faidx" / "ce.1.expected.fa").read_bytes()
    assert got.returncode == 0
    assert got.stdout == b"".join(
        line.split(b" length:")[0] + b"\n" if line.startswith(b">") else line + b"\n"
        for line in expected.splitlines()
    )


@needs_samtools
@pytest.mark.parametrize("seed", range(12))
def test_random_files_match_samtools(cli, tmp_path, seed):
    rng = random.Random(seed)
    source = tmp_path / f"random{seed}.fa"
    seqs = random_named_fasta(source, rng, crlf=seed % 4 == 3)
    sam_fa, nuc_fa = twin_copies(tmp_path, source)
    regions = [r for name, length in seqs for r in edge_regions(name, length, rng)]
    for options in OPTION_SETS:
        assert_same(sam_fa, nuc_fa, [*options, *regions])
    # The same regions from a file.
    region_file = tmp_path / "regions.txt"
    region_file.write_text("\n".join(regions) + "\n")
    assert_same(sam_fa, nuc_fa, ["-r", region_file, "-n", str(rng.randint(1, 90))])


@needs_samtools
@pytest.mark.parametrize("seed", range(6))
def test_random_files_index_like_samtools(cli, tmp_path, seed):
    rng = random.Random(100 + seed)
    source = tmp_path / "r.fa"
    random_named_fasta(source, rng, crlf=seed % 3 == 2)
    sam_fa, nuc_fa = twin_copies(tmp_path, source)
    assert samtools([sam_fa]).returncode == 0
    got = run([nuc_fa])
    assert got.returncode == 0, got.stderr
    assert Path(str(nuc_fa) + ".fai").read_bytes() == Path(str(sam_fa) + ".fai").read_bytes()


@needs_samtools
def test_region_syntax_matches_samtools(cli, tmp_path):
    source = tmp_path / "names.fa"
    source.write_text(
        ">chr1\nACGTACGTACGTACGTACGT\n>chr1:1-10\nGGGGGCCCCC\n>a:b\nTTTTAAAA\n>c\nACACACAC\n"
        ">x{y}\nACGT\n>{z}\nTTGG\n>big\n" + "ACGTTGCA" * 400 + "\n"
    )
    sam_fa, nuc_fa = twin_copies(tmp_path, source)
    good = [
        "chr1:1-5", "{chr1}:1-10", "{chr1:1-10}", "{chr1:1-10}:2-3", "chr1:1-10:1-3", "a:b",
        "a:b:2-3", "{a:b}:2-3", "c:4", "{c}:5", "x{y}", "x{y}:2", "{{z}}", "c:", "c:0", "c:-0",
        "c:0-0", "c:0-5", "c:-5", "c:5-", "c:+5", "c:5-+6", "c:1-0", "c:-", "c: 3-4", "c:3- 4",
        "c:3-4,", "c:,5", "c:1,0-2,0", "big:1.5k-1,600", "big:1k", "big:1e3-1010", "big:1E3",
        "big:1.2345k-1300", "big:0.9k-901", "big:1,0,0,0-1010", "big:1e-1", "big:1.9-3",
        "big:1m", "big:1g", "big:3100-99999999999", "big:3200-3200", "big:3201", "c:9-20",
    ]
    for region in good:
        want = samtools([sam_fa, region])
        got = run([nuc_fa, region])
        assert want.returncode == 0, region
        assert (got.returncode, got.stdout) == (0, want.stdout), region
    bad = [
        "chr1:1-10", "{chr1", "{z}", "{z}:1", "c:5-4", "c:a", "c:5-x", "c:5--6", "c:--5",
        "c:-5-6", "c:1-2-3", "c:3 ", "c:1kb", "c:1e3k", "big:2k-1k", "C", "", " c", "nope:1-2",
    ]
    for region in bad:
        assert samtools([sam_fa, region]).returncode != 0, region
        got = run([nuc_fa, region])
        assert got.returncode == 1, region
        assert got.stdout == b"", region
        assert got.stderr.startswith(b"nucla: "), region


@needs_samtools
def test_large_region_list_matches_samtools(cli, tmp_path):
    # Enough regions for the worker pool, with every thread count giving the same bytes.
    rng = random.Random(42)
    source = tmp_path / "big.fa"
    seqs = random_named_fasta(source, rng, records=20)
    sam_fa, nuc_fa = twin_copies(tmp_path, source)
    lines = []
    for _ in range(5000):
        name, length = rng.choice(seqs)
        a = rng.randint(1, length)
        b = rng.randint(a, length + 20)
        lines.append(f"{{{name}}}:{a}-{b}" if ":" in name else f"{name}:{a}-{b}")
    region_file = tmp_path / "regions.txt"
    region_file.write_text("\n".join(lines) + "\n")
    want = samtools([sam_fa, "-r", region_file, "-i"])
    assert want.returncode == 0
    for threads in ("1", "2", "3", "0"):
        got = run([nuc_fa, "-r", region_file, "-i", "--threads", threads])
        assert got.returncode == 0, got.stderr
        assert got.stdout == want.stdout


@needs_samtools
def test_bed_matches_equivalent_regions(cli, tmp_path):
    rng = random.Random(5)
    source = tmp_path / "bed.fa"
    seqs = random_named_fasta(source, rng, records=6)
    sam_fa, nuc_fa = twin_copies(tmp_path, source)
    bed, regions = [], []
    for _ in range(300):
        name, length = rng.choice(seqs)
        start = rng.randint(0, length - 1)
        end = rng.randint(start + 1, length + 5)
        bed.append(f"{name}\t{start}\t{end}")
        q = "{" + name + "}" if ":" in name else name
        regions.append(f"{q}:{start + 1}-{end}")
    bed_file = tmp_path / "x.bed"
    bed_file.write_text("\n".join(bed) + "\n")
    want = samtools([sam_fa, "-n", "17", *regions])
    got = run([nuc_fa, "-n", "17", "--bed", bed_file])
    assert got.returncode == 0, got.stderr

    def split(out):
        lines = out.splitlines()
        return [l for l in lines if l.startswith(b">")], [l for l in lines if not l.startswith(b">")]

    got_headers, got_bases = split(got.stdout)
    assert got_bases == split(want.stdout)[1]
    expected_headers = []
    for line in bed:
        name, start, end = line.split("\t")
        expected_headers.append(f">{name}:{int(start) + 1}-{end}".encode())
    assert got_headers == expected_headers


# ---------------------------------------------------------------------------------------
# The tool on its own


def test_version_and_help(cli):
    got = run(["--version"])
    assert got.returncode == 0
    first, *build = got.stdout.decode().splitlines()
    assert first == f"nucla {nucla.__version__}"
    # Then what the build was made with: the library that the tool is linked against when it is
    # linked dynamically, and the processor's vector paths.
    features = dict(line.split(": ", 1) for line in build)
    assert list(features) == ["BGZF", "VCF", "SIMD", "Remote"]
    assert re.fullmatch(r"htslib \d+\.\d+(\.\d+)*.*|none", features["VCF"])
    library = re.fullmatch(r"(libdeflate|zlib) \d+\.\d+(\.\d+)*", features["BGZF"])
    assert library
    linked = subprocess.run(["ldd", cli], capture_output=True, text=True, timeout=60).stdout
    if "libdeflate" in linked:
        assert library[1] == "libdeflate"
    elif "libz." in linked and features["VCF"] == "none":  # (htslib needs zlib of its own)
        assert library[1] == "zlib"
    # The vector paths every processor of the kind has: SSE2 on x86-64, NEON on 64-bit ARM.
    expected = {"x86_64": "SSE2", "AMD64": "SSE2", "aarch64": "NEON", "arm64": "NEON"}
    assert features["SIMD"] == expected.get(platform.machine(), "none")
    got = run(["--help"])
    assert got.returncode == 0
    assert b"Usage: nucla" in got.stdout
    for flag in (b"--bed", b"--reverse-complement", b"--threads", b"--continue", b"--upper",
                 b"--strand", b"--write-index", b"--gzi-idx"):
        assert flag in got.stdout


@pytest.mark.parametrize("closed, output", [(">&- 2>&-", "out.fa"), (">&- 2>&-", "out.fa.gz"), ("<&-", None)])
def test_closed_standard_descriptors(cli, tmp_path, small, closed, output):
    # The truncation warning must not land in an output opened where standard error was, nor
    # the FASTA be read as the region list opened where standard input was.
    args = ["-o", output] if output else ["-r", "-"]
    got = subprocess.run(["sh", "-c", f'exec "$@" {closed}', "sh", cli, small, "three:120-140", *args],
                         capture_output=True, cwd=tmp_path, timeout=60)
    assert got.returncode == 0, got.stderr
    want = b">three:120-140\n" + b"A" * 11 + b"\n"
    if output:
        out = (tmp_path / output).read_bytes()
        assert (gzip.decompress(out) if output.endswith(".gz") else out) == want
    else:
        assert got.stdout == want
        assert got.stderr == b"nucla: Truncated sequence: three:120-140\n"


def test_index_mode_writes_and_reports(cli, tmp_path):
    fasta = tmp_path / "ce.fa"
    shutil.copyfile(HTSLIB / "ce.fa", fasta)
    got = run([fasta])
    assert got.returncode == 0, got.stderr
    assert got.stdout == b""
    assert str(fasta).encode() + b".fai" in got.stderr
    assert (tmp_path / "ce.fa.fai").read_bytes() == (HTSLIB / "ce.fa.fai").read_bytes()
    # Run again over a damaged index: the index is written afresh.
    (tmp_path / "ce.fa.fai").write_text("junk\n")
    assert run([fasta]).returncode == 0
    assert (tmp_path / "ce.fa.fai").read_bytes() == (HTSLIB / "ce.fa.fai").read_bytes()


def test_index_mode_custom_path_and_no_rebuild(cli, tmp_path, small):
    idx = tmp_path / "elsewhere.fai"
    got = run([small, "--fai-idx", idx])
    assert got.returncode == 0, got.stderr
    assert str(idx).encode() in got.stderr
    assert not Path(str(small) + ".fai").exists()
    assert idx.read_text().splitlines()[0] == "one\t22\t18\t10\t11"
    got = run([small, "--fai-idx", idx, "one:1-3"])
    assert got.stdout == b">one:1-3\nACG\n"
    # A stale index is kept under --no-rebuild and rebuilt otherwise.
    idx.write_text("one\t22\t19\t10\t11\n")
    os.utime(idx, (1, 1))
    got = run([small, "--fai-idx", idx, "--no-rebuild", "one:1-3"])
    assert got.stdout == b">one:1-3\nCGT\n"
    got = run([small, "--fai-idx", idx, "--no-rebuild"])
    assert got.returncode == 0
    assert idx.read_text() == "one\t22\t19\t10\t11\n"
    got = run([small, "--fai-idx", idx, "one:1-3"])
    assert got.stdout == b">one:1-3\nACG\n"


def test_whole_sequences_and_wrapping(cli, small):
    got = run([small, "one", "two", "three"])
    assert got.returncode == 0
    assert got.stdout == (
        b">one\nACGTACGTACGTacgtNNRYKM\n>two\nTTTTTGGGGG\n>three\n"
        + b"A" * 60 + b"\n" + b"A" * 60 + b"\n" + b"A" * 10 + b"\n"
    )
    got = run([small, "-n", "0", "three", "one:3-9"])
    assert got.stdout == b">three\n" + b"A" * 130 + b"\n>one:3-9\nGTACGTA\n"
    got = run([small, "--length", "4", "one:1-10"])
    assert got.stdout == b">one:1-10\nACGT\nACGT\nAC\n"


def test_reverse_complement(cli, small):
    got = run([small, "-i", "one:11-22"])
    assert got.stdout == b">one:11-22/rc\nKMRYNNacgtAC\n"
    got = run([small, "--reverse-complement", "--mark-strand", "sign", "two"])
    assert got.stdout == b">two(-)\nCCCCCAAAAA\n"
    got = run([small, "--mark-strand", "sign", "two:1-2"])
    assert got.stdout == b">two:1-2(+)\nTT\n"
    got = run([small, "-i", "--mark-strand", "custom,_fwd,_rev", "two:9-10"])
    assert got.stdout == b">two:9-10_rev\nCC\n"
    got = run([small, "-i", "--mark-strand", "no", "two:9-10"])
    assert got.stdout == b">two:9-10\nCC\n"


def test_complement_keeps_unknown_bytes(cli, tmp_path):
    path = tmp_path / "iupac.fa"
    path.write_text(">s\nACGTUNRYKMSWBDHVXacgtunrykmswbdhvx*-.EQZ\n")
    got = run([path, "-i", "-n", "0", "s"])
    assert got.stdout == b">s/rc\nZQE.-*xbdhvwskmrynaacgtXBDHVWSKMRYNAACGT\n"


def test_upper(cli, small):
    got = run([small, "--upper", "one:11-18"])
    assert got.stdout == b">one:11-18\nGTACGTNN\n"
    got = run([small, "--upper", "-i", "one:11-16"])
    assert got.stdout == b">one:11-16/rc\nACGTAC\n"


def test_clamping(cli, small):
    got = run([small, "two:8-100", "two:11", "two:11-20", "two:0-3", "two:0", "two:-2"])
    assert got.returncode == 0
    assert got.stdout == (
        b">two:8-100\nGGG\n>two:11\n>two:11-20\n>two:0-3\n>two:0\nTTTTTGGGGG\n>two:-2\nTT\n"
    )
    assert b"Truncated sequence: two:8-100" in got.stderr
    assert b"Zero length sequence: two:11" in got.stderr


def test_unknown_sequence_stops_without_partial_record(cli, small):
    got = run([small, "two:1-2", "nope:1-5", "two:3-4"])
    assert got.returncode == 1
    assert got.stdout == b">two:1-2\nTT\n"
    assert b"nope" in got.stderr


def test_unknown_sequence_names_the_other_naming(cli, tmp_path):
    fasta = tmp_path / "n.fa"
    fasta.write_text(">chr1\nACGT\n>MT\nACGT\n")
    bed = tmp_path / "n.bed"
    bed.write_text("chrM\t0\t2\n")
    got = run([fasta, "-c", "--bed", bed, "1:1-2", "chr1:1-2", "2"])
    assert got.stdout == b">chr1:1-2\nAC\n"
    assert got.stderr.splitlines()[:3] == [
        b"nucla: %s:1: region 'chrM:1-2': sequence 'chrM' not found; did you mean 'MT'?"
        % bytes(bed),
        b"nucla: region '1:1-2': sequence '1' not found; did you mean 'chr1'?",
        b"nucla: region '2': sequence '2' not found",
    ]


@pytest.mark.parametrize(
    "region", ["two:5-4", "two:x", "two:1-2-3", "{two", "two:-1-5", "two:1 ", "", "TWO"]
)
def test_bad_regions(cli, small, region):
    got = run([small, region])
    assert got.returncode == 1
    assert got.stdout == b""
    assert got.stderr.startswith(b"nucla: ")


def test_continue(cli, small):
    got = run([small, "-c", "two:1-2", "nope", "two:9-8", "two:3-4"])
    assert got.returncode == 0
    assert got.stdout == b">two:1-2\nTT\n>two:3-4\nTT\n"
    assert got.stderr.count(b"region '") == 2
    got = run([small, "--continue", "nope"])
    assert got.returncode == 0
    assert got.stdout == b""


def test_region_file_and_stdin(cli, tmp_path, small):
    regions = tmp_path / "regions.txt"
    regions.write_bytes(b"two:1-3\r\n\none:2-4  \nthree:129\n")
    got = run([small, "-r", regions, "two:4-5"])
    assert got.returncode == 0, got.stderr
    assert got.stdout == b">two:1-3\nTTT\n>one:2-4\nCGT\n>three:129\nAA\n>two:4-5\nTT\n"
    got = run([small, "-r", "-"], stdin=b"two:1-3\none:2-4")
    assert got.stdout == b">two:1-3\nTTT\n>one:2-4\nCGT\n"
    regions.write_text("two:1-3\nbad:1-3\n")
    got = run([small, "--region-file", regions])
    assert got.returncode == 1
    assert got.stdout == b">two:1-3\nTTT\n"
    assert str(regions).encode() + b":2:" in got.stderr


def test_bed(cli, tmp_path, small):
    bed = tmp_path / "x.bed"
    bed.write_text(
        "# comment\ntrack name=x\nbrowser position one\n\n"
        "one\t0\t4\n"
        "two\t5\t10\tfeature_a\t0\t+\n"
        "two\t2\t4\t.\n"
        "two 0 2 spaced\n"
        "two\t3\t3\n"
        "two\t8\t50\n"
    )
    got = run([tmp_path / "small.fa", "--bed", bed])
    assert got.returncode == 0, got.stderr
    assert got.stdout == (
        b">one:1-4\nACGT\n>feature_a\nGGGGG\n>two:3-4\nTT\n>spaced\nTT\n>two:4-3\n"
        b">two:9-50\nGG\n"
    )
    got = run([small, "--bed", "-", "-i"], stdin=b"two\t0\t3\tx\n")
    assert got.stdout == b">x/rc\nAAA\n"


@pytest.mark.parametrize(
    "line", ["two\t5", "two\tx\t5", "two\t5\t4", "two\t-1\t4", "nope\t0\t4", "two\t+1\t4"]
)
def test_bad_bed_lines(cli, tmp_path, small, line):
    bed = tmp_path / "bad.bed"
    bed.write_text("two\t0\t1\n" + line + "\n")
    got = run([small, "--bed", bed])
    assert got.returncode == 1
    assert got.stdout == b">two:1-1\nT\n"
    assert str(bed).encode() + b":2:" in got.stderr


def test_output_file(cli, tmp_path, small):
    out = tmp_path / "out.fa"
    got = run([small, "-o", out, "two:1-4"])
    assert got.returncode == 0
    assert got.stdout == b""
    assert out.read_bytes() == b">two:1-4\nTTTT\n"
    got = run([small, "-o", small, "two:1-4"])
    assert got.returncode == 1
    assert small.read_text().startswith(">one")
    got = run([small, "-o", tmp_path / "no" / "such" / "dir.fa", "two"])
    assert got.returncode == 1
    assert got.stderr.startswith(b"nucla: ")


def test_threads_give_the_same_bytes(cli, tmp_path, small):
    regions = tmp_path / "many.txt"
    rng = random.Random(3)
    lines = [f"three:{a}-{a + rng.randint(0, 40)}" for a in (rng.randint(1, 130) for _ in range(3000))]
    regions.write_text("\n".join(lines))
    outputs = {run([small, "-r", regions, "-@", n]).stdout for n in ("1", "2", "4", "0")}
    assert len(outputs) == 1
    assert outputs.pop().count(b">") == 3000


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["--bogus"],
        ["-n", "-1", "FASTA", "two"],
        ["-n", "x", "FASTA", "two"],
        ["--threads", "many", "FASTA", "two"],
        ["--threads", "5000", "FASTA", "two"],
        ["--mark-strand", "up", "FASTA", "two"],
        ["FASTA", "-r"],
        ["FASTA", "-r", "-", "--bed", "-"],
        ["FASTA", "-s", "two"],
        ["FASTA", "--write-index", "two"],
    ],
)
def test_usage_errors(cli, small, args):
    got = run([small if a == "FASTA" else a for a in args])
    assert got.returncode == 1
    assert got.stdout == b""
    assert got.stderr.startswith(b"nucla: ")


def test_missing_inputs(cli, tmp_path, small):
    got = run([tmp_path / "absent.fa", "x"])
    assert got.returncode == 1
    assert b"absent.fa" in got.stderr
    got = run([tmp_path / "absent.fa"])
    assert got.returncode == 1
    got = run([small, "-r", tmp_path / "absent.txt"])
    assert got.returncode == 1
    assert b"absent.txt" in got.stderr
    got = run([tmp_path])
    assert got.returncode == 1
    got = run([small, "--no-rebuild", "--fai-idx", tmp_path / "absent.fai", "--bed", "/dev/null"])
    assert got.returncode == 0  # the missing index is built even so


@needs_samtools
@pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip is not installed")
def test_bgzip_input_matches_samtools(cli, tmp_path):
    source = HTSLIB / "ce.fa"
    sam, nuc = tmp_path / "sam", tmp_path / "nuc"
    for d in (sam, nuc):
        d.mkdir()
        with open(source, "rb") as raw, open(d / "ce.fa.gz", "wb") as out:
            subprocess.run(["bgzip", "-c"], stdin=raw, stdout=out, check=True, timeout=60)
    regions = ["CHROMOSOME_I:5001-5125", "CHROMOSOME_X:101-225", "CHROMOSOME_V:1-1000",
               "CHROMOSOME_MtDNA", "CHROMOSOME_II:1,000,000-1,000,100"]
    for extra in ([], ["-i"], ["-n", "50"]):
        want = samtools([sam / "ce.fa.gz", *extra, *regions])
        got = run([nuc / "ce.fa.gz", *extra, *regions])
        assert (got.returncode, got.stdout) == (want.returncode, want.stdout)
    for suffix in (".fai", ".gzi"):
        assert (nuc / ("ce.fa.gz" + suffix)).read_bytes() == (sam / ("ce.fa.gz" + suffix)).read_bytes()


def test_plain_gzip_is_refused(cli, tmp_path):
    path = tmp_path / "x.fa.gz"
    path.write_bytes(gzip.compress(b">a\nACGT\n"))
    Path(str(path) + ".fai").write_text("a\t4\t3\t4\t5\n")
    for args in ([path], [path, "a:1-2"]):
        got = run(args)
        assert got.returncode == 1
        assert got.stdout == b""
        assert b"compressed" in got.stderr


def test_garbage_input_does_not_crash(cli, tmp_path):
    path = tmp_path / "bin.fa"
    path.write_bytes(bytes(range(256)) * 4)
    got = run([path, "x"])
    assert got.returncode == 1
    assert got.stderr.startswith(b"nucla: ")
    fasta = tmp_path / "ok.fa"
    fasta.write_text(">a\nACGT\n")
    (tmp_path / "ok.fa.fai").write_text("a\t99999999999\t999999999999\t1\t2\n")
    got = run([fasta, "--no-rebuild", "a:1-5", "a:99999999990-99999999999"])
    assert got.returncode == 0  # a foreign index pointing past the data gives short records
    got = run([fasta, "--bed", "-"], stdin=bytes(range(256)) * 3)
    assert got.returncode == 1


@pytest.mark.parametrize("index, extra, message", [
    ("FASTA", [], b"is the FASTA file itself"),
    ("FASTA", ["one:1-3"], b"is the FASTA file itself"),
    ("fifo", [], b"is not a regular file"),
    ("fifo", ["--no-rebuild", "one:1-3"], b"is not a regular file"),  # the read once blocked
])
def test_index_path_that_is_no_index_file(cli, tmp_path, small, index, extra, message):
    before = small.read_bytes()
    if index == "fifo":
        index = tmp_path / "fifo"
        os.mkfifo(index)
    else:
        index = small
    got = subprocess.run([cli, small, "--fai-idx", index, *extra], capture_output=True,
                         timeout=30)
    assert (got.returncode, got.stdout) == (1, b"")
    assert got.stderr.startswith(b"nucla: IO error: ") and message in got.stderr
    assert small.read_bytes() == before
    assert index == small or Path(index).is_fifo()


@pytest.mark.parametrize("content, fastq", [
    ("This is a README.\n", False),
    ("@r1\nACGT\n+\nIIII\n", True),
])
def test_file_without_a_header_is_refused(cli, tmp_path, content, fastq):
    path = tmp_path / "reads"
    path.write_text(content)
    for args in ([path], [path, "r1"]):
        got = run(args)
        assert (got.returncode, got.stdout) == (1, b"")
        assert got.stderr.startswith(b"nucla: Indexing error: no FASTA header line")
        assert (b"FASTQ" in got.stderr) == fastq
    assert os.listdir(tmp_path) == ["reads"]


# ---------------------------------------------------------------------------------------
# URLs, read through a Python child process with fsspec (file:// needs no server)


def run_url(args, python=sys.executable, stdin=None):
    return run(args, stdin, env={**os.environ, "NUCLA_PYTHON": str(python)})


try:
    import fsspec  # noqa: F401  (what the tool's Python child reads URLs with)
    HAVE_FSSPEC = True
except ImportError:
    HAVE_FSSPEC = False
needs_fsspec = pytest.mark.skipif(not HAVE_FSSPEC, reason="fsspec is not installed")


def url_fasta(directory, compressed, rng):
    """A FASTA of a few MB (BGZF or plain) in `directory`, without indexes; (path, sequences)."""
    directory.mkdir()
    path, seqs = write_random_fasta(directory / "r.fa", rng, records=6, length=(300_000, 700_000))
    if compressed:
        data = Path(path).read_bytes()
        Path(path).unlink()
        path = write_bgzf(directory / "r.fa.gz", data, rng, largest=60_000)
    return Path(path), seqs


@needs_fsspec
@pytest.mark.parametrize("compressed", [False, True])
def test_url_reads_like_the_local_path(cli, tmp_path, compressed):
    rng = random.Random(compressed)
    path, seqs = url_fasta(tmp_path / "data", compressed, rng)
    assert run([path]).returncode == 0  # the .fai (and .gzi) beside it
    before = sorted(os.listdir(path.parent))
    # Regions apart, whose blocks are asked for as many ranges at once (of one block, and of
    # many), then random ones, then some running past their sequence's end.
    apart = [f"{name}:{s}-{s + 50}" for name, seq in seqs.items()
             for s in range(1, len(seq), 150_000)]
    long = [f"{name}:1-{len(seq) - 150_000}" for name, seq in seqs.items()]
    regions = [f"{n}:{s}-{e}" for n, s, e in random_regions(rng, seqs, 400)]
    regions += [f"{name}:{len(seq) - 5}-{len(seq) + 20}" for name, seq in seqs.items()]
    (tmp_path / "regions.txt").write_text("\n".join(regions) + "\n")
    (tmp_path / "x.bed").write_text("".join(
        f"{n}\t{s - 1}\t{e}\tf{k}\t0\t{'+-'[k % 2]}\n"
        for k, (n, s, e) in enumerate(random_regions(rng, seqs, 300))))
    for args in (apart, long, ["-r", tmp_path / "regions.txt"],
                 ["--bed", tmp_path / "x.bed", "-s", "-n", "17"], ["-i", "--upper", *regions[-40:]]):
        local = run([path, *args])
        remote = run_url([path.as_uri(), *args])
        assert local.returncode == 0, local.stderr
        assert (remote.returncode, remote.stderr) == (0, local.stderr)
        assert remote.stdout == local.stdout
    assert sorted(os.listdir(path.parent)) == before


def test_local_path_that_looks_like_a_url_stays_local(cli, tmp_path):
    (tmp_path / "file:").mkdir()
    (tmp_path / "file:" / "x.fa").write_text(">a\nACGT\n")
    got = run(["file://x.fa", "a:2-3"], cwd=tmp_path,
              env={**os.environ, "NUCLA_PYTHON": "/nonexistent"})
    assert (got.returncode, got.stdout) == (0, b">a:2-3\nCG\n"), got.stderr


# The Python run: this one, none, one without fsspec, one that dies after its first answer.
SCRIPTS = {
    "no fsspec": f'#!/bin/sh\nexec "{sys.executable}" -S "$@"\n',
    "dies": '#!/bin/sh\nprintf "O\\10\\0\\0\\0\\0\\0\\0\\0\\144\\0\\0\\0\\0\\0\\0\\0"\nexit 3\n',
}


# `setup`: the failure is Python's, said with what to do; else the message names the URL. (A
# program that cannot be started may also be told by its exit status 127: so it is under
# qemu-user, whose spawn cannot report a failed exec.)
@pytest.mark.parametrize("python, message, setup", [
    pytest.param(sys.executable, re.escape(b"FASTA file not found: file://"), False,
                 marks=needs_fsspec),
    ("/nonexistent", rb"\((cannot start /nonexistent: No such file or directory|"
                     rb"/nonexistent exited with status 127)", True),
    ("no fsspec", re.escape(b"No module named 'fsspec'"), True),
    ("dies", re.escape(b"python) exited with status 3"), False),
])
def test_url_failures_are_said_plainly(cli, tmp_path, small, python, message, setup):
    url = small.as_uri() + ("x" if python == sys.executable else "")
    if python in SCRIPTS:
        script = tmp_path / "python"
        script.write_text(SCRIPTS[python])
        script.chmod(0o755)
        python = script
    got = run_url([url, "two:1-3"], python=python)
    assert (got.returncode, got.stdout) == (1, b"")
    assert got.stderr.startswith(b"nucla: ") and re.search(message, got.stderr), got.stderr
    assert b"Traceback" not in got.stderr
    if setup:
        assert b"reading URLs needs Python with fsspec (pip install 'nucla[remote]'); set " \
               b"NUCLA_PYTHON to choose the interpreter (" in got.stderr
    else:
        assert url.encode() in got.stderr


@needs_samtools
@needs_fsspec
@pytest.mark.parametrize("compressed", [False, True])
def test_url_index_mode_writes_only_where_told(cli, tmp_path, compressed):
    path, _ = url_fasta(tmp_path / "data", compressed, random.Random(9))
    got = run_url([path.as_uri()])
    assert got.returncode == 1 and b"--fai-idx" in got.stderr
    assert os.listdir(path.parent) == [path.name]
    got = run_url([path.as_uri(), "--fai-idx", tmp_path / "out.fai"])
    assert got.returncode == 0, got.stderr
    assert os.listdir(path.parent) == [path.name]
    assert samtools([path]).returncode == 0
    assert (tmp_path / "out.fai").read_bytes() == Path(f"{path}.fai").read_bytes()
    if compressed:
        assert (tmp_path / "out.gzi").read_bytes() == Path(f"{path}.gzi").read_bytes()


@needs_fsspec
def test_python_beside_the_tool(cli, tmp_path, small):
    # As in a venv, whose bin/ holds the tool and its python3 (not a symbolic link here: a venv's
    # python finds its packages by the path it was started as).
    (tmp_path / "bin").mkdir()
    tool = tmp_path / "bin" / "nucla"
    shutil.copy(cli, tool)
    python = tmp_path / "bin" / "python3"
    python.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    python.chmod(0o755)
    env = {k: v for k, v in os.environ.items() if k != "NUCLA_PYTHON"}
    env["PATH"] = "/nonexistent"
    got = subprocess.run([tool, "--version"], capture_output=True, env=env, timeout=60)
    assert f"Remote: fsspec through {tmp_path}/bin/python3\n".encode() in got.stdout
    got = subprocess.run([tool, small.as_uri(), "two:2-4"], capture_output=True, env=env,
                         timeout=60)
    assert (got.returncode, got.stdout) == (0, b">two:2-4\nTTT\n"), got.stderr
