"""The SQL Server procedures dbo.generate_id and dbo.generate_quibid, which
make identifiers in the database by the rules of the Python generators.

The script is made for one epoch and one QuibId precision, both written into
its text: the state of a node lives in one row of
dbo.sornquibid_generator_state per (family, node id), and one UPDATE
statement reads and advances it under the row's lock. T-SQL has only 64-bit
integers, so the 89-bit QuibId timestamp is carried in two parts, its bits
above bit 29 and its 29 low bits, and every intermediate stays within bigint.
"""

from __future__ import annotations

from ._native import check_epoch_ms
from ._time import UNIT_DIGITS, before_epoch_message, exhausted_message, precision_of, utc_text

# Error numbers of the procedures.
NO_DEFAULT_NODE = 50320
SEVERAL_DEFAULT_NODES = 50321
NODE_ID_OUT_OF_RANGE = 50322
CLOCK_BEFORE_EPOCH = 50323
TIMESTAMPS_EXHAUSTED = 50324
OTHER_EPOCH_OR_PRECISION = 50325

_LOW_BITS = 536870912  # 2**29: the QuibId timestamp is split at bit 29

_HEADER = """\
-- sornquibid \u2014 MSSQL identifier generators (epoch_ms={epoch_ms}, QuibId in {unit}).
--
-- dbo.generate_id returns the next SornId (bigint) of a node, and
-- dbo.generate_quibid the next QuibId (BINARY(16)), each as a result set of
-- one row and one column, by the rules of sornquibid.SornIdGenerator and
-- QuibIdGenerator: the timestamp counts from the epoch {epoch}
-- on the clock SYSUTCDATETIME(); when the clock stands still or steps back
-- the node counts on from its last identifier, and once a timestamp's
-- sequences are used up it moves to the next timestamp, so every identifier
-- of a node is greater than the one before it. The end of the timestamp
-- field is an error, never a wrap.
--
-- State: one row of dbo.sornquibid_generator_state per (family, node_id),
-- family 'sorn' or 'quib', read and advanced by one UPDATE under the row's
-- lock. @in_node_id NULL means the family's row marked is_default = 1:
--     INSERT INTO dbo.sornquibid_generator_state (family, node_id, is_default)
--     VALUES ('sorn', 7, 1), ('quib', 7, 1);
-- A row keeps the epoch_ms and unit it was first used with; a script made
-- for another epoch or precision refuses it rather than mix two timelines.
"""

_TABLE = """\
IF OBJECT_ID(N'dbo.sornquibid_generator_state', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.sornquibid_generator_state (
        family      varchar(4) NOT NULL,
        node_id     int        NOT NULL,
        is_default  bit        NOT NULL
            CONSTRAINT df_sornquibid_generator_state_is_default DEFAULT 0,
        epoch_ms    bigint     NULL,
        unit        varchar(2) NULL,
        -- The last timestamp: whole for sorn; for quib its bits above bit 29
        -- in last_ts and its 29 low bits in last_ts_low.
        last_ts     bigint     NULL,
        last_ts_low bigint     NULL,
        last_seq    int        NULL,
        CONSTRAINT pk_sornquibid_generator_state PRIMARY KEY (family, node_id),
        CONSTRAINT ck_sornquibid_generator_state_node CHECK (
            (family = 'sorn' AND node_id BETWEEN 0 AND 511)
            OR (family = 'quib' AND node_id BETWEEN 0 AND 32767))
    );
END;
GO
"""

# The start of both procedures: the node id, then the clock as whole seconds
# and nanoseconds since the epoch.
_START = """\
CREATE OR ALTER PROCEDURE dbo.{name}
    @in_node_id int = NULL
AS
BEGIN
    SET NOCOUNT ON;

    DECLARE @node_id int = @in_node_id;
    DECLARE @message nvarchar(400);
    IF @node_id IS NULL
    BEGIN
        DECLARE @defaults int;
        SELECT @node_id = MIN(node_id), @defaults = COUNT(*)
        FROM dbo.sornquibid_generator_state
        WHERE family = '{family}' AND is_default = 1;
        IF @defaults = 0
            THROW {no_default}, 'dbo.{name}: no @in_node_id given and no default node: set is_default = 1 on one {family} row of dbo.sornquibid_generator_state', 1;
        IF @defaults > 1
            THROW {several_defaults}, 'dbo.{name}: more than one {family} row of dbo.sornquibid_generator_state has is_default = 1', 1;
    END;
    IF @node_id < 0 OR @node_id > {max_node}
    BEGIN
        SET @message = N'node_id ' + CAST(@node_id AS nvarchar(11)) + N' is outside 0 to {max_node}';
        THROW {bad_node}, @message, 1;
    END;

    -- The clock: whole seconds and nanoseconds since the epoch.
    DECLARE @now datetime2(7) = SYSUTCDATETIME();
    DECLARE @seconds bigint = DATEDIFF_BIG(SECOND, CAST('{epoch_second}' AS datetime2(7)), @now);
    DECLARE @nanos bigint = DATEPART(NANOSECOND, @now) - {epoch_nanos};
    IF @nanos < 0
    BEGIN
        SET @seconds = @seconds - 1;
        SET @nanos = @nanos + 1000000000;
    END;
    IF @seconds < 0
        THROW {before_epoch}, '{before_epoch_message}', 1;
"""

# The node's row, made on its first use: one statement, so that concurrent
# first calls make it once.
_ENSURE_ROW = """\

    INSERT INTO dbo.sornquibid_generator_state (family, node_id)
    SELECT '{family}', @node_id
    WHERE NOT EXISTS (
        SELECT 1 FROM dbo.sornquibid_generator_state WITH (UPDLOCK, HOLDLOCK)
        WHERE family = '{family}' AND node_id = @node_id);
"""

# After the UPDATE: no row means another epoch or unit; an unchanged state
# means the field's last identifier was drawn already.
_CHECK_UPDATE = """\
    IF NOT EXISTS (SELECT 1 FROM @next)
        THROW {other}, 'dbo.{name}: the row of this node in dbo.sornquibid_generator_state was used with another epoch_ms or unit than {epoch_ms} and {unit}', 1;
    IF EXISTS (SELECT 1 FROM @next WHERE {unchanged})
        THROW {exhausted}, '{exhausted_message}', 1;
"""

_SORN = """\
    -- now, in milliseconds since the epoch.
    DECLARE @max_ts bigint = 2199023255551;
    DECLARE @ts bigint = @seconds * 1000 + @nanos / 1000000;
    IF @ts > @max_ts
        THROW {exhausted}, '{exhausted_message}', 1;
{ensure_row}
    DECLARE @next TABLE (old_ts bigint NULL, old_seq int NULL, ts bigint, seq int);
    UPDATE dbo.sornquibid_generator_state
    SET last_ts = CASE
            WHEN last_ts IS NULL OR @ts > last_ts THEN @ts
            WHEN last_seq < 8191 THEN last_ts
            WHEN last_ts < @max_ts THEN last_ts + 1
            ELSE last_ts END,
        last_ts_low = 0,
        last_seq = CASE
            WHEN last_ts IS NULL OR @ts > last_ts THEN 0
            WHEN last_seq < 8191 THEN last_seq + 1
            WHEN last_ts < @max_ts THEN 0
            ELSE last_seq END,
        epoch_ms = {epoch_ms},
        unit = 'ms'
    OUTPUT deleted.last_ts, deleted.last_seq, inserted.last_ts, inserted.last_seq INTO @next
    WHERE family = 'sorn' AND node_id = @node_id
      AND (epoch_ms IS NULL OR (epoch_ms = {epoch_ms} AND unit = 'ms'));
{check_update}
    SELECT ts * 4194304 + @node_id * 8192 + seq AS id FROM @next;
END;
GO
"""

# now in the unit, as its bits above bit 29 (@ts) and its 29 low bits
# (@ts_low), for each precision.
_QUIB_NOW = {
    "us": """\
    -- now, in microseconds since the epoch, split at bit 29.
    DECLARE @ts bigint = @seconds * 1000000 + @nanos / 1000;
    DECLARE @ts_low bigint = @ts % 536870912;
    SET @ts = @ts / 536870912;
""",
    "ns": """\
    -- now, in nanoseconds since the epoch, split at bit 29: the seconds
    -- first, so that no product leaves bigint.
    DECLARE @ts bigint = @seconds / 536870912 * 1000000000;
    DECLARE @rest bigint = @seconds % 536870912 * 1000000000 + @nanos;
    SET @ts = @ts + @rest / 536870912;
    DECLARE @ts_low bigint = @rest % 536870912;
""",
}
_QUIB_SCALE = """\
    -- Scaled to {unit}: 10^{power} {unit} per nanosecond.
    SET @rest = @ts_low * {factor};
    SET @ts = @ts * {factor} + @rest / 536870912;
    SET @ts_low = @rest % 536870912;
"""

_QUIB = """\
{now}\
    DECLARE @max_ts bigint = 1152921504606846975;
    IF @ts > @max_ts
        THROW {exhausted}, '{exhausted_message}', 1;
{ensure_row}
    DECLARE @next TABLE (
        old_ts bigint NULL, old_ts_low bigint NULL, old_seq int NULL,
        ts bigint, ts_low bigint, seq int);
    UPDATE dbo.sornquibid_generator_state
    SET last_ts = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN @ts
            WHEN last_seq < 65535 OR last_ts_low < 536870911 THEN last_ts
            WHEN last_ts < @max_ts THEN last_ts + 1
            ELSE last_ts END,
        last_ts_low = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN @ts_low
            WHEN last_seq < 65535 THEN last_ts_low
            WHEN last_ts_low < 536870911 THEN last_ts_low + 1
            WHEN last_ts < @max_ts THEN 0
            ELSE last_ts_low END,
        last_seq = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN 0
            WHEN last_seq < 65535 THEN last_seq + 1
            WHEN last_ts_low < 536870911 OR last_ts < @max_ts THEN 0
            ELSE last_seq END,
        epoch_ms = {epoch_ms},
        unit = '{unit}'
    OUTPUT deleted.last_ts, deleted.last_ts_low, deleted.last_seq,
        inserted.last_ts, inserted.last_ts_low, inserted.last_seq INTO @next
    WHERE family = 'quib' AND node_id = @node_id
      AND (epoch_ms IS NULL OR (epoch_ms = {epoch_ms} AND unit = '{unit}'));
{check_update}
    -- The 16 bytes: timestamp bits 88..41; version 8 and bits 40..29;
    -- variant, precision {code} and bits 28..1; bit 0, node id and sequence.
    DECLARE @variant_precision bigint = {variant_precision};
    DECLARE @bit_31 bigint = 2147483648;
    SELECT CAST(
        CAST(ts / 4096 AS binary(6))
        + CAST(32768 + ts % 4096 AS binary(2))
        + CAST(@variant_precision + ts_low / 2 AS binary(4))
        + CAST(ts_low % 2 * @bit_31 + @node_id * 65536 + seq AS binary(4))
        AS BINARY(16)) AS id
    FROM @next;
END;
GO
"""


def mssql_generators_tsql(*, epoch_ms: int = 0, precision: str = "ns") -> str:
    """The T-SQL script that creates, if missing, the table
    dbo.sornquibid_generator_state and creates or alters the procedures
    dbo.generate_id and dbo.generate_quibid, for the epoch `epoch_ms` (Unix
    time in milliseconds) and QuibId timestamps in `precision` ("us", "ns",
    "ps" or "fs"). Batches separated by "GO" lines, ending with "GO" and one
    line feed."""
    epoch = check_epoch_ms(epoch_ms)
    unit = precision_of(precision)
    epoch_seconds, epoch_millis = divmod(epoch, 1000)
    epoch_second = utc_text(epoch_seconds * 1000, "ms", 0)
    assert epoch_second is not None  # a checked epoch lies in the years 1 to 9999
    common = {
        "epoch_ms": epoch,
        "no_default": NO_DEFAULT_NODE,
        "several_defaults": SEVERAL_DEFAULT_NODES,
        "bad_node": NODE_ID_OUT_OF_RANGE,
        "before_epoch": CLOCK_BEFORE_EPOCH,
        "before_epoch_message": before_epoch_message(epoch),
        "epoch_second": epoch_second[:19],
        "epoch_nanos": epoch_millis * 1000000,
        "exhausted": TIMESTAMPS_EXHAUSTED,
        "other": OTHER_EPOCH_OR_PRECISION,
    }

    def procedure(name: str, family: str, max_node: int, body: str, unchanged: str,
                  exhausted_message: str, **extra: object) -> str:
        values = dict(common, name=name, family=family, max_node=max_node,
                      exhausted_message=exhausted_message, unchanged=unchanged, **extra)
        values["ensure_row"] = _ENSURE_ROW.format(**values)
        values["check_update"] = _CHECK_UPDATE.format(**values)
        return _START.format(**values) + body.format(**values)

    sorn = procedure(
        "generate_id", "sorn", 511, _SORN, "ts = old_ts AND seq = old_seq",
        exhausted_message("sorn", "ms", epoch), unit="ms",
    )
    digits = UNIT_DIGITS[unit]
    now = _QUIB_NOW["us" if unit == "us" else "ns"]
    if digits > 9:
        now += _QUIB_SCALE.format(unit=unit, power=digits - 9, factor=10 ** (digits - 9))
    code = (digits - 6) // 3
    quib = procedure(
        "generate_quibid", "quib", 32767, _QUIB,
        "ts = old_ts AND ts_low = old_ts_low AND seq = old_seq",
        exhausted_message("quib", unit, epoch),
        now=now, code=code, variant_precision=(8 + code) << 28, unit=unit,
    )
    header = _HEADER.format(epoch_ms=epoch, unit=unit, epoch=utc_text(0, "ms", epoch))
    return "\n".join([header, _TABLE, sorn, quib])
