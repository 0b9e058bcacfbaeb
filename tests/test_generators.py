"""SornIdGenerator and QuibIdGenerator: the generator rules against the
model for any clock, the refusals, threads, forks and pickling."""
import copy
import gc
import multiprocessing
import os
import pickle
import sys
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import run_python
from generator_model import SORN, BeforeEpoch, Exhausted, Model

from sornquibid import (
    QuibIdDesc, QuibIdGenerator, SornId, SornIdDesc, SornIdGenerator, id_time, to_asc, to_desc,
)

T0 = 1_700_000_000_000_000_000  # 2023-11-14T22:13:20Z in nanoseconds


class Clock:
    """A clock that reads the scripted values in turn and counts its calls."""

    def __init__(self, *readings):
        self.readings = list(readings)
        self.calls = 0

    def __call__(self):
        self.calls += 1
        return self.readings[min(self.calls, len(self.readings)) - 1]


def make(unit, node=5, epoch_ms=0, clock=None):
    if unit == "ms":
        return SornIdGenerator(node, epoch_ms=epoch_ms, clock=clock)
    return QuibIdGenerator(node, precision=unit, epoch_ms=epoch_ms, clock=clock)


def fields(x):
    if isinstance(x, (SornId, SornIdDesc)):
        return x.timestamp_ms, x.sequence
    return x.timestamp, x.sequence


UNITS = ["ms", "us", "ns", "ps", "fs"]

# Clock walks: forward, standing still, stepping back, by nanoseconds to
# hours, as NTP and virtual machines do.
steps = st.lists(
    st.one_of(st.just(0), st.integers(-3_600 * 10**9, 3_600 * 10**9), st.integers(-2000, 2000)),
    min_size=1, max_size=60,
)


@pytest.mark.parametrize("unit", UNITS)
@given(steps=steps, epoch_ms=st.sampled_from([0, 1_288_834_974_657, -10**12, T0 // 10**6]))
def test_every_step_follows_the_rules(unit, steps, epoch_ms):
    # Refusals included: the clock before the epoch, the field's end.
    clock = Clock()
    gen, model = make(unit, epoch_ms=epoch_ms, clock=clock), Model(unit, epoch_ms)
    reading, previous = T0, None
    for step in steps:
        reading += step
        clock.readings = [reading]
        try:
            expected = model.step(reading)
        except (Exhausted, BeforeEpoch):
            with pytest.raises(ValueError):
                gen.next()
            continue
        got = gen.next()
        assert fields(got) == expected
        assert got.node_id == 5 and (previous is None or got > previous)
        previous = got


@pytest.mark.parametrize("unit", UNITS)
def test_a_used_up_timestamp_moves_on_ahead_of_the_clock(unit):
    max_seq = SORN["max_seq"] if unit == "ms" else 65535
    gen = make(unit, clock=Clock(T0))
    ids = gen.next_many(max_seq + 3)
    t = fields(ids[0])[0]
    assert [fields(x) for x in ids[-4:]] == [(t, max_seq - 1), (t, max_seq), (t + 1, 0), (t + 1, 1)]
    assert ids == sorted(set(ids))
    # The clock stepping back keeps the count going from the last identifier.
    assert fields(make(unit, clock=Clock(T0)).next()) == (t, 0)
    assert fields(gen.next()) == (t + 1, 2)


@pytest.mark.parametrize("unit, epoch_ms, clock_ns, message", [
    ("ms", 0, 2**41 * 10**6, "SornId timestamps end at 2039-09-07T15:47:35.551Z with epoch_ms=0"),
    ("ms", 1_288_834_974_657, 2**63 - 1,
     "SornId timestamps end at 2080-07-10T17:30:30.208Z with epoch_ms=1288834974657"),
    ("ms", -62135596800000, T0,
     "SornId timestamps end at 0070-09-07T15:47:35.551Z with epoch_ms=-62135596800000"),
    ("us", 0, -1, "the clock reads 1969-12-31T23:59:59.999999999Z, before the epoch "
     "1970-01-01T00:00:00.000Z (epoch_ms=0)"),
    ("ns", 1_700_000_000_001, T0,
     "the clock reads 2023-11-14T22:13:20.000000000Z, before the epoch "
     "2023-11-14T22:13:20.001Z (epoch_ms=1700000000001)"),
])
def test_clock_outside_the_field_is_refused_naming_the_date(unit, epoch_ms, clock_ns, message):
    clock = Clock(clock_ns)
    gen = make(unit, epoch_ms=epoch_ms, clock=clock)
    for call in (gen.next, gen.next_desc, lambda: gen.next_many(3)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_the_field_end_is_an_error_and_leaves_the_state():
    # The clock stands at the field's last millisecond: 8192 identifiers fit.
    gen = SornIdGenerator(1, clock=Clock((2**41 - 1) * 10**6))
    assert fields(gen.next()) == (2**41 - 1, 0)
    with pytest.raises(ValueError, match="SornId timestamps end at 2039"):
        gen.next_many(8192)  # one too many: none is drawn
    assert fields(gen.next_many(8191)[-1]) == (2**41 - 1, 8191)
    for call in (gen.next, gen.next_desc, lambda: gen.next_many(1)):
        with pytest.raises(ValueError, match="SornId timestamps end at 2039"):
            call()


@pytest.mark.parametrize("unit", UNITS)
def test_next_desc_and_next_many_draw_from_the_one_sequence(unit):
    readings = [T0, T0, T0 - 5 * 10**6, T0 + 10**9]
    a, b = make(unit, clock=Clock(*readings)), make(unit, clock=Clock(*readings))
    from_a = [a.next(), a.next_desc(), a(), a.next_many(3)]
    from_b = [b.next(), b.next(), b.next(), b.next_many(3)]
    assert from_a[0] == from_b[0] and from_a[2] == from_b[2] and from_a[3] == from_b[3]
    assert from_a[1] == to_desc(from_b[1])
    assert type(from_a[1]) is (SornIdDesc if unit == "ms" else QuibIdDesc)
    # One clock reading per call, whatever n.
    many = make(unit, clock=Clock(T0, T0 + 10**9))
    one_by_one = make(unit, clock=Clock(T0))
    got = many.next_many(1000)
    assert many.next_many(0) == []
    assert got == [one_by_one.next() for _ in range(1000)]
    assert fields(many.next_many(2)[0])[1] == 0  # the second reading, a new timestamp


def test_the_injected_clock_is_called_once_per_call():
    clock = Clock(T0)
    gen = SornIdGenerator(1, clock=clock)
    gen.next(), gen.next_desc(), gen(), gen.next_many(10_000), gen.next_many(0)
    assert clock.calls == 4


@pytest.mark.parametrize("make_gen, precision", [
    (lambda: QuibIdGenerator(0, precision="picoseconds"), "ps"),
    (lambda: QuibIdGenerator(0, precision="us"), "us"),
    (lambda: QuibIdGenerator(32767, epoch_ms=-62135596800000), "ns"),
])
def test_attributes_and_repr(make_gen, precision):
    gen = make_gen()
    assert gen.precision == precision
    assert repr(gen) == (f"QuibIdGenerator(node_id={gen.node_id}, precision='{precision}', "
                         f"epoch_ms={gen.epoch_ms})")
    assert repr(SornIdGenerator(511, epoch_ms=7)) == "SornIdGenerator(node_id=511, epoch_ms=7)"
    with pytest.raises(AttributeError):
        gen.node_id = 3


def test_the_system_clock_is_read_by_default():
    before = time.time_ns()
    s, q = SornIdGenerator(3).next(), QuibIdGenerator(3, precision="ns").next()
    after = time.time_ns()
    assert before // 10**6 <= s.timestamp_ms <= after // 10**6
    assert before <= q.timestamp <= after
    assert id_time(q).year >= 2024


@pytest.mark.parametrize("call, exc, message", [
    (lambda: SornIdGenerator(512), ValueError, "node_id 512 exceeds 9-bit limit"),
    (lambda: QuibIdGenerator(32768), ValueError, "node_id 32768 exceeds 15-bit limit"),
    (lambda: SornIdGenerator(-1), OverflowError, "does not fit"),
    (lambda: SornIdGenerator(1.0), TypeError, "must be an integer"),
    (lambda: SornIdGenerator(), TypeError, "node_id"),
    (lambda: SornIdGenerator(1, 0), TypeError, "positional argument"),
    (lambda: SornIdGenerator(1, epoch_ms=253402300800000), ValueError,
     "epoch_ms 253402300800000 is outside the years 1 to 9999 "
     "(-62135596800000 to 253402300799999)"),
    (lambda: SornIdGenerator(1, epoch_ms=2**63), OverflowError, "does not fit"),
    (lambda: SornIdGenerator(1, epoch_ms="0"), TypeError, "must be an integer"),
    (lambda: SornIdGenerator(1, clock=5), TypeError, "argument 'clock' must be callable"),
    (lambda: SornIdGenerator(1, precision="ns"), TypeError, "precision"),
    (lambda: QuibIdGenerator(1, precision="NS"), ValueError, 'unknown precision "NS"'),
    (lambda: QuibIdGenerator(1, precision=b"ns"), TypeError, "must be str"),
    (lambda: SornIdGenerator(1, clock=time.time).next(), TypeError,
     "the clock must return an int of nanoseconds since the Unix epoch, as time.time_ns does, "
     "not float"),
    (lambda: SornIdGenerator(1, clock=lambda: 2**63).next(), OverflowError,
     "the clock returned a number of nanoseconds outside the signed 64-bit range"),
    (lambda: SornIdGenerator(1, clock=lambda: 1 / 0).next_many(2), ZeroDivisionError, ""),
    (lambda: SornIdGenerator(1).next_many(-1), ValueError,
     "next_many() argument 'n' must not be negative, got -1"),
    (lambda: SornIdGenerator(1).next_many("3"), TypeError, "must be an integer"),
    (lambda: SornIdGenerator(1).next_many(2**62), MemoryError, ""),
    (lambda: SornIdGenerator(1)(1), TypeError, "SornIdGenerator() takes no arguments (1 given)"),
    (lambda: SornIdGenerator(1).next(1), TypeError, "takes no arguments"),
])
def test_refusals(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert message in str(info.value)


def test_a_failing_clock_leaves_the_state():
    readings = iter([T0, None, T0])
    gen = SornIdGenerator(1, clock=lambda: next(readings))
    first = gen.next()
    with pytest.raises(TypeError):
        gen.next()
    assert fields(gen.next()) == (fields(first)[0], 1)


@pytest.mark.parametrize("precision, expected", [(None, "ps"), ("fs", "fs")])
def test_precision_none_is_the_generation_precision(precision, expected):
    code = ("from sornquibid import QuibIdGenerator\n"
            f"print(QuibIdGenerator(1, precision={precision!r}).precision)")
    assert run_python(code, env_updates={"QUIBID_PRECISION": "ps"}) == expected


def test_an_unusable_generation_precision_is_the_extensions_panic():
    code = ("import sornquibid\n"
            "try:\n    sornquibid.QuibIdGenerator(1)\n"
            "except sornquibid.PanicException as e:\n    print(e)\n"
            "print(sornquibid.QuibIdGenerator(1, precision='us').precision)")
    out = run_python(code, env_updates={"QUIBID_PRECISION": "NS"})
    assert out == ("invalid QUIBID_PRECISION: \"QUIBID_PRECISION must be one of: us, ns, ps, fs "
                   "(got 'NS')\"\nus")


@pytest.mark.parametrize("gen", [SornIdGenerator(1), QuibIdGenerator(1, precision="ns")],
                         ids=["sorn", "quib"])
def test_pickling_and_copying_are_refused(gen):
    name = type(gen).__name__
    message = (f"cannot pickle or copy a {name}: the copy would repeat its identifiers; make one "
               "generator per process, with its own node id")
    calls = [lambda: pickle.dumps(gen, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for call in calls + [lambda: copy.copy(gen), lambda: copy.deepcopy(gen)]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def _child(gen):  # pragma: no cover - never runs: the generator does not travel
    gen.next()


def test_spawned_processes_do_not_receive_a_generator():
    process = multiprocessing.get_context("spawn").Process(target=_child, args=(SornIdGenerator(1),))
    with pytest.raises(TypeError, match="cannot pickle or copy a SornIdGenerator"):
        process.start()


# The fork happens in a fresh interpreter of one thread: forking the test
# process, whose libraries may run threads of their own, could deadlock.
_FORK = """
import os
from sornquibid import QuibIdGenerator, SornIdGenerator
gens = [SornIdGenerator(1), QuibIdGenerator(2, precision="ns")]
for g in gens:
    g.next()
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    lines = []
    for g in gens:
        for call in (g.next, g.next_desc, g, lambda: g.next_many(2), lambda: g.next_many(0)):
            try:
                call()
                lines.append("ran")
            except RuntimeError as e:
                lines.append(str(e))
    lines.append(type(SornIdGenerator(1).next()).__name__)  # one made after the fork
    os.write(write, "\\n".join(lines).encode())
    os._exit(0)
os.close(write)
with os.fdopen(read) as f:
    print(f.read())
os.waitpid(pid, 0)
print(*[type(g.next()).__name__ for g in gens])  # the parent goes on
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no os.fork on this platform")
def test_a_generator_refuses_in_a_forked_child():
    lines = run_python(_FORK).split("\n")
    refused = [
        f"this {name} was made before the process forked, and its copy in the child would repeat "
        "the parent's identifiers: make one generator per process, after the fork, with its own "
        "node id" for name in ("SornIdGenerator", "QuibIdGenerator")
    ]
    assert lines == [refused[0]] * 5 + [refused[1]] * 5 + ["SornId", "SornId QuibId"]


@pytest.mark.parametrize("unit", ["ms", "ns"])
@pytest.mark.parametrize("clock", ["system", "python"])
def test_eight_threads_share_one_generator(unit, clock):
    # A clock written in Python lets threads switch between the reading and
    # the update; the ids stay distinct and increase within each thread.
    gen = make(unit, clock=time.time_ns if clock == "python" else None)
    barrier = threading.Barrier(8)
    results = [[] for _ in range(8)]

    def work(k):
        out = results[k]
        barrier.wait()
        for i in range(300):
            if i % 50 == 0:
                out.extend(gen.next_many(20))
            elif i % 7 == 0:
                out.append(to_asc(gen.next_desc()))
            else:
                out.append(gen())

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    every = [x for out in results for x in out]
    assert len(every) == len(set(every)) == 8 * (294 + 6 * 20)
    assert all(out == sorted(out) for out in results)


def test_a_clock_that_refers_to_its_generator_is_collected():
    class Holder:
        def __init__(self):
            self.gen = SornIdGenerator(1, clock=self.read)

        def read(self):
            return T0

    import weakref
    holder = Holder()
    ref = weakref.ref(holder)
    assert holder.gen.next().timestamp_ms == T0 // 10**6
    del holder
    gc.collect()
    assert ref() is None
