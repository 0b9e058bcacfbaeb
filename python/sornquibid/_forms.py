"""The ascending and the descending form of one identifier.

The descending form keeps an identifier's fields and stores them so that
ascending order lists the newest first. Going from one form to the other
rebuilds the identifier from its fields, so the flip masks stay in the
extension; the result equals what dbo.sornid_to_desc / dbo.quibid_to_desc
(and the *_to_asc functions) compute in SQL Server, and what the functions
of the same names in `postgresql_script()` compute in PostgreSQL.
"""

from __future__ import annotations

import uuid
from typing import overload

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc


@overload
def to_desc(x: SornId) -> SornIdDesc: ...
@overload
def to_desc(x: QuibId | uuid.UUID) -> QuibIdDesc: ...
def to_desc(x: SornId | QuibId | uuid.UUID) -> SornIdDesc | QuibIdDesc:
    """The descending form of a SornId or QuibId. A uuid.UUID is taken as
    the QuibId of its bytes (so it must have version 8 and the RFC 4122
    variant), as a PostgreSQL uuid column returns it."""
    if type(x) is SornId:
        return SornIdDesc.from_parts(x.timestamp_ms, x.node_id, x.sequence)
    if isinstance(x, uuid.UUID):
        x = QuibId.from_bytes(x.bytes)
    if type(x) is QuibId:
        return QuibIdDesc.from_parts(x.timestamp, x.precision, x.node_id, x.sequence)
    raise TypeError(
        f"to_desc() argument must be SornId, QuibId or uuid.UUID, not {type(x).__name__}"
    )


@overload
def to_asc(x: SornIdDesc) -> SornId: ...
@overload
def to_asc(x: QuibIdDesc | uuid.UUID) -> QuibId: ...
def to_asc(x: SornIdDesc | QuibIdDesc | uuid.UUID) -> SornId | QuibId:
    """The ascending form of a SornIdDesc or QuibIdDesc. A uuid.UUID is taken
    as the QuibIdDesc of its bytes (the value of a descending uuid column)."""
    if type(x) is SornIdDesc:
        return SornId.from_parts(x.timestamp_ms, x.node_id, x.sequence)
    if isinstance(x, uuid.UUID):
        x = QuibIdDesc.from_bytes(x.bytes)
    if type(x) is QuibIdDesc:
        return QuibId.from_parts(x.timestamp, x.precision, x.node_id, x.sequence)
    raise TypeError(
        "to_asc() argument must be SornIdDesc, QuibIdDesc or uuid.UUID, "
        f"not {type(x).__name__}"
    )
