import pathlib

import pytest

DATA = pathlib.Path(__file__).with_name("data")


@pytest.fixture
def write_fasta(tmp_path):
    """Writes bytes (or text) to a FASTA file in tmp_path and returns its path as a str."""

    def write(content, name="x.fa"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def write_records(path, records):
    """Writes {name: [line, ...]} as a FASTA file (LF line ends); returns the path as a str."""
    with open(path, "w", newline="") as f:
        for name, lines in records.items():
            f.write(f">{name}\n")
            for line in lines:
                f.write(line + "\n")
    return str(path)


def random_fasta_text(rng, records=8, length=(1, 3000), alphabet="ACGTNacgtn", width=60,
                      eol="\n", desc=0.0):
    """A random FASTA text and its sequences, as (text, {name: bases}).

    `records` is a count (names r0, r1, ...) or a list of names. `length` is a (low, high)
    range with high excluded, a function of rng, or a list with one length per record.
    `alphabet` is drawn from uniformly (repeat letters to weight them). `width` and `eol` are
    one value, or a list to draw each record's from. A header gets " some description" after
    its name with probability `desc`."""
    names = [f"r{i}" for i in range(records)] if isinstance(records, int) else list(records)

    def pick(v):
        return rng.choice(v) if isinstance(v, (list, tuple, range)) else v

    out, seqs = [], {}
    for i, name in enumerate(names):
        if callable(length):
            n = length(rng)
        elif isinstance(length, list):
            n = length[i]
        else:
            n = rng.randrange(*length)
        bases = seqs[name] = "".join(rng.choices(alphabet, k=n))
        w, e = pick(width), pick(eol)
        header = f">{name}{' some description' if rng.random() < desc else ''}{e}"
        out.append(header + "".join(bases[j:j + w] + e for j in range(0, n, w)))
    return "".join(out), seqs


def write_random_fasta(path, rng, **options):
    """Writes random_fasta_text(rng, **options) to `path`; returns (path as str, sequences)."""
    text, seqs = random_fasta_text(rng, **options)
    pathlib.Path(path).write_bytes(text.encode())
    return str(path), seqs


@pytest.fixture
def random_fasta(tmp_path):
    """write_random_fasta into tmp_path: random_fasta(rng, name="r.fa", **options)."""

    def write(rng, name="r.fa", **options):
        return write_random_fasta(tmp_path / name, rng, **options)

    return write


def random_regions(rng, seqs, n, wild=False):
    """`n` random (name, start, end) regions of `seqs` ({name: bases}), 1-based and inclusive,
    with 1 <= start <= end <= length (sequences must not be empty). With `wild` they may also
    hold zeros, run past the end, end before they start or name no sequence ("missing")."""
    names = list(seqs)
    out = []
    for _ in range(n):
        if not wild:
            name = rng.choice(names)
            start = rng.randrange(1, len(seqs[name]) + 1)
            out.append((name, start, rng.randrange(start, len(seqs[name]) + 1)))
            continue
        name = rng.choice(names + ["missing"])
        length = len(seqs.get(name, ""))
        start = rng.randrange(0, length + 20)
        out.append((name, start, rng.choice([start + rng.randrange(0, 300),
                                             rng.randrange(0, length + 20)])))
    return out
