"""Reverse-geocode a partitioned dataframe of points on a Dask cluster.

A LocalCluster of several worker processes stands in for a real cluster. The
geocoder is built once, saved to a file, and then reaches the workers in one
of two ways:

- ``--ship file`` (the default): a worker plugin loads the saved file once
  per worker process, when the worker starts, and every partition that the
  worker geocodes reuses it. On a real cluster the file lives on storage that
  every worker can read (a shared file system, or a copy baked into the
  workers' image).
- ``--ship pickle``: the geocoder itself is pickled once and broadcast to
  every worker with ``Client.scatter``; tasks receive the worker's copy.

Each partition of points becomes a partition of places, one row per point,
with the point's coordinates followed by the columns of the nearest place.
A partition is geocoded in one batch call, which reads the partition's
coordinate columns as arrays and returns the places as columns.

    python examples/dask_pipeline.py --workers 4 --points 1000000
    python examples/dask_pipeline.py --ship pickle --out places.csv

"""

from __future__ import annotations

import argparse
import pathlib
import tempfile
import time

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster, WorkerPlugin, get_worker

import quorvel

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "world_places.csv"
PLUGIN_NAME = "quorvel-geocoder"


class GeocoderPlugin(WorkerPlugin):
    """Loads the saved geocoder once in every worker process."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.geocoder: quorvel.ReverseGeocoder | None = None

    def setup(self, worker: object) -> None:
        self.geocoder = quorvel.ReverseGeocoder.load(self.path)


def worker_geocoder() -> quorvel.ReverseGeocoder:
    """The geocoder that this worker's plugin loaded."""
    plugin = get_worker().plugins[PLUGIN_NAME]
    assert isinstance(plugin, GeocoderPlugin) and plugin.geocoder is not None
    return plugin.geocoder


def geocode(points: pd.DataFrame, geocoder: quorvel.ReverseGeocoder, columns: list[str]) -> pd.DataFrame:
    """One row of place columns for every point of a partition.

    The whole partition goes to the geocoder in one call; a point without a
    finite position gets empty place columns.
    """
    found = geocoder.get_nearest_as_columns(points["lat"], points["lon"])
    places = pd.DataFrame({c: found[c] for c in columns}, index=points.index)
    return pd.concat([points, places.add_prefix("place_")], axis=1)


def geocode_with_worker_geocoder(points: pd.DataFrame, columns: list[str]) -> pd.DataFrame:
    return geocode(points, worker_geocoder(), columns)


def random_points(count: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    # Uniform on the sphere, so that oceans and poles are asked about too.
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, count)))
    lon = rng.uniform(-180.0, 180.0, count)
    return pd.DataFrame({"lat": lat, "lon": lon})


def run(client: Client, points: dd.DataFrame, saved: str, ship: str) -> pd.DataFrame:
    """Geocodes `points` on the cluster behind `client` with the geocoder
    saved at `saved`."""
    local = quorvel.ReverseGeocoder.load(saved)
    # One name per distinct column, as the column form gives them.
    columns = [c for c in local.get_nearest_as_columns([], []) if c not in ("lat", "lon")]
    # The result's column types, from one point geocoded here.
    meta = geocode(random_points(1, 0), local, columns).iloc[:0]
    if ship == "file":
        client.register_plugin(GeocoderPlugin(saved), name=PLUGIN_NAME)
        places = points.map_partitions(geocode_with_worker_geocoder, columns, meta=meta)
    else:
        # One pickled copy per worker; the tasks get the worker's object.
        [shared] = client.scatter([local], broadcast=True)
        places = points.map_partitions(geocode, shared, columns, meta=meta)
    result: pd.DataFrame = places.compute()
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--csv", type=pathlib.Path, default=DATA, help="places to build the geocoder from")
    parser.add_argument("--workers", type=int, default=4, help="worker processes")
    parser.add_argument("--points", type=int, default=200_000, help="random points to geocode")
    parser.add_argument("--partitions", type=int, default=16, help="partitions of the points")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--ship", choices=["file", "pickle"], default="file",
                        help="load the saved file once per worker, or broadcast the pickled geocoder")
    parser.add_argument("--out", type=pathlib.Path, help="write the places to this CSV file")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        geocoder = quorvel.ReverseGeocoder(args.csv.read_text(encoding="utf-8"))
        saved = str(pathlib.Path(directory) / "places.geocoder")
        geocoder.save(saved)
        points = dd.from_pandas(random_points(args.points, args.seed), npartitions=args.partitions)

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            start = time.perf_counter()
            places = run(client, points, saved, args.ship)
            seconds = time.perf_counter() - start

    print(f"geocoded {len(places):,} points in {args.partitions} partitions on "
          f"{args.workers} workers in {seconds:.2f} s")
    if args.out:
        places.to_csv(args.out, index=False)


if __name__ == "__main__":
    main()
