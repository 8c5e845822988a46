"""fetch_windows and fetch_packed against the str path: every region encoded from
str(fasta[name][start:end]), padded with N outside the sequence, reverse-complemented on minus."""

import random
import re
import subprocess
import sys
import threading

import pytest

import nucla
from conftest import write_random_fasta

np = pytest.importorskip("numpy")

CODES = {c: i for i, c in enumerate("ACGT")}


def make_fasta(tmp_path, seed, newline, bgzip=False):
    path, seqs = write_random_fasta(tmp_path / "g.fa", random.Random(seed), records=6,
                                    length=(0, 700), alphabet="ACGTacgtNRYn", width=[7, 60, 61],
                                    eol=newline, desc=1.0)
    if bgzip:
        subprocess.run(["bgzip", "-@1", "-i", "-f", path], check=True, timeout=60)
        path += ".gz"
    return path, seqs


def expected_bytes(fa, seqs, name, start, end, minus, upper=False):
    inside = str(fa[name][max(start, 0) : max(min(end, len(seqs[name])), 0)]) if end > 0 else ""
    left = min(max(-start, 0), end - start)
    text = "N" * left + inside
    text += "N" * (end - start - len(text))
    if upper:
        text = text.upper()
    if minus:
        text = str(-nucla.Sequence(name="x", seq=text))
    return np.frombuffer(text.encode(), np.uint8)


def encode(raw, encoding, dtype=np.uint8):
    if encoding == "bytes":
        return raw
    codes = np.array([CODES.get(chr(b).upper(), 4) for b in raw], np.uint8)
    if encoding == "codes":
        return codes
    return np.eye(5, 4, dtype=dtype)[codes]


def random_regions(rng, seqs, n, length=None):
    names = [rng.choice(sorted(seqs)) for _ in range(n)]
    starts = [rng.randint(-30, len(seqs[m]) + 10) for m in names]
    ends = [s + (length if length is not None else rng.randint(0, 120)) for s in starts]
    minus = [rng.random() < 0.5 for _ in range(n)]
    return names, starts, ends, minus


@pytest.mark.parametrize("mode", ["mapped", "mutable", "bgzip"])
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("n", [50, 3000])  # on this thread, and on the pool
def test_every_encoding_matches_the_str_path(tmp_path, mode, newline, n):
    path, seqs = make_fasta(tmp_path, n, newline, bgzip=mode == "bgzip")
    fa = nucla.Fasta(path, mutable=mode == "mutable")
    rng = random.Random(n)
    names, starts, ends, minus = random_regions(rng, seqs, n, length=90)
    strands = ["-" if m else "+" for m in minus]
    raw = [expected_bytes(fa, seqs, *r) for r in zip(names, starts, ends, minus)]
    for encoding, dtype in [("bytes", None), ("codes", None), ("onehot", None), ("onehot", "float16"),
                            ("onehot", "float32")]:
        got = fa.fetch_windows(names, np.array(starts), ends, 90, strands=strands,
                               encoding=encoding, dtype=dtype)
        want = np.stack([encode(r, encoding, dtype or np.uint8) for r in raw])
        assert got.dtype == want.dtype and np.array_equal(got, want), encoding

    names, starts, ends, minus = random_regions(rng, seqs, n)
    data, offsets = fa.fetch_packed(np.array(names), starts, np.array(ends, np.int32),
                                    strands=np.array(minus), encoding="codes", upper=True)
    assert offsets.dtype == np.int64 and offsets[0] == 0 and len(offsets) == n + 1
    for i, region in enumerate(zip(names, starts, ends, minus)):
        want = encode(expected_bytes(fa, seqs, *region, upper=True), "codes")
        assert np.array_equal(data[offsets[i] : offsets[i + 1]], want), i


def test_options_out_and_table(tmp_path):
    path, seqs = make_fasta(tmp_path, 7, "\n")
    fa = nucla.Faidx(path, sequence_always_upper=True)
    names, starts, ends, _ = random_regions(random.Random(7), seqs, 40, length=33)
    out = np.full((40, 33, 4), 9, np.uint8)
    assert fa.fetch_windows(names, starts, ends, 33, encoding="onehot", out=out) is out
    plain = nucla.Fasta(path)
    raw = [expected_bytes(plain, seqs, *r, False, upper=True) for r in zip(names, starts, ends)]
    assert np.array_equal(out, np.stack([encode(r, "onehot") for r in raw]))

    table = np.arange(256, dtype=np.uint8)[::-1].copy()
    got = fa.fetch_windows(names, starts, ends, 33, encoding="codes", table=table)
    assert np.array_equal(got, 255 - np.stack(raw))


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(names=["nope"]), KeyError),
        (dict(ends=[5, 6]), ValueError),  # columns of different lengths
        (dict(ends=[4]), ValueError),  # not the window's length
        (dict(starts=[5.0]), TypeError),
        (dict(starts=np.array([5.0])), TypeError),
        (dict(strands=["x"]), ValueError),
        (dict(encoding="2bit"), ValueError),
        (dict(dtype="int64", encoding="onehot"), ValueError),
        (dict(table=b"short", encoding="codes"), ValueError),
        (dict(out=np.empty((1, 6), np.uint8)), ValueError),
        (dict(out=np.empty((1, 5), np.int16)), TypeError),
        (dict(out=np.empty((1, 10), np.uint8)[:, ::2]), ValueError),  # not C-contiguous
    ],
)
def test_bad_requests_raise_before_writing(tmp_path, kwargs, error):
    path, _ = make_fasta(tmp_path, 3, "\n")
    args = dict(names=["r1"], starts=[0], ends=[5], length=5) | kwargs
    out = args.get("out")
    before = None if out is None else out.copy()
    with pytest.raises(error):
        nucla.Fasta(path).fetch_windows(**args)
    if out is not None:
        assert np.array_equal(out, before)


def as_objects(values):
    column = np.empty(len(values), dtype=object)
    column[:] = values
    return column


@pytest.mark.parametrize(
    "arg, column",
    [
        ("strands", lambda v: np.array(v)),  # '<U1', as pandas' strings become with astype(str)
        ("strands", as_objects),  # df.strand.to_numpy()
        ("starts", as_objects),
        ("starts", lambda v: as_objects([np.int32(x) for x in v])),
        ("starts", lambda v: np.array(v, ">i4")),  # not in native byte order
        ("ends", as_objects),
    ],
)
def test_columns_in_the_forms_callers_have(tmp_path, arg, column):
    path, seqs = make_fasta(tmp_path, 4, "\n")
    fa = nucla.Fasta(path)
    names, starts, ends, minus = random_regions(random.Random(4), seqs, 60, length=12)
    columns = dict(starts=starts, ends=ends, strands=["-" if m else "+" for m in minus])
    columns[arg] = column(columns[arg])
    got = fa.fetch_windows(names, columns["starts"], columns["ends"], 12,
                           strands=columns["strands"])
    want = [expected_bytes(fa, seqs, *r) for r in zip(names, starts, ends, minus)]
    assert np.array_equal(got, np.stack(want))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        # bools are no coordinates, in a list or an array
        (dict(starts=[True]), TypeError, "argument 'starts' must hold integers, not bool"),
        (dict(starts=np.array([True])), TypeError, "'starts' must hold integers, not bool"),
        (dict(ends=as_objects([True])), TypeError, "'ends' must hold integers, not bool"),
        (dict(length=True, ends=[1]), TypeError, "argument 'length' must be int, not bool"),
        (dict(strands=np.array(["x"])), ValueError, "'strands': strand of region 0 must be"),
        (dict(strands=as_objects([None])), ValueError, "'strands': strand of region 0 must be"),
        (dict(table=5), TypeError, "argument 'table' must be"),
        (dict(table=list(range(1, 257))), ValueError, "argument 'table' must be 256"),
        (dict(table=b"short"), ValueError, "argument 'table' must be 256"),
        (dict(out=[0] * 5), TypeError, "argument 'out' must be a writable array, not list"),
        (dict(out=np.empty((1, 5), np.int16)), TypeError, "argument 'out' must have dtype uint8"),
        (dict(out=np.empty((1, 5, 4), ">f4"), encoding="onehot", dtype="<f4"), TypeError,
         "argument 'out' must have dtype"),
    ],
)
def test_messages_name_the_call_and_argument(tmp_path, kwargs, error, message):
    path, _ = make_fasta(tmp_path, 3, "\n")
    if "table" in kwargs:
        kwargs = dict(encoding="codes") | kwargs
    args = dict(names=["r1"], starts=[0], ends=[5], length=5) | kwargs
    with pytest.raises(error, match="^fetch_windows\\(\\) .*" + re.escape(message)):
        nucla.Fasta(path).fetch_windows(**args)


def test_table_as_any_integer_column(tmp_path):
    path, seqs = make_fasta(tmp_path, 8, "\n")
    fa = nucla.Fasta(path)
    names, starts, ends, _ = random_regions(random.Random(8), seqs, 30, length=20)
    raw = np.stack([expected_bytes(fa, seqs, *r, False) for r in zip(names, starts, ends)])
    for table in (list(range(255, -1, -1)), np.arange(255, -1, -1), bytes(range(255, -1, -1))):
        got = fa.fetch_windows(names, starts, ends, 20, encoding="codes", table=table)
        assert np.array_equal(got, 255 - raw), type(table)


@pytest.mark.parametrize("dtype", [">f4", "<f4", ">f2", "<f2", "=f4", ">u1"])
def test_one_hot_in_either_byte_order(tmp_path, dtype):
    path, seqs = make_fasta(tmp_path, 9, "\n")
    fa = nucla.Fasta(path)
    names, starts, ends, minus = random_regions(random.Random(9), seqs, 50, length=16)
    raw = [expected_bytes(fa, seqs, *r) for r in zip(names, starts, ends, minus)]
    want = np.stack([encode(r, "onehot", np.dtype(dtype)) for r in raw])
    got = fa.fetch_windows(names, starts, ends, 16, strands=minus, encoding="onehot", dtype=dtype)
    assert got.dtype == np.dtype(dtype) and np.array_equal(got, want)
    out = np.full(want.shape, 7, dtype)
    assert fa.fetch_windows(names, starts, ends, 16, strands=minus, encoding="onehot",
                            dtype=dtype, out=out) is out
    assert np.array_equal(out, want)


def test_unknown_name_says_what_the_file_calls_it(tmp_path):
    path = tmp_path / "n.fa"
    path.write_text(">chr1\nACGT\n>2\nACGT\n>MT\nACGT\n")
    fa = nucla.Fasta(str(path))
    for name, other in [("1", "chr1"), ("chr2", "2"), ("chrM", "MT"), ("chrMT", "MT"), ("3", None)]:
        with pytest.raises(KeyError) as caught:
            fa.fetch_packed(["chr1", name], [0, 0], [1, 1])
        message = caught.value.args[0]
        assert message.startswith(f"sequence '{name}' of region 1 is not in the index"), message
        assert message.endswith(f". Did you mean: '{other}'?" if other else "the index"), message
    with pytest.raises(KeyError) as caught:
        fa["1"]  # the dictionary's own KeyError stays as it is
    assert "Did you mean" not in str(caught.value)


def test_two_threads_at_once(tmp_path):
    path, seqs = make_fasta(tmp_path, 11, "\n")
    fa = nucla.Fasta(path)
    names, starts, ends, minus = random_regions(random.Random(11), seqs, 20000, length=64)
    want = fa.fetch_windows(names, starts, ends, 64, strands=minus, encoding="codes")
    results = [None] * 4

    def work(k):
        results[k] = fa.fetch_windows(names, starts, ends, 64, strands=minus, encoding="codes")

    threads = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert all(np.array_equal(r, want) for r in results)


def test_without_numpy(tmp_path):
    path, _ = make_fasta(tmp_path, 1, "\n")
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import nucla\n"
        f"fa = nucla.Fasta({path!r})\n"
        "try:\n"
        "    fa.fetch_packed(['s1'], [0], [1])\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "install numpy" in run.stdout, run.stderr


@pytest.mark.parametrize("kind", ["shared list", "object array"])
def test_columns_are_read_as_they_stand_when_the_call_begins(tmp_path, kind):
    path, seqs = make_fasta(tmp_path, 5, "\n")
    fa = nucla.Fasta(path)
    names, starts = ["r1"] * 300, list(range(300))
    arrays = []

    class Shifty:
        def __index__(self):
            names.clear()  # caller code run mid-conversion drops what the call reads
            starts.clear()
            for a in arrays:
                a[:] = None
            return 0

    class Column:  # an array-like whose tolist() hands out a list its owner keeps
        def tolist(self):
            return starts

    starts[150] = Shifty()
    column = Column() if kind == "shared list" else as_objects(starts)
    if kind == "object array":
        arrays.append(column)
    want = [expected_bytes(fa, seqs, "r1", s, s + 4, False) for s in range(300)]
    want[150] = expected_bytes(fa, seqs, "r1", 0, 4, False)
    ends = [s + 4 if i != 150 else 4 for i, s in enumerate(range(300))]
    got = fa.fetch_windows(names, column, ends, 4)
    assert np.array_equal(got, np.stack(want))
