import hashlib
import os
import pathlib
import random
import subprocess
import sys
import textwrap

import pytest

import nucla
from conftest import random_regions

TEN = ">chr1\nACGT\nACGT\nAC\n"  # rlen 10, lenc 4, lenb 5


def coords(s):
    return str(s), s.start, s.end


@pytest.fixture
def ten(write_fasta):
    return write_fasta(TEN)


@pytest.mark.parametrize("start, end, expected, warning", [
    (1, 4, ("ACGT", 1, 4), ""),
    (3, 6, ("GTAC", 3, 6), ""),
    (8, 12, ("TAC", 8, 10), "WARNING: coordinates 8-12 are out of bounds for sequence 'chr1' of length 10\n"),
    (11, 12, ("", 11, 11), "WARNING: coordinates 11-12 are out of bounds for sequence 'chr1' of length 10\n"),
    (0, 5, ("", 0, 5), "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
    (6, 3, ("", 6, 3), "WARNING: start coordinate 6 is greater than end coordinate 3\n"),
    (0, 12, ("", 0, 10), "WARNING: coordinates 0-12 are out of bounds for sequence 'chr1' of length 10\n"
                         "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
])
def test_bounds_policy(ten, capfd, start, end, expected, warning):
    faidx = nucla.Faidx(ten, default_seq="N")
    assert coords(faidx.fetch("chr1", start, end)) == expected
    assert capfd.readouterr().err == warning


@pytest.mark.parametrize("start, end, message", [
    (5, 15, "coordinates 5-15 are out of bounds for sequence 'chr1' of length 10"),
    (0, 5, "coordinates cannot be 0 (1-based indexing)"),
    (6, 3, "start coordinate 6 is greater than end coordinate 3"),
])
def test_strict_bounds(ten, capfd, start, end, message):
    faidx = nucla.Faidx(ten, strict_bounds=True)
    with pytest.raises(IndexError) as info:
        faidx.fetch("chr1", start, end)
    assert str(info.value) == message
    assert capfd.readouterr().err == ""


def test_reported_coordinates(ten):
    assert coords(nucla.Faidx(ten, one_based_attributes=False).fetch("chr1", 3, 6)) == ("GTAC", 2, 6)
    raw = nucla.Faidx(ten, as_raw=True)
    assert coords(raw.fetch("chr1", 3, 6)) == ("GTAC", None, None)
    assert coords(raw.fetch_entire_sequence("chr1")) == ("ACGTACGTAC", None, None)
    assert coords(nucla.Faidx(ten).fetch_entire_sequence("chr1")) == ("ACGTACGTAC", 1, 10)
    zero = nucla.Faidx(ten, one_based_attributes=False)
    assert coords(zero.fetch_entire_sequence("chr1")) == ("ACGTACGTAC", 0, 10)


def test_upper_case_and_crlf(write_fasta):
    lf = write_fasta(">a\nacgtn*-\nAC\n", "lf.fa")
    crlf = write_fasta(">a\r\nacgtn*-\r\nAC\r\n", "crlf.fa")
    for path in (lf, crlf):
        assert str(nucla.Faidx(path, sequence_always_upper=True).fetch("a", 1, 9)) == "ACGTN*-AC"
        assert str(nucla.Faidx(path).fetch("a", 1, 9)) == "acgtn*-AC"


@pytest.mark.parametrize("mutable", [False, True])
@pytest.mark.parametrize("pad, expected", [(None, "GTAC"), ("N", "GTACNN"), ("xy", "GTACxyxy")])
def test_truncated_file_is_short_or_padded(write_fasta, pad, expected, mutable):
    # The file never held what this trusted index promises (unlike a file that shrinks while
    # open, which is an error).
    path = write_fasta(">a\nACGT\nAC")
    pathlib.Path(path + ".fai").write_text("a\t12\t3\t4\t5\n")
    faidx = nucla.Faidx(path, rebuild=False, default_seq=pad, sequence_always_upper=pad == "xy",
                        mutable=mutable)
    assert str(faidx.fetch("a", 3, 8)) == (expected.upper() if pad == "xy" else expected)
    # The whole-sequence fetch never pads.
    assert str(faidx.fetch_entire_sequence("a")) == "ACGTAC"


@pytest.mark.parametrize("row", [
    "a\t1000000000000000\t3\t4\t5",         # absurd length
    "a\t10\t18446744073709551000\t4\t5",     # offset near the top of the range
    "a\t10\t3\t18446744073709551615\t5",     # lenc at the limit
    "a\t10\t3\t4\t18446744073709551615",     # lenb that overflows the arithmetic
    "a\t10\t3\t0\t5",                        # lenc 0 copies nothing
    "a\t10\t999\t4\t5",                      # past the end of the file
    "a\t10\t3\t4\t0",                        # lenb below lenc
])
def test_foreign_rows_never_crash(write_fasta, row):
    path = write_fasta(">a\nACGT\nAC\n")
    pathlib.Path(path + ".fai").write_text(row + "\n")
    for pad in (None, "N"):
        faidx = nucla.Faidx(path, rebuild=False, default_seq=pad)
        for start, end in [(1, 4), (2, 10), (9, 10)]:
            s = faidx.fetch("a", start, end)
            assert set(str(s)) <= set("ACGTN") and len(s) <= end - start + 1
        assert len(faidx.fetch_entire_sequence("a")) <= 6


def test_absurd_padding_is_a_memory_error(write_fasta):
    path = write_fasta(">a\nACGT\n")
    pathlib.Path(path + ".fai").write_text("a\t18446744073709551615\t3\t4\t5\n")
    faidx = nucla.Faidx(path, rebuild=False, default_seq="N")
    with pytest.raises(MemoryError):
        faidx.fetch("a", 1, 2**64 - 1)


def test_unknown_name_everywhere(ten, write_fasta):
    for faidx in (nucla.Faidx(ten), nucla.Faidx(write_fasta("", "empty.fa"))):
        for call in (lambda: faidx.fetch("chrX", 1, 2), lambda: faidx.fetch_entire_sequence("chrX")):
            with pytest.raises(Exception, match="^FetchError: Sequence 'chrX' not found$") as info:
                call()
            assert type(info.value) is Exception


@pytest.mark.parametrize("args, exc", [
    (("chr1", -1, 3), OverflowError), (("chr1", 1, 2**64), OverflowError),
    (("chr1", 1.0, 3), TypeError), ((b"chr1", 1, 3), TypeError),
])
def test_fetch_argument_errors(ten, args, exc):
    with pytest.raises(exc):
        nucla.Faidx(ten).fetch(*args)


def test_non_ascii_bytes(write_fasta):
    path = write_fasta(">a\nACéGT\n".encode())
    faidx = nucla.Faidx(path)
    assert str(faidx.fetch_entire_sequence("a")) == "ACéGT"
    with pytest.raises(UnicodeDecodeError):
        faidx.fetch("a", 1, 3)  # ends inside the two-byte character


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("mutable", [False, True])
def test_random_regions_match_pysam(random_fasta, seed, mutable):
    pysam = pytest.importorskip("pysam")
    rng = random.Random(seed)
    path, seqs = random_fasta(rng, records=20, width=[1, 10, 60, 61, 70], eol=["\n", "\r\n"])
    faidx = nucla.Faidx(path, mutable=mutable)
    reference = pysam.FastaFile(path)
    for name, start, end in random_regions(rng, seqs, 300):
        got = faidx.fetch(name, start, end)
        assert str(got) == reference.fetch(name, start - 1, end) == seqs[name][start - 1:end]
        assert (got.start, got.end) == (start, end)
    for name, seq in seqs.items():
        assert str(faidx.fetch_entire_sequence(name)) == seq


def filtered(data, row, start, count):
    """The bases a row gives, whether its layout holds or not: bytes from its arithmetic
    position on, line ends dropped (what samtools gives)."""
    rlen, offset, lenc, lenb = row
    pos = offset + (start - 1) // lenc * lenb + (start - 1) % lenc
    return data[pos:].replace(b"\r", b"").replace(b"\n", b"")[:count].decode()


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("mutable", [False, True])
def test_rows_that_misdescribe_their_lines(write_fasta, seed, mutable):
    rng = random.Random(seed)
    width, eol = rng.choice([(60, "\n"), (60, "\r\n"), (17, "\n"), (16, "\r\n")])
    lines = []
    for _ in range(200):
        n = width if rng.random() < 0.9 else rng.choice([0, 1, width - 1, width + 1, 2 * width])
        end = rng.choice([eol, eol, "\n", "\r\r\n"])
        lines.append("".join(rng.choice("ACGTacgtN") for _ in range(n)) + end)
    data = (">a\n" + "".join(lines)).encode()
    path = write_fasta(data)
    row = (sum(len(line.strip()) for line in lines), 3, width, width + len(eol))
    pathlib.Path(path + ".fai").write_text("a\t%d\t%d\t%d\t%d\n" % row)
    os.utime(path, (1, 1))
    faidx = nucla.Faidx(path, mutable=mutable, rebuild=False)
    for _ in range(200):
        start = rng.randrange(1, row[0] + 1)
        end = rng.randrange(start, min(row[0], start + rng.choice([5, 100, 3000])) + 1)
        expected = filtered(data, row, start, end - start + 1)
        assert str(faidx.fetch("a", start, end)) == expected
    assert str(faidx.fetch_entire_sequence("a")) == filtered(data, row, 1, row[0])


def test_every_route_reads_on_where_the_layout_lies(write_fasta):
    """CRLF lines of 10 bases under an index that claims 1000: the map reads on past the
    regular layout's window, as a handle and samtools do."""
    np = pytest.importorskip("numpy")
    rng = random.Random(7)
    bases = "".join(rng.choice("ACGT") for _ in range(30000))
    data = (">a\r\n" + "".join(bases[i:i + 10] + "\r\n" for i in range(0, 30000, 10))).encode()
    path = write_fasta(data)
    row = (30000, 4, 1000, 1002)
    pathlib.Path(path + ".fai").write_text("a\t%d\t%d\t%d\t%d\n" % row)
    os.utime(path, (1, 1))
    mapped, handle = (nucla.Fasta(path, rebuild=False, mutable=m) for m in (False, True))
    regions = [(rng.randrange(1, 20000), rng.randrange(1, 10000)) for _ in range(1200)]
    expected = [filtered(data, row, s, n) for s, n in regions]
    assert str(mapped["a"][0:30000]) == bases
    assert [str(mapped["a"][s - 1:s - 1 + n]) for s, n in regions[:100]] == expected[:100]
    assert [str(v) for v in mapped.fetch_many([("a", s, s + n - 1) for s, n in regions])] == expected
    starts = np.array([s - 1 for s, _ in regions[:100]])
    windows = mapped.fetch_windows(["a"] * 100, starts, starts + 5000, 5000)
    assert [w.tobytes().decode() for w in windows] == [filtered(data, row, s, 5000)
                                                       for s, _ in regions[:100]]
    assert [str(line) for line in mapped["a"]] == [str(line) for line in handle["a"]]


@pytest.mark.parametrize("eol, broken", [("\n", None), ("\r\n", None), ("\n", "inside"),
                                         ("\n", "at_a_junction"), ("\r\n", "at_a_junction"),
                                         ("\n", "claimed_wider")])
def test_long_fetches_shared_by_threads(tmp_path, eol, broken):
    """From 16 Mbases on, a fetch is copied in pieces by several threads: the bases are the
    one-pass copy's, down to a row whose layout breaks inside a piece or where one ends."""
    rng = random.Random(len(eol) + len(broken or ""))
    width, n = 61, (17 << 20) + 12345
    bases = rng.randbytes(n).translate(bytes(b"ACGTacgtNn"[i % 10] for i in range(256)))
    lines = [bases[i:i + width] for i in range(0, n, width)]
    if broken == "inside":  # one line a base short and the next a base long, in the third piece
        k = (5 << 20) // width
        lines[k], lines[k + 1] = lines[k][:-1], lines[k][-1:] + lines[k + 1]
    elif broken == "at_a_junction":  # bases for the line end where the fourth piece begins
        k = (3 << 21) // width
        lines[k - 1:k + 1] = [lines[k - 1] + b"A" * len(eol) + lines[k]]
    elif broken == "claimed_wider":  # every line 11 bases shorter than the index says
        lines = [bases[i:i + width - 11] for i in range(0, n, width - 11)]
    data = b">a\n" + b"".join(line + eol.encode() for line in lines)
    path = tmp_path / "long.fa"
    path.write_bytes(data)
    row = (n, 3, width, width + len(eol))
    pathlib.Path(f"{path}.fai").write_text("a\t%d\t%d\t%d\t%d\n" % row)
    os.utime(path, (1, 1))
    regions = [(1, n), (2, n - 1), (width + 7, n - 5000), (3 << 20, n)]
    code = f"""
        import hashlib, nucla
        fa = nucla.Faidx({str(path)!r}, rebuild=False)
        for s, e in {regions!r}:
            print(hashlib.md5(str(fa.fetch("a", s, e)).encode()).hexdigest())
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, env={**os.environ, "RAYON_NUM_THREADS": "3"}, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [
        hashlib.md5(filtered(data, row, s, e - s + 1).encode()).hexdigest()
        for s, e in regions]
