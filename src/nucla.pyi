# Type stubs for the compiled module nucla; installed as the stub-only package nucla-stubs.
# Coordinates are 1-based, inclusive and non-negative; fetch_windows/fetch_packed: 0-based, half-open.
import os
from collections.abc import Iterator
from collections.abc import Sequence as _Seq
from typing import TYPE_CHECKING, Any, ClassVar, Literal, NoReturn, SupportsIndex, TypeVar, final

if TYPE_CHECKING:
    import numpy
    import numpy.typing as npt

    _Names = _Seq[str] | npt.NDArray[Any]
    # Object arrays (as pandas gives them) hold ints too; bools are refused at run time.
    _Ints = _Seq[SupportsIndex] | npt.NDArray[numpy.integer[Any]] | npt.NDArray[numpy.object_]
    _Strands = _Seq[str | bool] | npt.NDArray[Any] | None

__all__ = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
]

__version__: str

_Self = TypeVar("_Self")

@final
class Fasta:
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        default_seq: str | None = None,
        key_function: object = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        read_ahead: int | None = None,
        mutable: bool = False,
        split_char: str | None = None,
        filt_function: object = None,
        one_based_attributes: bool = True,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
    ) -> Fasta: ...
    @property
    def filename(self) -> str: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    def __getitem__(self, key: str | SupportsIndex, /) -> FastaRecord: ...
    def __contains__(self, name: str, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> FastaIterator: ...
    def close(self) -> None: ...
    def __enter__(self: _Self) -> _Self: ...
    def __exit__(
        self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None
    ) -> None: ...
    def get_seq(self, name: str, start: int, end: int, rc: bool | None = None) -> Sequence: ...
    def get_spliced_seq(
        self, name: str, intervals: _Seq[tuple[int, int]], rc: bool | None = None
    ) -> Sequence: ...
    def fetch_many(
        self, regions: _Seq[tuple[str, int, int]], rc: bool | None = None
    ) -> list[Sequence]: ...
    def fetch_many_same_chr(
        self, name: str, regions: _Seq[tuple[int, int]], rc: bool | None = None
    ) -> list[Sequence]: ...
    def fetch_windows(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        length: int,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes", "onehot"] = "bytes",
        dtype: npt.DTypeLike | None = None,
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
        out: npt.NDArray[Any] | None = None,
    ) -> npt.NDArray[Any]: ...
    def fetch_packed(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes"] = "bytes",
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
    ) -> tuple[npt.NDArray[numpy.uint8], npt.NDArray[numpy.int64]]: ...
    def with_variants(
        self, path: str | os.PathLike[str], samples: _Seq[str] | None = None, *,
        skip_ref_mismatch: bool = False
    ) -> _PersonalGenome: ...

@final
class Faidx:
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        one_based_attributes: bool = True,
        default_seq: str | None = None,
        mutable: bool = False,
        key_function: object = None,
        split_char: str | None = None,
        filt_function: object = None,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        read_ahead: int | None = None,
    ) -> Faidx: ...
    @property
    def keys(self) -> list[str]: ...
    def __contains__(self, name: str, /) -> bool: ...
    def fetch(self, name: str, start: int, end: int) -> Sequence: ...
    def fetch_entire_sequence(self, name: str) -> Sequence: ...
    def fetch_many(self, regions: _Seq[tuple[str, int, int]]) -> list[Sequence]: ...
    def fetch_many_same_chr(self, name: str, regions: _Seq[tuple[int, int]]) -> list[Sequence]: ...
    def fetch_windows(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        length: int,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes", "onehot"] = "bytes",
        dtype: npt.DTypeLike | None = None,
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
        out: npt.NDArray[Any] | None = None,
    ) -> npt.NDArray[Any]: ...
    def fetch_packed(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes"] = "bytes",
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
    ) -> tuple[npt.NDArray[numpy.uint8], npt.NDArray[numpy.int64]]: ...
    def with_variants(
        self, path: str | os.PathLike[str], samples: _Seq[str] | None = None, *,
        skip_ref_mismatch: bool = False
    ) -> _PersonalGenome: ...

@final
class Sequence:
    name: str
    seq: str
    start: int | None
    end: int | None
    comp: bool
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: int | None = None,
        end: int | None = None,
        comp: bool = False,
    ) -> Sequence: ...
    @property
    def fancy_name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def orientation(self) -> int | None: ...
    @property
    def reverse(self) -> Sequence: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    # Served by indexing from 0 until IndexError.
    def __iter__(self) -> Iterator[Sequence]: ...
    def __neg__(self) -> Sequence: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class FastaRecord:
    @property
    def name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def unpadded_len(self) -> int: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> SequenceIterator: ...
    def __reversed__(self) -> list[Sequence]: ...

@final
class FastaIterator:
    def __iter__(self: _Self) -> _Self: ...
    def __next__(self) -> FastaRecord: ...

@final
class SequenceIterator:
    def __iter__(self: _Self) -> _Self: ...
    def __next__(self) -> Sequence: ...

@final
class MutableFastaRecord:
    def __setitem__(self, key: object, _value: str, /) -> NoReturn: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...

# What with_variants returns: not a name of the module.
@final
class _PersonalGenome:
    @property
    def samples(self) -> list[str]: ...
    def fetch_windows(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        length: int,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes", "onehot"] = "bytes",
        dtype: npt.DTypeLike | None = None,
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
        out: npt.NDArray[Any] | None = None,
        sample_of_row: _Ints | None = None,
    ) -> npt.NDArray[Any]: ...
    def fetch_packed(
        self,
        names: _Names,
        starts: _Ints,
        ends: _Ints,
        *,
        strands: _Strands = None,
        encoding: Literal["bytes", "codes"] = "bytes",
        upper: bool = False,
        table: npt.ArrayLike | bytes | None = None,
        sample_of_row: _Ints | None = None,
    ) -> tuple[npt.NDArray[numpy.uint8], npt.NDArray[numpy.int64]]: ...
