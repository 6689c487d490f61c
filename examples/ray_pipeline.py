"""Reverse-geocode a Ray dataset of points with map_batches.

Ray hands each task a batch of rows as an Arrow table (``batch_format=
"pyarrow"``); the coordinates are read where they lie and the places come
back as an Arrow table joined column by column to the batch. The geocoder
travels as the bytes of ``dumps()``; each worker (an instance of a callable
class, as Ray runs stateful work) builds its own once with ``loads`` and
keeps it for every batch.

    python examples/ray_pipeline.py --points 1000000 --cpus 4
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]
import ray

from quorvel import ReverseGeocoder


class Geocode:
    """What each worker runs: the geocoder is built once per worker, from
    the saved bytes, then serves every batch that reaches it."""

    def __init__(self, saved: bytes, fields: list[str]) -> None:
        self.geocoder = ReverseGeocoder.loads(saved)
        self.fields = fields

    def __call__(self, points: pa.Table) -> pa.Table:
        """The batch with the nearest place's fields appended as place_<field>."""
        places = pa.table(self.geocoder.get_nearest_as_table(points["lat"], points["lon"],
                                                             fields=self.fields))
        for field in self.fields:
            points = points.append_column("place_" + field, places[field].cast(pa.string()))
        return points


def random_points(count: int, seed: int) -> pa.Table:
    rng = np.random.default_rng(seed)
    # Uniform on the sphere, so that oceans and poles are asked about too.
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, count)))
    lon = rng.uniform(-180.0, 180.0, count)
    return pa.table({"id": np.arange(count), "lat": lat, "lon": lon})


def run(points: pa.Table, geocoder: ReverseGeocoder, fields: list[str], workers: int,
        batch_size: int = 100_000) -> pa.Table:
    """Geocodes `points` (columns id, lat and lon) on `workers` Ray workers;
    returns the places ordered by id."""
    dataset = ray.data.from_arrow(points).map_batches(
        Geocode, batch_format="pyarrow", batch_size=batch_size, concurrency=workers,
        fn_constructor_kwargs={"saved": geocoder.dumps(), "fields": fields})
    return pa.concat_tables(ray.get(dataset.to_arrow_refs())).sort_by("id")


def main(argv: list[str] | None = None) -> pa.Table:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--cpus", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    ray.init(num_cpus=args.cpus, include_dashboard=False, ignore_reinit_error=True,
             log_to_driver=False)
    geocoder = ReverseGeocoder.world()
    start = time.perf_counter()
    places = run(random_points(args.points, args.seed), geocoder, ["name", "admin1", "cc"],
                 args.cpus)
    print(f"geocoded {places.num_rows:,} points on {args.cpus} CPUs in "
          f"{time.perf_counter() - start:.2f} s")
    return places


if __name__ == "__main__":
    main()
    ray.shutdown()
