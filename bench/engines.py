"""The rows of sornquibid.spark and sornquibid.dask in the benchmark report,
run only by `python bench/run.py --only engines` (they start a JVM and a
Dask cluster): on Spark in local mode with two cores and on a Dask local
cluster of two single-threaded worker processes,

- Spark sorn_to_quib over 10 million rows (2 million with --quick) against
  the same conversion as a row-at-a-time Python UDF calling the classes;
- Dask quib_to_sorn over 10 million rows in 8 partitions, shuffle included,
  against sornquibid.columns.quib_to_sorn over the same column on one
  machine;
- for each function on each engine, the time at a tenth of the rows and at
  all of them (how the time grows), with the rows per second per worker.

Spark writes its results to the "noop" sink, so that only the conversion
(and the shuffle) is timed, not collecting the rows; Dask persists them on
the workers. Each row checks on a sample that the engine agrees with the
column functions before it times anything."""

from __future__ import annotations

import sys
from time import perf_counter
from typing import Any

import numpy as np

T0_MS = 1_700_000_000_000
WINDOW_MS = 20_000
WORKERS = 2


def _spark() -> Any:
    import os

    from pyspark.sql import SparkSession

    # PySpark's Python workers run PYSPARK_PYTHON (else python3 on PATH).
    os.environ["PYSPARK_PYTHON"] = sys.executable
    return (SparkSession.builder.master(f"local[{WORKERS}]").appName("sornquibid-bench")
            .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
            .config("spark.driver.memory", "6g").config("spark.sql.shuffle.partitions", "8")
            .getOrCreate())


def _sorn_frame(spark: Any, n: int) -> Any:
    """n SornIds of 16 nodes over a 20-second window, made by Spark itself
    in 8 partitions: about 31 a (millisecond, node) group at 10 million."""
    from pyspark.sql import functions as F

    i = F.col("id")
    sorn = (F.lit(T0_MS) + i * 7919 % WINDOW_MS) * (1 << 22) + i * 104729 % 16 * (1 << 13) \
        + i % 8192
    return spark.range(0, n, 1, 8).select(sorn.alias("s"), i.alias("i"))


def _noop(df: Any) -> None:
    df.write.format("noop").mode("overwrite").save()


def _timed(fn: Any, rounds: int) -> list[float]:
    times = []
    for _ in range(rounds):
        t0 = perf_counter()
        fn()
        times.append(perf_counter() - t0)
    return times


def _growth(rep: Any, run: Any, op: str, times: dict[int, list[float]]) -> None:
    """A line of `op`: its best time at the most rows against that at a
    tenth of them (the ratio is how the time grew), with rows per second
    per worker in the note."""
    small, large = sorted(times)
    best = min(times[large])
    rep.lines.append(run.Line(
        f"{op}, {large} rows", f"the same, {small} rows", best, min(times[small]),
        best / min(times[small]), best / min(times[small]), None, "ms",
        f"{large / best / WORKERS:,.0f} rows/s per worker at {large} rows, "
        f"{small / min(times[small]) / WORKERS:,.0f} at {small}"))


def spark_rows(rep: Any, cfg: Any, run: Any, n: int) -> None:
    from pyspark.sql import functions as F
    from pyspark.sql import types as T

    import sornquibid
    from sornquibid import columns
    from sornquibid import spark as S

    spark = _spark()
    spark.sparkContext.setLogLevel("ERROR")
    rounds = min(cfg.batch_rounds, 3)

    def to_quib(value: int) -> bytes:
        # What a user writes today: one row, one call of the classes,
        # through the module (the classes cannot be pickled by name).
        ids = [sornquibid.SornId(value)]
        return sornquibid.SornId.batch_to_quibids(ids)[0][1].as_bytes()

    row_udf = F.udf(to_quib, T.BinaryType(), useArrow=False)
    sample = _sorn_frame(spark, 5000)
    ours_rows = S.sorn_to_quib(sample, "s", into="q").orderBy("i").collect()
    udf_rows = sample.withColumn("q", row_udf("s")).orderBy("i").collect()
    expected = columns.sorn_to_quib(np.array([r.s for r in ours_rows], dtype=np.int64))
    agree = [bytes(r.q) for r in ours_rows] == [bytes(r.q) for r in udf_rows] == \
        [bytes(x) for x in expected]

    times: dict[str, dict[int, list[float]]] = {"sorn_to_quib": {}, "quib_to_sorn": {},
                                                "sornid_conflicts": {}}
    for size in (n // 10, n):
        df = _sorn_frame(spark, size)
        times["sorn_to_quib"][size] = _timed(
            lambda: _noop(S.sorn_to_quib(df, "s", into="q")), rounds)
        quibs = S.sorn_to_quib(df, "s", into="q").select("q", "i").cache()
        quibs.count()
        times["quib_to_sorn"][size] = _timed(lambda: _noop(S.quib_to_sorn(quibs, "q")), rounds)
        times["sornid_conflicts"][size] = _timed(lambda: S.sornid_conflicts(quibs, "q"), rounds)
        quibs.unpersist()
    df = _sorn_frame(spark, n)
    peer = _timed(lambda: _noop(df.withColumn("q", row_udf("s"))), cfg.pure_rounds)
    ours = times["sorn_to_quib"][n]
    rep.lines.append(run.Line(
        f"Spark sorn_to_quib, {n} rows", "row-at-a-time Python UDF", min(ours), min(peer),
        min(ours) / min(peer), min(ours) / min(peer), 0.1, "ms",
        "" if agree else "MISMATCH between the engine, the UDF and the column"))
    for name, by_size in times.items():
        _growth(rep, run, f"Spark {name}", by_size)
    spark.stop()


def _quib_column(n: int, seed: int) -> Any:
    """Nanosecond QuibIds of 16 nodes over the window (bench/columns.py's),
    as Arrow fixed_size_binary(16)."""
    import pyarrow as pa

    sys.path.insert(0, str(__import__("pathlib").Path(__file__).parent))
    import columns as bench_columns

    values = bench_columns._quibs(np, n, seed)
    return pa.FixedSizeBinaryArray.from_buffers(pa.binary(16), n, [None, pa.py_buffer(values)])


def dask_rows(rep: Any, cfg: Any, run: Any, n: int, seed: int) -> None:
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster, wait

    from sornquibid import columns
    from sornquibid import dask as D

    rounds = min(cfg.batch_rounds, 3)
    cluster = LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    try:
        times: dict[str, dict[int, list[float]]] = {"sorn_to_quib": {}, "quib_to_sorn": {},
                                                    "sornid_conflicts": {}}
        single: list[float] = []
        agree = True
        for size in (n // 10, n):
            column = _quib_column(size, seed)
            frame = pd.DataFrame({"q": pd.arrays.ArrowExtensionArray(column),
                                  "i": np.arange(size)})
            df = client.persist(dd.from_pandas(frame, npartitions=8, sort=False))
            wait(df)
            sorns = client.persist(D.quib_to_sorn(df, "q", into="s")[["s", "i"]])
            wait(sorns)
            if size == n:
                got = sorns.compute().sort_values("i")["s"].to_numpy()
                agree = bool((got == columns.quib_to_sorn(column).to_numpy()).all())
                single = _timed(lambda: columns.quib_to_sorn(column), rounds)

            def persisted(make: Any) -> Any:
                def go() -> None:
                    out = client.persist(make())
                    wait(out)
                    del out
                return go

            times["quib_to_sorn"][size] = _timed(
                persisted(lambda: D.quib_to_sorn(df, "q")), rounds)
            times["sorn_to_quib"][size] = _timed(
                persisted(lambda: D.sorn_to_quib(sorns, "s")), rounds)
            times["sornid_conflicts"][size] = _timed(lambda: D.sornid_conflicts(df, "q"), rounds)
            del df, sorns
        ours = times["quib_to_sorn"][n]
        rep.lines.append(run.Line(
            f"Dask quib_to_sorn, {n} rows in 8 partitions, shuffle included",
            "columns.quib_to_sorn on one machine", min(ours), min(single),
            min(ours) / min(single), min(ours) / min(single), 4.0, "ms",
            "" if agree else "MISMATCH between the engine and the column"))
        for name, by_size in times.items():
            _growth(rep, run, f"Dask {name}", by_size)
    finally:
        client.close()
        cluster.close()


def _import_engines() -> None:
    """Imports pyspark, dask and distributed where they can be, with this
    directory off the path: its profile.py would hide the standard
    library's, which cProfile (imported by pyspark) imports."""
    here = str(__import__("pathlib").Path(__file__).resolve().parent)
    kept = sys.path[:]
    sys.path[:] = [p for p in sys.path if p and str(__import__("pathlib").Path(p).resolve()) != here]
    try:
        for name in ("pyspark", "dask.dataframe", "distributed"):
            try:
                __import__(name)
            except ImportError:
                pass
    finally:
        sys.path[:] = kept


def rows(rep: Any, cfg: Any, rng: Any, run: Any) -> None:
    """Adds the engine rows to the report `rep`; `run` is bench/run.py."""
    n = cfg.batch_n * 10
    _import_engines()
    try:
        import pyspark  # noqa: F401
    except ImportError:
        rep.skip("sornquibid.spark", "pyspark is not installed")
    else:
        spark_rows(rep, cfg, run, n)
    try:
        import dask.dataframe  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        rep.skip("sornquibid.dask", "dask[dataframe] and distributed are not installed")
    else:
        dask_rows(rep, cfg, run, n, rng.randrange(2**32))
