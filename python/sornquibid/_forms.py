"""The ascending and the descending form of one identifier.

The descending form keeps an identifier's fields and stores them so that
ascending order lists the newest first. Going from one form to the other
rebuilds the identifier from its fields, so the flip masks stay in the
extension; the result equals what dbo.sornid_to_desc / dbo.quibid_to_desc
(and the *_to_asc functions) compute in SQL Server.
"""

from __future__ import annotations

from typing import overload

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc


@overload
def to_desc(x: SornId) -> SornIdDesc: ...
@overload
def to_desc(x: QuibId) -> QuibIdDesc: ...
def to_desc(x: SornId | QuibId) -> SornIdDesc | QuibIdDesc:
    """The descending form of a SornId or QuibId."""
    if type(x) is SornId:
        return SornIdDesc.from_parts(x.timestamp_ms, x.node_id, x.sequence)
    if type(x) is QuibId:
        return QuibIdDesc.from_parts(x.timestamp, x.precision, x.node_id, x.sequence)
    raise TypeError(f"to_desc() argument must be SornId or QuibId, not {type(x).__name__}")


@overload
def to_asc(x: SornIdDesc) -> SornId: ...
@overload
def to_asc(x: QuibIdDesc) -> QuibId: ...
def to_asc(x: SornIdDesc | QuibIdDesc) -> SornId | QuibId:
    """The ascending form of a SornIdDesc or QuibIdDesc."""
    if type(x) is SornIdDesc:
        return SornId.from_parts(x.timestamp_ms, x.node_id, x.sequence)
    if type(x) is QuibIdDesc:
        return QuibId.from_parts(x.timestamp, x.precision, x.node_id, x.sequence)
    raise TypeError(
        f"to_asc() argument must be SornIdDesc or QuibIdDesc, not {type(x).__name__}"
    )
