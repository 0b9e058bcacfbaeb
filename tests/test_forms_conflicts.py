"""The package's to_desc and to_asc, between the two forms of an identifier,
and sornid_conflicts, the conversion conflicts as records."""
import uuid

import pytest
from hypothesis import given, strategies as st

from sornquibid import (
    ConversionConflict, QuibId, QuibIdDesc, SornId, SornIdDesc, sornid_conflicts, to_asc,
    to_desc,
)

from quib_layout import DESC_MASK, MAX_TIMESTAMP, PRECISIONS, pack

# What dbo.sornid_to_desc and dbo.quibid_to_desc XOR with.
SORN_DESC_MASK = 0x7FFFFFFFFFC01FFF


@given(st.integers(0, 2**63 - 1), st.integers(0, MAX_TIMESTAMP), st.sampled_from(PRECISIONS),
       st.integers(0, 0x7FFF), st.integers(0, 0xFFFF))
def test_forms_flip_with_the_masks_and_back(v, t, p, n, s):
    sorn = SornId(v)
    quib = QuibId.from_int(pack(t, p, n, s))
    for asc, desc_cls, mask in ((sorn, SornIdDesc, SORN_DESC_MASK), (quib, QuibIdDesc, DESC_MASK)):
        desc = to_desc(asc)
        assert type(desc) is desc_cls and desc.as_int() == asc.as_int() ^ mask
        back = to_asc(desc)
        assert type(back) is type(asc) and back == asc
    # A uuid.UUID (what a PostgreSQL uuid column gives) stands for a QuibId
    # in to_desc and for a QuibIdDesc in to_asc.
    assert to_desc(quib.to_uuid()) == to_desc(quib) and to_asc(to_desc(quib).to_uuid()) == quib


@pytest.mark.parametrize(
    "fn, arg, message",
    [
        (to_desc, SornIdDesc(5), "to_desc() argument must be SornId, QuibId or uuid.UUID, not SornIdDesc"),
        (to_desc, QuibIdDesc.from_parts(0, "us", 0, 0),
         "to_desc() argument must be SornId, QuibId or uuid.UUID, not QuibIdDesc"),
        (to_desc, 5, "to_desc() argument must be SornId, QuibId or uuid.UUID, not int"),
        (to_asc, SornId(5), "to_asc() argument must be SornIdDesc, QuibIdDesc or uuid.UUID, not SornId"),
        (to_asc, QuibId.from_parts(0, "us", 0, 0),
         "to_asc() argument must be SornIdDesc, QuibIdDesc or uuid.UUID, not QuibId"),
        (to_asc, None, "to_asc() argument must be SornIdDesc, QuibIdDesc or uuid.UUID, not NoneType"),
        (to_desc, uuid.UUID(int=0), "uuid version must be 8 (UUIDv8)"),
        (to_asc, uuid.UUID("00000000-0000-8000-c000-000000000000"), "uuid variant must be RFC 4122"),
    ],
)
def test_forms_refuse_other_types(fn, arg, message):
    with pytest.raises(ValueError if isinstance(arg, uuid.UUID) else TypeError) as info:
        fn(arg)
    assert info.value.args == (message,)


def us(ms, node, seq=0):
    return QuibId.from_parts(ms * 1000, "us", node, seq)


def test_conflicts_as_records():
    node_a, node_b = us(1, 600), us(2, 600, 1)
    late = us(2**41, 5)
    crowd = [us(1700000000000, 7, k) for k in range(8193)]
    ids = [us(1, 1), node_a, late] + crowd + [node_b]
    records = sornid_conflicts(ids)
    assert [str(r) for r in records] == QuibId.check_sornid_convertibility(ids)
    fields = [(r.kind, r.timestamp_ms, r.node_id, r.count, r.max, r.quib_ids) for r in records]
    assert fields == [
        ("NodeIdOverflow", None, 600, None, None, (node_a, node_b)),
        ("TimestampOverflow", 2**41, None, None, None, (late,)),
        ("SequenceOverflow", 1700000000000, 7, 8193, 8192, tuple(crowd)),
    ]
    assert all(type(r) is ConversionConflict for r in records)
    assert sornid_conflicts(ids[:1] + crowd[:8192]) == []


@pytest.mark.parametrize(
    "ids, message",
    [
        ("abc", "sornid_conflicts() argument 'ids' must be a sequence, not str"),
        ({}, "sornid_conflicts() argument 'ids' must be a sequence, not dict"),
        ([us(1, 1), 5], "sornid_conflicts() argument 'ids' item 1 must be QuibId, not int"),
    ],
)
def test_conflicts_refuse_what_the_check_refuses(ids, message):
    with pytest.raises(TypeError) as info:
        sornid_conflicts(ids)
    assert info.value.args == (message,)
