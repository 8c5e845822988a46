"""The scripts in examples/ do what the README says of them."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CLI

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Header lines, a named row on the minus strand (printed as it is without -s), a row separated
# by spaces, an indented empty row and one that runs past its sequence's end.
BED = ("track name=peaks\n#chrom\tstart\tend\nbrowser position chr1\n\n"
       "chr1\t0\t130\tpeak1\t0\t-\nchr2 5 70 .\n  chr1\t10\t10\nchr2\t1500\t1600\n")


def run(args, timeout=60):
    return subprocess.run(args, capture_output=True, timeout=timeout)


@pytest.mark.parametrize("own_bed", [False, True], ids=["ex1.bed", "odd-rows"])
def test_main_job_prints_what_the_tool_prints(tmp_path, own_bed):
    if CLI is None:
        pytest.fail("the nucla command is not installed (pip install . puts it beside python)")
    fasta, bed = EXAMPLES / "ex1.fa", EXAMPLES / "ex1.bed"
    args = []  # the README's form: the files beside the script
    if own_bed:
        fasta = Path(shutil.copy(fasta, tmp_path))
        bed = tmp_path / "odd.bed"
        bed.write_text(BED)
        args = [fasta, bed]
    script = run([sys.executable, EXAMPLES / "main_job.py", *args])
    tool = run([CLI, fasta, "--bed", bed])
    assert script.returncode == tool.returncode == 0, script.stderr + tool.stderr
    assert script.stdout.startswith(b">chr1:100-159\nAGGGG" if not own_bed else b">peak1\nCACTAGTGGC")
    assert script.stdout == tool.stdout


def test_dask_example_without_arguments_prints_its_usage():
    result = run([sys.executable, EXAMPLES / "dask_bed.py"])
    assert result.returncode == 2
    assert result.stderr.startswith(b"usage: dask_bed.py")


def test_readme_personal_genome_example_runs():
    """The README's example runs from the repository's root as it stands."""
    pytest.importorskip("numpy")
    if b"VCF: htslib" not in run([CLI or "nucla", "--version"]).stdout:
        pytest.skip("this build has no htslib")
    readme = (EXAMPLES.parent / "README.md").read_text()
    section = readme.split("## Personal genomes", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    script = code + "\nassert x.shape == (2, 2, 2, 64, 4) and w.shape == (2, 2, 256, 4)\n"
    result = subprocess.run([sys.executable, "-c", script], cwd=EXAMPLES.parent,
                            capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
