import os
import pathlib
import random
import re
import shutil

import pytest

import nucla
from conftest import DATA

HTSLIB = DATA / "htslib"


def fai(path):
    return pathlib.Path(path + ".fai").read_bytes()


@pytest.mark.parametrize("content, rows", [
    # LF, with a description after the name
    (">chr1\nACGT\nACGT\nAC\n>chr2 desc\nACGT\nA\n",
     b"chr1\t10\t6\t4\t5\nchr2\t5\t30\t4\t5\n"),
    # CR LF
    (">chr1\r\nACGT\r\nAC\r\n>chr2\r\nA\r\n", b"chr1\t6\t7\t4\t6\nchr2\t1\t24\t1\t3\n"),
    # no final newline
    (">a\nACG\nA", b"a\t4\t3\t3\t4\n"),
    # duplicates: every record is written
    (">a\nAC\n>a\nGGG\n", b"a\t2\t3\t2\t3\na\t3\t9\t3\t4\n"),
    # '>' alone: not indexed, its lines count for no record
    (">\nACGT\n>b\nA\n", b"b\t1\t10\t1\t2\n"),
    # leading white space in a header, trailing blank lines
    (">  foo bar\nACGT\nA\n\n\n", b"foo\t5\t11\t4\t5\n"),
    # an empty file, and sequence before any header
    ("", b""),
    ("ACGT\n>a\nA\n", b"a\t1\t8\t1\t2\n"),
    # a record without bases, and a blank first line with no bases after it
    (">a\n>b\n\n>c\nA\n", b"a\t0\t3\t0\t0\nb\t0\t6\t0\t1\nc\t1\t10\t1\t2\n"),
])
def test_built_index_bytes(write_fasta, content, rows):
    path = write_fasta(content)
    nucla.Faidx(path)
    assert fai(path) == rows


@pytest.mark.parametrize("name", ["ce.fa", "xx.fa", "md.fa", "auxf.fa", "c1.fa", "c2.fa",
                                  "realn01.fa", "realn02.fa", "realn03.fa"])
def test_matches_samtools_indexes(tmp_path, name):
    copy = tmp_path / name
    shutil.copy(HTSLIB / name, copy)
    nucla.Faidx(str(copy))
    assert (tmp_path / (name + ".fai")).read_bytes() == (HTSLIB / (name + ".fai")).read_bytes()


def test_htslib_edge_file(tmp_path):
    # htslib keeps the empty-named record that '>' alone starts; we do not index it.
    copy = tmp_path / "faidx.fa"
    shutil.copy(HTSLIB / "faidx" / "faidx.fa", copy)
    nucla.Faidx(str(copy))
    expected = (HTSLIB / "faidx" / "faidx.fa.expected.fai").read_bytes().split(b"\n", 1)[1]
    assert (tmp_path / "faidx.fa.fai").read_bytes() == expected


@pytest.mark.parametrize("seed", range(5))
def test_matches_pysam_on_random_files(random_fasta, seed):
    pysam = pytest.importorskip("pysam")
    # htslib drops records without bases
    path, _ = random_fasta(random.Random(seed), records=20, length=(1, 500),
                           width=[1, 7, 60, 61, 80], eol=["\n", "\r\n"], desc=1.0)
    pysam.faidx(path)
    expected = fai(path)
    os.remove(path + ".fai")
    nucla.Faidx(path)
    assert fai(path) == expected


def test_keys_follow_file_order_and_last_duplicate_wins(write_fasta):
    names = [f"s{i}" for i in (5, 3, 9, 1, 7, 2, 8)]
    path = write_fasta("".join(f">{n}\nAC\n" for n in names) + ">s3\nGGGG\n")
    faidx = nucla.Faidx(path)
    assert faidx.keys == names
    assert str(faidx.fetch_entire_sequence("s3")) == "GGGG"


@pytest.mark.parametrize("content, where", [
    (">a\nACGT\nAC\nACGT\n", "sequence 'a' at line 4"),     # short line, then more bases
    (">a\nACGT\nACGTA\n", "sequence 'a' at line 3"),        # longer later line
    (">a\nACGT\n\nACGT\n", "sequence 'a' at line 4"),       # blank line inside the bases
    (">a\n\nACGT\n", "sequence 'a' at line 3"),             # blank first line, then bases
    (">a\nACGT\r\nACGT\nA\n", "sequence 'a' at line 3"),    # mixed terminators
])
def test_irregular_layout_is_refused(write_fasta, content, where):
    path = write_fasta(content)
    with pytest.raises(Exception, match="^FastaIndexingError: irregular .*" + where) as info:
        nucla.Faidx(path)
    assert type(info.value) is Exception
    assert not os.path.exists(path + ".fai")


def test_existing_foreign_index_is_read_as_it_stands(write_fasta):
    path = write_fasta(">a\nACGT\nAC\nACGT\n")
    pathlib.Path(path + ".fai").write_text("a\t10\t3\t4\t5\n")
    os.utime(path, (1, 1))
    assert nucla.Faidx(path).keys == ["a"]


@pytest.mark.parametrize("text, keys", [
    ("a\t4\t3\t4\t5\n", ["a"]),
    ("a\t+4\t3\t4\t5\n", ["a"]),
    ("  a\t4\t3\t4\t5  \r\n", ["a"]),
    ("a b\t4\t3\t4\t5\n", ["a b"]),
    ("# comment\n\na\t4\t3\t4\t5\t9\nb\t4\t3\t4\t5\nc\t4\t3\t4\n", ["b"]),
    ("\t4\t3\t4\t5\n", []),  # the trimmed row loses its empty name field
])
def test_index_rows_read(write_fasta, text, keys):
    path = write_fasta(">a\nACGT\n")
    pathlib.Path(path + ".fai").write_text(text)
    os.utime(path, (1, 1))
    assert nucla.Faidx(path).keys == keys


@pytest.mark.parametrize("row, message", [
    ("a\t-5\t3\t4\t5", "Invalid rlen"), ("a\t5\tx\t4\t5", "Invalid offset"),
    ("a\t5\t3\t\t5", "Invalid lenc"), ("a\t5\t3\t4\t99999999999999999999", "Invalid lenb"),
    ("a\t5 5\t3\t4\t5", "Invalid rlen"), ("a\t+\t3\t4\t5", "Invalid rlen"),
])
@pytest.mark.parametrize("rows_after", [0, 8])  # long texts have their rows read by a shortcut
def test_bad_index_numbers(write_fasta, row, message, rows_after):
    path = write_fasta(">a\nACGT\n")
    pathlib.Path(path + ".fai").write_text(row + "\n" + "b\t1\t3\t4\t5\n" * rows_after)
    os.utime(path, (1, 1))
    with pytest.raises(Exception, match=f"^FastaIndexingError: {message}$"):
        nucla.Faidx(path)


@pytest.mark.parametrize("faults, message", [
    ({100: b"a\t5\t3\t\t5", 80000: b"\xff\t1\t3\t4\t5"}, "FastaIndexingError: Invalid lenc"),
    ({50000: b"\xff\t1\t3\t4\t5", 99999: b"a\t-5\t3\t4\t5"}, "IOError: .*valid UTF-8"),
    ({99999: b"a\t5\t3\tx\t5"}, "FastaIndexingError: Invalid lenc"),
])
def test_first_faulty_row_of_a_long_index_decides(write_fasta, faults, message):
    """A long index is read in parts at once; the error is still its first faulty row's."""
    path = write_fasta(">a\nACGT\n")
    rows = [b"r%d\t1\t3\t4\t5" % i for i in range(100000)]
    for at, row in faults.items():
        rows[at] = row
    pathlib.Path(path + ".fai").write_bytes(b"\n".join(rows))  # the last row without its LF
    os.utime(path, (1, 1))
    with pytest.raises(Exception, match=f"^{message}$"):
        nucla.Faidx(path)


def test_stale_index_is_rebuilt_unless_rebuild_is_false(write_fasta):
    path = write_fasta(">a\nACGT\n")
    nucla.Faidx(path)
    pathlib.Path(path).write_text(">b\nACGTACGT\n")
    st = os.stat(path + ".fai")
    os.utime(path, ns=(st.st_mtime_ns + 1, st.st_mtime_ns + 1))  # one nanosecond newer
    assert nucla.Faidx(path, rebuild=False).keys == ["a"]
    assert nucla.Faidx(path, build_index=False).keys == ["a"]
    assert nucla.Faidx(path).keys == ["b"]
    assert fai(path) == b"b\t8\t3\t8\t9\n"


def test_missing_index_without_build(write_fasta):
    path = write_fasta(">a\nACGT\n")
    with pytest.raises(Exception, match=f"^IndexNotFoundError: {path}.fai$"):
        nucla.Faidx(path, build_index=False)
    assert not os.path.exists(path + ".fai")


def test_indexname_elsewhere(write_fasta, tmp_path):
    path = write_fasta(">a\nACGT\n")
    index = str(tmp_path / "elsewhere.fai")
    assert nucla.Faidx(path, indexname=index).keys == ["a"]
    assert pathlib.Path(index).read_bytes() == b"a\t4\t3\t4\t5\n"
    assert not os.path.exists(path + ".fai")


def test_missing_fasta():
    with pytest.raises(Exception, match="^FastaNotFoundError: no/such.fa$") as info:
        nucla.Faidx("no/such.fa")
    assert type(info.value) is Exception


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_not_a_regular_file(tmp_path, kind):
    path = tmp_path / "x.fa"
    if kind == "directory":
        path.mkdir()
    else:
        os.mkfifo(path)
    with pytest.raises(Exception, match="^IOError: "):
        nucla.Faidx(str(path))


def test_mutable_reads_through_the_handle(write_fasta):
    path = write_fasta(">a\nACGT\nAC\n")
    faidx = nucla.Faidx(path, mutable=True)
    assert str(faidx.fetch("a", 2, 6)) == "CGTAC"
    if os.geteuid() != 0:
        os.chmod(path, 0o444)
        message = rf"^IOError: {re.escape(path)}: Permission denied \(os error 13\)$"
        with pytest.raises(Exception, match=message):
            nucla.Faidx(path, mutable=True)


def test_membership_and_repr(write_fasta):
    path = write_fasta(">chr1\nACGT\n")
    faidx = nucla.Faidx(path)
    assert "chr1" in faidx and "chr1 " not in faidx
    assert repr(faidx) == f'Faidx("{path}")'
    with pytest.raises(TypeError, match="'name'"):
        5 in faidx


@pytest.mark.parametrize("kwargs, arg", [
    ({"filename": pathlib.Path("x.fa")}, "filename"),
    ({"indexname": b"x"}, "indexname"),
    ({"as_raw": 1}, "as_raw"),
    ({"strict_bounds": None}, "strict_bounds"),
    ({"duplicate_action": None}, "duplicate_action"),
    ({"default_seq": 5}, "default_seq"),
])
@pytest.mark.parametrize("cls", [nucla.Faidx, nucla.Fasta])
def test_argument_errors(write_fasta, cls, kwargs, arg):
    kwargs = {"filename": write_fasta(">a\nA\n"), **kwargs}
    with pytest.raises(TypeError, match=f"argument '{arg}'"):
        cls(**kwargs)


def test_read_ahead_must_be_non_negative(write_fasta):
    path = write_fasta(">a\nA\n")
    with pytest.raises(OverflowError):
        nucla.Faidx(path, read_ahead=-1)
    held = object()
    faidx = nucla.Faidx(path, key_function=held, filt_function=held, split_char="|",
                        read_long_names=True, duplicate_action="first", read_ahead=10)
    assert faidx.keys == ["a"]


def test_concurrent_builds_never_expose_a_partial_index(write_fasta):
    import subprocess
    import sys
    path = write_fasta("".join(f">s{i}\n" + "ACGT" * 50 + "\n" for i in range(3000)))
    code = f"import nucla; assert len(nucla.Faidx({path!r}).keys) == 3000"
    procs = [subprocess.Popen([sys.executable, "-c", code]) for _ in range(8)]
    assert all(p.wait(timeout=60) == 0 for p in procs)
    reference = fai(path)
    os.remove(path + ".fai")
    nucla.Faidx(path)
    assert fai(path) == reference
    assert [f for f in os.listdir(os.path.dirname(path)) if ".tmp." in f] == []


def random_index(rng, rows, long_head):
    """Index text with the oddities the format allows, the entries it holds (by a plain
    reading: the last row of a name wins, the first fixes its place), the rows it skips and
    the names it repeats."""
    names, lines, expected, skipped, repeated = [], [], {}, 0, set()
    for i in range(rows):
        kind = rng.random()
        if kind < 0.05:
            line = rng.choice(["# made by hand", "a\tb", "x\t1\t2\t3", "y\t1\t2\t3\t4\t5",
                               "\t1\t2\t3\t4"])
            lines.append(line + rng.choice(["\n", "\r\n"]))
            skipped += 1
            continue
        if kind < 0.08:
            lines.append(rng.choice(["\n", "  \n", "\r\n"]))
            continue
        if names and kind < 0.2:
            name = rng.choice(names)
            repeated.add(name)
        else:
            stem = rng.choice(["chr", "ctg", "scaffold_", "é", "名 ", "seq x"])
            # rows of either side of 64 bytes, which are read by a shortcut
            pad = rng.randrange(300) if long_head and i < rows // 2 else rng.randrange(50)
            name = f"{stem}{i}" + "_" * pad
            names.append(name)
        line_no = rng.randrange(300)  # of the 60-base lines of the FASTA below
        numbers = [rng.randrange(0, 300), 3 + 61 * line_no, 60, 61]
        # 1 to 21 digits: the shortcut reads up to 19 of them
        texts = [rng.choice(["{}", "+{}", "0" * rng.randrange(22 - len(str(n))) + "{}",
                             "00{}"]).format(n) for n in numbers]
        line = "\t".join([name, *texts])
        before = rng.choice(["", " ", "\u00a0", "\u3000 "])
        line = before + line + rng.choice(["", " ", "\t", "\u3000"])
        lines.append(line + rng.choice(["\n", "\r\n"]))
        expected[name] = numbers
    return "".join(lines), expected, skipped, repeated


# From 1 MB on the text is read in parts by several threads (the last case).
@pytest.mark.parametrize("seed, rows, long_head", [(0, 50, False), (1, 400, False),
                                                   (2, 3000, False), (3, 6000, True),
                                                   (4, 25000, True)])
@pytest.mark.parametrize("keys_first", [True, False])
def test_index_read_as_a_plain_reading_of_its_rows(write_fasta, capfd, seed, rows, long_head,
                                                   keys_first):
    rng = random.Random(seed)
    bases = "".join(rng.choice("ACGTacgt") for _ in range(60 * 310))
    path = write_fasta(">x\n" + "".join(bases[i:i + 60] + "\n" for i in range(0, len(bases), 60)))
    text, expected, skipped, repeated = random_index(rng, rows, long_head)
    pathlib.Path(path + ".fai").write_text(text, encoding="utf-8")
    os.utime(path, (1, 1))
    capfd.readouterr()
    faidx = nucla.Faidx(path)
    err = capfd.readouterr().err
    assert (f"skipped {skipped} malformed row" in err) if skipped else err == ""
    if keys_first:
        assert faidx.keys == list(expected)
    # Lookups, repeated names first, and names the index lacks: the first ones are answered
    # before the index has made its hash table, the later ones from it.
    order = sorted(reversed(expected), key=lambda name: name not in repeated)
    for name in order:
        rlen, offset, _, _ = expected[name]
        assert name + "?" not in faidx and name[:-1] + "\t" not in faidx
        start = (offset - 3) // 61 * 60
        got = faidx.fetch_entire_sequence(name) if rlen else ""
        assert str(got) == bases[start:start + rlen], name
    assert faidx.keys == list(expected)
