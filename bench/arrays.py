"""Array workloads regions as numpy arrays, the form machine-learning loaders want.

Fixed windows (`win_*`): seeded windows of WIDTH bases centred on random bases of the genome
(so a few reach past a sequence's ends, where every route pads: N, code 4, all-zero one-hot),
as ASCII uint8 [N, WIDTH], integer codes (A 0, C 1, G 2, T 3, else 4) [N, WIDTH] or one-hot
uint8 [N, WIDTH, 4], into a new array or (`win_onehot_out`) into a caller's array made and
touched beforehand.  Variable lengths (`packed`): the regions of many.bed as one uint8 array
of the file's bytes and int64 offsets (Arrow's layout).  Every region is on the plus strand.

Routes: pysam and pyfastx (a loop making strings, then numpy; the best numpy route for each
encoding), GenomeKit (the same on its own 2bit genome), nucla `fetch_many` + numpy (`nucla_many`),
nucla's array calls (`nucla`: `fetch_windows` / `fetch_packed`, when the build has them) and the
C++ floor (`floor_c`, bench/floor/arrays.cpp).  The input is columns (names, starts, ends as
numpy int64); clamping, padding and encoding are part of each timed route.

`gil`: how much a second Python thread progresses while one batch runs in the main thread
(nucla: a `fetch_windows` batch of codes; nucla_many: `fetch_many` of the many.bed regions),
against its progress alone in the same process.  `mem_windows`, `mem_packed`: peak private
memory of one call (windows as codes), beyond the file's mapped pages, against the output's size.
"""
import os

# numpy is imported only by the array workloads' own processes (array_routes.py), so that the
# other workloads' peak memory stays what it was.
WIDTH = 1000
WINDOWS = 100_000  # at scale 1
ENCODING = {"win_bytes": "bytes", "win_codes": "codes", "win_onehot": "onehot",
            "win_onehot_out": "onehot", "packed": "bytes", "mem_windows": "codes",
            "mem_packed": "bytes", "gil": "codes"}
TIMED = ["win_bytes", "win_codes", "win_onehot", "win_onehot_out", "packed"]
WORKLOADS = TIMED + ["gil", "mem_windows", "mem_packed"]
ROUTES = ["nucla", "nucla_many", "pysam", "pyfastx", "genomekit", "floor_c"]
ROUTES_FOR = dict({w: ROUTES for w in TIMED}, gil=["nucla", "nucla_many"],
                  mem_windows=ROUTES[:-1], mem_packed=ROUTES[:-1])


class NotApplicable(Exception):
    """The route has no way to run this workload."""


def floor_program(m):
    return os.path.join(m["dir"], "floor-arrays")


def genomekit_dir(m):
    return os.path.join(m["dir"], "genomekit")


def measure(tool, workload, m, check):
    """Run one array workload (or GenomeKit's untimed "prepare") for one route: the worker's
    JSON fields."""
    if workload == "prepare":
        if tool == "genomekit":
            import genomekit_genome
            genomekit_genome.make(genomekit_dir(m), os.path.join(m["dir"], "genome.fa"))
        return {"seconds": 0.0}
    if tool not in ROUTES_FOR.get(workload, ()):
        raise NotApplicable(f"{tool} has no route for {workload}")
    import array_routes
    return array_routes.measure(tool, workload, m, check)
