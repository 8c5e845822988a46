"""Remote references: the bench genome read by URL from nginx on loopback, behind a proxy that
adds 1 ms to every request (about what a server in the same region costs).

    python3 bench/remote.py [DATA_DIR] [--rounds N]

DATA_DIR is the bench data directory (default ~/.cache/nucla-bench, made by bench/run.py):
genome.fa and genome.fa.gz with their indexes. Needs nginx (Debian's package) and pysam.
For the plain and the bgzip file, `--rounds` times (default 3; medians printed), each round on
a newly opened object, so that it starts cold:

  open        requests and bytes of Faidx(url), and its time
  cold        a 100-base fetch after opening: requests and bytes; then a second 100-base
              fetch in the same block: requests
  batch       10,000 random regions of 100 to 500 bases in one fetch_many: time, requests,
              bytes, and the bytes of the distinct blocks they touch (16 KiB blocks of the
              plain file, BGZF blocks of the bgzip one)
  pysam       pysam.FastaFile on the same URL, a fetch per region: time and bytes, measured on
              the first 1,000 regions and scaled to 10,000

Request counts and bytes are nginx's own (its access log, body bytes actually sent).
"""
import bisect
import os
import random
import statistics
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import remote_servers as servers  # noqa: E402

BLOCK = 16 * 1024  # the engine's block size
REGIONS = 10_000
PYSAM_REGIONS = 1_000


def fai_rows(path):
    rows = {}
    with open(path) as f:
        for line in f:
            name, length, offset, bases, width = line.split("\t")[:5]
            rows[name] = (int(length), int(offset), int(bases), int(width))
    return rows


def byte_of(row, pos):
    """The (uncompressed) byte of 1-based base `pos` of a row."""
    _, offset, bases, width = row
    return offset + (pos - 1) // bases * width + (pos - 1) % bases


def touched_bytes(data, name, regions):
    """Bytes of the distinct blocks the regions lie in: 16 KiB blocks of a plain file, the
    compressed blocks of a bgzip one (from its .gzi)."""
    rows = fai_rows(os.path.join(data, name + ".fai"))
    spans = [(byte_of(rows[n], s), byte_of(rows[n], e)) for n, s, e in regions]
    if not name.endswith(".gz"):
        blocks = {b for a, z in spans for b in range(a // BLOCK, z // BLOCK + 1)}
        size = os.path.getsize(os.path.join(data, name))
        return sum(min(BLOCK, size - b * BLOCK) for b in blocks)
    with open(os.path.join(data, name + ".gzi"), "rb") as f:
        raw = f.read()
    n = struct.unpack_from("<Q", raw)[0]
    pairs = [struct.unpack_from("<QQ", raw, 8 + 16 * i) for i in range(n)]
    coffsets = [0] + [c for c, _ in pairs] + [os.path.getsize(os.path.join(data, name))]
    uoffsets = [0] + [u for _, u in pairs]
    blocks = set()
    for a, z in spans:
        blocks.update(range(bisect.bisect_right(uoffsets, a) - 1, bisect.bisect_right(uoffsets, z)))
    return sum(coffsets[b + 1] - coffsets[b] for b in blocks)


def since(server, mark):
    log = server.log()[mark:]
    return len(log), sum(r.sent for r in log)


def nucla_round(server, url, data, name, regions):
    import nucla

    out = {}
    mark = len(server.log())
    began = time.perf_counter()
    faidx = nucla.Faidx(url)
    out["open_s"] = time.perf_counter() - began
    out["open_requests"], out["open_bytes"] = since(server, mark)
    rows = fai_rows(os.path.join(data, name + ".fai"))
    longest = max(rows, key=lambda k: rows[k][0])
    middle = rows[longest][0] // 2
    mark = len(server.log())
    faidx.fetch(longest, middle, middle + 99)
    out["cold_requests"], out["cold_bytes"] = since(server, mark)
    mark = len(server.log())
    faidx.fetch(longest, middle + 200, middle + 299)
    out["warm_requests"], _ = since(server, mark)
    faidx = nucla.Faidx(url)
    mark = len(server.log())
    began = time.perf_counter()
    faidx.fetch_many(regions)
    out["batch_s"] = time.perf_counter() - began
    out["batch_requests"], out["batch_bytes"] = since(server, mark)
    return out


def pysam_round(server, url, regions):
    import pysam

    mark = len(server.log())
    began = time.perf_counter()
    fasta = pysam.FastaFile(url)
    for name, start, end in regions[:PYSAM_REGIONS]:
        fasta.fetch(name, start - 1, end)
    elapsed = time.perf_counter() - began
    fasta.close()
    requests, sent = since(server, mark)
    scale = len(regions) / PYSAM_REGIONS
    return {"batch_s": elapsed * scale, "batch_requests": requests * scale,
            "batch_bytes": sent * scale}


def main(data, rounds):
    rng = random.Random(20261208)
    rows = fai_rows(os.path.join(data, "genome.fa.fai"))
    names = [n for n in rows if rows[n][0] > 1000]
    weights = [rows[n][0] for n in names]
    regions = []
    for name in rng.choices(names, weights, k=REGIONS):
        length = rng.randint(100, 500)
        start = rng.randint(1, rows[name][0] - length)
        regions.append((name, start, start + length - 1))
    with servers.nginx(data) as server, \
            servers.delay_proxy("127.0.0.1", server.port, 0.001) as proxy:
        for name in ("genome.fa", "genome.fa.gz"):
            url = f"{proxy.url}/{name}"
            ours = [nucla_round(server, url, data, name, regions) for _ in range(rounds)]
            theirs = [pysam_round(server, url, regions) for _ in range(rounds)]
            med = {k: statistics.median(r[k] for r in ours) for k in ours[0]}
            ref = {k: statistics.median(r[k] for r in theirs) for k in theirs[0]}
            touched = touched_bytes(data, name, regions)
            print(f"\n### {name} ({rounds} rounds, medians)\n")
            print("| row | nucla | pysam | target |")
            print("|---|---:|---:|---|")
            print(f"| open: requests (bytes) | {med['open_requests']:.0f} "
                  f"({med['open_bytes']:,.0f}) | | .fai, .gzi one request each |")
            print(f"| open: time | {med['open_s'] * 1e3:.1f} ms | | |")
            print(f"| cold 100-base fetch: requests (bytes) | {med['cold_requests']:.0f} "
                  f"({med['cold_bytes']:,.0f}) | | 1 of at most 64 KiB (plain) |")
            print(f"| second fetch in the block: requests | {med['warm_requests']:.0f} | | 0 |")
            print(f"| 10,000 regions: time | {med['batch_s']:.3f} s | {ref['batch_s']:.1f} s | "
                  f"{ref['batch_s'] / med['batch_s']:.0f}x faster (target 10x) |")
            print(f"| 10,000 regions: requests | {med['batch_requests']:,.0f} | "
                  f"{ref['batch_requests']:,.0f} | |")
            print(f"| 10,000 regions: bytes | {med['batch_bytes'] / 2**20:,.1f} MiB | "
                  f"{ref['batch_bytes'] / 2**20:,.0f} MiB | "
                  f"{ref['batch_bytes'] / med['batch_bytes']:.0f}x fewer (target 20x) |")
            print(f"| bytes moved / distinct blocks touched | "
                  f"{med['batch_bytes'] / touched:.2f} | | at most 2 |")


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rounds = 3
    if "--rounds" in sys.argv:
        rounds = int(sys.argv[sys.argv.index("--rounds") + 1])
        args = [a for a in args if a != str(rounds)]
    main(args[0] if args else os.path.expanduser("~/.cache/nucla-bench"), rounds)
