"""Typed use of the public API, checked by `mypy --strict` against the stubs (test_stubs.py).

The functions also run, so the example stays honest about runtime behaviour. Lines marked
`type: ignore[...]` are misuses the stubs must reject: under --strict an ignore that is no
longer needed is itself an error.
"""

from __future__ import annotations

from typing import Iterator, List, Optional, Tuple

import nucla


def use_fasta(path: str) -> List[str]:
    with nucla.Fasta(path, default_seq="N", one_based_attributes=True) as fasta:
        names: List[str] = fasta.keys()
        size: int = len(fasta)
        assert size >= 0
        present: bool = names[0] in fasta
        assert present
        filename: str = fasta.filename
        assert filename == path
        records: List[nucla.FastaRecord] = fasta.values()
        pairs: List[Tuple[str, nucla.FastaRecord]] = fasta.items()
        assert len(records) == len(pairs)
        every: List[nucla.FastaRecord] = list(fasta)
        walker: nucla.FastaIterator = iter(fasta)
        assert next(walker).name == every[0].name
    fasta.close()
    return names


def use_record(path: str) -> str:
    fasta = nucla.Fasta(path)
    record: nucla.FastaRecord = fasta[0]
    same: nucla.FastaRecord = fasta[record.name]
    name: str = same.long_name
    bases: str = str(record)
    one: nucla.Sequence = record[0]
    span: nucla.Sequence = record[1:4]
    backwards: nucla.Sequence = record[::-1]
    lines: List[nucla.Sequence] = list(reversed(record))
    chunks: nucla.SequenceIterator = iter(record)
    first: nucla.Sequence = next(chunks)
    unpadded: int = record.unpadded_len
    assert len(record) == len(bases) and unpadded <= len(bases)
    assert one.seq == bases[0] and span.seq == bases[1:4] and backwards.seq == bases[::-1]
    assert first.name == name and len(lines) >= 1
    return bases


def use_sequence() -> Optional[int]:
    s = nucla.Sequence(name="chr1", seq="ACGT", start=1, end=4)
    s.start = None
    s.start = 1
    s.comp = False
    rc: nucla.Sequence = -s
    parts: Iterator[nucla.Sequence] = iter(s)
    assert [p.seq for p in parts] == ["A", "C", "G", "T"]
    text: str = s.fancy_name + s.long_name + rc.reverse.seq + rc.complement.seq
    fraction: float = s.gc + s.gc_strict + s.gc_iupac
    assert text and fraction >= 0 and s == "ACGT" and s != rc.reverse
    return rc.orientation


def use_faidx(path: str) -> nucla.Sequence:
    faidx = nucla.Faidx(path, strict_bounds=False, read_ahead=None)
    names: List[str] = faidx.keys
    assert names[0] in faidx
    whole: nucla.Sequence = faidx.fetch_entire_sequence(names[0])
    assert whole.end is not None
    return faidx.fetch(names[0], 1, whole.end)


def use_batches(path: str) -> List[nucla.Sequence]:
    faidx = nucla.Faidx(path)
    fasta = nucla.Fasta(path)
    name = faidx.keys[0]
    out: List[nucla.Sequence] = faidx.fetch_many([(name, 1, 2), (name, 2, 3)])
    out += faidx.fetch_many_same_chr(name, [(1, 2)])
    out += fasta.fetch_many([(name, 1, 2)], rc=True)
    out += fasta.fetch_many_same_chr(name, ((1, 2), (3, 4)), rc=None)
    out.append(fasta.get_seq(name, 1, 3, rc=False))
    out.append(fasta.get_spliced_seq(name, [(1, 2), (3, 3)]))
    return out


def misuse(path: str) -> None:
    fasta = nucla.Fasta(path)
    record = fasta["chr1"]
    fasta[1.5]  # type: ignore[index]
    record["a"]  # type: ignore[index]
    nucla.Fasta(path, as_raw=None)  # type: ignore[arg-type]
    nucla.Faidx(path).keys()  # type: ignore[operator]
    fasta.filename = "other"  # type: ignore[misc]
    record.name = "other"  # type: ignore[misc]
    mutable: nucla.MutableFastaRecord = record  # type: ignore[assignment]
    mutable[0] = 5  # type: ignore[assignment]
