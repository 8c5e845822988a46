"""Files that change under an open object: a FASTA that shrinks while open makes every reader
raise an error naming it (never a crash, never a short or padded result), an index whose rows do
not fit its FASTA is rebuilt like an older one, and a record's lines end where its data does.

Whatever could crash or hang runs in a child process with a timeout.
"""

import json
import os
import pathlib
import random
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import nucla
from conftest import EOF_BLOCK, bgzf_block, random_fasta_text

CHANGED = "the file ended early (it was truncated or changed while open)"


def run_child(code, *args, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def two_records(tmp_path, bgzf):
    """Records a and b of 70,000 bases each in 60-base lines, plain or in 60,000-byte BGZF
    blocks; returns (path, a, where to cut so that a's first bases stay and b is lost)."""
    text, seqs = random_fasta_text(random.Random(5), ["a", "b"], length=[70000, 70000],
                                   alphabet="ACGT")
    text = text.encode()
    path = tmp_path / "g.fa"
    if not bgzf:
        path.write_bytes(text)
        return str(path), seqs["a"], text.index(b">b") + 10
    blocks = [bgzf_block(text[i:i + 60000]) for i in range(0, len(text), 60000)]
    path.write_bytes(b"".join(blocks) + EOF_BLOCK)
    return str(path), seqs["a"], len(blocks[0]) + 10  # into the block where b starts


READ_AFTER_CUT = """
    import json, os, sys, nucla
    path, cut, mutable = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "True"
    fx = nucla.Faidx(path, mutable=mutable)
    fa = nucla.Fasta(path, mutable=mutable)
    padded = nucla.Fasta(path, mutable=mutable, default_seq="N")
    os.truncate(path, cut)
    many = [("b", s, s + 99) for s in range(1, 1001)]
    calls = {
        "kept": lambda: str(fx.fetch("a", 1, 100)),
        "fetch": lambda: fx.fetch("b", 1, 100),
        "padded": lambda: padded.get_seq("b", 1, 100),
        "entire": lambda: fx.fetch_entire_sequence("b"),
        "record": lambda: str(fa["b"]),
        "lines": lambda: list(fa["b"]),
        "batch": lambda: fa.fetch_many(many[:10]),
        "parallel": lambda: fa.fetch_many(many),
        "parallel_same_chr": lambda: fx.fetch_many_same_chr("b", [r[1:] for r in many]),
    }
    out = {}
    for name, call in calls.items():
        try:
            out[name] = call() if name == "kept" else repr(call())[:80]
        except Exception as e:
            out[name] = f"{type(e).__name__}: {e}"
    print(json.dumps(out))
"""


@pytest.mark.parametrize("bgzf", [False, True], ids=["plain", "bgzf"])
@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "descriptor"])
@pytest.mark.parametrize("keep", [False, True], ids=["emptied", "cut"])
def test_every_reader_raises_after_the_file_shrinks(tmp_path, bgzf, mutable, keep):
    path, a, cut = two_records(tmp_path, bgzf)
    child = run_child(READ_AFTER_CUT, path, cut if keep else 0, mutable)
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    kept = out.pop("kept")
    if keep:  # what is left of the file still reads
        assert kept == a[:100]
    error = f"{path}: {CHANGED}"
    assert out == {
        **{name: f"Exception: IOError: {error}"
           for name in ("fetch", "padded", "entire", "record", "lines", "batch")},
        "parallel": f"RuntimeError: Error fetching region 0: IO error: {error}",
        "parallel_same_chr": f"RuntimeError: Error fetching region 0 from b: IO error: {error}",
    }


LONG_AFTER_CUT = """
    import os, sys
    os.environ["RAYON_NUM_THREADS"] = "3"
    import nucla
    cut, intact = sys.argv[1:3]
    fx, ok = nucla.Faidx(cut), nucla.Faidx(intact)
    size = len(ok.fetch_entire_sequence("a"))
    os.truncate(cut, int(sys.argv[3]))
    for _ in range(3):
        try:
            fx.fetch("a", 1, size)
        except Exception as e:
            print(e)
        # A fault in a piece leaves the threads that read the other pieces fit for more.
        print(len(ok.fetch("a", 1, size)) == size, len(ok.fetch_many([("a", 1, 9)] * 2000)))
"""


@pytest.mark.parametrize("cut", [0, 3 << 20])
def test_a_long_fetch_read_by_threads_raises_after_the_file_shrinks(tmp_path, cut):
    """From 16 Mbases on, a fetch's pieces are read on the pool's threads, where the fault of a
    shrunk file must become the same error."""
    text = b">a\n" + (b"ACGTTGCA" * 7 + b"ACGT\n") * ((17 << 20) // 60 + 1)  # 17 Mbases
    intact, shrunk = tmp_path / "intact.fa", tmp_path / "shrunk.fa"
    for path in (intact, shrunk):
        path.write_bytes(text)
    child = run_child(LONG_AFTER_CUT, shrunk, intact, cut)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [f"IOError: {shrunk}: {CHANGED}", "True 2000"] * 3


# What the SIGBUS handler leaves to others: (code, whether the child must survive, what it
# prints). The code runs with a mapped Faidx `fx` of `path` in scope.
FOREIGN_FAULT = """
    other = open(path + ".other", "w+b")
    other.write(b"x" * 65536)
    other.flush()
    view = mmap.mmap(other.fileno(), 0)
    other.truncate(0)
    view[40000]
"""
HANDLERS = {
    "faulthandler_enabled_later": (
        "faulthandler.enable(); os.truncate(path, 0); fx.fetch('b', 1, 100)", True, CHANGED),
    "fork": ("""
        pid = os.fork()
        if pid == 0:
            os.truncate(path, 0)
            try:
                fx.fetch('b', 1, 100)
            except Exception as e:
                print('child', e, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        fx.fetch('b', 1, 100)
    """, True, CHANGED),
    # The default action put back (as faulthandler.disable() does when faulthandler came
    # first): the next file mapped puts the handler back.
    "default_action_put_back": ("""
        signal.signal(signal.SIGBUS, signal.SIG_DFL)
        nucla.Faidx(path)
        os.truncate(path, 0)
        fx.fetch('b', 1, 100)
    """, True, CHANGED),
    "another_maps_fault": (FOREIGN_FAULT, False, None),
    "another_maps_fault_under_faulthandler": (
        "faulthandler.enable()\n" + textwrap.dedent(FOREIGN_FAULT), False,
        "Fatal Python error: Bus error"),
    "a_sent_sigbus": ("os.kill(os.getpid(), signal.SIGBUS)", False, None),
}
SCENARIO = """
    import faulthandler, mmap, os, signal, sys, textwrap, nucla
    path = sys.argv[1]
    fx = nucla.Faidx(path)
    try:
        exec(textwrap.dedent(sys.argv[2]))
    except Exception as e:
        print(e)
    print("survived")
"""


@pytest.mark.parametrize("scenario", HANDLERS)
def test_the_sigbus_handler_handles_only_its_own_faults(tmp_path, scenario):
    path, _, _ = two_records(tmp_path, False)
    code, survives, says = HANDLERS[scenario]
    child = run_child(SCENARIO, path, code)
    if survives:
        assert child.returncode == 0 and child.stdout.endswith("survived\n"), child.stderr
        assert child.stdout.count(CHANGED) == (2 if scenario == "fork" else 1)
    else:
        # Killed by the signal (or by a sanitizer's report of it), as without the handler.
        assert child.returncode == -signal.SIGBUS or "Sanitizer" in child.stderr, child.stderr
        assert "survived" not in child.stdout
        assert says is None or says in child.stderr


BUILD = """
    import sys, nucla
    print("ready", flush=True)
    try:
        nucla.Faidx(sys.argv[1])
        print("built")
    except Exception as e:
        print(e)
"""


def resident_pages(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1])
    except (FileNotFoundError, ProcessLookupError):  # the child has ended
        return 0


@pytest.mark.parametrize("bgzf", [False, True], ids=["plain", "bgzf"])
def test_shrinking_while_the_index_is_built(tmp_path, bgzf):
    # The file is cut once the child's scan has read some megabytes of it (seen in its
    # resident set); a scan that finishes first just retries.
    acgt = bytes(b"ACGT"[i % 4] for i in range(256))
    bases = random.Random(1).randbytes(32 << 20).translate(acgt)
    data = b">r\n" + b"\n".join(bases[i:i + 60] for i in range(0, len(bases), 60)) + b"\n"
    if bgzf:
        data = b"".join(bgzf_block(data[i:i + 65280], 1)
                        for i in range(0, len(data), 65280)) + EOF_BLOCK
    path = tmp_path / "big.fa"
    page = os.sysconf("SC_PAGESIZE")
    outcomes = []
    for _ in range(5):
        path.write_bytes(data)
        for ext in (".fai", ".gzi"):
            pathlib.Path(str(path) + ext).unlink(missing_ok=True)
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(BUILD), str(path)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert select.select([child.stdout], [], [], 60)[0], "the child never got ready"
        assert child.stdout.readline() == "ready\n"
        start = resident_pages(child.pid)
        deadline = time.monotonic() + 30
        while child.poll() is None and time.monotonic() < deadline:
            if (resident_pages(child.pid) - start) * page > (4 << 20):
                os.truncate(path, 1 << 20)
                break
        out, err = child.communicate(timeout=60)
        assert child.returncode == 0, err
        outcomes.append(out.strip())
        if out.strip() != "built":
            break
    assert outcomes[-1] == f"IOError: {path}: {CHANGED}", outcomes


def with_fresh_index(path, row):
    """Writes `row` as the index of `path`, a second newer than it (trusted by its time)."""
    pathlib.Path(path + ".fai").write_text(row + "\n")
    st = os.stat(path)
    os.utime(path + ".fai", ns=(st.st_mtime_ns + 10**9, st.st_mtime_ns + 10**9))
    return path


@pytest.mark.parametrize("bgzf", [False, True], ids=["plain", "bgzf"])
@pytest.mark.parametrize("row, fits", [
    ("a\t10\t3\t4\t5", False),                    # its last base lies past the end
    ("a\t4\t18446744073709551000\t4\t5", False),  # an offset that overflows
    ("a\t5\t3\t4\t5", False),                     # one base too many
    ("a\t4\t3\t4\t5", True),                      # exactly the file
    ("a\t2\t3\t4\t5", True),                      # a foreign row that fits is trusted
    ("a\t4\t3\t0\t0", True),                      # no full lines: only the offset counts
    ("a\t0\t8\t4\t5", True),                      # no bases, at the very end
    ("a\t0\t9\t4\t5", False),
    ("a\t4\t3\t4\t3", True),                      # lines of fewer bytes than bases
    ("a\t7\t3\t4\t3", False),
    ("a\t10\t3\t4\t5\na\t4\t3\t4\t5", True),      # a name's last row is the one that counts
    ("a\t4\t3\t4\t5\na\t10\t3\t4\t5", False),
])
def test_an_index_that_does_not_fit_is_stale(write_fasta, bgzf, row, fits):
    path = write_fasta(">a\nACGT\n")
    if bgzf:
        pathlib.Path(path + ".gz").write_bytes(bgzf_block(b">a\nACGT\n") + EOF_BLOCK)
        path += ".gz"
    with_fresh_index(path, row)
    for trusting in ({"rebuild": False}, {"build_index": False}):
        nucla.Faidx(path, **trusting)
        assert pathlib.Path(path + ".fai").read_text() == row + "\n"
    nucla.Faidx(path)
    expected = row if fits else "a\t4\t3\t4\t5"
    assert pathlib.Path(path + ".fai").read_text() == expected + "\n"


LINES = """
    import itertools, sys, nucla
    record = nucla.Fasta(sys.argv[1], rebuild=False, default_seq=sys.argv[2] or None)["t"]
    print([s.seq for s in itertools.islice(record, 4)])
"""


# Without padding the lines end with the data; padded, they cover what str(record) would, which
# for this row is more than memory holds.
@pytest.mark.parametrize("row, pad, chunks", [
    ("t\t18446744073709551615\t3\t5\t6", "", ["ACGTA", "CG"]),
    ("t\t18446744073709551615\t3\t5\t6", "N", ["ACGTA", "CGNNN", "NNNNN", "NNNNN"]),
    ("t\t18446744073709551615\t3\t0\t0", "", [""]),  # one chunk of the whole row
    ("t\t18446744073709551615\t3\t5\t0", "", ["ACGTA"]),  # lines that take no bytes
])
def test_lines_end_where_the_data_ends(write_fasta, row, pad, chunks):
    path = with_fresh_index(write_fasta(">t\nACGTA\nCG\n"), row)
    child = run_child(LINES, path, pad, timeout=20)
    assert child.returncode == 0, child.stderr
    assert child.stdout == f"{chunks}\n"
