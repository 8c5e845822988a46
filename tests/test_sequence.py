import pytest

from nucla import Sequence


def test_defaults():
    s = Sequence()
    assert (s.name, s.seq, s.start, s.end, s.comp) == ("", "", None, None, False)
    assert repr(s) == ">\n" and str(s) == "" and len(s) == 0
    assert s.fancy_name == "" and s.orientation is None


@pytest.mark.parametrize("kwargs, fancy, orientation", [
    (dict(name="chr1", seq="ACGT", start=1, end=4), "chr1:1-4", 1),
    (dict(name="chr1", seq="ACGT", start=1), "chr1", None),
    (dict(name="chr1", seq="ACGT", comp=True), "chr1 (complement)", None),
    (dict(name="c", start=0, end=0), "c:0-0", None),
    (dict(name="c", start=10, end=5, comp=True), "c:10-5 (complement)", -1),
    (dict(name="c", start=10, end=5), "c:10-5", None),
    (dict(name="c", start=1, end=5, comp=True), "c:1-5 (complement)", None),
])
def test_display_and_orientation(kwargs, fancy, orientation):
    s = Sequence(**kwargs)
    assert s.fancy_name == s.long_name == fancy
    assert s.orientation == orientation
    assert repr(s) == ">" + fancy + "\n" + s.seq


@pytest.mark.parametrize("kwargs, exc, arg", [
    (dict(comp=1), TypeError, "comp"), (dict(name=None), TypeError, "name"),
    (dict(seq=b"A"), TypeError, "seq"), (dict(start=-1), OverflowError, None),
    (dict(end=2**64), OverflowError, None), (dict(start=1.0), TypeError, "start"),
])
def test_constructor_errors(kwargs, exc, arg):
    with pytest.raises(exc, match=f"'{arg}'" if arg else None):
        Sequence(**kwargs)


def test_index_protocol_and_positional_arguments():
    np = pytest.importorskip("numpy")
    s = Sequence("n", "AC", np.int64(3), np.uint32(4), False)
    assert (s.start, s.end) == (3, 4)


def test_attributes_are_writable_with_the_same_rules():
    s = Sequence("a", "AC", 1, 2)
    s.name, s.seq, s.start, s.end, s.comp = "b", "GG", None, 7, True
    assert (s.name, s.seq, s.start, s.end, s.comp) == ("b", "GG", None, 7, True)
    with pytest.raises(TypeError):
        s.comp = 1
    with pytest.raises(OverflowError):
        s.start = -1
    assert s.start is None
    for field in ("name", "seq", "start", "end", "comp"):
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(s, field)


def test_length_counts_bytes():
    assert len(Sequence(seq="é")) == 2
