"""Faults and concurrency: what a pipeline can throw at the library, and what it must survive."""
import os
import pathlib
import random
import re
import subprocess
import sys
import textwrap
import threading

import pytest

import nucla
from conftest import random_regions


@pytest.mark.parametrize("mutable", [False, True])
def test_threads_sharing_one_fasta(random_fasta, mutable):
    path, seqs = random_fasta(random.Random(11), length=(100, 4000), alphabet="ACGTacgtNN")
    fasta = nucla.Fasta(path, mutable=mutable)
    failures = []

    def work(seed):
        for name, a, b in random_regions(random.Random(seed), seqs, 400):
            if str(fasta[name][a - 1:b]) != seqs[name][a - 1:b]:
                failures.append((name, a, b))
        regions = [(name, 1, 50) for name in seqs] * 150
        if [str(s) for s in fasta.fetch_many(regions)] != [seqs[n][:50] for n, _, _ in regions]:
            failures.append("batch")

    threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


def test_rewritten_fasta_is_reindexed(write_fasta):
    path = write_fasta(">a\nACGT\n")
    assert str(nucla.Fasta(path)["a"]) == "ACGT"
    stamp = os.stat(path + ".fai").st_mtime_ns
    pathlib.Path(path).write_text(">a\nGGGGCC\n>b\nT\n")
    os.utime(path, ns=(stamp + 1000, stamp + 1000))
    fasta = nucla.Fasta(path)
    assert str(fasta["a"]) == "GGGGCC" and fasta.keys() == ["a", "b"]


def test_failed_index_write_leaves_the_old_index(random_fasta):
    path, seqs = random_fasta(random.Random(2), "x.fa", records=2000, length=(100, 4000))
    pathlib.Path(path + ".fai").write_text("old\t1\t5\t1\t2\n")
    os.utime(path + ".fai", (1, 1))  # stale: the next open rebuilds
    code = f"""
        import resource, signal, nucla
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        print(len(nucla.Faidx({path!r}).keys))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=60)
    # The open goes on with the rows it scanned.
    assert (result.stdout, result.stderr) == (f"{len(seqs)}\n", f"WARNING: could not write "
                                              f"{path}.fai (file too large); using the index "
                                              "scanned in memory\n")
    assert pathlib.Path(path + ".fai").read_text() == "old\t1\t5\t1\t2\n"
    assert sorted(os.listdir(os.path.dirname(path))) == ["x.fa", "x.fa.fai"]


@pytest.mark.parametrize("content, message", [
    (b"", None),
    (bytes(range(256)) * 4, "^IOError: .*: stream did not contain valid UTF-8$"),
    (b"\x00\x01>\x02\n", "^FastaIndexingError: no FASTA header line"),
    (b">a\n" + "ACGT\u00e9".encode() + b"\n", None),
])
def test_odd_files(write_fasta, content, message):
    path = write_fasta(content)
    if message:
        with pytest.raises(Exception, match=message):
            nucla.Fasta(path)
    else:
        fasta = nucla.Fasta(path)
        for name in fasta.keys():
            str(fasta[name])


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads everything")
def test_unreadable_file(write_fasta):
    path = write_fasta(">a\nA\n")
    os.chmod(path, 0)
    message = rf"^IOError: {re.escape(path)}: Permission denied \(os error 13\)$"
    with pytest.raises(Exception, match=message):
        nucla.Fasta(path)


@pytest.mark.parametrize("key", [None, 1.5, b"a", ("a",), -1, 2**64])
def test_bad_keys_never_crash(write_fasta, key):
    fasta = nucla.Fasta(write_fasta(">a\nACGT\n"))
    with pytest.raises((TypeError, KeyError, IndexError, OverflowError)):
        fasta[key]
    with pytest.raises((TypeError, OverflowError)):
        fasta.get_seq(key, 1, 2) if not isinstance(key, int) else fasta.get_seq("a", key, 2)
