"""Time in and out: the UTC time of an identifier, and the identifiers at a
time.

A timestamp counts units (milliseconds for SornId, the precision's unit for
QuibId) from an epoch: `epoch_ms`, the Unix time in milliseconds at which
timestamp 0 lies. A datetime counts microseconds. So "the identifiers at a
datetime" are those whose timestamp lies in the coarser of the two units that
contains it: for SornId the datetime's millisecond, for QuibId in
microseconds its microsecond, and for QuibId in ns, ps or fs all the
timestamps of its microsecond. `id_time` goes the other way, to the
microsecond at or before the identifier's time, so that an identifier always
lies between `first_id_at` and `last_id_at` of its `id_time`.
"""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from typing import Any, TypeVar, Union, cast

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from ._native import check_epoch_ms

# Digits of each unit after the second's decimal point.
UNIT_DIGITS = {"ms": 3, "us": 6, "ns": 9, "ps": 12, "fs": 15}

_UNIX_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MICROSECOND = timedelta(microseconds=1)

# The identifiers with every field at its largest: the widths of the fields
# come from the extension.
_SORN_MAX = SornId(2**63 - 1)
_QUIB_MAX = QuibId.from_str("ffffffff-ffff-8fff-bfff-ffffffffffff")

AnyId = Union[SornId, SornIdDesc, QuibId, QuibIdDesc]
Family = TypeVar("Family", SornId, SornIdDesc, QuibId, QuibIdDesc)


def utc_text(count: int, unit: str, epoch_ms: int) -> str | None:
    """The UTC date and time `count` units ("ms", "us", "ns", "ps" or "fs")
    after the Unix time `epoch_ms`, with the unit's digits after the second,
    as "2039-09-07T15:47:35.551Z"; None outside the years 1 to 9999."""
    digits = UNIT_DIGITS[unit]
    per_second = 10**digits
    seconds, fraction = divmod(count + epoch_ms * 10 ** (digits - 3), per_second)
    try:
        moment = datetime(1970, 1, 1) + timedelta(seconds=seconds)
    except OverflowError:
        return None
    return f"{moment.isoformat(timespec='seconds')}.{fraction:0{digits}d}Z"


def exhausted_message(family: str, unit: str, epoch_ms: int) -> str:
    """What a generator of `family` ("sorn" or "quib", timestamps in `unit`)
    says when its timestamp field has ended: the same text in Python, SQL
    Server and PostgreSQL."""
    last = _SORN_MAX.timestamp_ms if family == "sorn" else _QUIB_MAX.timestamp
    end = utc_text(last, unit, epoch_ms) or "a time after the year 9999"
    what = "SornId timestamps" if family == "sorn" else f"QuibId timestamps in {unit}"
    return f"{what} end at {end} with epoch_ms={epoch_ms}"


def before_epoch_message(epoch_ms: int) -> str:
    """What the database generators say when the clock reads before the
    epoch `epoch_ms` (a checked one, in the years 1 to 9999)."""
    return f"the clock reads before the epoch {utc_text(0, 'ms', epoch_ms)} (epoch_ms={epoch_ms})"


def generation_precision() -> str:
    """The process's generation precision ("us", "ns", "ps" or "fs"), as the
    extension has it: the precision of the QuibId that SornId(0) converts to."""
    return SornId.batch_to_quibids([SornId(0)])[0][1].precision


def precision_of(precision: object) -> str:
    """The short text of a precision argument: None is the generation
    precision; a name is judged by the extension."""
    if precision is None:
        return generation_precision()
    if not isinstance(precision, str):
        raise TypeError(f"precision must be a str or None, not {type(precision).__name__}")
    # Judged by the extension: the short texts and the long names.
    return QuibIdDesc.from_parts(0, cast(Any, precision), 0, 0).precision


def _count_and_unit(x: object, fname: str) -> tuple[int, str]:
    if isinstance(x, (SornId, SornIdDesc)):
        return x.timestamp_ms, "ms"
    if isinstance(x, (QuibId, QuibIdDesc)):
        return x.timestamp, x.precision
    raise TypeError(
        f"{fname}() argument 'id' must be SornId, SornIdDesc, QuibId or QuibIdDesc, "
        f"not {type(x).__name__}"
    )


def id_time(id: AnyId, *, epoch_ms: int = 0) -> datetime:
    """The UTC time of an identifier of any of the four classes, to the
    microsecond at or before it (the exact count stays in the identifier's
    timestamp field). ValueError when it lies outside the years 1 to 9999."""
    count, unit = _count_and_unit(id, "id_time")
    epoch = check_epoch_ms(epoch_ms)
    shift = UNIT_DIGITS[unit] - 6
    micros = count * 10**-shift if shift < 0 else count // 10**shift
    try:
        return _UNIX_EPOCH + timedelta(milliseconds=epoch, microseconds=micros)
    except OverflowError:
        raise ValueError(
            f"{id!r} with epoch_ms={epoch} lies outside the years 1 to 9999"
        ) from None


def _field(family: type, precision: object) -> tuple[str, int, int, int]:
    """Unit, largest timestamp, largest node id and largest sequence of a
    family."""
    if family is SornId or family is SornIdDesc:
        if precision is not None:
            raise TypeError(f"precision is for QuibId and QuibIdDesc, not {family.__name__}")
        m = _SORN_MAX
        return "ms", m.timestamp_ms, m.node_id, m.sequence
    if family is QuibId or family is QuibIdDesc:
        q = _QUIB_MAX
        return precision_of(precision), q.timestamp, q.node_id, q.sequence
    raise TypeError(
        f"family must be SornId, SornIdDesc, QuibId or QuibIdDesc, not {family!r}"
    )


def _timestamps_at(family: type, when: object, epoch_ms: int,
                   precision: object) -> tuple[str, int, int, int, int]:
    """The unit, the first and last timestamp at `when`, and the largest node
    id and sequence of the family."""
    unit, max_ts, max_node, max_seq = _field(family, precision)
    if not isinstance(when, datetime):
        raise TypeError(f"when must be a datetime, not {type(when).__name__}")
    try:
        since_1970 = when - _UNIX_EPOCH
    except TypeError:  # a naive datetime
        raise ValueError(
            f"when must be an aware datetime (with a time zone), not the naive {when.isoformat()}"
        ) from None
    epoch = check_epoch_ms(epoch_ms)
    micros = since_1970 // _MICROSECOND - epoch * 1000
    shift = UNIT_DIGITS[unit] - 6
    if shift <= 0:
        first = last = micros // 10**-shift
    else:
        first = micros * 10**shift
        last = first + 10**shift - 1
    if first < 0 or first > max_ts:
        end = utc_text(max_ts, unit, epoch) or "a time after the year 9999"
        in_unit = "" if unit == "ms" else f" in {unit}"
        raise ValueError(
            f"{when.isoformat()} is outside the range of {family.__name__.removesuffix('Desc')} "
            f"timestamps{in_unit} with epoch_ms={epoch}: {utc_text(0, unit, epoch)} to {end}"
        )
    return unit, first, min(last, max_ts), max_node, max_seq


def _at(family: type[Family], timestamp: int, unit: str, node_id: int,
        sequence: int) -> Family:
    maker: Any = family
    if family is SornId or family is SornIdDesc:
        return cast(Family, maker.from_parts(timestamp, node_id, sequence))
    return cast(Family, maker.from_parts(timestamp, unit, node_id, sequence))


def first_id_at(family: type[Family], when: datetime, *, epoch_ms: int = 0,
                precision: str | None = None) -> Family:
    """The smallest identifier of `family` (its stored value) at the datetime
    `when`, which must be aware. For SornId and QuibId that is the first
    timestamp at `when` with node id 0 and sequence 0; for the descending
    classes the last timestamp with node id 0 and the largest sequence.
    `precision` (QuibId and QuibIdDesc only) defaults to the process's
    generation precision."""
    unit, first, last, _, max_seq = _timestamps_at(family, when, epoch_ms, precision)
    if family is SornId or family is QuibId:
        return _at(family, first, unit, 0, 0)
    return _at(family, last, unit, 0, max_seq)


def last_id_at(family: type[Family], when: datetime, *, epoch_ms: int = 0,
               precision: str | None = None) -> Family:
    """The largest identifier of `family` (its stored value) at the datetime
    `when`: for SornId and QuibId the last timestamp at `when` with the
    largest node id and sequence; for the descending classes the first
    timestamp with the largest node id and sequence 0."""
    unit, first, last, max_node, max_seq = _timestamps_at(family, when, epoch_ms, precision)
    if family is SornId or family is QuibId:
        return _at(family, last, unit, max_node, max_seq)
    return _at(family, first, unit, max_node, 0)


__all__ = ["utc_text", "id_time", "first_id_at", "last_id_at", "generation_precision"]
