"""The conflicts of the QuibId to SornId conversion as records."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Literal

from _sornquibid import QuibId

ConflictKind = Literal["NodeIdOverflow", "TimestampOverflow", "SequenceOverflow"]


@dataclass(frozen=True, slots=True)
class ConversionConflict:
    """One conflict of QuibId.check_sornid_convertibility.

    `kind` names the problem; the fields it has are ints and the others None:
    NodeIdOverflow has `node_id`, TimestampOverflow `timestamp_ms` (the
    squashed millisecond value), SequenceOverflow `timestamp_ms`, `node_id`,
    `count` (identifiers in the group) and `max` (8192). `quib_ids` lists
    every input identifier with this problem, in input order. str() gives the
    check's text of the conflict.
    """

    kind: ConflictKind
    timestamp_ms: int | None
    node_id: int | None
    count: int | None
    max: int | None
    quib_ids: tuple[QuibId, ...]
    _text: str = field(repr=False, compare=False)

    def __str__(self) -> str:
        return self._text


# How the extension's refusals of the argument begin.
_DETAILS = "sornid_conflict_details()"


def sornid_conflicts(ids: Sequence[QuibId]) -> list[ConversionConflict]:
    """The conflicts of QuibId.check_sornid_convertibility(ids), in its order;
    empty exactly when QuibId.batch_to_sornids(ids) succeeds."""
    try:
        conflicts = QuibId.sornid_conflict_details(ids)
    except TypeError as exc:
        # Name this function, which the caller called.
        message = str(exc)
        if not message.startswith(_DETAILS):
            raise
        raise TypeError("sornid_conflicts()" + message.removeprefix(_DETAILS)) from None
    return [ConversionConflict(*details) for details in conflicts]
