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
