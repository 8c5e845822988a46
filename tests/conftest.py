import os
import pathlib
import shutil
import struct
import subprocess
import sysconfig
import zlib

import pytest

DATA = pathlib.Path(__file__).with_name("data")
HTSLIB = DATA / "htslib"
SAMTOOLS = shutil.which("samtools")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")


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


# --- the command-line tool, and samtools to compare it with ---------------------------

def _find_cli():
    """NUCLA_CLI, else the tool in this interpreter's scripts directory (where `pip install .`
    puts it), else on PATH."""
    if os.environ.get("NUCLA_CLI"):
        return os.environ["NUCLA_CLI"]
    # The interpreter's own scripts folder first (a pyenv shim may not be on PATH yet), then
    # the user scheme's.
    for scripts in (sysconfig.get_path("scripts"), sysconfig.get_path("scripts", f"{os.name}_user")):
        candidate = pathlib.Path(scripts) / "nucla"
        if os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which("nucla")


CLI = _find_cli()


@pytest.fixture(scope="session")
def cli():
    if CLI is None:
        pytest.fail("the nucla command is not installed (pip install . puts it beside python)")
    return CLI


def run_cli(args, stdin=None, cwd=None, env=None):
    """The command-line tool (not looked for: see the `cli` fixture) on `args`."""
    return subprocess.run([CLI, *map(str, args)], input=stdin, capture_output=True, cwd=cwd,
                          env=env, timeout=60)


def samtools(args, stdin=None):
    return subprocess.run([SAMTOOLS, "faidx", *map(str, args)], input=stdin, capture_output=True,
                          timeout=60)


def random_named_fasta(path, rng, crlf=False, records=None):
    """A FASTA of random names, line widths, lengths and case; returns [(name, length)]."""
    chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.|-"
    names = []
    for i in range(records or rng.randint(1, 8)):
        # A leading "-" would read as an option.
        name = rng.choice(chars[:62]) + "".join(rng.choice(chars) for _ in range(rng.randint(0, 11)))
        if rng.random() < 0.15:
            name += ":" + str(rng.randint(1, 99))
        names.append(f"{name}_{i}")
    # No empty records: samtools leaves them out of its index.
    _, seqs = write_random_fasta(
        path, rng, records=names, alphabet="ACGTACGTACGTNacgtnRYKMSWBDHVU", width=range(1, 81),
        length=lambda rng: rng.choice([1, rng.randint(1, 50), rng.randint(50, 3000)]),
        eol="\r\n" if crlf else "\n", desc=0.3)
    return [(name, len(seq)) for name, seq in seqs.items()]


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.fa"
    path.write_text(
        ">one first record\nACGTACGTAC\nGTacgtNNRY\nKM\n"
        ">two\nTTTTTGGGGG\n"
        ">three\n" + "A" * 130 + "\n"
    )
    return path


# --- BGZF files -------------------------------------------------------------------------

def bgzf_block(data, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    payload = c.compress(data) + c.flush()
    header = struct.pack("<4BI2BH2BHH", 31, 139, 8, 4, 0, 0, 255, 6, 66, 67, 2,
                         18 + len(payload) + 8 - 1)
    return header + payload + struct.pack("<II", zlib.crc32(data), len(data))


EOF_BLOCK = bgzf_block(b"")


def write_bgzf(path, data, rng, largest=300, empty=0.0):
    """Blocks of random sizes up to `largest`, with empty blocks mixed in at rate `empty`."""
    out = bytearray()
    pos = 0
    while pos < len(data):
        if rng.random() < empty:
            out += EOF_BLOCK
        n = rng.randint(1, largest)
        out += bgzf_block(data[pos:pos + n])
        pos += n
    out += EOF_BLOCK
    pathlib.Path(path).write_bytes(bytes(out))
    return str(path)
