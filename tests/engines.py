"""Spark and Dask of the test session's own: Spark in local mode with two
cores, Dask on a local cluster of two worker processes. Each is started on
first use, once per session, and stopped at its end (conftest.py calls
`stop_all`).

Their workers are given another QUIBID_PRECISION than this process has
(worker_precision()), so that every test that converts SornIds checks that
the precision resolved here is the one the workers use.

The sanitizer build (.ci/run) runs the tests with the sanitizer runtime in
LD_PRELOAD: the JVM is started without it (it is meant for the Python
processes), and Spark's Python workers, which import the instrumented
extension, are given it back through their environment. Dask's worker
processes inherit this process's environment as it is.

`get(kind)` returns the running engine ("spark": a SparkSession, "dask": a
distributed Client), or the reason (a str) why it cannot run here.
"""
from __future__ import annotations

import os
import shutil
import sys

# Variables that belong to the Python processes only.
_PYTHON_ONLY = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def driver_precision():
    """This process's generation precision (read on first use only: reading
    it fixes it for the process)."""
    from sornquibid import columns

    return columns._generation_precision()


def worker_precision():
    """Another precision, the workers'."""
    return "us" if driver_precision() != "us" else "fs"

# Debian's SQLite JDBC driver (libxerial-sqlite-jdbc-java), for the guide's
# example of Spark's JDBC reader and writer.
SQLITE_JDBC = "/usr/share/java/sqlite-jdbc.jar"

# Rows per Arrow batch between Spark and Python: few, so that groups and
# faults fall across batch boundaries in small tests.
SPARK_BATCH_ROWS = 1000


def _spark():
    try:
        from pyspark.sql import SparkSession
    except ImportError as e:
        raise LookupError(f"pyspark is not installed ({e})") from None
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        raise LookupError("no Java runtime (java is not on PATH and JAVA_HOME is unset)")
    builder = (
        SparkSession.builder.master("local[2]").appName("sornquibid-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.default.parallelism", "2")
        .config("spark.sql.execution.arrow.maxRecordsPerBatch", str(SPARK_BATCH_ROWS))
        .config("spark.executorEnv.QUIBID_PRECISION", worker_precision())
        .config("spark.driver.extraJavaOptions", "-XX:+UseSerialGC -XX:TieredStopAtLevel=1")
    )
    if os.path.exists(SQLITE_JDBC):
        builder = builder.config("spark.jars", SQLITE_JDBC)
    # PySpark starts its Python workers with PYSPARK_PYTHON (else python3 on
    # PATH, which need not be this interpreter, the one with the package).
    os.environ["PYSPARK_PYTHON"] = sys.executable
    kept = {k: os.environ.pop(k) for k in _PYTHON_ONLY if k in os.environ}
    for key, value in kept.items():
        builder = builder.config(f"spark.executorEnv.{key}", value)
    try:
        session = builder.getOrCreate()
    finally:
        os.environ.update(kept)
    session.sparkContext.setLogLevel("OFF")  # failing jobs are what some tests expect
    return session


def _dask():
    try:
        from distributed import Client, LocalCluster
        import dask.dataframe  # noqa: F401 - the tests' DataFrames
    except ImportError as e:
        raise LookupError(f"dask.dataframe or distributed is not installed ({e})") from None
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None, env={"QUIBID_PRECISION": worker_precision()})
    return Client(cluster)


_STARTERS = {"spark": _spark, "dask": _dask}
_started: dict[str, object] = {}


def get(kind):
    """The running engine of `kind`, started on first use, or the reason
    (a str) why there is none."""
    if kind not in _started:
        try:
            _started[kind] = _STARTERS[kind]()
        except LookupError as e:
            _started[kind] = f"{kind}: {e.args[0]}"
        except Exception as e:  # noqa: BLE001 - any failure to start is the reason
            _started[kind] = f"{kind} could not be started: {type(e).__name__}: {e}"
    return _started[kind]


def stop_all():
    for kind in list(_started):
        engine = _started.pop(kind)
        if kind == "spark" and not isinstance(engine, str):
            engine.stop()
        elif kind == "dask" and not isinstance(engine, str):
            cluster = engine.cluster
            engine.close()
            cluster.close()


# ---------------------------------------------------------------------------
# Test data: 16-byte QuibIds as bytes, and what sornquibid.columns makes of
# them on one machine.

T0 = 1_700_000_000_000  # ms


def quib(ms, node=5, precision="ns", sub=0, seq=0):
    """The 16 bytes of the QuibId at `ms` (+ `sub` units of `precision`)."""
    from convert_model import UNITS_PER_MS
    from quib_layout import pack

    return pack(ms * UNITS_PER_MS[precision] + sub, precision, node, seq).to_bytes(16, "big")


def crowded_quibs(seed, n=2000, crowd=0, nulls=10, shuffled=True):
    """n QuibIds of every precision in a few dozen (ms, node) groups, with
    duplicates, plus `crowd` more in one group of their own (T0 + 1, node 9), and `nulls`
    Nones; in random order, or sorted (nulls first) as a table read in
    time order would be."""
    import random

    from quib_layout import PRECISIONS

    rng = random.Random(seed)
    values = []
    for _ in range(n):
        precision = rng.choice(PRECISIONS)
        units = {"us": 10**3, "ns": 10**6, "ps": 10**9, "fs": 10**12}[precision]
        values.append(quib(T0 + rng.randrange(8), rng.randrange(4), precision,
                           rng.randrange(units), rng.randrange(65536)))
    values += rng.sample(values, n // 10)
    values += [quib(T0 + 1, 9, "ns", i % 997, i % 5) for i in range(crowd)]
    values += [None] * nulls
    if shuffled:
        rng.shuffle(values)
    else:
        values.sort(key=lambda v: (v is not None, v or b""))
    return values


def single_machine(function, values, *args):
    """sornquibid.columns' `function` over the whole column `values`
    (bytes, ints or str, None for nulls) as an Arrow array: its values, or
    the ValueError's message."""
    import pyarrow as pa

    from sornquibid import columns

    kind = {bytes: pa.binary(), int: pa.int64(), str: pa.string()}[
        type(next(v for v in values if v is not None))]
    try:
        result = getattr(columns, function)(pa.array(values, kind), *args)
    except ValueError as e:
        return str(e)
    return result.to_pylist() if hasattr(result, "to_pylist") else result
