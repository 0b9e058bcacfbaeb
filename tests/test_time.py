"""id_time, first_id_at and last_id_at: exact values, their agreement with
each other and with the generators, and their refusals."""
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given
from hypothesis import strategies as st

from sornquibid import (
    QuibId, QuibIdDesc, QuibIdGenerator, SornId, SornIdDesc, SornIdGenerator, first_id_at,
    id_time, last_id_at, to_asc, to_desc,
)
from sornquibid._time import utc_text

UTC = timezone.utc
WHEN = datetime(2023, 11, 14, 22, 13, 20, 123456, tzinfo=UTC)
CET = timezone(timedelta(hours=1))
TWITTER = 1_288_834_974_657


@pytest.mark.parametrize("x, epoch_ms, expected", [
    (SornId(7130316800000040967), 0, datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC)),
    (SornIdDesc.from_parts(1, 0, 0), TWITTER, datetime(2010, 11, 4, 1, 42, 54, 658000, tzinfo=UTC)),
    # Finer than a microsecond: the microsecond at or before it.
    (QuibId.from_parts(1_700_000_000_123_456_999, "ns", 1, 2), 0, WHEN),
    (QuibIdDesc.from_parts(1_700_000_000_123_456 * 10**9 + 10**9 - 1, "fs", 1, 2), 0, WHEN),
    (QuibId.from_parts(1_700_000_000_123_456, "us", 1, 2), 0, WHEN),
    (QuibId.from_parts(0, "ps", 0, 0), -62135596800000, datetime(1, 1, 1, tzinfo=UTC)),
])
def test_id_time(x, epoch_ms, expected):
    got = id_time(x, epoch_ms=epoch_ms)
    assert got == expected and got.tzinfo is UTC


@pytest.mark.parametrize("family, precision, first, last", [
    (SornId, None, SornId.from_parts(1_700_000_000_123, 0, 0),
     SornId.from_parts(1_700_000_000_123, 511, 8191)),
    (SornIdDesc, None, SornIdDesc.from_parts(1_700_000_000_123, 0, 8191),
     SornIdDesc.from_parts(1_700_000_000_123, 511, 0)),
    (QuibId, "us", QuibId.from_parts(1_700_000_000_123_456, "us", 0, 0),
     QuibId.from_parts(1_700_000_000_123_456, "us", 32767, 65535)),
    (QuibId, "ns", QuibId.from_parts(1_700_000_000_123_456_000, "ns", 0, 0),
     QuibId.from_parts(1_700_000_000_123_456_999, "ns", 32767, 65535)),
    (QuibIdDesc, "picoseconds", QuibIdDesc.from_parts(1_700_000_000_123_456_999_999, "ps", 0, 65535),
     QuibIdDesc.from_parts(1_700_000_000_123_456_000_000, "ps", 32767, 0)),
])
@pytest.mark.parametrize("when", [WHEN, WHEN.astimezone(CET)])
def test_first_and_last_id_at(family, precision, first, last, when):
    assert first_id_at(family, when, precision=precision) == first
    assert last_id_at(family, when, precision=precision) == last


@given(value=st.integers(0, 2**63 - 1), epoch_ms=st.sampled_from([0, TWITTER, -62135596800000]),
       desc=st.booleans())
def test_a_sornid_lies_between_the_bounds_of_its_time(value, epoch_ms, desc):
    x = SornId(value)
    try:
        when = id_time(x, epoch_ms=epoch_ms)
    except ValueError:  # beyond 9999: the epoch lies too late for this value
        return
    x = to_desc(x) if desc else x
    family = type(x)
    assert first_id_at(family, when, epoch_ms=epoch_ms) <= x <= last_id_at(family, when, epoch_ms=epoch_ms)


@given(t=st.integers(0, 2**89 - 1), precision=st.sampled_from(["us", "ns", "ps", "fs"]),
       node=st.integers(0, 32767), seq=st.integers(0, 65535), desc=st.booleans())
def test_a_quibid_lies_between_the_bounds_of_its_time(t, precision, node, seq, desc):
    x = QuibId.from_parts(t, precision, node, seq)
    try:
        when = id_time(x)
    except ValueError:
        return
    x = to_desc(x) if desc else x
    bounds = [f(type(x), when, precision=precision) for f in (first_id_at, last_id_at)]
    assert bounds[0] <= x <= bounds[1]
    # The bounds lie at that time too: the same microsecond, or millisecond.
    assert {id_time(b) for b in bounds} == {when}


@pytest.mark.parametrize("unit", ["ms", "us", "ns", "ps", "fs"])
@given(clock=st.integers(0, 2**63 - 1), epoch_ms=st.sampled_from([0, TWITTER]))
def test_a_generated_id_lies_at_the_time_of_its_clock_reading(unit, clock, epoch_ms):
    if clock < epoch_ms * 10**6:
        return
    when = datetime(1970, 1, 1, tzinfo=UTC) + timedelta(microseconds=clock // 1000)
    if unit == "ms":
        gen, family, kw = SornIdGenerator(7, epoch_ms=epoch_ms, clock=lambda: clock), SornId, {}
    else:
        gen = QuibIdGenerator(7, precision=unit, epoch_ms=epoch_ms, clock=lambda: clock)
        family, kw = QuibId, {"precision": unit}
    try:
        x = gen.next()
    except ValueError:  # SornId timestamps ended
        assert unit == "ms"
        return
    assert first_id_at(family, when, epoch_ms=epoch_ms, **kw) <= x
    assert x <= last_id_at(family, when, epoch_ms=epoch_ms, **kw)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: first_id_at(SornId, datetime(2039, 9, 7, 15, 47, 35, 552000, tzinfo=UTC)),
     ValueError, "2039-09-07T15:47:35.552000+00:00 is outside the range of SornId timestamps "
     "with epoch_ms=0: 1970-01-01T00:00:00.000Z to 2039-09-07T15:47:35.551Z"),
    (lambda: last_id_at(SornIdDesc, datetime(2010, 1, 1, tzinfo=CET), epoch_ms=TWITTER),
     ValueError, "2010-01-01T00:00:00+01:00 is outside the range of SornId timestamps with "
     "epoch_ms=1288834974657: 2010-11-04T01:42:54.657Z to 2080-07-10T17:30:30.208Z"),
    (lambda: first_id_at(QuibIdDesc, datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
                         precision="fs"),
     ValueError, "1969-12-31T23:59:59.999999+00:00 is outside the range of QuibId timestamps in "
     "fs with epoch_ms=0: 1970-01-01T00:00:00.000000000000000Z to a time after the year 9999"),
    (lambda: first_id_at(SornId, datetime(2023, 1, 1)), ValueError,
     "when must be an aware datetime (with a time zone), not the naive 2023-01-01T00:00:00"),
    (lambda: first_id_at(SornId, WHEN.date()), TypeError, "when must be a datetime, not date"),
    (lambda: last_id_at(SornId, "2023-01-01"), TypeError, "when must be a datetime, not str"),
    (lambda: first_id_at(int, WHEN), TypeError,
     "family must be SornId, SornIdDesc, QuibId or QuibIdDesc, not <class 'int'>"),
    (lambda: first_id_at(SornId, WHEN, precision="ns"), TypeError,
     "precision is for QuibId and QuibIdDesc, not SornId"),
    (lambda: first_id_at(QuibId, WHEN, precision="xs"), ValueError, 'unknown precision "xs"'),
    (lambda: first_id_at(QuibId, WHEN, precision=9), TypeError,
     "precision must be a str or None, not int"),
    (lambda: first_id_at(SornId, WHEN, epoch_ms=10**16), ValueError,
     "epoch_ms 10000000000000000 is outside the years 1 to 9999"),
    (lambda: first_id_at(SornId, WHEN, epoch_ms="0"), TypeError, "must be an integer"),
    (lambda: id_time(5), TypeError,
     "id_time() argument 'id' must be SornId, SornIdDesc, QuibId or QuibIdDesc, not int"),
    (lambda: id_time(SornId(2**63 - 1), epoch_ms=253402300799999), ValueError,
     "SornId(9223372036854775807) with epoch_ms=253402300799999 lies outside the years 1 to 9999"),
    (lambda: id_time(QuibId.from_parts(2**89 - 1, "us", 0, 0)), ValueError,
     "lies outside the years 1 to 9999"),
    (lambda: first_id_at(SornId, WHEN, 0), TypeError, "positional argument"),
])
def test_refusals(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert message in str(info.value)


def test_precision_none_is_the_generation_precision(monkeypatch):
    from conftest import run_python
    code = ("from datetime import datetime, timezone\nfrom sornquibid import QuibId, first_id_at\n"
            "print(first_id_at(QuibId, datetime(2023, 1, 1, tzinfo=timezone.utc)).precision)")
    assert run_python(code, env_updates={"QUIBID_PRECISION": "fs"}) == "fs"


@given(count=st.integers(0, 2**89 - 1), unit=st.sampled_from(["ms", "us", "ns", "ps", "fs"]),
       epoch_ms=st.integers(-62135596800000, 253402300799999))
def test_utc_text_is_the_time_of_id_time(count, unit, epoch_ms):
    if unit == "ms":
        count %= 2**41
        x = SornId.from_parts(count, 0, 0)
    else:
        x = QuibId.from_parts(count, unit, 0, 0)
    text = utc_text(count, unit, epoch_ms)
    try:
        when = id_time(x, epoch_ms=epoch_ms)
    except ValueError:
        assert text is None
        return
    width = 23 if unit == "ms" else 26
    assert text[:width] == when.replace(tzinfo=None).isoformat(timespec="microseconds")[:width]


def test_the_generators_refusal_names_the_date_of_utc_text():
    # The core's date text and the package's agree.
    for epoch_ms in (0, TWITTER, -62135596800000, 253402300799999 - 2**41):
        gen = SornIdGenerator(0, epoch_ms=epoch_ms, clock=lambda: 2**63 - 1)
        end = utc_text(2**41 - 1, "ms", epoch_ms)
        if epoch_ms * 10**6 + (2**41 - 1) * 10**6 >= 2**63 - 1:
            continue
        with pytest.raises(ValueError) as info:
            gen.next()
        assert str(info.value) == f"SornId timestamps end at {end} with epoch_ms={epoch_ms}"
    for clock in (-1, -(10**18) - 1, 2**63 - 1, -(2**63)):
        with pytest.raises(ValueError) as info:
            QuibIdGenerator(0, precision="ns", epoch_ms=253402300799999, clock=lambda: clock).next()
        ms, ns = divmod(clock, 10**6)
        assert str(info.value).startswith(f"the clock reads {utc_text(ns, 'ns', ms)}, before")
    assert to_asc(first_id_at(SornIdDesc, WHEN)) == SornId.from_parts(1_700_000_000_123, 0, 8191)
