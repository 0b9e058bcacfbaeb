"""Parquet and Arrow IPC files, read and written through pyarrow (the
`arrow` extra), which is imported only when such a file is asked for."""

from __future__ import annotations

import importlib
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from .errors import EXIT_STREAM, CliError, ErrorContext
from .output import Output

# Rows of a table read and converted at a time.
CHUNK_ROWS = 1 << 17

NAMES = {"parquet": "Parquet", "arrow": "Arrow IPC"}

# How an Arrow IPC file (not a stream) begins.
_ARROW_FILE_MAGIC = b"ARROW1"


def pyarrow(fmt: str) -> Any:
    """The pyarrow module; CliError naming the extra when it is missing."""
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise CliError(
            f"{NAMES[fmt]} files need pyarrow: pip install 'sornquibid[arrow]'"
        ) from None


def _parquet() -> Any:
    return importlib.import_module("pyarrow.parquet")


class TableInput:
    """A Parquet or Arrow IPC file (an IPC file or stream), read as often as
    asked, a batch of at most CHUNK_ROWS rows at a time. Standard input, or
    anything else that is not a regular file, is first copied to a
    temporary file: Parquet is read from its end, and a second reading
    needs the same bytes again."""

    def __init__(self, path: str, fmt: str) -> None:
        self.pa = pyarrow(fmt)
        self.fmt = fmt
        self.name = "standard input" if path == "-" else path
        self._path = path
        self._spooled: IO[bytes] | None = None
        with self._reading():
            if path == "-":
                if sys.stdin is None:
                    raise CliError("standard input is closed", EXIT_STREAM)
                self._spool(sys.stdin.buffer)
            elif not stat.S_ISREG(os.stat(path).st_mode):
                with open(path, "rb") as stream:
                    self._spool(stream)
            self.schema = self._open()[0]

    def _spool(self, stream: IO[bytes]) -> None:
        self._spooled = tempfile.TemporaryFile()
        shutil.copyfileobj(stream, self._spooled, 1 << 20)

    def _reading(self) -> _TableErrors:
        return _TableErrors(f"cannot read {self.name}", self.pa, NAMES[self.fmt])

    def _source(self) -> Any:
        if self._spooled is None:
            return self.pa.memory_map(self._path) if self.fmt == "arrow" else self._path
        self._spooled.seek(0)
        return self._spooled

    def _open(self) -> tuple[Any, Any]:
        """The schema and a reader of the file."""
        source = self._source()
        if self.fmt == "parquet":
            reader = _parquet().ParquetFile(source)
            return reader.schema_arrow, reader
        head = source.read(len(_ARROW_FILE_MAGIC))
        source.seek(0)
        ipc = self.pa.ipc
        reader = ipc.open_file(source) if head == _ARROW_FILE_MAGIC else ipc.open_stream(source)
        return reader.schema, reader

    def batches(self, columns: list[int] | None = None) -> Iterator[Any]:
        """The record batches of the file, or of the columns at the given
        indexes, CHUNK_ROWS rows at most each."""
        with self._reading():
            schema, reader = self._open()
            if self.fmt == "parquet":
                names = None if columns is None else [schema.names[i] for i in columns]
                parts: Iterator[Any] = reader.iter_batches(batch_size=CHUNK_ROWS, columns=names)
            elif hasattr(reader, "num_record_batches"):
                parts = (reader.get_batch(i) for i in range(reader.num_record_batches))
            else:
                parts = iter(reader)
        while True:
            with self._reading():
                batch = next(parts, None)
            if batch is None:
                return
            if columns is not None and self.fmt != "parquet":
                batch = batch.select(columns)
            for start in range(0, batch.num_rows, CHUNK_ROWS):
                yield batch.slice(start, CHUNK_ROWS)

    def close(self) -> None:
        if self._spooled is not None:
            self._spooled.close()


class _TableErrors(ErrorContext):
    """ErrorContext, and pyarrow's refusal of a file that is not of its
    format (or is damaged) as CliError("PREFIX as FORMAT: reason")."""

    def __init__(self, prefix: str, pa: Any, name: str) -> None:
        super().__init__(prefix)
        self.pa = pa
        self.format_name = name

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: object
    ) -> None:
        if isinstance(exc, self.pa.ArrowException) and not isinstance(exc, OSError):
            raise CliError(f"{self.prefix} as {self.format_name}: {exc}") from None
        super().__exit__(kind, exc, tb)


class TableOutput:
    """A Parquet or Arrow IPC file (in the IPC file format, or with `stream`
    the stream format) being written to `out`, one record batch at a time;
    finished by close()."""

    def __init__(self, out: Output, fmt: str, schema: Any, stream: bool = False) -> None:
        pa = pyarrow(fmt)
        self._sink = out.sink()
        if fmt == "parquet":
            self._writer = _parquet().ParquetWriter(self._sink, schema)
        else:
            self._writer = (pa.ipc.new_stream if stream else pa.ipc.new_file)(self._sink, schema)

    def write(self, batch: Any) -> None:
        self._writer.write_batch(batch)

    def close(self) -> None:
        self._writer.close()

    def abort(self) -> None:
        """Gives the file up after a failure: nothing more is written."""
        self._sink.drop()
        try:
            self._writer.close()
        except Exception:  # noqa: BLE001 - its ending goes nowhere anyway
            pass
