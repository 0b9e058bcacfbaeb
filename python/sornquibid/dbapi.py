"""The identifiers as query parameters of plain DB-API drivers.

`register_sqlite3()` and `register_psycopg()` teach the standard library's
sqlite3 and psycopg 3 to take the four classes as query parameters, stored
as each database keeps them: the 64-bit identifiers as their integer (a
bigint), the 128-bit ones as their 16 bytes (a BLOB in SQLite, a uuid in
PostgreSQL). Both can also give identifiers back for columns of a declared
class (see their documentation). Neither driver is imported before its
function is called.

pyodbc has no adapter hook: pass `x.as_int()` and `q.as_bytes()` as
parameters, and read columns back with `SornId(v)` and `QuibId.from_bytes(b)`.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable
from typing import Any, ClassVar

from ._codec import CODECS, Codec

__all__ = ["register_sqlite3", "register_psycopg"]

# The sqlite3 converter names of the classes (declared column types, or
# "[name]" in a column alias).
SQLITE3_CONVERTERS = {"SornId": "sornid", "SornIdDesc": "sornid_desc", "QuibId": "quibid", "QuibIdDesc": "quibid_desc"}


def _sqlite3_converter(codec: Codec[Any]) -> Callable[[bytes], Any]:
    # sqlite3 hands a converter the value as bytes: an integer as its
    # decimal digits, a blob as itself.
    if not codec.is_int:
        return codec.load

    def convert(data: bytes) -> Any:
        try:
            value: Any = int(data)
        except ValueError:
            value = data  # no integer: load() refuses it, showing it
        return codec.load(value)

    return convert


def register_sqlite3() -> None:
    """Makes the four classes query parameters of the sqlite3 module (an
    int, or 16 bytes), and registers converters that read columns back as
    identifiers when a connection asks for them with `detect_types`:

        conn = sqlite3.connect(path, detect_types=sqlite3.PARSE_DECLTYPES | sqlite3.PARSE_COLNAMES)
        conn.execute("CREATE TABLE orders (id sornid, ref quibid)")
        conn.execute('SELECT id AS "id [sornid]" FROM other_table')

    The converter names are sornid, sornid_desc, quibid and quibid_desc (as
    a column's declared type, or in brackets in a column alias).
    """
    import sqlite3

    for cls, codec in CODECS.items():
        sqlite3.register_adapter(cls, codec.to_stored)
        sqlite3.register_converter(SQLITE3_CONVERTERS[cls.__name__], _sqlite3_converter(codec))


def register_psycopg(context: Any = None, *, load: Iterable[type] = ()) -> None:
    """Makes the four classes query parameters of psycopg 3 in `context` (a
    connection or a cursor; None: every connection made afterwards): the
    64-bit identifiers as bigint, the 128-bit ones as uuid.

    `load` names the classes that columns read through `context` come back
    as: at most one of SornId and SornIdDesc, for every bigint column, and
    one of QuibId and QuibIdDesc, for every uuid column. psycopg tells
    columns apart only by their type, so give it a cursor that reads
    identifier columns alone (a count(*) is a bigint too):

        cur = conn.cursor()
        register_psycopg(cur, load=[SornId, QuibId])
    """
    import psycopg

    loaded = _classes_to_load(load)
    adapters = psycopg.adapters if context is None else context.adapters
    classes = _psycopg_classes()
    for cls in CODECS:
        text, binary, _, _ = classes[cls]
        # The dumper registered last serves %s: the binary one.
        adapters.register_dumper(cls, text)
        adapters.register_dumper(cls, binary)
    for codec in loaded:
        _, _, text, binary = classes[codec.cls]
        for loader in (text, binary):
            adapters.register_loader("int8" if codec.is_int else "uuid", loader)


def _classes_to_load(load: Iterable[type]) -> list[Codec[Any]]:
    if isinstance(load, (str, type)):
        raise TypeError(f"load must be a collection of classes, not {type(load).__name__}")
    codecs: list[Codec[Any]] = []
    for cls in load:
        codec = CODECS.get(cls) if isinstance(cls, type) else None
        if codec is None:
            raise TypeError(f"load takes SornId, SornIdDesc, QuibId and QuibIdDesc, not {cls!r}")
        same = [c.cls.__name__ for c in codecs if c.is_int == codec.is_int]
        if same:
            column = "bigint" if codec.is_int else "uuid"
            raise ValueError(f"load names {same[0]} and {codec.cls.__name__} for the same {column} columns")
        codecs.append(codec)
    return codecs


@functools.cache
def _psycopg_classes() -> dict[type, tuple[Any, Any, Any, Any]]:
    """Per class: its text and binary dumper, its text and binary loader."""
    import uuid

    from psycopg.adapt import Dumper, Loader
    from psycopg.postgres import types
    from psycopg.pq import Format

    class TextDumper(Dumper):
        codec: ClassVar[Codec[Any]]

        def dump(self, obj: Any) -> bytes:
            # The text form: the decimal number, or the UUID text.
            return str(self.codec.coerce(obj)).encode()

    class IntTextDumper(TextDumper):
        def quote(self, obj: Any) -> bytes:
            # A literal of a client-side bound query: the bare number.
            return self.dump(obj)

    class BinaryDumper(TextDumper):
        format = Format.BINARY

        def dump(self, obj: Any) -> bytes:
            stored = self.codec.stored(obj)
            return stored.to_bytes(8, "big") if self.codec.is_int else stored  # type: ignore[no-any-return]

    class TextLoader(Loader):
        codec: ClassVar[Codec[Any]]

        def load(self, data: Any) -> Any:
            text = bytes(data).decode()
            return self.codec.load(int(text) if self.codec.is_int else uuid.UUID(text))

    class BinaryLoader(TextLoader):
        format = Format.BINARY

        def load(self, data: Any) -> Any:
            raw = bytes(data)
            if self.codec.is_int:
                return self.codec.load(int.from_bytes(raw, "big", signed=True))
            try:
                return self.codec.load(raw)
            except ValueError:
                # Refused again, showing the value as the uuid it is.
                return self.codec.load(uuid.UUID(bytes=raw))

    made: dict[type, tuple[Any, Any, Any, Any]] = {}
    for cls, codec in CODECS.items():
        oid = types["int8" if codec.is_int else "uuid"].oid
        bases = (IntTextDumper if codec.is_int else TextDumper, BinaryDumper, TextLoader, BinaryLoader)
        made[cls] = tuple(  # type: ignore[assignment]
            type(f"{cls.__name__}{base.__name__}", (base,), {"codec": codec, "oid": oid})
            for base in bases
        )
    return made
