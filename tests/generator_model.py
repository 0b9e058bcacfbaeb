"""The generator rules in plain Python, the model the generators and the SQL
Server procedures are checked against: (timestamp, sequence) pairs from clock
readings, one step at a time."""

SORN = {"unit_ns": (10**6, 1), "max_ts": 2**41 - 1, "max_seq": 8191, "max_node": 511}
UNITS = {"us": (1000, 1), "ns": (1, 1), "ps": (1, 1000), "fs": (1, 10**6)}
QUIB = {"max_ts": 2**89 - 1, "max_seq": 65535, "max_node": 32767}


class Exhausted(Exception):
    pass


class BeforeEpoch(Exception):
    pass


def now_of(clock_ns, epoch_ms, unit):
    """floor((clock_ns - epoch_ms * 10**6) / unit_ns), unit "ms" or a
    precision."""
    divisor, factor = (10**6, 1) if unit == "ms" else UNITS[unit]
    since = clock_ns - epoch_ms * 10**6
    if since < 0:
        raise BeforeEpoch
    return since // divisor * factor


class Model:
    def __init__(self, unit, epoch_ms=0):
        self.unit, self.epoch_ms = unit, epoch_ms
        limits = SORN if unit == "ms" else QUIB
        self.max_ts, self.max_seq = limits["max_ts"], limits["max_seq"]
        self.last = None  # (T, S)

    def step(self, clock_ns):
        now = now_of(clock_ns, self.epoch_ms, self.unit)
        if self.last is None or now > self.last[0]:
            nxt = (now, 0)
        elif self.last[1] < self.max_seq:
            nxt = (self.last[0], self.last[1] + 1)
        else:
            nxt = (self.last[0] + 1, 0)
        if nxt[0] > self.max_ts:
            raise Exhausted
        self.last = nxt
        return nxt
