"""What sornquibid.spark and sornquibid.dask share on the driver (client):
the arguments checked and resolved once, before any work is sent out."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from . import columns
from ._engine_work import Op

FAMILIES = (SornId, SornIdDesc, QuibId, QuibIdDesc)


def op(fname: str, family: object = None, precision: str | None = None,
       errors: str = "raise") -> Op:
    """The Op of column function `fname`, its family named (the class itself
    cannot be pickled by name) and the precision resolved here: an explicit
    one as given, else this process's generation precision, so that workers
    with another QUIBID_PRECISION give the same result."""
    name = None
    if family is not None:
        if not any(family is f for f in FAMILIES):
            raise TypeError(f"{fname}() argument 'family' must be SornId, SornIdDesc, QuibId "
                            f"or QuibIdDesc, not {family!r}")
        name = family.__name__  # type: ignore[attr-defined]
    if fname == "sorn_to_quib" and precision is None:
        precision = columns._generation_precision()
    if errors not in ("raise", "null"):
        raise ValueError(f"{fname}() argument 'errors' must be 'raise' or 'null', not {errors!r}")
    return Op(fname, name, precision, errors)


def dry_run(op: Op, fname: str, column: str, empty: Any, given: str | None = None) -> Any:
    """op over the empty column `empty`: the result, whose type is that of
    the real results, or the refusal of the column function (its type,
    family, precision or errors), reworded for the column `column` of a
    DataFrame (and the type the DataFrame gives it, `given`)."""
    try:
        return op(empty)
    except (TypeError, ValueError) as exc:
        message = str(exc)
        message = message.replace(f"{op.name}() argument 'col'", f"{fname}() column {column!r}")
        message = message.replace(f"{op.name}()", f"{fname}()")
        if given is not None and " not Arrow " in message:
            message = message[:message.rindex(" not Arrow ")] + f" not {given}"
        raise type(exc)(message) from None


def into_name(column: str, into: str | None) -> str:
    if into is not None and not isinstance(into, str):
        raise TypeError(f"argument 'into' must be a column name (str) or None, not {into!r}")
    return column if into is None else into


def field_names(fields: Any, prefix: str) -> list[str]:
    """The names of the columns of `fields` (a table), after `prefix`."""
    if not isinstance(prefix, str):
        raise TypeError(f"fields() argument 'prefix' must be str or None, not {prefix!r}")
    return [prefix + name for name in fields]


def unused(taken: Iterable[Any], name: str) -> str:
    """`name`, or `name` and a number, as no column of `taken` is named in
    any case: a helper column must neither replace nor be taken for one of
    the caller's (Spark tells names apart by case only when asked to)."""
    names = {str(c).lower() for c in taken}
    found, n = name, 0
    while found.lower() in names:
        n += 1
        found = f"{name}_{n}"
    return found
