import random

import pytest

import nucla
from conftest import random_regions


@pytest.fixture
def fasta(write_fasta):
    return nucla.Fasta(write_fasta(">chr1\nACGTACGTAC\nGGTTAA\n>chr2\nTTTTTCCCCC\n"))


def fields(s):
    return str(s), s.name, s.start, s.end, s.comp


def test_get_seq(fasta):
    plain = fasta.get_seq("chr1", 1, 10)
    assert fields(plain) == ("ACGTACGTAC", "chr1", 1, 10, False)
    assert fields(fasta.get_seq("chr1", 1, 10, rc=True)) == ("GTACGTACGT", "chr1", 10, 1, True)
    for rc in (False, None):
        assert fields(fasta.get_seq("chr1", 1, 10, rc)) == fields(plain)
    with pytest.raises(TypeError, match="'rc'"):
        fasta.get_seq("chr1", 1, 10, rc=1)
    with pytest.raises(OverflowError):
        fasta.get_seq("chr1", -1, 10)
    with pytest.raises(TypeError, match="'start'"):
        fasta.get_seq("chr1", 1.0, 10)


@pytest.mark.parametrize("intervals, rc, expected", [
    ([(1, 3), (7, 9)], None, ("ACGGTA", "chr1", 1, 9, False)),
    ([(1, 3), (7, 9)], True, ("TACCGT", "chr1", 1, 9, False)),
    ([(7, 9), (1, 3)], False, ("GTAACG", "chr1", 7, 3, False)),
    ([(2, 4), (3, 5), (3, 5)], None, ("CGTGTAGTA", "chr1", 2, 5, False)),
    ([], None, ("", "chr1", None, None, False)),
    ([], True, ("", "chr1", None, None, False)),
])
def test_get_spliced_seq(fasta, intervals, rc, expected):
    assert fields(fasta.get_spliced_seq("chr1", intervals, rc)) == expected


def test_get_spliced_seq_errors(fasta):
    assert fields(fasta.get_spliced_seq("nope", [])) == ("", "nope", None, None, False)
    with pytest.raises(TypeError, match="'intervals'"):
        fasta.get_spliced_seq("chr1", [[1, 3]])
    with pytest.raises(TypeError, match="'intervals'"):
        fasta.get_spliced_seq("chr1", "abc")
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        fasta.get_spliced_seq("chr1", [(1, 2, 3)])
    strict = nucla.Fasta(fasta.filename, strict_bounds=True)
    with pytest.raises(IndexError):
        strict.get_spliced_seq("chr1", [(1, 3), (0, 2), (4, 5)])


@pytest.mark.parametrize("n", [2, 1500])
def test_batch_rc_is_the_reverse_complement_of_each_value(fasta, n):
    regions = [("chr1", 1, 10), ("chr2", 5, 6)] * (n // 2)
    plain = fasta.fetch_many(regions)
    turned = fasta.fetch_many(regions, rc=True)
    assert [fields(t) for t in turned] == [fields(-p) for p in plain]
    pairs = [(1, 16), (3, 3)] * (n // 2)
    plain = fasta.fetch_many_same_chr("chr1", pairs)
    turned = fasta.fetch_many_same_chr("chr1", pairs, True)
    assert [fields(t) for t in turned] == [fields(-p) for p in plain]
    assert fasta.fetch_many([], rc=True) == [] and fasta.fetch_many_same_chr("x", [], rc=True) == []


def test_batch_argument_errors(fasta):
    with pytest.raises(ValueError, match="^expected tuple of length 3, but got tuple of length 2$"):
        fasta.fetch_many([("chr1", 1)])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        fasta.fetch_many_same_chr("chr1", [(1, 2, 3)])
    with pytest.raises(TypeError, match="'rc'"):
        fasta.fetch_many([], rc="yes")


def test_rc_never_changes_a_value_someone_else_holds(fasta):
    kept = fasta.get_seq("chr1", 1, 4)
    text = kept.seq
    turned = -kept
    assert (str(kept), str(turned), text) == ("ACGT", "ACGT", "ACGT")
    # Turned in place, a one-letter text that were the interpreter's cached one-letter str
    # would change that letter everywhere in the process.
    ones = [fasta.get_seq("chr2", 1, 1, rc=True), fasta.get_spliced_seq("chr2", [(1, 1)], True),
            *fasta.fetch_many([("chr2", 1, 1)] * 1500, rc=True),
            *fasta.fetch_many_same_chr("chr2", [(1, 1)] * 3, rc=True)]
    assert {str(one) for one in ones} == {"A"}
    assert [ord(chr(c)) for c in b"ACGTN"] == list(b"ACGTN")


def test_random_spliced_against_python(random_fasta):
    rng = random.Random(5)
    path, seqs = random_fasta(rng, records=["s"], length=[500], alphabet="ACGTacgtN", width=50)
    fa, seq = nucla.Fasta(path), seqs["s"]
    comp = str.maketrans("ACGTacgtN", "TGCAtgcaN")
    for _ in range(100):
        ivs = [(a, b) for _, a, b in random_regions(rng, seqs, rng.randrange(1, 5))]
        joined = "".join(seq[a - 1:b] for a, b in ivs)
        assert str(fa.get_spliced_seq("s", ivs)) == joined
        assert str(fa.get_spliced_seq("s", ivs, rc=True)) == joined.translate(comp)[::-1]
