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
