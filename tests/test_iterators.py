"""Iteration of Fasta and FastaRecord, and the refusing MutableFastaRecord."""

import ctypes
import gc
import random
import sys

import pytest

import nucla
from conftest import write_records as write_fasta

RECORDS = {
    "chr1": ["ACGTA", "CGTAC"],
    "chr2": ["ACGTA", "CGTAC", "GT"],
    "chr3": [],
}


@pytest.fixture
def path(tmp_path):
    return write_fasta(tmp_path / "it.fa", RECORDS)


@pytest.fixture
def fasta(path):
    return nucla.Fasta(path)


def chunks(iterable):
    return [(s.seq, s.start, s.end) for s in iterable]


class TestFastaIterator:
    def test_yields_records_in_key_order(self, fasta):
        records = list(iter(fasta))
        assert all(type(r) is nucla.FastaRecord for r in records)
        assert [r.name for r in records] == fasta.keys() == ["chr1", "chr2", "chr3"]

    def test_exhausted_for_good(self, fasta):
        it = iter(fasta)
        assert type(it) is nucla.FastaIterator
        assert iter(it) is it
        for _ in range(3):
            next(it)
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)

    def test_independent_iterators(self, fasta):
        a, b = iter(fasta), iter(fasta)
        assert next(a).name == "chr1"
        assert next(a).name == "chr2"
        assert next(b).name == "chr1"
        assert next(a).name == "chr3"
        assert next(b).name == "chr2"

    def test_outlives_its_fasta(self, path):
        it = iter(nucla.Fasta(path))
        gc.collect()
        record = next(it)
        assert str(record) == "ACGTACGTAC"
        assert [r.name for r in it] == ["chr2", "chr3"]

    def test_for_loop_and_mutable_option(self, path):
        names = [r.name for r in nucla.Fasta(path, mutable=True)]
        assert names == ["chr1", "chr2", "chr3"]

    def test_empty_index(self, tmp_path):
        empty = tmp_path / "none.fa"
        empty.write_text("")
        assert list(nucla.Fasta(str(empty))) == []


class TestSequenceIterator:
    def test_lines(self, fasta):
        it = iter(fasta["chr1"])
        assert type(it) is nucla.SequenceIterator
        assert iter(it) is it
        assert chunks(it) == [("ACGTA", 1, 5), ("CGTAC", 6, 10)]

    def test_short_last_line(self, fasta):
        assert [(s.start, s.end) for s in fasta["chr2"]] == [(1, 5), (6, 10), (11, 12)]
        assert "".join(s.seq for s in fasta["chr2"]) == str(fasta["chr2"])

    def test_empty_record(self, fasta):
        with pytest.raises(StopIteration):
            next(iter(fasta["chr3"]))

    def test_exhausted_for_good(self, fasta):
        it = iter(fasta["chr1"])
        list(it)
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)

    def test_fetched_when_asked(self, fasta):
        record = fasta["chr1"]
        a, b = iter(record), iter(record)
        assert next(a).seq == "ACGTA"
        assert next(b).seq == "ACGTA"
        assert next(a).seq == "CGTAC"
        assert next(b).seq == "CGTAC"

    def test_zero_based_attributes(self, path):
        first = next(iter(nucla.Fasta(path, one_based_attributes=False)["chr1"]))
        assert (first.seq, first.start, first.end) == ("ACGTA", 0, 5)

    def test_outlives_record_and_fasta(self, path):
        it = iter(nucla.Fasta(path)["chr2"])
        gc.collect()
        assert chunks(it) == [("ACGTA", 1, 5), ("CGTAC", 6, 10), ("GT", 11, 12)]

    def test_chunks_reuse_the_record_name(self, fasta):
        record = fasta["chr1"]
        assert all(s.name is record.name for s in record)

    def test_row_without_full_lines_ends(self, tmp_path):
        # A foreign index row with lenc 0 but rlen above 0: one chunk, then the end.
        fa = tmp_path / "z.fa"
        fa.write_text(">z\nACGT\n")
        (tmp_path / "z.fa.fai").write_text("z\t4\t3\t0\t0\n")
        record = nucla.Fasta(str(fa), rebuild=False)["z"]
        assert [(s.start, s.end) for s in record] == [(1, 4)]

    @pytest.mark.parametrize("default_seq, lines", [
        (None, ["ACGTA", "CG"]), ("", ["ACGTA", "CG"]),
        ("N", ["ACGTA", "CGNNN", "NN"]), ("NN", ["ACGTA", "CGNNNNNN", "NNNN"])])
    def test_truncated_file(self, tmp_path, capfd, default_seq, lines):
        # The index promises 12 bases, the file holds 7: the lines end with the data, or cover
        # the padding when default_seq pads the record.
        fa = tmp_path / "t.fa"
        fa.write_text(">t\nACGTA\nCG\n")
        (tmp_path / "t.fa.fai").write_text("t\t12\t3\t5\t6\n")
        record = nucla.Fasta(str(fa), rebuild=False, default_seq=default_seq)["t"]
        assert [s.seq for s in record] == lines
        assert "".join(lines) == str(record)
        assert capfd.readouterr().err == ""


class TestLifetime:
    def test_refcount_returns_to_baseline(self, fasta):
        base = sys.getrefcount(fasta)
        iterators = [iter(fasta) for _ in range(500)]
        iterators += [iter(fasta["chr1"]) for _ in range(500)]
        mid = sys.getrefcount(fasta)
        del iterators
        for _ in range(1000):
            list(iter(fasta))
            list(fasta["chr2"])
        after = sys.getrefcount(fasta)
        assert (mid, after) == (base + 1000, base)

    def test_after_close(self, path):
        with nucla.Fasta(path) as fasta:
            pass
        fasta.close()
        assert [len(r) for r in fasta] == [10, 12, 0]


class TestClasses:
    @pytest.mark.parametrize("name", ["FastaIterator", "SequenceIterator", "MutableFastaRecord"])
    def test_no_constructor(self, name):
        cls = getattr(nucla, name)
        assert cls.__module__ == "builtins"
        assert cls.__doc__ in ("", None)
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls()

    def test_not_tracked_and_no_dict(self, fasta):
        for obj in (iter(fasta), iter(fasta["chr1"])):
            assert not gc.is_tracked(obj)
            with pytest.raises(AttributeError):
                obj.extra = 1


@pytest.fixture
def mutable_record():
    # No operation ever creates one, so make a bare instance for its two refusals.
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype = ctypes.py_object
    alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    return alloc(nucla.MutableFastaRecord, 0)


class TestMutableFastaRecord:
    def test_assignment_refused(self, mutable_record):
        refused = "^Mutable FASTA records not yet implemented$"
        with pytest.raises(NotImplementedError, match=refused):
            mutable_record[0] = "A"
        with pytest.raises(NotImplementedError):
            mutable_record[object()] = "ACGT"

    def test_assignment_of_a_non_str(self, mutable_record):
        with pytest.raises(TypeError, match="'_value'"):
            mutable_record[0] = 5

    def test_deletion_refused(self, mutable_record):
        with pytest.raises(NotImplementedError, match="^can't delete item$"):
            del mutable_record[0]

    def test_nothing_else(self, mutable_record):
        with pytest.raises(TypeError):
            mutable_record[0]
        with pytest.raises(TypeError):
            len(mutable_record)
        with pytest.raises(TypeError):
            iter(mutable_record)

    def test_dealloc_releases_the_type(self):
        alloc = ctypes.pythonapi.PyType_GenericAlloc
        alloc.restype = ctypes.py_object
        alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
        base = sys.getrefcount(nucla.MutableFastaRecord)
        for _ in range(1000):
            alloc(nucla.MutableFastaRecord, 0)
        after = sys.getrefcount(nucla.MutableFastaRecord)
        assert after == base



def random_layout(rng):
    """A FASTA of random records (line widths, CR LF, lower case, a few non-ASCII bases) and
    an index that now and then claims lines other than those in the file."""
    rows, index, text = {}, "", b""
    for k in range(6):
        width = rng.randrange(1, 90)
        end = rng.choice([b"\n", b"\r\n"])
        bases = "".join(rng.choice("ACGTacgtN") for _ in range(rng.randrange(0, 900)))
        if rng.random() < 0.3 and bases:
            i = rng.randrange(len(bases))
            bases = bases[:i] + "é" + bases[i + 1:]
        raw = bases.encode()
        header = f">r{k}\n".encode()
        claimed = max(1, width + rng.choice([0, 0, 1, -1]))
        rows[f"r{k}"] = (len(raw), claimed)
        index += f"r{k}\t{len(raw)}\t{len(text) + len(header)}\t{claimed}\t{claimed + len(end)}\n"
        text += header + b"".join(raw[i:i + width] + end for i in range(0, len(raw), width))
    return text, index, rows


def outcome(call):
    try:
        s = call()
    except Exception as e:
        return type(e), str(e)
    return s.name, s.seq, s.start, s.end


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("options", [{}, {"sequence_always_upper": True},
                                     {"one_based_attributes": False}, {"mutable": True}])
def test_lines_are_the_fetches_of_their_coordinates(tmp_path, seed, options):
    text, index, rows = random_layout(random.Random(seed))
    fa = tmp_path / "r.fa"
    fa.write_bytes(text)
    (tmp_path / "r.fa.fai").write_text(index)
    fasta = nucla.Fasta(str(fa), rebuild=False, **options)
    for name, (rlen, width) in rows.items():
        it, start = iter(fasta[name]), 1
        while True:
            end = min(start + width - 1, rlen)
            got = outcome(lambda: next(it))
            if got[0] is StopIteration:
                break
            assert got == outcome(lambda: fasta.get_seq(name, start, end)), (name, start)
            if isinstance(got[0], type):
                break  # an error: the same chunk would fail again
            start = end + 1
