import random

import pytest

from nucla import Sequence

COMPLEMENT = dict(zip("ABCDGHKMNRSTVWXYabcdghkmnrstvwxy", "TVGHCDMKNYSABWXRtvghcdmknysabwxr"))


def comp(text):
    return "".join(COMPLEMENT.get(c, "N") for c in text)


@pytest.fixture
def acgt():
    return Sequence("chr1", "ACGT", 1, 4)


@pytest.mark.parametrize("key, seq, start, end", [
    (0, "A", 1, 1), (-1, "T", 4, 4), (slice(1, 3), "CG", 2, 3), (slice(None, None, -1), "TGCA", 1, 4),
    (slice(None, None, 2), "AG", 1, 4), (slice(3, 1), "", 4, 1), (slice(-100, None, -1), "", 4, 3),  # as Python slices
    (slice(2, 2, -1), "", 4, 3), (slice(None, 3, -1), "", 5, 4), (slice(5, 3, -1), "", 5, 4),
    (slice(None, 0, -1), "TGC", 2, 4),
])
def test_indexing(acgt, key, seq, start, end):
    s = acgt[key]
    assert (str(s), s.start, s.end, s.comp, s.name) == (seq, start, end, False, "chr1")


@pytest.mark.parametrize("key", [slice(None, -1, -1), slice(None, 0, -1), slice(0, 0, -1)])
def test_empty_negative_slice_starts_past_its_first_index(key):
    s = Sequence("c", "G", 100, 100)[key]
    assert (str(s), s.start, s.end) == ("", 101, 100)


@pytest.mark.parametrize("key, exc, message", [
    (4, IndexError, "Index out of range"), (-5, IndexError, "Index out of range"),
    (1.0, TypeError, "Invalid index type"), ("a", TypeError, "Invalid index type"),
    (2**70, TypeError, "Invalid index type"),
])
def test_index_errors(acgt, key, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        acgt[key]


def test_slice_step_zero(acgt):
    with pytest.raises(ValueError):
        acgt[::0]


def test_slices_equal_python_slicing():
    rng = random.Random(3)
    text = "".join(rng.choice("ACGTN") for _ in range(40))
    s = Sequence("x", text, 100, 139)
    bounds = [None, -50, -41, -40, -7, -1, 0, 1, 5, 39, 40, 41, 60]
    for _ in range(3000):
        sl = slice(rng.choice(bounds), rng.choice(bounds), rng.choice([None, 1, 2, 3, -1, -2, -5]))
        assert str(s[sl]) == text[sl], sl
    assert str(s[-100::-1]) == text[-100::-1]


def test_coordinates_need_both_ends_for_slices_but_not_items():
    s = Sequence("x", "ACGTA", start=10)
    assert (s[2].start, s[2].end) == (12, 12)
    assert (s[1:3].start, s[1:3].end) == (None, None)


def test_reverse_complement(acgt):
    rc = -acgt
    assert (str(rc), rc.start, rc.end, rc.comp, rc.orientation) == ("ACGT", 4, 1, True, -1)
    assert rc.fancy_name == "chr1:4-1 (complement)"
    rev = acgt.reverse
    assert (str(rev), rev.start, rev.end, rev.comp) == ("TGCA", 4, 1, False)
    c = acgt.complement
    assert (str(c), c.start, c.end, c.comp) == ("TGCA", 1, 4, True)
    assert (str(-(-acgt)), (-(-acgt)).start, (-(-acgt)).comp) == ("ACGT", 1, False)


def test_complement_table_on_every_byte():
    text = "".join(chr(i) for i in range(1, 128))
    s = Sequence(seq=text)
    assert str(s.complement) == comp(text)
    assert str(-s) == comp(text)[::-1]
    assert str(Sequence(seq="acgtn").complement) == "tgcan"
    assert str(Sequence(seq="ACGU").complement) == "TGCN"
    assert str(Sequence(seq="é").complement) == "NN"  # two bytes, each outside the table


def test_empty(acgt):
    e = Sequence()
    assert str(e[::-1]) == "" and str(-e) == ""
    with pytest.raises(IndexError):
        e[0]


def test_iteration_and_membership(acgt):
    assert [str(x) for x in acgt] == ["A", "C", "G", "T"]
    assert "G" in acgt and "N" not in acgt


def test_reverse_of_multibyte_text_is_refused():
    with pytest.raises(UnicodeDecodeError):
        Sequence(seq="aé").reverse


@pytest.mark.parametrize("text, gc, strict, iupac", [
    ("ACGT", 0.5, 0.5, 0.5), ("acgtNN", 2 / 6, 0.5, 2.5 / 6),
    ("", 0.0, 0.0, 0.0), ("NNNN", 0.0, 0.0, 0.25), ("ACGU", 0.5, 2 / 3, 2 / 3),
    ("SSWW", 0.0, 0.0, 0.5), ("B", 0.0, 0.0, 0.67), ("s", 0.0, 0.0, 1.0), ("X", 0.0, 0.0, 0.0),
    ("ACGTX", 0.4, 0.5, 0.5), ("DH", 0.0, 0.0, 0.33), ("KMRY", 0.0, 0.0, 0.5),
])
def test_gc(text, gc, strict, iupac):
    s = Sequence(seq=text)
    assert s.gc == pytest.approx(gc) and s.gc_strict == pytest.approx(strict)
    assert s.gc_iupac == pytest.approx(iupac)


def test_equality(acgt):
    assert acgt == "ACGT" and "ACGT" == acgt and acgt != "acgt"
    assert acgt == Sequence("other", "ACGT", 9, 9, True)
    assert (acgt == 5) is False and (acgt != 5) is True
    with pytest.raises(TypeError):
        acgt < "B"
    with pytest.raises(TypeError):
        hash(acgt)


@pytest.mark.parametrize("length", [0, 1, 2, 15, 16, 17, 31, 32, 33, 47, 64, 65, 1000, 1001])
def test_reverse_complement_every_length(length):
    rng = random.Random(length)
    text = "".join(chr(rng.randrange(1, 128)) for _ in range(length))
    assert str(-Sequence(seq=text)) == comp(text)[::-1]
