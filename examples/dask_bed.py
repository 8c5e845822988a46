"""Turn a BED file into sequences on a Dask cluster.

    python3 examples/dask_bed.py genome.fa regions.bed [workers]

The Fasta is opened once here and passed to the tasks: it travels as its path and options,
and each worker process maps the file itself (the index is already written, so nobody
rebuilds it).
"""
import argparse

import nucla


def read_bed(path):
    with open(path) as bed:
        for line in bed:
            fields = line.split("\t")
            if len(fields) >= 3 and not line.startswith(("#", "track", "browser")):
                # BED is 0-based and half-open; nucla is 1-based and inclusive.
                yield fields[0], int(fields[1]) + 1, int(fields[2])


def fetch(fasta, regions):
    return [str(s) for s in fasta.fetch_many(regions)]


def main(fasta_path, bed_path, workers=2):
    from dask.distributed import Client, LocalCluster

    fasta = nucla.Fasta(fasta_path)
    regions = list(read_bed(bed_path))
    size = max(1, len(regions) // (4 * workers))
    parts = [regions[i:i + size] for i in range(0, len(regions), size)]
    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            futures = client.map(fetch, [fasta] * len(parts), parts, pure=False)
            sequences = [s for part in client.gather(futures) for s in part]
    for (name, start, end), seq in zip(regions, sequences):
        print(f">{name}:{start}-{end}\n{seq}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fasta")
    parser.add_argument("bed")
    parser.add_argument("workers", nargs="?", type=int, default=2,
                        help="worker processes (default: 2)")
    args = parser.parse_args()
    main(args.fasta, args.bed, args.workers)
