"""A pure-Python model of the 128-bit identifier layout, used as the oracle."""
import uuid

PRECISIONS = ["us", "ns", "ps", "fs"]
MAX_TIMESTAMP = 2**89 - 1
DESC_MASK = 0xFFFFFFFFFFFF0FFF0FFFFFFF8000FFFF


def pack(timestamp, precision, node_id, sequence):
    p = PRECISIONS.index(precision)
    return (
        (timestamp >> 41) << 80
        | 8 << 76
        | ((timestamp >> 29) & 0xFFF) << 64
        | 2 << 62
        | p << 60
        | (timestamp & 0x1FFFFFFF) << 31
        | node_id << 16
        | sequence
    )


def unpack(v):
    timestamp = (v >> 80) << 41 | ((v >> 64) & 0xFFF) << 29 | (v >> 31) & 0x1FFFFFFF
    return timestamp, PRECISIONS[(v >> 60) & 3], (v >> 16) & 0x7FFF, v & 0xFFFF


def text(v):
    return str(uuid.UUID(int=v))
