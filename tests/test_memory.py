"""Memory that calls leave behind: a thread's scratch after a long one-hot window, and the huge
pages of an index of a megabyte or two. Each case runs in a fresh process, which reads its own
memory figures from /proc."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

THP = pathlib.Path("/sys/kernel/mm/transparent_hugepage/enabled")

MEASURE = """
    import nucla

    def kib(field, source="/proc/self/status"):
        for line in open(source):
            if line.startswith(field + ":"):
                return int(line.split()[1])
        return 0
"""


def run(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(MEASURE) + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_a_long_one_hot_window_leaves_no_scratch(write_fasta):
    pytest.importorskip("numpy")
    path = write_fasta(">a\nACGTACGTAC\n")
    # 32 Mbases, nearly all padding around the record.
    before, after = map(int, run(f"""
        fa = nucla.Fasta({path!r})
        fa.fetch_windows(["a"], [0], [1], 1, encoding="onehot")
        before = kib("RssAnon")
        fa.fetch_windows(["a"], [-16 << 20], [16 << 20], 32 << 20, encoding="onehot")
        print(before, kib("RssAnon"))
    """))
    assert after - before < 8 << 10


@pytest.mark.skipif(not THP.exists() or "[madvise]" not in THP.read_text(),
                    reason="huge pages are asked for only where the system gives them on request")
def test_an_index_of_a_megabyte_takes_no_huge_pages(tmp_path):
    path = tmp_path / "many.fa"
    path.write_text("".join(f">scaffold_{i:06d}\nACGTACGT\n" for i in range(40000)))
    huge = run(f"""
        rollup = "/proc/self/smaps_rollup"
        before = kib("AnonHugePages", rollup)
        opened = [nucla.Faidx({str(path)!r}) for _ in range(10)]
        print(kib("AnonHugePages", rollup) - before)
    """)
    assert (tmp_path / "many.fa.fai").stat().st_size > 1 << 20
    assert huge == ["0"]
