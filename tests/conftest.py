import os
import subprocess
import sys

import hypothesis
import pytest


def run_python(code, env_updates=None, env_remove=()):
    """Runs `code` in a fresh interpreter; returns its stdout (stripped).

    Fails the test with the child's stderr when it exits non-zero.
    """
    env = dict(os.environ)
    for key in env_remove:
        env.pop(key, None)
    if env_updates:
        env.update(env_updates)
    proc = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )
    if proc.returncode != 0:
        pytest.fail(f"child failed ({proc.returncode}):\n{proc.stderr}")
    return proc.stdout.strip()


# Whether the suite runs against the sanitizer build (.ci/run): its runtime
# reserves address space and keeps freed memory in quarantine, so address
# space limits and process size checks do not apply there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ


# The suite checks results, never timings: no Hypothesis example may fail for
# taking long, which on a loaded machine (CI runs several builds in a row)
# any can.
hypothesis.settings.register_profile("untimed", deadline=None)
hypothesis.settings.load_profile("untimed")
