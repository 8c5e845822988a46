"""Open the example FASTA (building its .fai index), list its sequences, fetch regions."""
import pathlib
import sys

import nucla

path = sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).with_name("ex1.fa"))
faidx = nucla.Faidx(path)
print(f"index: {path}.fai")
for name in faidx.keys:
    print(f"{name}\t{len(faidx.fetch_entire_sequence(name))}")
region = faidx.fetch("chr1", 100, 159)
print(repr(region))
print(repr(-region))
