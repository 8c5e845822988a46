import inspect
import re
import sys
from pathlib import Path

import pytest

import nucla

CLASSES = ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator",
           "MutableFastaRecord"]


def test_all_lists_the_classes_in_order():
    assert nucla.__all__ == CLASSES
    for name in CLASSES:
        cls = getattr(nucla, name)
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__module__ == "builtins"


def test_version_is_the_one_in_pyproject():
    pyproject = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    assert nucla.__version__ == re.search(r'^version = "(.+)"$', pyproject, re.M)[1]
    assert "__version__" not in nucla.__all__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(nucla, name),), {})


@pytest.mark.parametrize("name, args", [("FastaRecord", ("chr1",)), ("MutableFastaRecord", ()),
                                        ("FastaIterator", ()), ("SequenceIterator", ())])
def test_classes_without_constructor(name, args):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(nucla, name)(*args)


def test_instances_have_no_dict(write_fasta):
    path = write_fasta(">a\nACGT\n")
    for obj in (nucla.Sequence(), nucla.Faidx(path), nucla.Fasta(path)):
        with pytest.raises(AttributeError):
            obj.no_such_attribute = 1


@pytest.mark.parametrize("obj, text", [
    (nucla.Sequence, "(name=..., seq=..., start=None, end=None, comp=False)"),
    (nucla.Faidx, "(filename, indexname=None, as_raw=False, strict_bounds=False, "
                  "sequence_always_upper=False, rebuild=True, build_index=True, "
                  "one_based_attributes=True, default_seq=None, mutable=False, key_function=None, "
                  "split_char=None, filt_function=None, read_long_names=False, "
                  "duplicate_action=..., read_ahead=None)"),
    (nucla.Fasta, "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
                  "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, "
                  "filt_function=None, one_based_attributes=True, read_long_names=False, "
                  "duplicate_action=..., sequence_always_upper=False, rebuild=True, "
                  "build_index=True)"),
    (nucla.Faidx.fetch, "(self, /, name, start, end)"),
    (nucla.Faidx.fetch_entire_sequence, "(self, /, name)"),
])
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)).replace("Ellipsis", "...") == text


def test_fetch_entire_sequence_doc():
    assert nucla.Faidx.fetch_entire_sequence.__doc__ == (
        "Ultra-fast method for fetching entire sequences - bypasses all bounds checking")


def test_type_refcount_is_stable():
    cls = nucla.Sequence

    def churn():
        values = [cls("a", "ACGT", 1, 4)[1:3] for _ in range(1000)]
        del values

    churn()
    before = sys.getrefcount(cls)
    churn()
    after = sys.getrefcount(cls)
    assert after == before
