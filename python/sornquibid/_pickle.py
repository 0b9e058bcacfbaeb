"""Pickle support for the identifier classes.

The extension's classes report "builtins" as their module, so pickle cannot
find them by name. The reducers registered here pickle each value as a call of
one of this module's functions with the value's integer or text form, so a
pickle loads in any process that has this package (loading imports it).
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable
from typing import Any

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc


def sornid(value: int) -> SornId:
    return SornId(value)


def sornid_desc(value: int) -> SornIdDesc:
    return SornIdDesc(value)


def quibid(text: str) -> QuibId:
    return QuibId.from_str(text)


def quibid_desc(text: str) -> QuibIdDesc:
    return QuibIdDesc.from_str(text)


_Reducer = Callable[[Any], tuple[Callable[..., Any], tuple[Any, ...]]]


def _reduce_sornid(x: SornId) -> tuple[Callable[[int], SornId], tuple[int]]:
    return sornid, (x.as_int(),)


def _reduce_sornid_desc(x: SornIdDesc) -> tuple[Callable[[int], SornIdDesc], tuple[int]]:
    return sornid_desc, (x.as_int(),)


def _reduce_quibid(x: QuibId) -> tuple[Callable[[str], QuibId], tuple[str]]:
    return quibid, (str(x),)


def _reduce_quibid_desc(x: QuibIdDesc) -> tuple[Callable[[str], QuibIdDesc], tuple[str]]:
    return quibid_desc, (str(x),)


_REDUCERS: tuple[tuple[type, _Reducer], ...] = (
    (SornId, _reduce_sornid),
    (SornIdDesc, _reduce_sornid_desc),
    (QuibId, _reduce_quibid),
    (QuibIdDesc, _reduce_quibid_desc),
)


def register() -> None:
    """Registers the reducers with copyreg; repeating it changes nothing."""
    for cls, reducer in _REDUCERS:
        copyreg.pickle(cls, reducer)
