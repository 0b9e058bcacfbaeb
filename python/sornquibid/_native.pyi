# Type information for the extension module sornquibid._native, the
# package's native helpers. Its members are used through the package's own
# modules, which document them.

import sys
from collections.abc import Callable, Sequence
from typing import Literal, Self, SupportsIndex, final

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

__all__: list[str] = []

# Identifier generators (sornquibid.SornIdGenerator, sornquibid.QuibIdGenerator).

__all__ += ["SornIdGenerator", "QuibIdGenerator", "check_epoch_ms"]

@final
class SornIdGenerator:
    def __new__(
        cls, node_id: int, *, epoch_ms: int = 0, clock: Callable[[], int] | None = None
    ) -> Self: ...
    @property
    def node_id(self) -> int: ...
    @property
    def epoch_ms(self) -> int: ...
    def next(self, /) -> SornId: ...
    def next_desc(self, /) -> SornIdDesc: ...
    def next_many(self, n: int) -> list[SornId]: ...
    def __call__(self, /) -> SornId: ...

@final
class QuibIdGenerator:
    def __new__(
        cls,
        node_id: int,
        *,
        precision: str | None = None,
        epoch_ms: int = 0,
        clock: Callable[[], int] | None = None,
    ) -> Self: ...
    @property
    def node_id(self) -> int: ...
    @property
    def precision(self) -> str: ...
    @property
    def epoch_ms(self) -> int: ...
    def next(self, /) -> QuibId: ...
    def next_desc(self, /) -> QuibIdDesc: ...
    def next_many(self, n: int) -> list[QuibId]: ...
    def __call__(self, /) -> QuibId: ...

def check_epoch_ms(epoch_ms: SupportsIndex) -> int: ...

# ---------------------------------------------------------------------------
# Column kernels (used by sornquibid.columns). A column argument is an object
# with the buffer protocol, __arrow_c_array__ or __arrow_c_stream__; the
# chunk functions give one result per input chunk.

__all__ += [
    "Column", "col_sorn_to_quib", "col_flip", "col_parse", "col_format", "col_fields",
    "col_validate", "col_sorn_group", "col_quib_to_sorn", "col_sornid_conflicts",
]

_Family = type[SornId] | type[SornIdDesc] | type[QuibId] | type[QuibIdDesc]

@final
class Column:
    def __len__(self) -> int: ...
    def __arrow_c_array__(self, requested_schema: object = None, /) -> tuple[object, object]: ...
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

def col_sorn_to_quib(col: object, precision: str, row0: int, nulls: bool) -> list[Column]: ...
def col_flip(col: object, family: _Family, row0: int, nulls: bool) -> list[Column]: ...
def col_parse(col: object, family: _Family, row0: int, nulls: bool) -> list[Column]: ...
def col_format(
    col: object, family: _Family, layout: str, row0: int, nulls: bool
) -> list[Column]: ...
def col_fields(
    col: object, family: _Family, numpy: bool, row0: int, nulls: bool
) -> list[tuple[Column, ...]]: ...
def col_validate(col: object, family: _Family, numpy: bool) -> list[Column]: ...
def col_sorn_group(col: object, row0: int, nulls: bool) -> list[Column]: ...
def col_quib_to_sorn(col: object, order: object, row0: int) -> list[Column]: ...
# kind, timestamp_ms, node_id, count, max (None where the kind has no such
# field), the identifiers, the text of the check, the first rows, the rows.
_ColumnConflict = tuple[
    Literal["NodeIdOverflow", "TimestampOverflow", "SequenceOverflow"],
    int | None,
    int | None,
    int | None,
    int | None,
    tuple[QuibId, ...],
    str,
    tuple[int, ...],
    int,
]

def col_sornid_conflicts(col: object, row0: int, max_rows: int) -> list[_ColumnConflict]: ...

# ---------------------------------------------------------------------------
# Text lines (used by the command-line tool): lines to a text column, and
# columns to lines of comma-separated fields.

__all__ += ["split_lines", "join_lines"]

def split_lines(
    data: bytes | bytearray | memoryview, blank_null: bool, hex0x: bool
) -> tuple[Column, int]: ...
def join_lines(cols: Sequence[object], families: Sequence[_Family | None], row0: int) -> bytes: ...
