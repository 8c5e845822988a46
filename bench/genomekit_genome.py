"""GenomeKit's own genome for the benchmark FASTA, made locally, and GenomeKit kept offline.

GenomeKit reads a 2bit file named after a reference (`REFG.2bit`) with `REFG.chrom.sizes`,
`REFG.chromAlias.txt` and `HASH.hash` (the reference's name under its hash) from its data
directory, and fetches whatever is missing from its cloud bucket.  `make(dir, fasta)` writes
all four (numpy; its own writer walks every base in Python, hours for a genome);
`open_genome(dir)` points GenomeKit at that directory with a data manager that never goes
online.  A 2bit file keeps N runs and a soft-mask list, but GenomeKit returns upper case.
"""
import os

import numpy as np

REFG = "nuclabench"
SIGNATURE = 0x1A412743
# 2bit codes: T 0, C 1, A 2, G 3 (N and anything else stored as T, listed as N blocks)
PACK = np.zeros(256, np.uint8)
for _code, _base in enumerate(b"TCAG"):
    PACK[_base] = PACK[_base | 0x20] = _code


def runs(mask):
    """Starts and sizes of the runs of True in a bool array."""
    edges = np.diff(mask.view(np.int8), prepend=np.int8(0), append=np.int8(0))
    starts = np.flatnonzero(edges == 1)
    return starts, np.flatnonzero(edges == -1) - starts


def read_record(f, length, offset, line_bases, line_width):
    f.seek(offset)
    raw = f.read(length + (length - 1) // line_bases * (line_width - line_bases))
    return np.frombuffer(raw.replace(b"\r", b"").replace(b"\n", b""), np.uint8)


def record_bytes(seq):
    """One 2bit record: size, N blocks, mask blocks, reserved word, packed bases."""
    n_starts, n_sizes = runs((seq | 0x20) == ord("n"))
    m_starts, m_sizes = runs((seq >= ord("a")) & (seq <= ord("z")))
    codes = PACK[seq]
    codes = np.concatenate([codes, np.zeros(-len(codes) % 4, np.uint8)]).reshape(-1, 4)
    packed = (codes[:, 0] << 6) | (codes[:, 1] << 4) | (codes[:, 2] << 2) | codes[:, 3]
    words = [np.array([len(seq), len(n_starts)], "<u4"), n_starts.astype("<u4"),
             n_sizes.astype("<u4"), np.array([len(m_starts)], "<u4"), m_starts.astype("<u4"),
             m_sizes.astype("<u4"), np.array([0], "<u4")]
    return b"".join(w.tobytes() for w in words) + packed.astype(np.uint8).tobytes()


def make(out_dir, fasta):
    """Write GenomeKit's files for `fasta` into out_dir, unless they are there and newer."""
    two_bit = os.path.join(out_dir, REFG + ".2bit")
    if os.path.exists(two_bit) and os.path.getmtime(two_bit) >= os.path.getmtime(fasta):
        return two_bit
    os.makedirs(out_dir, exist_ok=True)
    with open(fasta + ".fai") as f:
        rows = [(p[0], *map(int, p[1:5])) for p in (line.split("\t") for line in f)]
    index_size = 16 + sum(1 + len(name.encode()) + 4 for name, *_ in rows)
    with open(fasta, "rb") as src, open(two_bit + ".tmp", "wb") as dst:
        dst.seek(index_size)
        index = [np.array([SIGNATURE, 0, len(rows), 0], "<u4").tobytes()]
        for name, *layout in rows:
            index.append(bytes([len(name.encode())]) + name.encode()
                         + np.array([dst.tell()], "<u4").tobytes())
            dst.write(record_bytes(read_record(src, *layout)))
        if dst.tell() >= 1 << 32:
            raise ValueError("a 2bit file holds at most 4 GiB")
        dst.seek(0)
        dst.write(b"".join(index))
    with open(os.path.join(out_dir, REFG + ".chrom.sizes"), "w") as f:
        f.writelines(f"{name}\t{length}\n" for name, length, *_ in rows)
    with open(os.path.join(out_dir, REFG + ".chromAlias.txt"), "w") as f:
        f.write("# ucsc\talias\n")
        f.writelines(f"{name}\t{name}\n" for name, *_ in rows)
    from genome_kit import _cxx  # the reference's hash, as GenomeKit computes it
    with open(os.path.join(out_dir, f"{_cxx.Genome._refg_hash(REFG)}.hash"), "w") as f:
        f.write(REFG)
    os.replace(two_bit + ".tmp", two_bit)
    return two_bit


def open_genome(data_dir):
    """GenomeKit's Genome for the files in data_dir; a missing file is an error, never a download."""
    os.environ["GENOMEKIT_DATA_DIR"] = data_dir  # read when genome_kit is first imported
    import genome_kit
    from genome_kit import gk_data
    from genome_kit.data_manager import DataManager

    class Offline(DataManager):
        def get_file(self, filename):
            path = os.path.join(self.data_dir, filename)
            if not os.path.exists(path):
                raise FileNotFoundError(f"{path} (the benchmark keeps GenomeKit offline)")
            return path

    gk_data.data_manager = Offline(data_dir)
    return genome_kit, genome_kit.Genome(REFG)
