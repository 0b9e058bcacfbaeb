"""The faults of quib_to_sorn that the Spark and the Dask tests both make
fail a job (not in engines.py, which conftest.py imports in every
process)."""

from engines import T0, quib


# The faults of quib_to_sorn on an engine. Each list of values is split
# into 3 partitions of consecutive rows; the row whose fault is reported,
# or None, and the library's message.
CROWD = [quib(T0, 5, sub=i) for i in range(8193)]
FAULTS = {
    "group of 8193 over 3 partitions": (
        CROWD[::2] + [quib(T0 + 9)] * 10 + CROWD[1::2], None,
        "8193 IDs share (timestamp_ms=1700000000000, node_id=5) after squashing, "
        "exceeding sequence max 8192"),
    "node id": ([quib(T0)] * 1500 + [quib(T0, 600)] + [quib(T0)] * 1499, 1500,
                "node_id 600 exceeds SornId max (511)"),
    # A row fault wins over a crowded group, as it does on one machine.
    "timestamp, and a crowded group": (
        CROWD + [quib(2**41, 1, "us")] + [quib(T0)] * 1000, 8193,
        "timestamp 2199023255552 exceeds SornId max (2199023255551 ms)"),
}
