"""mssql_generators_tsql: the script's text, pinned line by line and parsed
with sqlfluff's T-SQL dialect, its refusals, and a model of the procedures'
arithmetic (mssql_generator_model.py) against the Python generators for the
same clock readings."""
import pathlib

import pytest
import sqlfluff
from hypothesis import given
from hypothesis import strategies as st

from mssql_generator_model import TICKS_TO_1970, TsqlError, generate_id, generate_quibid

from sornquibid import QuibId, QuibIdGenerator, SornIdGenerator, mssql_generators_tsql, sql_batches

PINNED = pathlib.Path(__file__).resolve().parent / "mssql_generators_0_ns.sql"
TWITTER = 1_288_834_974_657
YEAR_1 = -62135596800000
T0 = 1_700_000_000_000_000_000


def test_the_script_is_pinned_line_by_line():
    got = mssql_generators_tsql().split("\n")
    expected = PINNED.read_text(encoding="utf-8").split("\n")
    for number, (a, b) in enumerate(zip(got, expected), 1):
        assert a == b, f"line {number}"
    assert len(got) == len(expected)


@pytest.mark.parametrize("epoch_ms, precision", [(0, "ns"), (TWITTER, "us"), (YEAR_1, "fs")])
def test_the_script_parses_as_tsql(epoch_ms, precision):
    script = mssql_generators_tsql(epoch_ms=epoch_ms, precision=precision)
    assert "\r" not in script and script.endswith("\nGO\n") and not script.endswith("\n\nGO\n")
    assert script.count("\u2014") == 1
    batches = sql_batches(script)
    assert len(batches) == 3
    assert "CREATE TABLE dbo.sornquibid_generator_state" in batches[0]
    assert batches[1].lstrip().startswith("CREATE OR ALTER PROCEDURE dbo.generate_id\n    @in_node_id int = NULL\n")
    assert batches[2].lstrip().startswith("CREATE OR ALTER PROCEDURE dbo.generate_quibid\n    @in_node_id int = NULL\n")
    sqlfluff.parse(script, dialect="tsql")


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"epoch_ms": 253402300800000}, ValueError, "epoch_ms 253402300800000 is outside the years 1 to 9999"),
    ({"epoch_ms": 2**64}, OverflowError, "does not fit"),
    ({"epoch_ms": 1.5}, TypeError, "must be an integer"),
    ({"precision": "nano"}, ValueError, 'unknown precision "nano"'),
    ({"precision": 9}, TypeError, "precision must be a str or None, not int"),
])
def test_refusals(kwargs, exc, message):
    with pytest.raises(exc) as info:
        mssql_generators_tsql(**kwargs)
    assert message in str(info.value)
    with pytest.raises(TypeError):
        mssql_generators_tsql(0)  # keyword-only


def test_long_precision_names_and_defaults():
    assert mssql_generators_tsql(precision="nanoseconds") == mssql_generators_tsql()
    assert mssql_generators_tsql(epoch_ms=0, precision="ns") == mssql_generators_tsql()


def ticks(clock_ns):
    return (clock_ns // 100) + TICKS_TO_1970


# Clock readings as SYSUTCDATETIME() gives them: 100 ns steps.
walks = st.lists(st.one_of(st.just(0), st.integers(-10**5, 10**5), st.integers(-10**14, 10**14)),
                 min_size=1, max_size=40)


@pytest.mark.parametrize("epoch_ms", [0, TWITTER, YEAR_1, 1_700_000_000_000])
@pytest.mark.parametrize("unit", ["ms", "us", "ns", "ps", "fs"])
@given(walk=walks)
def test_the_procedures_agree_with_the_generators(epoch_ms, unit, walk):
    reading = 1_700_000_000_000_000_000
    rows = {}
    holder = [reading]
    if unit == "ms":
        gen = SornIdGenerator(9, epoch_ms=epoch_ms, clock=lambda: holder[0])
    else:
        gen = QuibIdGenerator(9, precision=unit, epoch_ms=epoch_ms, clock=lambda: holder[0])
    for step in walk:
        reading += step * 100
        holder[0] = reading
        try:
            if unit == "ms":
                got = generate_id(rows, 9, ticks(reading), epoch_ms)
            else:
                got = generate_quibid(rows, 9, ticks(reading), epoch_ms, unit)
        except TsqlError as e:
            assert e.number in (50323, 50324)
            with pytest.raises(ValueError):
                gen.next()
            continue
        expected = gen.next()
        if unit == "ms":
            assert got == expected.as_int()
        else:
            assert QuibId.from_bytes(got) == expected


@pytest.mark.parametrize("unit", ["ms", "ns"])
def test_used_up_sequences_and_the_field_end_agree(unit):
    rows, epoch_ms = {}, 0
    last_ms = 2**41 - 1
    reading = last_ms * 10**6 + 999_900  # the field's last millisecond
    gen = (SornIdGenerator(3, clock=lambda: reading) if unit == "ms"
           else QuibIdGenerator(3, precision=unit, clock=lambda: reading))
    draws = 8192 if unit == "ms" else 65536 * 3
    for _ in range(draws):
        got = (generate_id(rows, 3, ticks(reading), epoch_ms) if unit == "ms"
               else QuibId.from_bytes(generate_quibid(rows, 3, ticks(reading), epoch_ms, unit)))
        expected = gen.next()
        assert got == (expected.as_int() if unit == "ms" else expected)
    if unit == "ms":
        with pytest.raises(TsqlError) as info:
            generate_id(rows, 3, ticks(reading), epoch_ms)
        assert info.value.number == 50324
        with pytest.raises(ValueError):
            gen.next()


def test_the_state_row_rules():
    rows = {}
    with pytest.raises(TsqlError) as info:
        generate_id(rows, None, ticks(T0), 0)
    assert info.value.number == 50320
    generate_id(rows, 7, ticks(T0), 0)
    rows[("sorn", 7)]["is_default"] = True
    assert generate_id(rows, None, ticks(T0), 0) >> 13 & 511 == 7
    for node, number in [(512, 50322), (-1, 50322)]:
        with pytest.raises(TsqlError) as info:
            generate_id(rows, node, ticks(T0), 0)
        assert info.value.number == number
    with pytest.raises(TsqlError) as info:
        generate_id(rows, 7, ticks(T0), TWITTER)  # the row was used with epoch 0
    assert info.value.number == 50325


COMMON = [
    "DECLARE @nanos bigint = DATEPART(NANOSECOND, @now) - {nanos};",
    "DECLARE @ts bigint = @seconds * 1000 + @nanos / 1000000;",
    "SELECT ts * 4194304 + @node_id * 8192 + seq AS id FROM @next;",
    "+ CAST(ts_low % 2 * @bit_31 + @node_id * 65536 + seq AS binary(4))",
    "DECLARE @seconds bigint = DATEDIFF_BIG(SECOND, CAST('{second}' AS datetime2(7)), @now);",
]
SPLIT_NS = [
    "DECLARE @ts bigint = @seconds / 536870912 * 1000000000;",
    "DECLARE @rest bigint = @seconds % 536870912 * 1000000000 + @nanos;",
]


@pytest.mark.parametrize("epoch_ms, precision, second, nanos, statements", [
    (0, "us", "1970-01-01T00:00:00", 0, [
        "DECLARE @ts bigint = @seconds * 1000000 + @nanos / 1000;",
        "DECLARE @variant_precision bigint = 2147483648;",
    ]),
    (TWITTER, "ps", "2010-11-04T01:42:54", 657000000, SPLIT_NS + [
        "SET @rest = @ts_low * 1000;",
        "SET @ts = @ts * 1000 + @rest / 536870912;",
        "DECLARE @variant_precision bigint = 2684354560;",
    ]),
    (YEAR_1, "fs", "0001-01-01T00:00:00", 0, SPLIT_NS + [
        "SET @rest = @ts_low * 1000000;",
        "DECLARE @variant_precision bigint = 2952790016;",
    ]),
])
def test_the_model_follows_the_script(epoch_ms, precision, second, nanos, statements):
    # The statements the model mirrors, as the script has them.
    script = mssql_generators_tsql(epoch_ms=epoch_ms, precision=precision)
    for statement in [s.format(second=second, nanos=nanos) for s in COMMON] + statements:
        assert statement in script, statement
