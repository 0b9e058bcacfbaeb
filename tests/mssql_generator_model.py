"""The arithmetic of dbo.generate_id and dbo.generate_quibid, statement by
statement, with T-SQL's rules: int and bigint results outside their range
are the arithmetic overflow error 8115, `/` truncates toward zero and `%`
takes the dividend's sign, DATEDIFF_BIG counts second boundaries, and CAST
of a bigint to binary(n) keeps its last n bytes. A row of the state table is
a dict; the procedures raise TsqlError where they THROW."""

INT = (-(2**31), 2**31 - 1)
BIGINT = (-(2**63), 2**63 - 1)
TICKS_TO_1970 = 62135596800 * 10**7  # datetime2 ticks (100 ns) from 0001-01-01


class TsqlError(Exception):
    def __init__(self, number, message=""):
        super().__init__(number, message)
        self.number, self.message = number, message


def typed(value, kind=BIGINT):
    if not kind[0] <= value <= kind[1]:
        raise TsqlError(8115, "Arithmetic overflow error")
    return value


def div(a, b, kind=BIGINT):
    q = abs(a) // abs(b)
    return typed(q if (a < 0) == (b < 0) else -q, kind)


def mod(a, b):
    r = abs(a) % abs(b)
    return -r if a < 0 else r


def binary(value, n):
    """CAST(bigint AS binary(n))."""
    return typed(value).to_bytes(8, "big", signed=True)[8 - n:]


def clock(now_ticks, epoch_ms, family, unit, script_code=None):
    """The start of both procedures and the family's "now": (ts, ts_low),
    or a THROW."""
    epoch_second_ticks = (epoch_ms // 1000) * 1000 * 10**4 + TICKS_TO_1970
    # DATEDIFF_BIG(SECOND, epoch's second, now): whole-second boundaries.
    seconds = typed(now_ticks // 10**7 - epoch_second_ticks // 10**7)
    nanos = typed(now_ticks % 10**7 * 100 - epoch_ms % 1000 * 1000000)
    if nanos < 0:
        seconds = typed(seconds - 1)
        nanos = typed(nanos + 1000000000)
    if seconds < 0:
        raise TsqlError(50323)
    if family == "sorn":
        return typed(typed(seconds * 1000) + div(nanos, 1000000)), 0
    if unit == "us":
        ts = typed(typed(seconds * 1000000) + div(nanos, 1000))
        return div(ts, 536870912), mod(ts, 536870912)
    ts = typed(div(seconds, 536870912) * 1000000000)
    rest = typed(typed(mod(seconds, 536870912) * 1000000000) + nanos)
    ts = typed(ts + div(rest, 536870912))
    ts_low = mod(rest, 536870912)
    if unit in ("ps", "fs"):
        factor = 1000 if unit == "ps" else 1000000
        rest = typed(ts_low * factor)
        ts = typed(typed(ts * factor) + div(rest, 536870912))
        ts_low = mod(rest, 536870912)
    return ts, ts_low


def node_of(rows, family, in_node_id, max_node):
    node = in_node_id
    if node is None:
        defaults = [r["node_id"] for (f, _), r in rows.items() if f == family and r["is_default"]]
        if not defaults:
            raise TsqlError(50320)
        if len(defaults) > 1:
            raise TsqlError(50321)
        node = min(defaults)
    if node < 0 or node > max_node:
        raise TsqlError(50322, f"node_id {node} is outside 0 to {max_node}")
    return node


def _row(rows, family, node):
    return rows.setdefault((family, node), {
        "node_id": node, "is_default": False, "epoch_ms": None, "unit": None,
        "last_ts": None, "last_ts_low": None, "last_seq": None,
    })


def generate_id(rows, in_node_id, now_ticks, epoch_ms):
    node = node_of(rows, "sorn", in_node_id, 511)
    ts, _ = clock(now_ticks, epoch_ms, "sorn", "ms")
    max_ts = 2199023255551
    if ts > max_ts:
        raise TsqlError(50324)
    row = _row(rows, "sorn", node)
    if row["epoch_ms"] is not None and (row["epoch_ms"], row["unit"]) != (epoch_ms, "ms"):
        raise TsqlError(50325)
    last_ts, last_seq = row["last_ts"], row["last_seq"]
    newer = last_ts is None or ts > last_ts
    if newer:
        new = (ts, 0)
    elif last_seq < 8191:
        new = (last_ts, typed(last_seq + 1, INT))
    elif last_ts < max_ts:
        new = (typed(last_ts + 1), 0)
    else:
        new = (last_ts, last_seq)
    row.update(last_ts=new[0], last_ts_low=0, last_seq=new[1], epoch_ms=epoch_ms, unit="ms")
    if new == (last_ts, last_seq):
        raise TsqlError(50324)
    # ts * 4194304 + @node_id * 8192 + seq: bigint, then int terms.
    return typed(typed(new[0] * 4194304) + typed(node * 8192, INT) + new[1])


def generate_quibid(rows, in_node_id, now_ticks, epoch_ms, unit):
    node = node_of(rows, "quib", in_node_id, 32767)
    ts, ts_low = clock(now_ticks, epoch_ms, "quib", unit)
    max_ts = 1152921504606846975
    if ts > max_ts:
        raise TsqlError(50324)
    row = _row(rows, "quib", node)
    if row["epoch_ms"] is not None and (row["epoch_ms"], row["unit"]) != (epoch_ms, unit):
        raise TsqlError(50325)
    old = (row["last_ts"], row["last_ts_low"], row["last_seq"])
    last_ts, last_low, last_seq = old
    newer = last_ts is None or ts > last_ts or (ts == last_ts and ts_low > last_low)
    if newer:
        new = (ts, ts_low, 0)
    elif last_seq < 65535:
        new = (last_ts, last_low, typed(last_seq + 1, INT))
    elif last_low < 536870911:
        new = (last_ts, typed(last_low + 1), 0)
    elif last_ts < max_ts:
        new = (typed(last_ts + 1), 0, 0)
    else:
        new = old
    row.update(last_ts=new[0], last_ts_low=new[1], last_seq=new[2], epoch_ms=epoch_ms, unit=unit)
    if new == old:
        raise TsqlError(50324)
    code = {"us": 0, "ns": 1, "ps": 2, "fs": 3}[unit]
    ts, ts_low, seq = new
    variant_precision = (8 + code) << 28
    bit_31 = 2147483648
    return (
        binary(div(ts, 4096), 6)
        + binary(typed(32768 + mod(ts, 4096)), 2)
        + binary(typed(variant_precision + div(ts_low, 2)), 4)
        + binary(typed(typed(mod(ts_low, 2) * bit_31) + typed(node * 65536, INT) + seq), 4)
    )
