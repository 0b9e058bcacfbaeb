"""Runs one differential harness under atheris (libFuzzer).

    python tests/fuzz/run.py NAME [libFuzzer options] [CORPUS_DIR ...]

NAME is text, schema, convert or calls. With the extension built by clang with
-fsanitize=fuzzer-no-link, native code is coverage-guided too (see .ci/run);
the harness and the model are instrumented at the Python level either way.
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports():
    import harnesses
    import model  # noqa: F401 - instrumented for coverage of the oracle
    import columns_harness  # noqa: F401 - registers the harness "columns"


def main():
    name = sys.argv.pop(1)
    check = harnesses.CHECKS[name]
    if not harnesses.AVAILABLE[name]:
        print(f"fuzz {name}: skipped, the operations it calls are not built")
        return
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
