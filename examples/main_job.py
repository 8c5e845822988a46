"""The main job from Python: a BED file of regions printed as FASTA, as the command line's
`nucla FASTA --bed BED` prints it (headers, 60-base lines).

    python3 examples/main_job.py [FASTA [BED]]

Without arguments it reads ex1.fa (building ex1.fa.fai when needed) and ex1.bed beside this file.
"""
import argparse
import pathlib
import sys

import nucla

HERE = pathlib.Path(__file__).parent


def read_bed(path):
    """(chrom, start, end, header) for each row; start and end as written (0-based, half-open)."""
    with open(path) as bed:
        for line in bed:
            line = line.strip()
            if not line or line.startswith(("#", "track", "browser")):
                continue
            fields = line.split("\t") if "\t" in line else line.split()
            chrom, start, end = fields[0], int(fields[1]), int(fields[2])
            named = len(fields) > 3 and fields[3] not in ("", ".")
            yield chrom, start, end, fields[3] if named else f"{chrom}:{start + 1}-{end}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fasta", nargs="?", default=str(HERE / "ex1.fa"))
    parser.add_argument("bed", nargs="?", default=str(HERE / "ex1.bed"))
    args = parser.parse_args()

    rows = list(read_bed(args.bed))
    fasta = nucla.Fasta(args.fasta)
    # BED's 0-based half-open [start, end) is bases start + 1 to end, 1-based inclusive.
    sequences = fasta.fetch_many([(chrom, start + 1, end) for chrom, start, end, _ in rows])
    out = []
    for (_, _, _, header), seq in zip(rows, sequences):
        bases = str(seq)
        out.append(f">{header}\n")
        out.extend(bases[i:i + 60] + "\n" for i in range(0, len(bases), 60))
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
