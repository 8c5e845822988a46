import os
import random
import subprocess
import sys
import textwrap

import pytest

import nucla
from conftest import random_regions, write_random_fasta


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    return write_random_fasta(tmp_path_factory.mktemp("batch") / "g.fa", random.Random(7),
                              records=[f"c{i}" for i in range(12)], length=(50, 5000),
                              alphabet="ACGTacgtN")


@pytest.mark.parametrize("n", [10, 999, 1000, 5000, 70000])
@pytest.mark.parametrize("mutable", [False, True])
def test_batches_match_single_fetches(genome, n, mutable):
    path, seqs = genome
    faidx = nucla.Faidx(path, mutable=mutable)
    regions = random_regions(random.Random(1), seqs, n)
    got = faidx.fetch_many(regions)
    assert [(str(s), s.name, s.start, s.end) for s in got] == [
        (seqs[name][start - 1:end], name, start, end) for name, start, end in regions]
    same = faidx.fetch_many_same_chr("c3", [(s, e) for _, s, e in regions if e <= len(seqs["c3"])])
    assert all(str(s) == seqs["c3"][s.start - 1:s.end] for s in same)


def test_empty_batches(genome):
    faidx = nucla.Faidx(genome[0])
    assert faidx.fetch_many([]) == [] and faidx.fetch_many_same_chr("nope", []) == []


def test_unknown_name_below_and_above_the_threshold(genome):
    faidx = nucla.Faidx(genome[0])
    regions = [("c1", 1, 5)] * 999
    regions[9] = ("chrX", 1, 5)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chrX' not found$") as info:
        faidx.fetch_many(regions)
    assert type(info.value) is Exception
    with pytest.raises(RuntimeError) as info:
        faidx.fetch_many(regions + [("c1", 1, 5)])
    assert str(info.value) == "Error fetching region 9: Fetch error: Sequence 'chrX' not found"
    regions = [("c1", 1, 5)] * 1000
    regions[700] = regions[300] = ("chrX", 1, 2)
    with pytest.raises(RuntimeError, match="^Error fetching region 300: "):
        faidx.fetch_many(regions)
    for n in (1, 1000):
        with pytest.raises(Exception, match="^FetchError: Sequence 'chrX' not found$"):
            faidx.fetch_many_same_chr("chrX", [(1, 2)] * n)


def test_strict_bounds_in_parallel(write_fasta):
    faidx = nucla.Faidx(write_fasta(">chr1\nACGTACGTAC\n"), strict_bounds=True)
    pairs = [(1, 5)] * 1000
    pairs[4] = (0, 5)
    with pytest.raises(RuntimeError) as info:
        faidx.fetch_many_same_chr("chr1", pairs)
    assert str(info.value) == ("Error fetching region 4 from chr1: Invalid region: "
                               "Invalid region chr1:0-5 (sequence length: 10)")
    with pytest.raises(IndexError):
        faidx.fetch_many_same_chr("chr1", pairs[:999])


@pytest.mark.parametrize("pair, expected", [
    ((0, 3), ("ACG", 1, 3)),     # clamped up to base 1
    ((8, 12), ("TAC", 8, 10)),   # clamped down to the end
    ((11, 12), ("", 11, 11)),    # holds no base: empty, as a single fetch reports it
    ((0, 0), ("", 0, 0)),
    ((5, 0), ("", 5, 0)),
    ((6, 3), ("", 6, 3)),
])
def test_parallel_clamping_is_silent(write_fasta, capfd, pair, expected):
    faidx = nucla.Faidx(write_fasta(">chr1\nACGTACGTAC\n"))
    got = faidx.fetch_many_same_chr("chr1", [pair] * 1000)
    assert {(str(s), s.start, s.end) for s in got} == {expected}
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("regions, message", [
    ("abc", "'regions'"), ([["c1", 1, 2]], "'regions'"), ((x for x in []), "'regions'"),
    ([("c1", "1", 2)], "'regions'"),
])
def test_request_type_errors(genome, regions, message):
    with pytest.raises(TypeError, match=message):
        nucla.Faidx(genome[0]).fetch_many(regions)


def test_request_shape_errors(genome):
    faidx = nucla.Faidx(genome[0])
    with pytest.raises(ValueError, match="^expected tuple of length 3, but got tuple of length 2$"):
        faidx.fetch_many([("c1", 1)])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        faidx.fetch_many_same_chr("c1", [(1, 2, 3)])
    with pytest.raises(OverflowError):
        faidx.fetch_many([("c1", 1, 2)] * 2000 + [("c1", -1, 2)])


def test_numpy_coordinates(genome):
    np = pytest.importorskip("numpy")
    path, seqs = genome
    starts = np.arange(1, 1201, dtype=np.int64)
    got = nucla.Faidx(path).fetch_many_same_chr("c0", list(zip(starts, starts + 9)))
    assert [str(s) for s in got] == [seqs["c0"][s - 1:s + 9] for s in range(1, 1201)]


def run(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env={**os.environ, **(env or {})})


BATCH = """
    import nucla, random
    f = nucla.Faidx({path!r})
    regions = [(n, 1, 40) for n in f.keys] * 200
    expected = [str(f.fetch(*r)) for r in regions]
    assert [str(s) for s in f.fetch_many(regions)] == expected
"""


@pytest.mark.parametrize("env", [{"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "0"},
                                 {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "3"},
                                 {"RAYON_NUM_THREADS": "7"}])
def test_pool_sizes(genome, env):
    result = run(BATCH.format(path=genome[0]), env)
    assert result.returncode == 0, result.stderr


def test_fork_after_a_parallel_batch(genome):
    code = BATCH.format(path=genome[0]) + """
    import os
    for _ in range(2):
        pid = os.fork()
        if pid == 0:
            ok = [str(s) for s in f.fetch_many(regions)] == expected
            os._exit(0 if ok else 1)
        assert os.waitpid(pid, 0)[1] == 0
    import multiprocessing as mp
    def child(q):
        q.put([str(s) for s in f.fetch_many(regions)] == expected)
    ctx = mp.get_context("fork")
    q = ctx.Queue()
    p = ctx.Process(target=child, args=(q,))
    p.start()
    assert q.get(timeout=60)
    p.join(60)
    assert p.exitcode == 0
    """
    result = run(code)
    assert result.returncode == 0, result.stderr
