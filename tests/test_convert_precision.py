"""The conversions under an unusable QUIBID_PRECISION: only
SornId.batch_to_quibids needs the generation precision, and only after its
argument has passed."""
from conftest import run_python

CODE = (
    "from _sornquibid import QuibId, SornId\n"
    "def attempt(f, *args):\n"
    "    try:\n"
    "        print(repr(f(*args)))\n"
    "    except BaseException as e:\n"
    "        print(type(e).__name__)\n"
    "q = QuibId.from_str('00000000-0305-8120-8c0f-200000050007')\n"
    "attempt(SornId.batch_to_quibids, 'not a list')\n"
    "attempt(SornId.batch_to_quibids, [SornId(1), 2])\n"
    "attempt(SornId.batch_to_quibids, [])\n"
    "attempt(SornId.check_quibid_convertibility, [SornId(1)])\n"
    "attempt(QuibId.batch_to_sornids, [q])\n"
    "attempt(QuibId.check_sornid_convertibility, [q])\n"
)


def test_only_batch_to_quibids_reads_it_and_arguments_come_first():
    out = run_python(CODE, env_updates={"QUIBID_PRECISION": "NS"}).split("\n")
    assert out == [
        "TypeError",
        "TypeError",
        "PanicException",
        "[]",
        "[(QuibId(00000000-0305-8120-8c0f-200000050007), SornId(7130316800000040960))]",
        "[]",
    ]
