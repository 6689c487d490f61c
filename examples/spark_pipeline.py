"""Reverse-geocode a partitioned dataframe of points with PySpark.

Spark runs in local mode, with one executor thread per core, standing in for
a real cluster. The geocoder is built once, saved to a file, and then reaches
the executors in one of two ways:

- ``--ship file`` (the default): the saved file is added to the job with
  ``SparkContext.addFile``; every task finds its copy through
  ``SparkFiles.get`` and loads it, which reads the file without parsing or
  building anything.
- ``--ship broadcast``: the bytes of ``dumps()`` are broadcast once to every
  executor, and every task builds its geocoder from them with ``loads``.

``mapInPandas`` hands each task its partition as pandas frames (Arrow
batches); each frame is geocoded in one call, and becomes a frame of places,
one row per point, with the point's coordinates followed by the columns of
the nearest place. With ``--frames arrow``, ``mapInArrow`` hands the tasks
the Arrow batches themselves: the coordinates are read where they lie and the
places come back as an Arrow table, with no pandas frame on the way.

    python examples/spark_pipeline.py --cores 4 --points 1000000
    python examples/spark_pipeline.py --ship broadcast --out places.csv
    python examples/spark_pipeline.py --frames arrow

Needs Java 17 or later (``java`` on the PATH, or ``JAVA_HOME``).
"""

from __future__ import annotations

import argparse
import functools
import os
import pathlib
import sys
import tempfile
import time
from collections.abc import Iterator

import numpy as np
import pandas as pd
import pyarrow as pa  # type: ignore[import-untyped]
from pyspark import Broadcast, SparkFiles
from pyspark.sql import DataFrame, SparkSession

from quorvel import ReverseGeocoder

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "world_places.csv"


def geocode(points: pd.DataFrame, geocoder: ReverseGeocoder, columns: list[str]) -> pd.DataFrame:
    """One row of place columns for every point of a frame, in one call.

    One thread per call: Spark already runs a task on every core."""
    found = geocoder.get_nearest_as_columns(points["lat"], points["lon"], workers=1)
    places = pd.DataFrame({c: found[c] for c in columns}, index=points.index)
    return pd.concat([points, places.add_prefix("place_")], axis=1)


def geocode_partition(frames: Iterator[pd.DataFrame], source: str | Broadcast[bytes],
                      columns: list[str]) -> Iterator[pd.DataFrame]:
    """What a task runs: one geocoder for the partition, then every frame."""
    if isinstance(source, str):
        geocoder = ReverseGeocoder.load(SparkFiles.get(source))
    else:
        geocoder = ReverseGeocoder.loads(source.value)
    for points in frames:
        yield geocode(points, geocoder, columns)


def geocode_batch(points: pa.RecordBatch, geocoder: ReverseGeocoder,
                  columns: list[str]) -> pa.RecordBatch:
    """The same for an Arrow batch: the columns go in and come out as Arrow.

    The place columns arrive dictionary-encoded; the schema declares plain
    strings, so they are decoded here."""
    found = pa.table(geocoder.get_nearest_as_table(points.column("lat"), points.column("lon"),
                                                   fields=columns))
    places = [found.column(c).cast(pa.string()).combine_chunks() for c in columns]
    return pa.RecordBatch.from_arrays([*points.columns, *places],
                                      names=[*points.schema.names, *("place_" + c for c in columns)])


def geocode_arrow_partition(batches: Iterator[pa.RecordBatch], source: str | Broadcast[bytes],
                            columns: list[str]) -> Iterator[pa.RecordBatch]:
    """What a task runs under mapInArrow."""
    if isinstance(source, str):
        geocoder = ReverseGeocoder.load(SparkFiles.get(source))
    else:
        geocoder = ReverseGeocoder.loads(source.value)
    for points in batches:
        yield geocode_batch(points, geocoder, columns)


def random_points(count: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    # Uniform on the sphere, so that oceans and poles are asked about too.
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, count)))
    lon = rng.uniform(-180.0, 180.0, count)
    return pd.DataFrame({"id": np.arange(count), "lat": lat, "lon": lon})


def start_session(cores: int) -> SparkSession:
    # Executors run Python workers with this interpreter, which has quorvel.
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    # Local mode talks to itself only: keep the driver on the loopback
    # interface rather than whatever address the host name resolves to.
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    session = (SparkSession.builder.master(f"local[{cores}]").appName("quorvel-example")
               .config("spark.driver.bindAddress", "127.0.0.1")
               .config("spark.driver.host", "127.0.0.1")
               .config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", str(cores))
               .config("spark.sql.execution.arrow.pyspark.enabled", "true")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    # Found by name on the executors when this file is imported as a module
    # rather than run as a script.
    session.sparkContext.addPyFile(__file__)
    return session


def run(spark: SparkSession, points: DataFrame, saved: str, ship: str,
        frames: str = "pandas") -> pd.DataFrame:
    """Geocodes `points` (with columns id, lat and lon) on the executors with
    the geocoder saved at `saved`; returns the places ordered by id."""
    local = ReverseGeocoder.load(saved)
    columns = [c for c in local.get_nearest_as_columns([], []) if c not in ("lat", "lon")]
    source: str | Broadcast[bytes]
    if ship == "file":
        spark.sparkContext.addFile(saved)
        source = os.path.basename(saved)
    else:
        source = spark.sparkContext.broadcast(local.dumps())
    schema = "id long, lat double, lon double, " + ", ".join(f"`place_{c}` string" for c in columns)
    if frames == "arrow":
        task = functools.partial(geocode_arrow_partition, source=source, columns=columns)
        places = points.mapInArrow(task, schema)
    else:
        task = functools.partial(geocode_partition, source=source, columns=columns)
        places = points.mapInPandas(task, schema)
    # Small enough to collect here; a real job writes with places.write.parquet(...).
    return places.toPandas().sort_values("id", ignore_index=True)


def main(argv: list[str] | None = None) -> pd.DataFrame:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--csv", type=pathlib.Path, default=DATA, help="places to build the geocoder from")
    parser.add_argument("--cores", type=int, default=2, help="executor threads (local[N])")
    parser.add_argument("--points", type=int, default=200_000, help="random points to geocode")
    parser.add_argument("--partitions", type=int, default=8, help="partitions of the points")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--ship", choices=["file", "broadcast"], default="file",
                        help="add the saved file to the job, or broadcast the saved bytes")
    parser.add_argument("--frames", choices=["pandas", "arrow"], default="pandas",
                        help="hand the tasks pandas frames (mapInPandas) or Arrow batches (mapInArrow)")
    parser.add_argument("--out", type=pathlib.Path, help="write the places to this CSV file")
    args = parser.parse_args(argv)

    spark = start_session(args.cores)
    with tempfile.TemporaryDirectory() as directory:
        geocoder = ReverseGeocoder(args.csv.read_text(encoding="utf-8"))
        saved = str(pathlib.Path(directory) / f"places-{args.ship}.geocoder")
        geocoder.save(saved)
        points = spark.createDataFrame(random_points(args.points, args.seed)).repartition(args.partitions)
        start = time.perf_counter()
        places = run(spark, points, saved, args.ship, args.frames)
        seconds = time.perf_counter() - start

    print(f"geocoded {len(places):,} points in {args.partitions} partitions on "
          f"{args.cores} cores in {seconds:.2f} s")
    if args.out:
        places.to_csv(args.out, index=False)
    return places


if __name__ == "__main__":
    main()
    SparkSession.builder.getOrCreate().stop()
