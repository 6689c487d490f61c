"""The command line against the pandas routes, on one CSV file of positions.

Writes ROWS rows (id, lat, lon, speed; 2% junk: empty, NaN, text or out of
range) near the world's places, then times in one run:

- `quorvel geocode --no-borders` on the file (a fresh process, import and
  world geocoder load included), with its peak resident memory;
- `quorvel geocode` as it runs by default: the country by its border and
  the nearest place in it (the world countries' load and the first use's
  per-country index included);
- the best pandas route: read_csv, get_nearest_indices(return_distance=True),
  a join to a places frame built beforehand (not timed), to_csv;
- the documented route: read_csv, get_nearest_as_columns, DataFrame, to_csv.

    python bench/cli_bench.py [--rows 2000000] [--dir /tmp/cli-bench]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quorvel import ReverseGeocoder

NO_RECORD = 0xFFFFFFFF


def write_positions(path: pathlib.Path, rows: int, seed: int = 20) -> None:
    rng = np.random.default_rng(seed)
    world = ReverseGeocoder.world()
    anchors = rng.integers(0, len(world), rows)
    lat_lon = np.array([world.get_record_as_string(int(i)).split(",", 2)[:2]
                        for i in rng.integers(0, len(world), 20_000)], dtype=float)
    picked = lat_lon[anchors % len(lat_lon)]
    lats = np.clip(picked[:, 0] + rng.normal(0, 0.05, rows), -90, 90).round(6).astype(str)
    lons = np.clip(picked[:, 1] + rng.normal(0, 0.05, rows), -180, 180).round(6).astype(str)
    junk = np.flatnonzero(rng.random(rows) < 0.02)
    kinds = np.array(["", "NaN", "n/a", "95.5"])
    lats = lats.astype(object)
    lats[junk] = kinds[rng.integers(0, len(kinds), len(junk))]
    frame = pd.DataFrame({
        "id": np.arange(rows),
        "lat": lats,
        "lon": lons,
        "speed": rng.uniform(0, 30, rows).round(1),
    })
    frame.to_csv(path, index=False)


def time_cli(source: pathlib.Path, target: pathlib.Path, workers: int, *options: str) -> tuple[float, float]:
    """Seconds and the child's peak resident memory in MB."""
    command = [sys.executable, "-m", "quorvel", "geocode", str(source), "-o", str(target),
               "--distance", "--quiet", "--workers", str(workers), *options]
    # A small interpreter starts the command and reads its peak memory: a
    # child forked straight from this process would count this process's
    # pages (the places frame, the generated file) as its own.
    measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True,"
               " stderr=subprocess.DEVNULL);"
               " print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", measure, *command], check=True, capture_output=True,
                          text=True)
    seconds = time.perf_counter() - start
    return seconds, int(done.stdout) / 1024


def places_frame(world: ReverseGeocoder) -> pd.DataFrame:
    columns = [c for c in world.columns if c not in ("lat", "lon")]
    records = [world.get_record_as_dict(i) for i in range(len(world))]
    return pd.DataFrame({c: [r[c] for r in records] for c in columns})


def time_pandas_indices(source: pathlib.Path, target: pathlib.Path, places: pd.DataFrame,
                        workers: int) -> float:
    world = ReverseGeocoder.world()
    start = time.perf_counter()
    frame = pd.read_csv(source)
    lats = pd.to_numeric(frame["lat"], errors="coerce").to_numpy(dtype=float, copy=True)
    lons = pd.to_numeric(frame["lon"], errors="coerce").to_numpy(dtype=float, copy=True)
    bad = ~((np.abs(lats) <= 90) & (np.abs(lons) <= 180))
    lats[bad] = np.nan
    indices, distances = world.get_nearest_indices(lats, lons, return_distance=True, workers=workers)
    items = np.frombuffer(indices, dtype=np.uint32)
    found = items != NO_RECORD
    joined = places.iloc[np.where(found, items, 0)].reset_index(drop=True)
    joined[~found] = None
    joined["distance_km"] = np.where(found, np.frombuffer(distances, dtype=float).round(3), np.nan)
    pd.concat([frame, joined], axis=1).to_csv(target, index=False)
    return time.perf_counter() - start


def time_pandas_columns(source: pathlib.Path, target: pathlib.Path, workers: int) -> float:
    world = ReverseGeocoder.world()
    start = time.perf_counter()
    frame = pd.read_csv(source)
    lats = pd.to_numeric(frame["lat"], errors="coerce").to_numpy(dtype=float, copy=True)
    lons = pd.to_numeric(frame["lon"], errors="coerce").to_numpy(dtype=float, copy=True)
    bad = ~((np.abs(lats) <= 90) & (np.abs(lons) <= 180))
    lats[bad] = np.nan
    places = pd.DataFrame(world.get_nearest_as_columns(lats, lons, workers=workers))
    pd.concat([frame, places.drop(columns=["lat", "lon"])], axis=1).to_csv(target, index=False)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--dir", type=pathlib.Path)
    args = parser.parse_args()
    folder = args.dir or pathlib.Path(tempfile.mkdtemp(prefix="quorvel-cli-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    source = folder / "positions.csv"
    if not source.exists():
        write_positions(source, args.rows)
    size_mb = os.path.getsize(source) / 1e6
    places = places_frame(ReverseGeocoder.world())

    cli, cli_rss = time_cli(source, folder / "cli.csv", args.workers, "--no-borders")
    borders, borders_rss = time_cli(source, folder / "cli_borders.csv", args.workers)
    indices = time_pandas_indices(source, folder / "pandas_indices.csv", places, args.workers)
    columns = time_pandas_columns(source, folder / "pandas_columns.csv", args.workers)
    rows = args.rows
    print(f"{rows:,} rows, {size_mb:.0f} MB CSV, 2% junk, workers={args.workers}")
    print(f"quorvel geocode --no-borders (process):   {cli:6.2f} s  {rows / cli:12,.0f} rows/s"
          f"  peak RSS {cli_rss:,.0f} MB")
    print(f"quorvel geocode, borders (the default):   {borders:6.2f} s  {rows / borders:12,.0f} rows/s"
          f"  peak RSS {borders_rss:,.0f} MB  ({borders / cli:.2f}x without borders)")
    print(f"pandas + get_nearest_indices + join:      {indices:6.2f} s  {rows / indices:12,.0f} rows/s"
          f"  ({indices / cli:.1f}x the CLI's time)")
    print(f"pandas + get_nearest_as_columns:          {columns:6.2f} s  {rows / columns:12,.0f} rows/s"
          f"  ({columns / cli:.1f}x the CLI's time)")


if __name__ == "__main__":
    main()
