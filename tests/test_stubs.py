"""The type stubs: mypy --strict accepts typed use of the API (typing_example.py), the installed
stub package is the one in the source tree, and stubtest finds the stubs true to the module."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import nucla

HERE = Path(__file__).resolve().parent
STUB_DIR = HERE.parent / "src"  # holds nucla.pyi
EXAMPLE = HERE / "typing_example.py"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, cwd, mypypath=None):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypypath:
        env["MYPYPATH"] = str(mypypath)
    # The module itself must import in the child as it does here (stubtest imports it).
    module_dir = str(Path(nucla.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


@needs_mypy
def test_strict_example(cache_dir, tmp_path):
    result = run_mypy(
        ["mypy", "--strict", "--cache-dir", str(cache_dir), str(EXAMPLE)], tmp_path, STUB_DIR
    )
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_installed_stub_package(cache_dir, tmp_path):
    installed = Path(nucla.__file__).parent / "nucla-stubs" / "__init__.pyi"
    if not installed.exists():
        pytest.skip("nucla is not imported from an installed wheel")
    assert installed.read_text() == (STUB_DIR / "nucla.pyi").read_text()
    result = run_mypy(["mypy", "--strict", "--cache-dir", str(cache_dir), str(EXAMPLE)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stubs_match_the_module(tmp_path):
    # Sequence iterates through indexing; the stubs say __iter__ so that checkers know.
    allow = ["nucla.Sequence.__iter__"]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(allow) + "\n")
    result = run_mypy(
        ["mypy.stubtest", "nucla", "--allowlist", str(allowlist)], tmp_path, STUB_DIR
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_runs(tmp_path, capfd):
    path = tmp_path / "ex.fa"
    path.write_text(">chr1\nACGTA\nCGTAC\n>chr2\nNNAC\n")
    found = importlib.util.spec_from_file_location("typing_example", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    assert example.use_fasta(str(path)) == ["chr1", "chr2"]
    assert example.use_record(str(path)) == "ACGTACGTAC"
    assert example.use_sequence() == -1
    assert example.use_faidx(str(path)).seq == "ACGTACGTAC"
    assert [str(s) for s in example.use_batches(str(path))] == [
        "AC", "CG", "AC", "GT", "AC", "GT", "ACG", "ACG"]
    assert capfd.readouterr().err == ""
