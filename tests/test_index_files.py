"""Index files on disk: what may stand at an index path (a FIFO, a device, the FASTA itself, a
link), what a killed or refused writer leaves behind, paths that name no file, copies opened
from another directory, and files that are no FASTA or whose index is no index."""

import os
import pathlib
import pickle
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import nucla
from conftest import CLI, write_bgzf

RECORDS = ">a\nACGTACGT\nACG\n>b desc\nTTTT\n"
# Set when the suite runs against a build with the portable fallbacks forced on (cmake
# -DNUCLA_PORTABLE=ON), which writes every index through a named temporary.
PORTABLE = os.environ.get("NUCLA_PORTABLE") == "1"


def python(code, timeout=30):
    """Runs `code` in a fresh interpreter (an open that hangs or fills memory must not take the
    suite with it); returns the completed process."""
    prelude = ""
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer maps terabytes
        prelude = "import resource; resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def make_fasta(directory, compressed=False, text=RECORDS, largest=7):
    """x.fa in `directory`, plain or BGZF in blocks of up to `largest` bytes, written a minute
    ago: an index written after it is newer even where file times are whole seconds."""
    path = pathlib.Path(directory) / "x.fa"
    if compressed:
        write_bgzf(path, text.encode(), random.Random(1), largest=largest)
    else:
        path.write_text(text)
    os.utime(path, (time.time() - 60,) * 2)
    return str(path)


def reference_indexes(tmp_path, compressed, text=RECORDS):
    """The .fai (and .gzi) bytes a fresh build writes for `text`."""
    fresh = tmp_path / "reference"
    fresh.mkdir()
    path = make_fasta(fresh, compressed, text=text)
    nucla.Faidx(path)
    return {suffix: pathlib.Path(path + suffix).read_bytes()
            for suffix in ((".fai", ".gzi") if compressed else (".fai",))}


def make_node(path, kind, fasta):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        try:
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # what /dev/null is
        except PermissionError:
            pytest.skip("making a device node needs privileges")
    elif kind == "link to /dev/zero":
        os.symlink("/dev/zero", path)
    elif kind == "the FASTA":
        return fasta
    elif kind == "hard link to the FASTA":
        os.link(fasta, path)
    elif kind == "link to the FASTA":
        os.symlink(os.path.basename(fasta), path)
    return str(path)


@pytest.mark.parametrize("cls", ["Faidx", "Fasta"])
@pytest.mark.parametrize("kind, rebuild, message", [
    ("fifo", True, "is not a regular file"),                  # stale: was renamed over
    ("fifo", False, "is not a regular file"),                 # fresh: the read blocked
    ("device", True, "is not a regular file"),
    ("link to /dev/zero", False, "is not a regular file"),    # read until memory ran out
    ("the FASTA", True, "is the FASTA file itself"),
    ("hard link to the FASTA", True, "is the FASTA file itself"),
    ("link to the FASTA", False, "is the FASTA file itself"),
])
def test_index_path_that_is_no_index_file(tmp_path, cls, kind, rebuild, message):
    fasta = make_fasta(tmp_path)
    index = make_node(tmp_path / "index", kind, fasta)
    if rebuild and kind != "the FASTA":
        os.utime(index, (1, 1), follow_symlinks=False)  # older than the FASTA
    before = os.lstat(index)
    got = python(f"""
        import nucla
        try:
            nucla.{cls}({fasta!r}, indexname={index!r}, rebuild={rebuild})
        except Exception as e:
            print(e)
    """)
    assert got.stdout.startswith("IOError: ") and message in got.stdout, got
    after = os.lstat(index)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert pathlib.Path(fasta).read_text() == RECORDS
    assert sorted(os.listdir(tmp_path)) == sorted({"x.fa", os.path.basename(index)})


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("layout", ["relative", "absolute", "chain", "dangling"])
def test_stale_index_is_written_through_its_link(tmp_path, compressed, layout):
    expected = reference_indexes(tmp_path, compressed)
    work, shared = tmp_path / "work", tmp_path / "shared"
    work.mkdir()
    shared.mkdir()
    fasta = make_fasta(work, compressed)
    for suffix in expected:
        target = shared / ("x.fa" + suffix)
        if layout != "dangling":
            target.write_bytes(b"old\t1\t1\t1\t2\n")
            os.utime(target, (1, 1))
        link = work / ("x.fa" + suffix)
        if layout == "chain":
            os.symlink(target, work / ("hop" + suffix))
            target = work / ("hop" + suffix)
        os.symlink(target if layout != "relative" else os.path.relpath(target, work), link)
    assert str(nucla.Faidx(fasta).fetch("a", 2, 10)) == "CGTACGTAC"
    for suffix, data in expected.items():
        link = work / ("x.fa" + suffix)
        assert link.is_symlink()
        assert (shared / ("x.fa" + suffix)).read_bytes() == data
    assert len(os.listdir(shared)) == len(expected)


@pytest.mark.parametrize("compressed", [False, True])
def test_writer_killed_mid_write_leaves_no_temporary(tmp_path, compressed):
    text = "".join(f">s{i}\n" + "ACGT" * 20 + "\n" for i in range(3000))
    fasta = make_fasta(tmp_path, compressed, text=text, largest=300)
    got = python(f"""
        import resource, signal, nucla
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # the first write past 4 KiB ends us
        nucla.Faidx({fasta!r})
    """)
    assert got.returncode == -signal.SIGXFSZ, got
    left = sorted(os.listdir(tmp_path))
    if PORTABLE:  # the named temporary stays: no later writer can tell it was left by the dead
        assert left[0] == "x.fa" and len(left) == 2, left
        assert re.fullmatch(r"x\.fa\.(fai|gzi)\.tmp\.[0-9a-f]{16}", left[1]), left
    else:
        assert left == ["x.fa"]


@pytest.mark.parametrize("compressed", [False, True])
def test_files_named_like_temporaries_are_left_alone(tmp_path, compressed):
    # Names that writers once used: with this process's own pid (a killed writer whose pid came
    # back, or pid 1 of another container on a shared volume) and, an hour old, with a pid not
    # alive here (a user's file, or the live temporary of a writer on another host).
    expected = reference_indexes(tmp_path, compressed)
    work = tmp_path / "work"
    work.mkdir()
    fasta = make_fasta(work, compressed)
    got = python(f"""
        import os, subprocess, time, nucla
        dead = subprocess.Popen(["true"])
        dead.wait(timeout=60)
        for suffix in ("fai", "gzi"):
            for pid in (os.getpid(), dead.pid):
                for serial in (0, 1):
                    path = f"{fasta}.{{suffix}}.tmp.{{pid}}.{{serial}}"
                    with open(path, "w") as f:
                        f.write("planted")
                    os.utime(path, (time.time() - 3600,) * 2)
        print(nucla.Faidx({fasta!r}).keys)
    """)
    assert (got.stdout, got.stderr) == ("['a', 'b']\n", ""), got
    planted = [name for name in os.listdir(work) if ".tmp." in name]
    assert len(planted) == 8 and all((work / n).read_text() == "planted" for n in planted)
    indexes = ["x.fa" + suffix for suffix in expected]
    assert sorted(set(os.listdir(work)) - set(planted)) == sorted(["x.fa", *indexes])
    for suffix, data in expected.items():
        assert (work / ("x.fa" + suffix)).read_bytes() == data


@pytest.mark.parametrize("cls", [nucla.Faidx, nucla.Fasta])
@pytest.mark.parametrize("indexname", [None, "idx/x.fai"])
def test_pickled_copy_reads_the_same_file_from_another_directory(tmp_path, monkeypatch, cls,
                                                                  indexname):
    mine, other = tmp_path / "mine", tmp_path / "other"
    for d, bases in ((mine, "ACGTACGTAC"), (other, "GGGGGGGGGG")):
        (d / "idx").mkdir(parents=True)
        (d / "x.fa").write_text(f">a\n{bases}\n")
    monkeypatch.chdir(mine)
    obj = cls("x.fa", indexname=indexname)
    monkeypatch.chdir(other)
    copy = pickle.loads(pickle.dumps(obj))
    fetch = (lambda o: o.fetch("a", 1, 10)) if cls is nucla.Faidx else (lambda o: o["a"][:])
    assert str(fetch(copy)) == str(fetch(obj)) == "ACGTACGTAC"
    assert repr(obj) == f'{cls.__name__}("x.fa")'
    assert os.listdir(other / "idx") == []


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("content", [
    "This is a README.\nIt has lines.\n",
    "@read1\nACGT\n+\nIIII\n@read2\nGG\n+\nII\n",
    "ACGTACGT\nACGT\n",
    "\n",
])
def test_file_without_a_header_is_refused(tmp_path, content, compressed):
    path = make_fasta(tmp_path, compressed, text=content)
    with pytest.raises(Exception, match="^FastaIndexingError: no FASTA header line") as info:
        nucla.Fasta(path)
    assert ("FASTQ" in str(info.value)) == content.startswith("@")
    assert os.listdir(tmp_path) == ["x.fa"]


@pytest.mark.parametrize("compressed", [False, True])
def test_empty_file_is_a_fasta_without_records(tmp_path, compressed):
    path = make_fasta(tmp_path, compressed, text="")
    assert nucla.Fasta(path).keys() == []


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("text, names", [
    (RECORDS, ["a", "b"]),
    (">\nACGT\n> \t\r\nGG\n>b desc\nTTTT\n", ["b"]),  # its one record after nameless ones
    ("", []),
    (">\nACGT\n> \t\r\nGG\n", []),                     # headers without names index nothing
])
@pytest.mark.parametrize("options", [{}, {"rebuild": False}, {"build_index": False}])
def test_empty_index_of_a_fasta_with_records_is_stale(tmp_path, capfd, compressed, text, names,
                                                      options):
    expected = reference_indexes(tmp_path, compressed, text)[".fai"]
    fasta = make_fasta(tmp_path, compressed, text=text)
    pathlib.Path(fasta + ".fai").write_text("")  # newer than the FASTA: a writer that died early
    capfd.readouterr()
    keys = nucla.Faidx(fasta, **options).keys
    err = capfd.readouterr().err
    if names and options:
        assert (keys, pathlib.Path(fasta + ".fai").read_bytes()) == ([], b"")
        assert err == (f"WARNING: the index {fasta}.fai has no rows, but {fasta} has records; "
                       "they cannot be read until the index is rebuilt\n")
    else:
        assert (keys, pathlib.Path(fasta + ".fai").read_bytes()) == (names, expected)
        assert err == ""


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("text, skipped", [
    ("a 11 3 8 9\nb 4 21 4 5\nc 4 21 4 5\n", 3),  # spaces for tabs
    ("a\t11\t3\t8\nb\t4\t21\t4\n", 2),            # four fields
    ("# made by hand\n\na\t11\t3\t8\t9\n", 1),    # a blank line is no row
    ("a\t11\t3\t8\t9\n\n", 0),
])
def test_malformed_index_rows_are_reported_once(tmp_path, capfd, compressed, text, skipped):
    path = make_fasta(tmp_path, compressed)
    pathlib.Path(path + ".fai").write_text(text)
    keys = nucla.Faidx(path).keys
    assert len(keys) == text.count("\t11\t3\t8\t9\n")
    err = capfd.readouterr().err
    if skipped:
        assert err == (f"WARNING: skipped {skipped} malformed row{'s' * (skipped > 1)} "
                       f"(not 5 tab-separated fields) of the index {path}.fai\n")
    else:
        assert err == ""


@pytest.mark.parametrize("make, message", [
    (lambda d: (str(d / "x.fa") + "\0junk", {}), "FastaNotFoundError: {fasta}"),
    (lambda d: (str(d / "x.fa"), {"indexname": str(d / "i.fai") + "\0x"}),
     "IOError: {index}: the path holds a NUL byte, so it names no file"),
    (lambda d: (str(d / "x.fa"), {"indexname": str(d / "i.fai") + "\0x", "build_index": False}),
     "IndexNotFoundError: {index}"),
])
@pytest.mark.parametrize("cut_index_exists", [False, True])
def test_path_with_a_nul_names_no_file(tmp_path, make, message, cut_index_exists):
    make_fasta(tmp_path)
    if cut_index_exists:
        (tmp_path / "i.fai").write_text("z\t1\t3\t1\t2\n")
    listing = sorted(os.listdir(tmp_path))
    fasta, options = make(tmp_path)
    with pytest.raises(Exception) as info:
        nucla.Faidx(fasta, **options)
    assert str(info.value) == message.format(fasta=fasta, index=options.get("indexname"))
    assert sorted(os.listdir(tmp_path)) == listing
    if cut_index_exists:
        assert (tmp_path / "i.fai").read_text() == "z\t1\t3\t1\t2\n"


def read_only_runner(directory):
    """A command prefix that runs a command with `directory` mounted read-only, in a mount
    namespace of its own; skips the test where this system allows none."""
    unshare = shutil.which("unshare")
    if unshare is None:
        pytest.skip("unshare is not installed")
    d = str(directory)
    mount = (f"mount --bind '{d}' '{d}' && mount -o remount,bind,ro '{d}' '{d}' && "
             f"! touch '{d}/.probe' 2>/dev/null && exec \"$@\"")
    for flags in (["-m"], ["-r", "-m"]):
        prefix = [unshare, *flags, "--propagation", "private", "sh", "-c", mount, "sh"]
        if subprocess.run([*prefix, "true"], capture_output=True, timeout=60).returncode == 0:
            return prefix
    pytest.skip("no read-only mount can be made here (needs a mount namespace)")


# How writing into a directory is refused, with the number of the system's error.
REFUSALS = {"Read-only file system": 30, "Permission denied": 13, "File too large": 27}


def refusing_runner(directory, refusal, request):
    """A command prefix that runs a command for which writing a file into `directory` fails
    with `refusal`; skips the test where this system cannot arrange that."""
    if refusal == "Read-only file system":
        return read_only_runner(directory)
    if refusal == "File too large":  # no file may grow past 0 bytes, and growing is no signal
        return ["sh", "-c", 'trap "" XFSZ; ulimit -f 0 && exec "$@"', "sh"]
    os.chmod(directory, 0o555)  # a shared folder owned by someone else
    request.addfinalizer(lambda: os.chmod(directory, 0o755))
    prefix = []
    if os.geteuid() == 0:  # root writes anywhere unless it gives up the capability to
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("setpriv is not installed")
        caps = "-dac_override,-dac_read_search"
        prefix = [setpriv, f"--inh-caps={caps}", f"--bounding-set={caps}"]
    probe = subprocess.run([*prefix, "sh", "-c", f"! touch '{directory}/.probe' 2>/dev/null"],
                           timeout=60)
    if probe.returncode != 0:
        pytest.skip("this process can write into a directory without write permission")
    return prefix


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("existing", ["stale", "missing"])
@pytest.mark.parametrize("refusal", REFUSALS)
def test_index_that_cannot_be_written_is_used_from_memory(tmp_path, request, compressed,
                                                          existing, refusal):
    fasta = make_fasta(tmp_path, compressed)
    files = [fasta + ".gzi", fasta + ".fai"] if compressed else [fasta + ".fai"]
    if existing == "stale":
        for path in files:
            pathlib.Path(path).write_text("a\t1\t3\t1\t2\n")
            os.utime(path, (1, 1))
    listing = sorted(os.listdir(tmp_path))
    prefix = refusing_runner(tmp_path, refusal, request)
    code = (f"import nucla; print(nucla.Fasta({fasta!r}).keys(), "
            f"str(nucla.Faidx({fasta!r}).fetch('a', 8, 11)))")
    got = subprocess.run([*prefix, sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert got.stdout == "['a', 'b'] TACG\n", got
    reason = refusal[0].lower() + refusal[1:]
    warning = f"WARNING: could not write {', '.join(files)} ({reason}); " \
              "using the index scanned in memory\n"
    assert got.stderr == warning * 2
    assert sorted(os.listdir(tmp_path)) == listing


@pytest.mark.parametrize("refusal", REFUSALS)
def test_index_that_cannot_be_written_in_the_tool(tmp_path, request, refusal):
    if CLI is None:
        pytest.skip("the nucla command is not built")
    fasta = make_fasta(tmp_path)
    prefix = refusing_runner(tmp_path, refusal, request)
    got = subprocess.run([*prefix, CLI, fasta, "b"], capture_output=True, timeout=60)
    assert (got.returncode, got.stdout) == (0, b">b\nTTTT\n")
    assert got.stderr.startswith(b"WARNING: could not write " + fasta.encode() + b".fai")
    # Writing the index is the whole point of the index mode: there it is an error.
    got = subprocess.run([*prefix, CLI, fasta], capture_output=True, timeout=60)
    assert got.returncode == 1
    assert got.stderr == (f"nucla: IO error: {fasta}.fai: {refusal} "
                          f"(os error {REFUSALS[refusal]})\n").encode()
    assert os.listdir(tmp_path) == ["x.fa"]


@pytest.mark.parametrize("case, message", [
    ("index in a missing directory",
     r"^IOError: {d}/no/x.fai: No such file or directory \(os error 2\)$"),
    ("FASTA not UTF-8", r"^IOError: {f}: stream did not contain valid UTF-8$"),
    ("index not UTF-8", r"^IOError: {f}.fai: stream did not contain valid UTF-8$"),
])
def test_io_errors_name_their_file(tmp_path, case, message):
    fasta = make_fasta(tmp_path)
    options = {}
    if case == "index in a missing directory":
        options["indexname"] = str(tmp_path / "no" / "x.fai")
    elif case == "FASTA not UTF-8":
        pathlib.Path(fasta).write_bytes(b">a\nAC\xffGT\n")
    else:
        pathlib.Path(fasta + ".fai").write_bytes(b"a\t1\t3\t1\t2\xff\n")
    with pytest.raises(Exception, match=message.format(d=re.escape(str(tmp_path)),
                                                       f=re.escape(fasta))):
        nucla.Faidx(fasta, **options)
    assert set(os.listdir(tmp_path)) <= {"x.fa", "x.fa.fai"}
