"""The PostgreSQL script: flip functions and identifier generators.

`postgresql_script()` returns the SQL that installs, in the schema first on
the search path:

- the flip functions `sornid_to_desc(bigint)`, `sornid_to_asc(bigint)`,
  `quibid_to_desc(uuid)` and `quibid_to_asc(uuid)`: immutable, so they may
  define generated columns and index expressions, and bit for bit what
  `to_desc` and `to_asc` compute;
- the generators `generate_id(node_id)` (a SornId as bigint) and
  `generate_quibid(node_id)` (a QuibId as uuid), their descending forms
  `sornid_next_desc(node_id)` and `quibid_next_desc(node_id)`, and beneath
  them `generate_id_at(node_id, clock_ns)` and `generate_quibid_at(...)`,
  which take the clock reading (Unix time in nanoseconds) as an argument;
- the generators' state table `sornquibid_generator_state`: per family and
  node id the last timestamp and sequence, and the node id that a NULL
  node_id stands for (the row with `is_default`).

The generators keep the rules of the Python and SQL Server generators: the
timestamp is the clock reading counted from `epoch_ms` in the family's unit;
a new timestamp starts at sequence 0; while the clock stands still or has
stepped back, the sequence counts on from the last identifier, and when it
is used up the timestamp moves one unit ahead of the clock; a clock before
the epoch and a timestamp beyond its field are errors that change nothing.
The read-increment-write of a node's state is one UPDATE under the row's
lock, so sessions drawing from one node at once get distinct identifiers,
increasing within each session.

The script is plain SQL (statements ending with semicolons, function bodies
in dollar quotes), for psql or a driver's execute; running it again replaces
the functions and keeps the state.
"""

from __future__ import annotations

from ._native import check_epoch_ms
from ._time import before_epoch_message, exhausted_message, precision_of, utc_text

# The units of a QuibId timestamp, per precision: (name, to the unit from
# nanoseconds since the epoch as an SQL expression of `since_epoch`).
_UNITS = {
    "us": ("microsecond", "div(since_epoch, 1000)"),
    "ns": ("nanosecond", "since_epoch"),
    "ps": ("picosecond", "since_epoch * 1000"),
    "fs": ("femtosecond", "since_epoch * 1000000"),
}
_PRECISION_CODES = {"us": 0, "ns": 1, "ps": 2, "fs": 3}


_HEADER = """\
-- sornquibid — PostgreSQL flip functions and identifier generators.
--
-- Timestamps count from epoch_ms {epoch_ms} ({epoch_text});
-- QuibId timestamps in {unit}s (precision "{precision}").
--
-- sornid_to_desc / sornid_to_asc (bigint) and quibid_to_desc /
-- quibid_to_asc (uuid) XOR an identifier with its family's flip mask, which
-- inverts the timestamp and sequence and keeps the node id (and the UUID
-- version, variant and precision), so that ascending order of the result
-- lists the newest first. They are immutable: use them in generated columns.
--
-- generate_id(node_id) and generate_quibid(node_id) make the next
-- identifier of a node from clock_timestamp(), with the state kept in
-- sornquibid_generator_state. A NULL node_id stands for the node id
-- configured there, set with:
--   INSERT INTO sornquibid_generator_state (family, node_id, is_default)
--   VALUES ('sornid', 3, true), ('quibid', 3, true);
-- Running this script again replaces the functions and keeps the state.
"""

_FLIPS = """\
CREATE OR REPLACE FUNCTION sornid_to_desc(id bigint)
RETURNS bigint
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
AS $$ SELECT id # x'7fffffffffc01fff'::bigint $$;

CREATE OR REPLACE FUNCTION sornid_to_asc(id bigint)
RETURNS bigint
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
-- XOR is its own inverse.
AS $$ SELECT id # x'7fffffffffc01fff'::bigint $$;

-- uuid has no XOR: each half of the 32 hexadecimal digits becomes a bigint,
-- is XORed with its half of the mask and written back as 16 digits.
CREATE OR REPLACE FUNCTION quibid_to_desc(id uuid)
RETURNS uuid
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
AS $$
SELECT (
    lpad(to_hex(('x' || replace(left(id::text, 18), '-', ''))::bit(64)::bigint
                # x'ffffffffffff0fff'::bigint), 16, '0')
    || lpad(to_hex(('x' || replace(right(id::text, 17), '-', ''))::bit(64)::bigint
                   # x'0fffffff8000ffff'::bigint), 16, '0')
)::uuid
$$;

CREATE OR REPLACE FUNCTION quibid_to_asc(id uuid)
RETURNS uuid
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
-- XOR is its own inverse.
AS $$ SELECT quibid_to_desc(id) $$;
"""

_STATE = """\
-- One row per family and node id: the last timestamp and sequence drawn
-- (NULL before the first), and whether a NULL node_id stands for this node.
CREATE TABLE IF NOT EXISTS sornquibid_generator_state (
    family         text    NOT NULL CHECK (family IN ('sornid', 'quibid')),
    node_id        integer NOT NULL,
    is_default     boolean NOT NULL DEFAULT false,
    last_timestamp numeric,
    last_sequence  integer,
    PRIMARY KEY (family, node_id),
    CHECK (node_id BETWEEN 0 AND CASE family WHEN 'sornid' THEN 511 ELSE 32767 END)
);

CREATE UNIQUE INDEX IF NOT EXISTS sornquibid_generator_state_default
    ON sornquibid_generator_state (family) WHERE is_default;
"""

# The next state of a node: the rules of the generators.
_NEXT_STATE = """last_timestamp = CASE
                WHEN s.last_timestamp IS NULL OR now_ts > s.last_timestamp THEN now_ts
                WHEN s.last_sequence < {max_sequence} THEN s.last_timestamp
                ELSE s.last_timestamp + 1 END,
            last_sequence = CASE
                WHEN s.last_timestamp IS NULL OR now_ts > s.last_timestamp THEN 0
                WHEN s.last_sequence < {max_sequence} THEN s.last_sequence + 1
                ELSE 0 END"""

# The generator of one family, with the clock reading as an argument.
_GENERATOR_AT = """\
CREATE OR REPLACE FUNCTION {name}_at(node_id integer, clock_ns numeric)
RETURNS {type}
LANGUAGE plpgsql VOLATILE
AS $$
DECLARE
    since_epoch numeric := floor(clock_ns) - ({epoch_ns});
    now_ts numeric;
    node integer := {name}_at.node_id;
    ts numeric;
    seq integer;
    setting text;
    position tid;
BEGIN
    IF node NOT BETWEEN 0 AND {max_node} THEN
        RAISE EXCEPTION '{name}: node_id % is out of range 0..{max_node}', node
            USING ERRCODE = 'numeric_value_out_of_range';
    END IF;
    IF clock_ns IS NULL THEN
        RAISE EXCEPTION '{name}: the clock reading is NULL'
            USING ERRCODE = 'null_value_not_allowed';
    END IF;
    IF since_epoch < 0 THEN
        RAISE EXCEPTION '{name}: {before_epoch}'
            USING ERRCODE = 'data_exception';
    END IF;
    now_ts := {now};
    IF node IS NULL THEN
        SELECT s.node_id INTO node FROM sornquibid_generator_state AS s
        WHERE s.family = '{family}' AND s.is_default;
        IF NOT FOUND THEN
            RAISE EXCEPTION '{name}: node_id is NULL and no node id is configured for {family}'
                USING ERRCODE = 'null_value_not_allowed',
                      HINT = 'Configure one with INSERT INTO sornquibid_generator_state '
                             '(family, node_id, is_default) VALUES (''{family}'', <node id>, true).';
        END IF;
    END IF;
    -- Where this transaction wrote the node's state last, if it did.
    setting := 'sornquibid.{family}_' || node;
    position := nullif(current_setting(setting, true), '')::tid;
    LOOP
        -- The read-increment-write, in one statement under the row's lock.
        -- A transaction that drew from the node before holds that lock, so
        -- the version it wrote last is the row: it is reached by its
        -- position, not through the key, whose index lists every version
        -- the transaction wrote (a key lookup would cost ever more within
        -- one large INSERT ... SELECT).
        UPDATE sornquibid_generator_state AS s
        SET {next_state}
        WHERE s.ctid = position AND s.family = '{family}' AND s.node_id = node
        RETURNING s.ctid, s.last_timestamp, s.last_sequence INTO position, ts, seq;
        EXIT WHEN FOUND;
        UPDATE sornquibid_generator_state AS s
        SET {next_state}
        WHERE s.family = '{family}' AND s.node_id = node
        RETURNING s.ctid, s.last_timestamp, s.last_sequence INTO position, ts, seq;
        EXIT WHEN FOUND;
        INSERT INTO sornquibid_generator_state (family, node_id) VALUES ('{family}', node)
        ON CONFLICT DO NOTHING;
    END LOOP;
    PERFORM set_config(setting, position::text, true);
    IF ts > {max_timestamp} THEN
        -- Raising undoes the UPDATE: the state stays as it was.
        RAISE EXCEPTION '{name}: {exhausted}'
            USING ERRCODE = 'numeric_value_out_of_range';
    END IF;
    RETURN {pack};
END
$$;
"""

_GENERATOR = """\
CREATE OR REPLACE FUNCTION {name}(node_id integer DEFAULT NULL)
RETURNS {type}
LANGUAGE plpgsql VOLATILE
AS $$
DECLARE
    reading timestamptz := clock_timestamp();
BEGIN
    -- Unix time in nanoseconds, exactly (clock_timestamp() has microseconds).
    RETURN {name}_at({name}.node_id,
        (extract(epoch FROM date_trunc('second', reading))::bigint * 1000000
         + extract(microseconds FROM reading)::bigint % 1000000)::numeric * 1000);
END
$$;

CREATE OR REPLACE FUNCTION {desc}(node_id integer DEFAULT NULL)
RETURNS {type}
LANGUAGE sql VOLATILE
AS $$ SELECT {flip}({name}(node_id)) $$;
"""

# A SornId from its timestamp, node id and sequence.
_PACK_SORNID = "(ts::bigint << 22) | (node::bigint << 13) | seq"
# A QuibId: the 32 hexadecimal digits of timestamp bits 88..41; version 8 and
# bits 40..29; variant, precision and bits 28..1; bit 0, node id, sequence.
_PACK_QUIBID = """(
        lpad(to_hex(div(ts, 2199023255552)::bigint), 12, '0')
        || to_hex(32768 + mod(div(ts, 536870912), 4096)::integer)
        || to_hex(2147483648 + {code_bits} + div(mod(ts, 536870912), 2)::bigint)
        || lpad(to_hex(mod(ts, 2)::bigint * 2147483648 + node * 65536 + seq), 8, '0')
    )::uuid"""


def postgresql_script(*, epoch_ms: int = 0, precision: str = "ns") -> str:
    """The SQL that installs the flip functions and the generators in
    PostgreSQL (12 or later), for timestamps counted from `epoch_ms` (the
    Unix time in milliseconds of timestamp 0) and QuibIds of `precision`
    ("us", "ns", "ps" or "fs", or the names in full)."""
    epoch_ms = check_epoch_ms(epoch_ms)
    precision = precision_of(precision)
    unit, quib_now = _UNITS[precision]
    epoch_text = utc_text(0, "ms", epoch_ms)
    common = {"epoch_ns": epoch_ms * 10**6, "before_epoch": before_epoch_message(epoch_ms)}
    sornid = {
        **common, "name": "generate_id", "type": "bigint", "family": "sornid", "max_node": 511,
        "now": "div(since_epoch, 1000000)", "max_sequence": 8191, "max_timestamp": 2**41 - 1,
        "exhausted": exhausted_message("sorn", "ms", epoch_ms),
        "pack": _PACK_SORNID, "desc": "sornid_next_desc", "flip": "sornid_to_desc",
    }
    sornid["next_state"] = _NEXT_STATE.format(**sornid)
    quibid = {
        **common, "name": "generate_quibid", "type": "uuid", "family": "quibid", "max_node": 32767,
        "now": quib_now, "max_sequence": 65535, "max_timestamp": 2**89 - 1,
        "exhausted": exhausted_message("quib", precision, epoch_ms),
        "pack": _PACK_QUIBID.format(code_bits=_PRECISION_CODES[precision] << 28),
        "desc": "quibid_next_desc", "flip": "quibid_to_desc",
    }
    quibid["next_state"] = _NEXT_STATE.format(**quibid)
    parts = [
        _HEADER.format(epoch_ms=epoch_ms, epoch_text=epoch_text, unit=unit, precision=precision),
        _FLIPS,
        _STATE,
        *(template.format(**family) for family in (sornid, quibid) for template in (_GENERATOR_AT, _GENERATOR)),
    ]
    return "\n".join(parts)
