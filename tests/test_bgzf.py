"""BGZF-compressed FASTA: every public path on a .gz answers exactly as on the plain file.

The .gz files are made by bgzip (tests that need it skip without it) or, for blocks of odd
sizes that split lines anywhere, by a small BGZF writer here.
"""

import gzip
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import nucla
from conftest import EOF_BLOCK, HTSLIB, bgzf_block, random_fasta_text, random_regions, write_bgzf

BGZIP = shutil.which("bgzip")
SAMTOOLS = shutil.which("samtools")
needs_bgzip = pytest.mark.skipif(BGZIP is None, reason="bgzip (apt package tabix) is missing")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is missing")


# --- making BGZF files -------------------------------------------------------------------

def bgzip(plain, gz=None):
    gz = gz or plain + ".gz"
    with open(gz, "wb") as out:
        subprocess.run([BGZIP, "-c", plain], stdout=out, check=True, timeout=60)
    return gz


def blocks(path):
    """(offset, size, uncompressed size) of every block."""
    data = pathlib.Path(path).read_bytes()
    out, pos = [], 0
    while pos < len(data):
        size = struct.unpack_from("<H", data, pos + 16)[0] + 1
        out.append((pos, size, struct.unpack_from("<I", data, pos + size - 4)[0]))
        pos += size
    return out


def keep_times(path):
    """Restores the file's times after it is changed, so that its indexes still look fresh."""
    st = os.stat(path)
    return lambda: os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


# --- comparing the two files --------------------------------------------------------------

def describe(value):
    if isinstance(value, nucla.Sequence):
        return ("Sequence", value.name, value.seq, value.start, value.end, value.comp)
    if isinstance(value, nucla.FastaRecord):
        return ("FastaRecord", value.name, len(value))
    if isinstance(value, (list, tuple)):
        return [describe(v) for v in value]
    return value


def outcome(call, obj, path):
    try:
        return describe(call(obj))
    except Exception as e:  # noqa: BLE001 - the exception is what is compared
        return ("raised", type(e).__name__, str(e).replace(path, "<path>"))


class Pair:
    """The same calls on a plain FASTA and on its compressed copy, with their standard error."""

    def __init__(self, capfd, plain, gz, cls=nucla.Faidx, **options):
        self.capfd, self.paths = capfd, (plain, gz)
        self.objs = (cls(plain, **options), cls(gz, **options))
        capfd.readouterr()

    def same(self, call):
        results = []
        for obj, path in zip(self.objs, self.paths):
            got = outcome(call, obj, path)
            results.append((got, self.capfd.readouterr().err))
        assert results[1] == results[0]
        return results[0][0]


def random_genome(rng, records=8, eol="\n", longest=150_000, empty=True):
    """A FASTA text and its sequences, of lengths from none (unless `empty` is false: samtools
    does not index records without bases) to `longest`, in lines of very different widths."""
    return random_fasta_text(
        rng, records, eol=eol, desc=1.0, width=[1, 7, 50, 60, 61, 80, 1000],
        alphabet="ACGT" * 5 + "N" + "acgt" * 2 + "n",
        length=lambda rng: rng.choice([0 if empty else 2, 1, rng.randrange(1, 500),
                                       rng.randrange(1, longest)]))


def regions(rng, seqs, n):
    return random_regions(rng, seqs, n, wild=True)


@pytest.fixture(scope="module", params=["\n", "\r\n"], ids=["lf", "crlf"])
def genome(request, tmp_path_factory):
    if BGZIP is None:
        pytest.skip("bgzip (apt package tabix) is missing")
    text, seqs = random_genome(random.Random(64), eol=request.param)
    plain = tmp_path_factory.mktemp("bgzf") / "g.fa"
    plain.write_bytes(text.encode())
    gz = bgzip(str(plain))
    assert len(blocks(gz)) > 5
    return str(plain), gz, seqs


# --- indexes ------------------------------------------------------------------------------

def read(path):
    return pathlib.Path(path).read_bytes()


def samtools_indexes(gz, tmp_path):
    copy = tmp_path / "samtools" / os.path.basename(gz)
    copy.parent.mkdir()
    shutil.copy(gz, copy)
    subprocess.run([SAMTOOLS, "faidx", str(copy)], check=True, capture_output=True, timeout=60)
    return read(str(copy) + ".fai"), read(str(copy) + ".gzi")


@needs_bgzip
@pytest.mark.parametrize("name", ["ce.fa", "xx.fa", "md.fa", "auxf.fa", "c1.fa", "c2.fa",
                                  "realn01.fa", "realn02.fa", "realn03.fa", "faidx/faidx.fa",
                                  "random-lf", "random-crlf"])
def test_indexes_match_plain_file_and_samtools(tmp_path, name):
    plain = tmp_path / os.path.basename(name)
    if name.startswith("random"):
        text, _ = random_genome(random.Random(3), eol="\r\n" if name.endswith("crlf") else "\n",
                                empty=False)
        plain.write_bytes(text.encode())
    else:
        shutil.copy(HTSLIB / name, plain)
    gz = bgzip(str(plain), str(tmp_path / (plain.name + ".bgz")))
    nucla.Faidx(str(plain))
    nucla.Faidx(gz)
    assert read(gz + ".fai") == read(str(plain) + ".fai")
    # samtools keeps the record that '>' alone starts; nucla does not index it.
    if SAMTOOLS and name != "faidx/faidx.fa":
        assert (read(gz + ".fai"), read(gz + ".gzi")) == samtools_indexes(gz, tmp_path)


@needs_samtools
@pytest.mark.parametrize("seed", range(4))
def test_block_index_of_odd_blocks_matches_samtools(tmp_path, seed):
    # Tiny blocks and empty blocks anywhere (also first), as concatenated files have.
    rng = random.Random(seed)
    text, _ = random_genome(rng, records=5, longest=3000, empty=False)
    data = EOF_BLOCK * rng.randint(0, 2)
    gz = tmp_path / "odd.fa.gz"
    write_bgzf(gz, text.encode(), rng, largest=rng.choice([1, 5, 300, 5000]), empty=0.1)
    gz.write_bytes(data + gz.read_bytes())
    nucla.Faidx(str(gz))
    assert (read(str(gz) + ".fai"), read(str(gz) + ".gzi")) == samtools_indexes(str(gz), tmp_path)


@pytest.mark.parametrize("seed", range(30))
def test_lines_split_anywhere_index_and_fetch_as_plain(tmp_path, capfd, seed):
    rng = random.Random(seed)
    text, seqs = random_genome(rng, records=rng.randint(1, 6), eol=rng.choice(["\n", "\r\n"]),
                               longest=2000)
    if seed % 3 == 0:  # a header split across blocks, non-ASCII text, no final newline
        text = ">" + "x" * rng.randint(1, 400) + " \u00e9\u4e2d\U0001f600\n" + text.rstrip("\n")
    plain = tmp_path / "s.fa"
    plain.write_bytes(text.encode())
    gz = write_bgzf(tmp_path / "s.fa.gz", text.encode(), rng,
                    largest=rng.choice([1, 2, 3, 17, 700]), empty=0.05)
    pair = Pair(capfd, str(plain), gz)
    assert read(gz + ".fai") == read(str(plain) + ".fai")
    pair.same(lambda f: f.keys)
    for name, start, end in regions(rng, seqs, 200):
        pair.same(lambda f: f.fetch(name, start, end))
    pair.same(lambda f: [f.fetch_entire_sequence(n) for n in f.keys])


@pytest.mark.parametrize("text", [
    ">a\nACGT\nAC\nACGT\n",           # irregular layout
    ">a\r\nACGT\nAC\n",               # mixed terminators
    ">a\nAC\xffGT\n>b\nAC\nAAA\n",    # not UTF-8, before a layout fault
    ">a\nACGT\nA\nAC\xe2\x82\n",      # layout fault before a cut character
    ">a\nAC\nGT\xe2\x82",             # a character cut by the end of the file
    "",
])
@pytest.mark.parametrize("largest", [1, 3, 1000])
def test_scan_errors_as_plain(tmp_path, text, largest):
    data = text.encode("latin-1")
    plain = tmp_path / "e.fa"
    plain.write_bytes(data)
    gz = write_bgzf(tmp_path / "e.fa.gz", data, random.Random(1), largest=largest)
    results = []
    for path in (str(plain), gz):
        try:
            results.append(nucla.Faidx(path).keys)
        except Exception as e:  # noqa: BLE001
            results.append((type(e), str(e).replace(path, "<path>")))
            assert not os.path.exists(path + ".fai") and not os.path.exists(path + ".gzi")
    assert results[0] == results[1]


def test_empty_bgzf_file(tmp_path):
    gz = tmp_path / "empty.fa.gz"
    gz.write_bytes(EOF_BLOCK)
    faidx = nucla.Faidx(str(gz))
    assert faidx.keys == [] and read(str(gz) + ".fai") == b""
    assert read(str(gz) + ".gzi") == bytes(8)
    assert nucla.Faidx(str(gz)).keys == []


@needs_bgzip
def test_detected_by_content_not_name(tmp_path, capfd):
    plain = tmp_path / "a.fa"
    plain.write_text(">a\nACGT\nAC\n")
    gz = bgzip(str(plain), str(tmp_path / "looks-plain.fa"))
    assert str(nucla.Faidx(gz).fetch("a", 2, 5)) == "CGTA"
    renamed = tmp_path / "plain.fa.gz"
    shutil.copy(plain, renamed)
    assert str(nucla.Faidx(str(renamed)).fetch("a", 2, 5)) == "CGTA"


@pytest.mark.parametrize("name", ["x.fa.gz", "x.fa"])
def test_plain_gzip_is_refused(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress(b">a\nACGT\n"))
    with pytest.raises(Exception) as info:
        nucla.Fasta(str(path))
    assert type(info.value) is Exception
    assert str(info.value) == (
        f"IOError: {path} is gzip-compressed but not BGZF; recompress it with bgzip")
    assert sorted(os.listdir(tmp_path)) == [name]


# --- every public path ----------------------------------------------------------------------

OPTIONS = [{}, {"strict_bounds": True}, {"default_seq": "N"}, {"sequence_always_upper": True},
           {"one_based_attributes": False}, {"as_raw": True}, {"mutable": True},
           {"default_seq": "xy", "sequence_always_upper": True}]


@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "defaults")
def test_faidx_paths(genome, capfd, options):
    plain, gz, seqs = genome
    pair = Pair(capfd, plain, gz, **options)
    rng = random.Random(5)
    pair.same(lambda f: f.keys)
    pair.same(lambda f: [n in f for n in list(seqs) + ["missing", "r1 "]])
    for name, start, end in regions(rng, seqs, 400):
        pair.same(lambda f: f.fetch(name, start, end))
    for name in list(seqs) + ["missing"]:
        pair.same(lambda f: f.fetch_entire_sequence(name))
    for n in (10, 999, 1000, 3000):
        batch = regions(rng, seqs, n)
        known = [r for r in batch if r[0] != "missing"]
        pair.same(lambda f: f.fetch_many(batch))
        pair.same(lambda f: f.fetch_many(known))
        same_chr = [(s, e) for name, s, e in known if name == "r3"] * (n // 50 + 1)
        pair.same(lambda f: f.fetch_many_same_chr("r3", same_chr))
    in_bounds = [(n, s, e) for n, s, e in regions(rng, seqs, 5000)
                 if n != "missing" and 1 <= s <= e <= len(seqs[n])]
    assert [s.seq for s in pair.objs[1].fetch_many(in_bounds)] == [
        (seqs[n][s - 1:e].upper() if options.get("sequence_always_upper") else seqs[n][s - 1:e])
        for n, s, e in in_bounds]


@pytest.mark.parametrize("options", [{}, {"one_based_attributes": False},
                                     {"sequence_always_upper": True, "default_seq": "N"}],
                         ids=lambda o: ",".join(o) or "defaults")
def test_fasta_paths(genome, capfd, options):
    plain, gz, seqs = genome
    pair = Pair(capfd, plain, gz, cls=nucla.Fasta, **options)
    rng = random.Random(9)
    pair.same(lambda f: (f.keys(), len(f), f.values(), f.items()))
    pair.same(lambda f: [r.name for r in f])
    for name in seqs:
        pair.same(lambda f: str(f[name]))
        pair.same(lambda f: (f[name].long_name, f[name].unpadded_len, reversed(f[name])))
        pair.same(lambda f: list(f[name]))
        length = len(seqs[name])
        for _ in range(30):
            a, b = rng.randrange(-length - 5, length + 5), rng.randrange(-length - 5, length + 5)
            step = rng.choice([None, 1, 2, -1, -3])
            pair.same(lambda f: f[name][a:b:step])
            pair.same(lambda f: f[name][a])
    pair.same(lambda f: f[len(seqs) - 1][5:10])
    for name, start, end in regions(rng, seqs, 200):
        pair.same(lambda f: f.get_seq(name, start, end))
        pair.same(lambda f: f.get_seq(name, start, end, rc=True))
    pair.same(lambda f: f.get_spliced_seq("r3", [(1, 5), (20, 30), (2, 3)]))
    for n in (100, 1500):
        batch = [r for r in regions(rng, seqs, n) if r[0] != "missing"]
        pair.same(lambda f: f.fetch_many(batch, rc=True))
        pair.same(lambda f: f.fetch_many_same_chr("r3", [(s, e) for _, s, e in batch]))


@needs_bgzip
def test_edge_file_fetches(tmp_path, capfd):
    plain = tmp_path / "faidx.fa"
    shutil.copy(HTSLIB / "faidx" / "faidx.fa", plain)
    pair = Pair(capfd, str(plain), bgzip(str(plain)))
    # htslib's own answers for these regions.
    wanted = [("trailingblank2", 28, 33), ("trailingblank3", 4, 5), ("bar", 4, 5)]
    assert pair.same(lambda f: [f.fetch(*r).seq for r in wanted]) == ["GGGCCC", "TA", "TA"]
    for name in pair.objs[0].keys:
        for start in range(0, 40, 3):
            pair.same(lambda f: f.fetch(name, start, start + 7))


@needs_bgzip
def test_ce_regions_cross_blocks(tmp_path, capfd):
    plain = tmp_path / "ce.fa"
    shutil.copy(HTSLIB / "ce.fa", plain)
    gz = bgzip(str(plain))
    assert len(blocks(gz)) > 10
    pair = Pair(capfd, str(plain), gz, cls=nucla.Fasta)
    assert pair.same(lambda f: f["CHROMOSOME_I"][5000:5125].seq) == "".join(
        line for line in (HTSLIB / "faidx" / "ce.1.expected.fa").read_text().splitlines()[1:4])
    rng = random.Random(2)
    longest = max(pair.objs[0].keys(), key=lambda n: len(pair.objs[0][n]))
    for _ in range(200):
        start = rng.randrange(1, 1_009_800)
        end = start + rng.choice([0, 99, 70_000])
        pair.same(lambda f: f.get_seq(longest, start, end))
    pair.same(lambda f: [str(r) for r in f.values()])


# --- damaged files ----------------------------------------------------------------------------

@pytest.fixture
def fresh(tmp_path):
    """A plain and a compressed copy with their indexes built, and the known bases."""
    rng = random.Random(21)
    text, seqs = random_fasta_text(rng, ["big", "mid", "small"], length=[150_000, 80_000, 500],
                                   alphabet="ACGTacgtN")
    plain = tmp_path / "d.fa"
    plain.write_text(text)
    gz = write_bgzf(tmp_path / "d.fa.gz", text.encode(), rng, largest=20_000)
    # Written a minute ago: its indexes are newer even where file times are whole seconds.
    os.utime(gz, (time.time() - 60,) * 2)
    nucla.Faidx(gz)
    return str(plain), gz, seqs


def flip(path, offset):
    data = bytearray(read(path))
    data[offset] ^= 0x55
    pathlib.Path(path).write_bytes(bytes(data))


def message(call):
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is Exception
    return str(info.value)


@pytest.mark.parametrize("where, reason", [(30, "bad deflate data"), (-7, "CRC32 mismatch"),
                                           (-3, "bad deflate data"), (0, "bad header")])
def test_corrupt_block(fresh, where, reason):
    plain, gz, seqs = fresh
    offset, size, _ = blocks(gz)[3]
    restore = keep_times(gz)
    flip(gz, offset + where if where >= 0 else offset + size + where)
    restore()
    faidx = nucla.Faidx(gz)  # the indexes look fresh: the damage shows when the block is read
    pattern = f"IOError: {gz}: corrupt BGZF block at offset {offset} ({reason})"
    if reason == "bad deflate data" and where == -3:  # the size in the trailer
        pattern = (f"IOError: {gz}: BGZF block at offset {offset} does not match the block index "
                   f"{gz}.gzi")
    hit = errors = 0
    for name, seq in seqs.items():
        for start in range(1, len(seq), 997):
            try:
                got = faidx.fetch(name, start, start + 99).seq
            except Exception as e:  # noqa: BLE001
                assert str(e) == pattern
                errors += 1
            else:
                assert got == seq[start - 1:start + 99]
                hit += 1
    assert hit and errors
    batch = [(n, s, s + 99) for n, seq in seqs.items() for s in range(1, len(seq), 97)]
    with pytest.raises(RuntimeError, match=r"^Error fetching region \d+: IO error: "):
        faidx.fetch_many(batch)
    # Rebuilding reads every block and fails before writing anything.
    os.remove(gz + ".fai")
    os.remove(gz + ".gzi")
    built = message(lambda: nucla.Faidx(gz))
    if where != -3:
        assert built == pattern
    assert built.startswith(f"IOError: {gz}: corrupt BGZF block at offset {offset} (")
    assert not os.path.exists(gz + ".fai") and not os.path.exists(gz + ".gzi")


@pytest.mark.parametrize("keep", [0, 1, 20, -1])
def test_truncated_file(fresh, keep):
    plain, gz, seqs = fresh
    last = blocks(gz)[-2]
    cut = last[0] + (keep if keep >= 0 else last[1] - 1)
    restore = keep_times(gz)
    data = read(gz)
    pathlib.Path(gz).write_bytes(data[:cut])
    expected = f"IOError: {gz}: truncated BGZF block at offset {last[0]}"
    if keep == 0:  # cut at a block boundary: the data just ends, as with a truncated plain file
        plain_cut = pathlib.Path(plain + ".cut")
        plain_cut.write_bytes(read(plain)[:sum(b[2] for b in blocks(gz))])
        nucla.Faidx(str(plain_cut))
        assert nucla.Faidx(gz).fetch("big", 1, 10).seq == seqs["big"][:10]
        assert read(gz + ".fai") == read(str(plain_cut) + ".fai")
        return
    assert message(lambda: nucla.Faidx(gz)) == expected  # stale indexes: rebuilt
    restore()
    assert message(lambda: nucla.Faidx(gz)) == expected  # fresh ones: the block index is checked


def test_random_damage_never_gives_wrong_bases(fresh):
    plain, gz, seqs = fresh
    original = read(gz)
    rng = random.Random(4)
    probes = [(n, s) for n, seq in seqs.items() for s in range(1, len(seq), 1499)]
    restore = keep_times(gz)
    for _ in range(40):
        data = bytearray(original)
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        pathlib.Path(gz).write_bytes(bytes(data))
        restore()
        try:
            faidx = nucla.Faidx(gz, build_index=False)
        except Exception as e:  # noqa: BLE001
            assert str(e).startswith(f"IOError: {gz}: ")
            continue
        for name, start in probes:
            try:
                got = faidx.fetch(name, start, start + 60).seq
            except Exception as e:  # noqa: BLE001
                assert type(e) is Exception and str(e).startswith(f"IOError: {gz}: ")
            else:
                assert got == seqs[name][start - 1:start + 60]


# --- the block index file ---------------------------------------------------------------------

def test_stale_or_foreign_block_index_is_rebuilt(fresh, tmp_path):
    plain, gz, seqs = fresh
    good = read(gz + ".gzi")
    name = "mid"
    probe = lambda: nucla.Faidx(gz).fetch(name, 5000, 5100).seq  # noqa: E731
    expected = seqs[name][4999:5100]

    # Stale: older than the FASTA, whatever it holds.
    pathlib.Path(gz + ".gzi").write_bytes(good[:8] + good[24:40] + good[8:24] + good[40:])
    os.utime(gz + ".gzi", ns=(1, 1))
    assert probe() == expected and read(gz + ".gzi") == good
    # Fresh but not this file's: garbage, a shorter list, another file's.
    other = write_bgzf(tmp_path / "other.fa.gz", b">o\n" + b"ACGT\n" * 50_000, random.Random(1),
                       largest=9000)
    nucla.Faidx(other)
    for bad in (b"junk", good[:-16], read(other + ".gzi"), struct.pack("<Q", 0)):
        pathlib.Path(gz + ".gzi").write_bytes(bad)
        assert probe() == expected and read(gz + ".gzi") == good
    # Well formed, but every block shifted, or a gap no block can fill: refused at once.
    n = struct.unpack_from("<Q", good)[0]
    pairs = [struct.unpack_from("<QQ", good, 8 + 16 * i) for i in range(n)]
    for shift in (lambda u: u + 1, lambda u: u * 2):
        pathlib.Path(gz + ".gzi").write_bytes(struct.pack("<Q", n) + b"".join(
            struct.pack("<QQ", c, shift(u)) for c, u in pairs))
        assert probe() == expected and read(gz + ".gzi") == good
    # One entry off: the blocks around it no longer fit, and reading them says so.
    pairs[2] = (pairs[2][0], pairs[2][1] + 1)
    pathlib.Path(gz + ".gzi").write_bytes(struct.pack("<Q", n) + b"".join(
        struct.pack("<QQ", c, u) for c, u in pairs))
    faidx = nucla.Faidx(gz)
    with pytest.raises(Exception, match=f"^IOError: {gz}: BGZF block at offset {pairs[1][0]} "
                                        "does not match the block index"):
        faidx.fetch_entire_sequence("big")
    # Missing, with a fresh .fai: rebuilt from the block headers.
    os.remove(gz + ".gzi")
    assert probe() == expected and read(gz + ".gzi") == good
    # build_index=False never writes one.
    os.remove(gz + ".gzi")
    assert nucla.Faidx(gz, build_index=False).fetch(name, 5000, 5100).seq == expected
    assert not os.path.exists(gz + ".gzi")


def test_index_elsewhere_keeps_the_block_index_beside_the_fasta(fresh, tmp_path):
    plain, gz, seqs = fresh
    os.remove(gz + ".fai")
    os.remove(gz + ".gzi")
    elsewhere = tmp_path / "sub"
    elsewhere.mkdir()
    faidx = nucla.Faidx(gz, indexname=str(elsewhere / "i.fai"))
    assert os.path.exists(gz + ".gzi") and not os.path.exists(gz + ".fai")
    nucla.Faidx(plain)
    assert read(str(elsewhere / "i.fai")) == read(plain + ".fai")
    assert faidx.fetch("big", 1, 50).seq == seqs["big"][:50]


# --- threads and processes ----------------------------------------------------------------------

def run(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300, env={**os.environ, **(env or {})})


@pytest.mark.parametrize("threads", ["1", "3"])
def test_pool_sizes_and_fork(fresh, threads):
    plain, gz, seqs = fresh
    os.remove(gz + ".fai")
    os.remove(gz + ".gzi")
    code = f"""
    import os, random
    def threads():
        return open("/proc/self/status").read().split("Threads:")[1].split()[0]
    before = threads()  # 1, or more under an emulator with threads of its own
    import nucla
    f = nucla.Faidx({gz!r})
    # The build's threads are gone; the pool starts with the first large batch.
    assert threads() == before
    p = nucla.Faidx({plain!r})
    assert open({gz!r} + ".fai").read() == open({plain!r} + ".fai").read()
    rng = random.Random(1)
    regions = [(n, s, s + rng.randrange(500)) for n in f.keys
               for s in rng.sample(range(1, len(f.fetch_entire_sequence(n))), 400)]
    rng.shuffle(regions)
    expected = [s.seq for s in p.fetch_many(regions)]
    assert [s.seq for s in f.fetch_many(regions)] == expected
    for _ in range(2):
        pid = os.fork()
        if pid == 0:
            ok = [s.seq for s in f.fetch_many(regions)] == expected
            ok = ok and f.fetch(*regions[0]).seq == expected[0]
            os._exit(0 if ok else 1)
        assert os.waitpid(pid, 0)[1] == 0
    assert [s.seq for s in f.fetch_many(regions)] == expected
    """
    result = run(code, {"RAYON_NUM_THREADS": threads})
    assert result.returncode == 0, result.stderr


def test_block_cache_never_serves_another_file(tmp_path):
    # Same layout, different bases; each object freed before the next is made, so engines
    # (and their addresses) are reused while the thread's cache still holds the old blocks.
    rng = random.Random(8)
    for i in range(20):
        bases = "".join(rng.choices("ACGT", k=3000))
        path = tmp_path / f"c{i % 2}.fa.gz"
        path.write_bytes(bgzf_block(f">a\n{bases}\n".encode()) + EOF_BLOCK)
        for suffix in (".fai", ".gzi"):
            pathlib.Path(str(path) + suffix).unlink(missing_ok=True)
        faidx = nucla.Faidx(str(path))
        assert faidx.fetch("a", 100, 199).seq == bases[99:199]
        assert [s.seq for s in faidx.fetch_many([("a", 5, 9)] * 1000)] == [bases[4:9]] * 1000
        del faidx
