"""The benchmark suite runs end to end at a tiny size (the real runs are by hand)."""
import json
import os
import pathlib
import subprocess
import sys

import nucla

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "run.py"


def test_bench_smoke(tmp_path):
    env = dict(os.environ, NUCLA_BENCH_CACHE=str(tmp_path / "cache"),
               PYTHONPATH=os.pathsep.join(filter(None, [str(pathlib.Path(nucla.__file__).parent),
                                                        os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(BENCH), "--smoke", "--out", str(tmp_path / "out")],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    results = json.loads((tmp_path / "out" / "results.json").read_text())
    # Every workload ran for nucla and gave a time, the array workloads by their nucla_many
    # route too.
    arrays = {"win_bytes", "win_codes", "win_onehot", "win_onehot_out", "packed", "gil",
              "mem_windows", "mem_packed"}
    assert arrays <= results["cells"].keys()
    assert all(cells["nucla"]["seconds"] > 0 for cells in results["cells"].values())
    assert all(results["cells"][w]["nucla_many"]["seconds"] > 0 for w in arrays)
    # A peer that is not installed is n/a, not a problem. The outputs of every route agreed
    # (a difference is a problem).
    assert results["problems"] == []
    assert (tmp_path / "out" / "results.md").read_text().startswith("# nucla benchmark results")
