"""Fasta subscripting, values() and items(), and the FastaRecord they hand out."""

import gc
import random
import sys

import pytest

import nucla
from conftest import write_records as write_fasta

# chr1 is the worked example: 10 bases on lines of 5.
RECORDS = {
    "chr1": ["ACGTA", "CGTAC"],
    "chr2": ["NNACGTNN"],
    "chr3": ["ACGTA", "CGTAC", "GT"],
}
CHR1 = "ACGTACGTAC"


@pytest.fixture
def x_fa(tmp_path, monkeypatch):
    """x.fa in the current directory, opened by its relative name."""
    monkeypatch.chdir(tmp_path)
    write_fasta(tmp_path / "x.fa", RECORDS)
    return "x.fa"


@pytest.fixture
def fasta(x_fa):
    return nucla.Fasta(x_fa)


@pytest.fixture
def record(fasta):
    return fasta["chr1"]


def stderr_of(capfd):
    return capfd.readouterr().err


# --- handing out records -----------------------------------------------------------------


class TestFastaSubscript:
    def test_by_name(self, fasta):
        record = fasta["chr1"]
        assert type(record) is nucla.FastaRecord
        assert record.name == "chr1"

    def test_name_is_the_key_as_passed(self, fasta):
        key = "".join(["chr", "1"])
        assert fasta[key].name is key

    def test_unknown_name(self, fasta):
        with pytest.raises(KeyError) as info:
            fasta["chr9"]
        assert info.value.args == ("chr9 not in x.fa.",)

    def test_unknown_name_reports_the_path_as_passed(self, tmp_path):
        path = str(write_fasta(tmp_path / "y.fa", RECORDS))
        with pytest.raises(KeyError) as info:
            nucla.Fasta(path)["nope"]
        assert info.value.args == (f"nope not in {path}.",)

    def test_unencodable_name_is_just_missing(self, fasta):
        with pytest.raises(KeyError) as info:
            fasta["chr\udc80"]
        assert info.value.args == ("chr\udc80 not in x.fa.",)

    def test_by_position_follows_keys(self, fasta):
        names = fasta.keys()
        assert names == ["chr1", "chr2", "chr3"]
        assert [fasta[i].name for i in range(3)] == names

    def test_position_by_index_protocol(self, fasta):
        class Two:
            def __index__(self):
                return 2

        assert fasta[Two()].name == "chr3"

    def test_position_out_of_range(self, fasta):
        with pytest.raises(IndexError, match="^Index out of range$"):
            fasta[3]

    @pytest.mark.parametrize("key", [-1, 1.0, slice(0, 2), None, 2**64, b"chr1", ("chr1",)])
    def test_bad_key(self, fasta, key):
        with pytest.raises(TypeError, match="^Key must be string or integer$"):
            fasta[key]

    def test_values_and_items_follow_keys(self, fasta):
        names = fasta.keys()
        values = fasta.values()
        items = fasta.items()
        assert [r.name for r in values] == names
        assert [name for name, _ in items] == names
        for name, record in items:
            assert type(name) is str
            assert record.name == name
            assert type(record) is nucla.FastaRecord

    def test_mutable_option_still_gives_plain_records(self, x_fa):
        fasta = nucla.Fasta(x_fa, mutable=True)
        assert type(fasta["chr1"]) is nucla.FastaRecord
        assert all(type(r) is nucla.FastaRecord for r in fasta.values())
        assert str(fasta["chr1"]) == CHR1

    def test_signatures(self):
        assert nucla.Fasta.values.__text_signature__ == "($self)"
        assert nucla.Fasta.items.__text_signature__ == "($self)"
        assert nucla.FastaRecord.__reversed__.__text_signature__ == "($self)"


# --- the record itself ---------------------------------------------------------------


class TestRecordBasics:
    def test_len_str_repr(self, record):
        assert len(record) == 10
        assert str(record) == CHR1
        assert repr(record) == 'FastaRecord("chr1")'

    def test_names(self, record):
        assert record.name == "chr1"
        assert record.long_name == "chr1"

    @pytest.mark.parametrize("attr", ["name", "long_name", "unpadded_len", "other"])
    def test_nothing_assignable(self, record, attr):
        with pytest.raises(AttributeError):
            setattr(record, attr, "x")

    def test_class_properties(self, record):
        assert nucla.FastaRecord.__module__ == "builtins"
        assert nucla.FastaRecord.__name__ == "FastaRecord"
        assert not gc.is_tracked(record)
        assert not hasattr(record, "__dict__")
        with pytest.raises(TypeError, match="^No constructor defined for FastaRecord$"):
            nucla.FastaRecord("chr1")
        with pytest.raises(TypeError):

            class Sub(nucla.FastaRecord):  # noqa: F841
                pass

    def test_identity_semantics(self, fasta):
        a, b = fasta["chr1"], fasta["chr1"]
        assert a != b
        assert a == a
        assert hash(a) == hash(a)

    def test_membership_walks_the_lines(self, record):
        assert "ACGTA" in record
        assert "CGTAC" in record
        assert "ACGTACGTAC" not in record

    def test_non_ascii_name(self, tmp_path):
        path = write_fasta(tmp_path / "u.fa", {"chré": ["ACGT"]})
        fasta = nucla.Fasta(str(path))
        record = fasta["chré"]
        assert record[1:3].seq == "CG"
        assert record[1:3].name == "chré"
        assert [r.name for r in fasta.values()] == ["chré"]

    def test_fetched_values_reuse_the_stored_name(self, record):
        assert record[2:5].name is record.name
        assert record[3].name is record.name
        assert record[:].name is record.name


class TestIntegerIndex:
    def test_first_and_last(self, record, capfd):
        s = record[0]
        assert (s.seq, s.start, s.end) == ("A", 1, 1)
        s = record[-1]
        assert (s.seq, s.start, s.end) == ("C", 10, 10)
        assert stderr_of(capfd) == ""

    def test_one_past_the_end(self, record, capfd):
        s = record[10]
        assert (s.seq, s.start, s.end) == ("", 11, 11)
        assert stderr_of(capfd) == (
            "WARNING: coordinates 11-11 are out of bounds for sequence 'chr1' of length 10\n"
        )

    def test_position_zero(self, record, capfd):
        s = record[-11]
        assert (s.seq, s.start, s.end) == ("", 0, 0)
        assert stderr_of(capfd) == "WARNING: coordinates cannot be 0 (1-based indexing)\n"

    def test_far_below_wraps_beyond_the_end(self, record, capfd):
        s = record[-12]
        assert s.seq == ""
        wrapped = 2**64 - 1
        assert stderr_of(capfd) == (
            f"WARNING: coordinates {wrapped}-{wrapped} are out of bounds "
            "for sequence 'chr1' of length 10\n"
        )

    @pytest.mark.parametrize("key", [10, -11, -12])
    def test_strict_bounds(self, x_fa, key, capfd):
        record = nucla.Fasta(x_fa, strict_bounds=True)["chr1"]
        with pytest.raises(IndexError):
            record[key]
        assert stderr_of(capfd) == ""

    def test_index_protocol(self, record):
        class Three:
            def __index__(self):
                return 3

        assert record[Three()].seq == "T"
        assert record[True].seq == "C"

    @pytest.mark.parametrize("key", [1.5, "a", None, 2**70, -(2**70), (1,), b"1"])
    def test_invalid_index_type(self, record, key):
        with pytest.raises(TypeError, match="^Invalid index type$"):
            record[key]

    def test_zero_based_attributes(self, x_fa):
        record = nucla.Fasta(x_fa, one_based_attributes=False)["chr1"]
        s = record[0]
        assert (s.seq, s.start, s.end) == ("A", 0, 1)


class TestSlices:
    @pytest.mark.parametrize(
        "key, seq, start, end",
        [
            (slice(2, 5), "GTA", 3, 5),
            (slice(None, None, 2), "AGAGA", 1, 10),
            (slice(1, 8, 3), "CAT", 2, 8),
            (slice(None, None, -1), "CATGCATGCA", 1, 10),
            # Only positions 4 to 9 are fetched.
            (slice(8, 2, -2), "AGA", 4, 9),
            (slice(-3, None), "TAC", 8, 10),
            (slice(0, 100), CHR1, 1, 10),
        ],
    )
    def test_worked_examples(self, record, key, seq, start, end, capfd):
        s = record[key]
        assert (s.seq, s.start, s.end) == (seq, start, end)
        assert s.seq == CHR1[key]
        assert stderr_of(capfd) == ""

    @pytest.mark.parametrize(
        "key",
        [slice(None), slice(None, None, 1), slice(0, 10, 1), slice(0, 10), slice(0, None),
         slice(None, None, "x"), slice(None, None, 2**70), slice(None, None, 1.5)],
    )
    def test_whole_sequence(self, record, key, capfd):
        s = record[key]
        assert (s.seq, s.start, s.end) == (CHR1, 1, 10)
        assert stderr_of(capfd) == ""

    @pytest.mark.parametrize(
        "key, start, end",
        [(slice(5, 5), 6, 5), (slice(5, 2, 2), 6, 2), (slice(2, 5, -1), 7, 3)],
    )
    def test_empty_slices_ask_for_start_above_end(self, x_fa, key, start, end, capfd):
        record = nucla.Fasta(x_fa)["chr1"]
        assert record[key].seq == ""
        assert stderr_of(capfd) == (
            f"WARNING: start coordinate {start} is greater than end coordinate {end}\n"
        )
        strict = nucla.Fasta(x_fa, strict_bounds=True)["chr1"]
        with pytest.raises(IndexError, match=f"^start coordinate {start} is greater"):
            strict[key]

    def test_slice_starting_past_the_end(self, record, capfd):
        s = record[10:]
        assert (s.seq, s.start, s.end) == ("", 11, 11)
        assert "out of bounds" in stderr_of(capfd)

    def test_slice_errors_from_the_host(self, record):
        with pytest.raises(ValueError):
            record[::0]
        with pytest.raises(TypeError):
            record[1:"a"]
        with pytest.raises(TypeError):
            record[1.5:3]

    def test_shortcuts_go_through_the_whole_sequence_fetch(self, tmp_path):
        # The index promises 12 bases but the file holds 10: the whole-sequence fetch never
        # pads, the bounded fetch pads with default_seq.
        path = tmp_path / "short.fa"
        path.write_text(">chr1\nACGTA\nCGTAC\n")
        index = tmp_path / "short.fa.fai"
        index.write_text("chr1\t12\t6\t5\t6\n")
        record = nucla.Fasta(str(path), default_seq="N", rebuild=False)["chr1"]
        assert record[:].seq == CHR1
        assert record[::1].seq == CHR1
        assert record[0:12:1].seq == CHR1
        assert record[0:12].seq == CHR1 + "NN"
        assert record[0:].seq == CHR1 + "NN"
        assert str(record) == CHR1 + "NN"

    def test_random_slices_match_host_slicing(self, tmp_path, capfd):
        rng = random.Random(20240611)
        text = "".join(rng.choice("ACGTNacgtn") for _ in range(157))
        lines = [text[i : i + 13] for i in range(0, len(text), 13)]
        path = write_fasta(tmp_path / "r.fa", {"r": lines})
        record = nucla.Fasta(str(path))["r"]
        assert str(record) == text

        def bound():
            return rng.choice([None, rng.randint(-200, 200), rng.randint(-20, 20)])

        for _ in range(3000):
            step = rng.choice([None, 1, -1, 2, -2, 3, -3, 7, -7, 13, -13, 200, -200])
            key = slice(bound(), bound(), step)
            assert record[key].seq == text[key], key
        capfd.readouterr()

    def test_random_slices_of_a_stepped_record(self, tmp_path):
        rng = random.Random(7)
        text = "".join(rng.choice("ACGT") for _ in range(60))
        path = write_fasta(tmp_path / "s.fa", {"s": [text[i : i + 7] for i in range(0, 60, 7)]})
        record = nucla.Fasta(str(path))["s"]
        for start in range(-62, 62, 5):
            for stop in range(-62, 62, 5):
                for step in (2, 3, -1, -2, -5):
                    key = slice(start, stop, step)
                    fetched = record[key]
                    assert fetched.seq == text[key], key


class TestComputedAttributes:
    @pytest.mark.parametrize(
        "bases, expected",
        [("NNACGTNN", 4), ("NNNN", 0), ("ANNA", 4), ("nnACnn", 2), ("ACGT", 4), ("N", 0)],
    )
    def test_unpadded_len(self, tmp_path, bases, expected):
        path = write_fasta(tmp_path / "p.fa", {"p": [bases]})
        assert nucla.Fasta(str(path))["p"].unpadded_len == expected

    def test_reversed(self, record):
        chunks = reversed(record)
        assert type(chunks) is list
        assert [(c.seq, c.start, c.end) for c in chunks] == [
            ("CATGC", 10, 6),
            ("ATGCA", 5, 1),
        ]
        assert "".join(c.seq for c in chunks) == CHR1[::-1]

    def test_reversed_with_short_last_line(self, fasta):
        chunks = fasta["chr3"].__reversed__()
        assert [(c.start, c.end) for c in chunks] == [(12, 11), (10, 6), (5, 1)]
        assert "".join(c.seq for c in chunks) == "ACGTACGTACGT"[::-1]


class TestEmptyRecord:
    @pytest.fixture
    def empty(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        path = tmp_path / "e.fa"
        path.write_text(">empty\n>next\nAC\n")
        return "e.fa"

    def test_empty(self, empty, capfd):
        record = nucla.Fasta(empty)["empty"]
        assert len(record) == 0
        assert reversed(record) == []
        assert str(record) == ""
        assert stderr_of(capfd) == (
            "WARNING: coordinates 1-0 are out of bounds for sequence 'empty' of length 0\n"
        )

    def test_empty_strict(self, empty):
        record = nucla.Fasta(empty, strict_bounds=True)["empty"]
        assert reversed(record) == []
        with pytest.raises(IndexError):
            str(record)


def test_row_without_full_lines_ends(tmp_path):
    # A foreign index row with lenc 0 but rlen above 0: one chunk for the whole sequence.
    path = tmp_path / "z.fa"
    path.write_text(">z\nACGT\n")
    (tmp_path / "z.fa.fai").write_text("z\t4\t3\t0\t0\n")
    record = nucla.Fasta(str(path), rebuild=False)["z"]
    chunks = reversed(record)
    assert len(chunks) == 1
    assert (chunks[0].start, chunks[0].end) == (4, 1)


# --- lifetime -------------------------------------------------------------------------


class TestLifetime:
    def test_after_close_and_with(self, x_fa):
        with nucla.Fasta(x_fa) as fasta:
            record = fasta["chr1"]
        fasta.close()
        fasta.close()
        assert str(record) == CHR1
        assert str(fasta["chr2"]) == "NNACGTNN"

    def test_record_outlives_its_fasta(self, x_fa):
        fasta = nucla.Fasta(x_fa)
        records = [fasta["chr1"], fasta[2], fasta.values()[1], fasta.items()[0][1]]
        del fasta
        gc.collect()
        assert [str(r) for r in records] == [CHR1, "ACGTACGTACGT", "NNACGTNN", CHR1]
        assert records[0][2:5].seq == "GTA"
        assert len(reversed(records[0])) == 2

    def test_refcount_returns_to_baseline(self, fasta):
        base = sys.getrefcount(fasta)
        type_base = sys.getrefcount(nucla.FastaRecord)
        records = [fasta["chr1"] for _ in range(1000)]
        records += [fasta[1] for _ in range(1000)]
        assert sys.getrefcount(fasta) == base + 2000
        del records
        for _ in range(1000):
            fasta.values()
            fasta.items()
            r = fasta["chr3"]
            r[1:4]
            r[::-2]
            str(r)
            reversed(r)
        del r
        # Counted outside the asserts: their rewriting holds extra references.
        after, type_after = sys.getrefcount(fasta), sys.getrefcount(nucla.FastaRecord)
        assert (after, type_after) == (base, type_base)

    def test_refcount_after_errors(self, fasta, capfd):
        base = sys.getrefcount(fasta)
        for _ in range(1000):
            with pytest.raises(KeyError):
                fasta["nope"]
            with pytest.raises(IndexError):
                fasta[99]
            with pytest.raises(TypeError):
                fasta[1.0]
        assert sys.getrefcount(fasta) == base


def test_foreign_index_with_an_enormous_length(tmp_path):
    # Coordinates near the top of the machine word must neither wrap into nonsense nor crash.
    path = tmp_path / "big.fa"
    path.write_text(">big\nACGT\n")
    (tmp_path / "big.fa.fai").write_text("big\t18446744073709551615\t5\t4\t5\n")
    record = nucla.Fasta(str(path), rebuild=False)["big"]
    with pytest.raises(OverflowError):
        len(record)
    with pytest.raises(MemoryError):
        reversed(record)
    assert str(record) == "ACGT"
    assert record[:].seq == "ACGT"
    assert record[2:3].seq == "G"
    assert record[::3].seq == "AT"
    assert record[-1].seq == ""
    assert record.unpadded_len == 4
    assert next(iter(record)).seq == "ACGT"
