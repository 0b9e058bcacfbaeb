"""Runs one differential harness under atheris (libFuzzer).

    python tests/fuzz/run.py NAME [libFuzzer options] [CORPUS_DIR ...]
    python tests/fuzz/run.py --list

NAME is a key of registry.CHECKS (--list prints them, one a line). With the
extension built by clang with -fsanitize=fuzzer-no-link, native code is
coverage-guided too (see .ci/run); the harnesses and their models are
instrumented at the Python level either way.
"""
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# Only the project's own test modules (the harnesses, their models and the
# test helpers they import) are instrumented: instrumenting the libraries
# they use (numpy, regex, the standard library) would only slow every input.
OWN = sorted({name[:-3] for folder in (HERE, os.path.dirname(HERE))
              for name in os.listdir(folder) if name.endswith(".py")})
if sys.argv[1:] == ["--list"]:
    import registry
    print(*registry.CHECKS, sep="\n")
    sys.exit()
with atheris.instrument_imports(include=OWN):
    import registry


def main():
    name = sys.argv.pop(1)
    check = registry.CHECKS[name]
    if not registry.AVAILABLE[name]:
        print(f"fuzz {name}: skipped, the operations it calls are not built")
        return
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
