"""The kinds of column that sornquibid.columns takes, and how each gives one back.

A kind knows what to hand to the kernels of sornquibid._native (a numpy
array, or an object with the Arrow PyCapsule interface) and how to make a
column of its own kind from their output: the sornquibid._native.Column
objects of each input chunk, which lend their memory to numpy through the
buffer protocol and to Arrow through __arrow_c_array__, so that no value is
copied on the way out.

A framework is imported here only through the column it came with: a
numpy array means numpy is imported already. Only the Arrow columns of
other libraries need pyarrow, to give a pyarrow array back.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Sequence
from typing import Any

# What a kernel gives, by name: each has an Arrow type, a polars dtype (for
# a column of no chunks) and a numpy form.
INT64 = "int64"
INT32 = "int32"
BYTES16 = "bytes16"
BOOL = "bool"
TEXT = "text"
DECIMAL = "decimal"  # the 89-bit timestamp of the 128-bit family

# The numpy dtypes of the kernels' buffer forms: 16-byte values as V16, whose
# items keep every byte (S16 items lose their trailing zero bytes).
_NUMPY_16 = "V16"


def _arrow_type(pa: Any, out: str) -> Any:
    return {
        INT64: pa.int64(),
        INT32: pa.int32(),
        BYTES16: pa.binary(16),
        BOOL: pa.bool_(),
        TEXT: pa.string(),
        DECIMAL: pa.decimal128(27, 0),
    }[out]


def _polars_type(pl: Any, out: str) -> Any:
    return {
        INT64: pl.Int64,
        INT32: pl.Int32,
        BYTES16: pl.Binary,
        BOOL: pl.Boolean,
        TEXT: pl.String,
        DECIMAL: pl.Decimal(27, 0),
    }[out]


def _numpy(np: Any, column: Any, out: str) -> Any:
    """The numpy array of one kernel output, sharing its memory."""
    if out == BYTES16:
        return np.frombuffer(column, dtype=_NUMPY_16)
    if out == DECIMAL:
        # Two 64-bit words per row in native order; timestamps up to 2^89
        # have no numpy integer type, so they become Python ints.
        words = np.frombuffer(column, dtype=np.uint64).reshape(-1, 2)
        low, high = (words[:, 0], words[:, 1]) if sys.byteorder == "little" else (words[:, 1], words[:, 0])
        ints = low.astype(object)
        if high.any():
            ints = ints + high.astype(object) * (1 << 64)
        return ints
    return np.asarray(memoryview(column))


def _arrow_chunked(pa: Any, outputs: Sequence[Any], out: str) -> Any:
    arrays = [pa.array(o) for o in outputs]
    kind = _arrow_type(pa, out)
    if out == TEXT and any(a.type != kind for a in arrays):
        # A chunk too large for 32-bit offsets came out as large_string.
        kind = pa.large_string()
        arrays = [a.cast(kind) for a in arrays]
    return pa.chunked_array(arrays, type=kind)


def _pyarrow(purpose: str) -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise ImportError(
            f"sornquibid.columns needs pyarrow {purpose}: pip install 'sornquibid[arrow]'"
        ) from None


class Kind:
    """One column given to sornquibid.columns, and how to give one back."""

    # Whether results take numpy's layouts (and so can hold no nulls).
    numpy = False

    def __init__(self, native: Any) -> None:
        # What the kernels read.
        self.native = native

    def text_layout(self) -> str:
        return "numpy" if self.numpy else "string"

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        """The column of this kind from the kernel outputs of each chunk."""
        raise NotImplementedError

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        """The table of this kind from the tuples of kernel outputs of each
        chunk, one column per name."""
        raise NotImplementedError


class NumpyKind(Kind):
    numpy = True

    def __init__(self, np: Any, array: Any) -> None:
        super().__init__(array)
        self.np = np

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        (only,) = outputs
        return _numpy(self.np, only, out)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        (only,) = outputs
        return {name: _numpy(self.np, c, out) for name, c, out in zip(names, only, outs)}


class PandasNumpyKind(NumpyKind):
    """A pandas Series backed by numpy: numpy results, the same index;
    16-byte values are Arrow-backed, for pandas has no use of numpy's V16."""

    def __init__(self, np: Any, pd: Any, series: Any) -> None:
        super().__init__(np, series.to_numpy())
        self.pd = pd
        self.series = series

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        if out == BYTES16:
            (only,) = outputs
            pa = _pyarrow("for 16-byte values in pandas")
            values = self.pd.arrays.ArrowExtensionArray(pa.array(only))
        else:
            values = super().column(outputs, out)
        return self.pd.Series(values, index=self.series.index, name=self.series.name)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        return self.pd.DataFrame(super().table(outputs, names, outs), index=self.series.index)


class ArrowArrayKind(Kind):
    """A pyarrow Array, or another library's object with __arrow_c_array__."""

    def __init__(self, pa: Any, array: Any) -> None:
        super().__init__(array)
        self.pa = pa

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        (only,) = outputs
        return self.pa.array(only)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        (only,) = outputs
        return self.pa.RecordBatch.from_arrays([self.pa.array(c) for c in only], names=list(names))


class ArrowChunkedKind(Kind):
    """A pyarrow ChunkedArray, or another library's object with
    __arrow_c_stream__: the chunks stay as they are."""

    def __init__(self, pa: Any, chunked: Any) -> None:
        super().__init__(chunked)
        self.pa = pa

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        return _arrow_chunked(self.pa, outputs, out)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        columns = [_arrow_chunked(self.pa, [o[i] for o in outputs], out)
                   for i, out in enumerate(outs)]
        return self.pa.Table.from_arrays(columns, names=list(names))


class PandasArrowKind(ArrowChunkedKind):
    """A pandas Series backed by Arrow (or by pandas' own nullable arrays,
    read through Arrow): Arrow-backed results, the same index."""

    def __init__(self, pa: Any, pd: Any, series: Any) -> None:
        super().__init__(pa, series)
        self.pd = pd
        self.series = series

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        values = self.pd.arrays.ArrowExtensionArray(super().column(outputs, out))
        return self.pd.Series(values, index=self.series.index, name=self.series.name)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        table = super().table(outputs, names, outs)
        return self.pd.DataFrame(
            {name: self.pd.arrays.ArrowExtensionArray(table.column(name)) for name in names},
            index=self.series.index,
        )


class PolarsKind(Kind):
    def __init__(self, pl: Any, series: Any) -> None:
        super().__init__(series)
        self.pl = pl

    def column(self, outputs: Sequence[Any], out: str) -> Any:
        name = self.native.name
        if not outputs:
            return self.pl.Series(name, [], dtype=_polars_type(self.pl, out))
        parts = [self.pl.Series(o).alias(name) for o in outputs]
        return parts[0] if len(parts) == 1 else self.pl.concat(parts, rechunk=False)

    def table(self, outputs: Sequence[tuple[Any, ...]], names: Sequence[str],
              outs: Sequence[str]) -> Any:
        pl = self.pl
        columns = []
        for i, (name, out) in enumerate(zip(names, outs)):
            parts = [pl.Series(o[i]).alias(name) for o in outputs]
            if not parts:
                columns.append(pl.Series(name, [], dtype=_polars_type(pl, out)))
            else:
                columns.append(parts[0] if len(parts) == 1 else pl.concat(parts, rechunk=False))
        return pl.DataFrame(columns)


# What a column may be, for messages.
KINDS = ("a numpy array, a pyarrow Array or ChunkedArray, a pandas or polars Series, "
         "or an object with the Arrow PyCapsule interface")


def kind_of(col: object, fname: str, arg: str = "col") -> Kind:
    """The kind of `col`, an argument of `fname`; TypeError for anything
    that is not a column."""
    np = sys.modules.get("numpy")
    if np is not None and isinstance(col, np.ndarray):
        if isinstance(col, np.ma.MaskedArray):
            raise TypeError(f"{fname}() argument '{arg}' must be {KINDS}; a numpy masked array "
                            "has nulls that numpy cannot hold: give an Arrow array instead")
        return NumpyKind(np, col)
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(col, pa.Array):
        return ArrowArrayKind(pa, col)
    if pa is not None and isinstance(col, pa.ChunkedArray):
        return ArrowChunkedKind(pa, col)
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(col, pd.Series):
        np = sys.modules["numpy"]  # pandas imports it
        if isinstance(col.dtype, np.dtype):
            return PandasNumpyKind(np, pd, col)
        return PandasArrowKind(_pyarrow("for a pandas Series not backed by numpy"), pd, col)
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(col, pl.Series):
        return PolarsKind(pl, col)
    # (A method set to None says the object has none.)
    if getattr(col, "__arrow_c_array__", None) is not None:
        return ArrowArrayKind(_pyarrow("to give back a pyarrow array"), col)
    if getattr(col, "__arrow_c_stream__", None) is not None:
        return ArrowChunkedKind(_pyarrow("to give back a pyarrow array"), col)
    raise TypeError(f"{fname}() argument '{arg}' must be {KINDS}, not {type(col).__name__}")
