"""Geocode a CSV file of points into a CSV file of places.

Reads points (a header line, then rows with a latitude and a longitude column)
and writes every input row followed by the columns of the nearest place:

    python examples/geocode_csv.py points.csv places.csv
    python examples/geocode_csv.py points.csv places.csv --places data/world_places.csv
    python examples/geocode_csv.py points.csv - --geocoder world.geocoder --lat y --lon x

The places come from a saved geocoder (--geocoder, quickest to open) or from a
CSV text of places (--places, by default the bundled world data); --save
keeps the geocoder built from --places for later runs. Long runs show their
progress on standard error (with tqdm when it is installed).
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import pathlib
import sys
import time
from collections.abc import Iterable, Iterator
from typing import IO, TypeVar

from quorvel import ReverseGeocoder

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "world_places.csv"
T = TypeVar("T")


def progress(rows: Iterable[T], total: int | None, stream: IO[str]) -> Iterator[T]:
    """Yields `rows`, showing how far along they are on `stream` when it is a
    terminal or the run is long."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        pass
    else:
        yield from tqdm(rows, total=total, unit=" points", file=stream, mininterval=0.5)
        return
    start = last = time.monotonic()
    count = 0
    for count, row in enumerate(rows, 1):
        yield row
        now = time.monotonic()
        if now - last >= 0.5:
            last = now
            share = f" of {total:,} ({count / total:.0%})" if total else ""
            stream.write(f"\r{count:,}{share} points, {count / (now - start):,.0f}/s ")
            stream.flush()
    if last != start:
        stream.write(f"\r{count:,} points in {time.monotonic() - start:.1f} s" + " " * 20 + "\n")


def open_geocoder(args: argparse.Namespace) -> ReverseGeocoder:
    if args.geocoder:
        return ReverseGeocoder.load(args.geocoder)
    geocoder = ReverseGeocoder(args.places.read_text(encoding="utf-8"), args.places_sep)
    if args.save:
        geocoder.save(args.save)
    return geocoder


def column_index(header: list[str], wanted: str | None, guesses: tuple[str, ...]) -> int:
    names = [name.strip().lower() for name in header]
    for name in ([wanted.lower()] if wanted else list(guesses)):
        if name in names:
            return names.index(name)
    raise SystemExit(f"no column {wanted or ' or '.join(guesses)!r} in the header {header}")


def count_lines(path: pathlib.Path) -> int | None:
    """Data rows in a regular file (for the progress display), else None."""
    if not path.is_file():
        return None
    with path.open("rb") as f:
        return max(sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b"")) - 1, 0)


def geocode(args: argparse.Namespace, source: IO[str], target: IO[str]) -> int:
    geocoder = open_geocoder(args)
    reader = csv.reader(source, delimiter=args.sep)
    header = next(reader, None)
    if header is None:
        raise SystemExit("the input is empty: it needs a header line")
    lat_at = column_index(header, args.lat, ("lat", "latitude", "y"))
    lon_at = column_index(header, args.lon, ("lon", "lng", "long", "longitude", "x"))
    place_columns: list[str] | None = None
    writer = csv.writer(target, delimiter=args.sep, lineterminator="\n")
    total = None if args.input == "-" else count_lines(pathlib.Path(args.input))
    done = 0
    for line, row in enumerate(progress(reader, total, sys.stderr), 2):
        try:
            place = geocoder.get_nearest_as_dict(float(row[lat_at]), float(row[lon_at]))
        except (IndexError, ValueError) as error:
            raise SystemExit(f"{args.input}, line {line}: {error}") from None
        if place_columns is None:
            place_columns = list(place)
            writer.writerow(header + [f"place_{name}" for name in place_columns])
        writer.writerow(row + [place[name] for name in place_columns])
        done += 1
    if place_columns is None:
        writer.writerow(header)
    return done


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="CSV file of points, or - for standard input")
    parser.add_argument("output", help="CSV file to write, or - for standard output")
    parser.add_argument("--geocoder", type=pathlib.Path, help="a saved geocoder to load")
    parser.add_argument("--places", type=pathlib.Path, default=DATA, help="CSV text of places to build from")
    parser.add_argument("--places-sep", default=",", help="separator of the places file")
    parser.add_argument("--save", type=pathlib.Path, help="save the geocoder built from --places here")
    parser.add_argument("--sep", default=",", help="separator of the input and output")
    parser.add_argument("--lat", help="latitude column (default: lat, latitude or y)")
    parser.add_argument("--lon", help="longitude column (default: lon, lng, long, longitude or x)")
    args = parser.parse_args()

    with contextlib.ExitStack() as files:
        source = sys.stdin if args.input == "-" else files.enter_context(
            open(args.input, newline="", encoding="utf-8"))
        target = sys.stdout if args.output == "-" else files.enter_context(
            open(args.output, "w", newline="", encoding="utf-8"))
        geocode(args, source, target)


if __name__ == "__main__":
    main()
