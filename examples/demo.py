"""Reverse-geocode a few well-known places with the bundled world data.

Builds a geocoder from data/world_places.csv, looks up some landmarks,
saves the geocoder to a file, loads it back and prints how long each step
took.

    python examples/demo.py
"""

import os
import pathlib
import random
import tempfile
import time
from collections.abc import Callable

from quorvel import ReverseGeocoder

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "world_places.csv"

LANDMARKS = [
    ("Eiffel Tower", 48.8584, 2.2945),
    ("Statue of Liberty", 40.6892, -74.0445),
    ("Sydney Opera House", -33.8568, 151.2153),
    ("Christ the Redeemer", -22.9519, -43.2105),
    ("Tokyo Tower", 35.6586, 139.7454),
    ("Golden Gate Bridge", 37.8199, -122.4783),
    ("Table Mountain", -33.9628, 18.4098),
]


def timed[T](action: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def main() -> None:
    text = DATA.read_text(encoding="utf-8")
    geocoder, build_s = timed(lambda: ReverseGeocoder(text))
    places = text.count("\n") - 1
    print(f"built a geocoder of {places:,} places from {DATA.name} "
          f"({len(text.encode()) / 1e6:.1f} MB) in {build_s * 1e3:.0f} ms\n")

    for landmark, lat, lon in LANDMARKS:
        place = geocoder.get_nearest_as_dict(lat, lon)
        print(f"  {landmark:<20} ({lat:8.4f}, {lon:9.4f}) -> "
              f"{place['name']}, {place['admin1']}, {place['cc']}")

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "world.geocoder")
        _, save_s = timed(lambda: geocoder.save(path))
        size = os.path.getsize(path)
        loaded, load_s = timed(lambda: ReverseGeocoder.load(path))
    print(f"\nsaved to a {size / 1e6:.1f} MB file in {save_s * 1e3:.0f} ms, "
          f"loaded back in {load_s * 1e3:.0f} ms")

    rng = random.Random(0)
    queries = [(rng.uniform(-90, 90), rng.uniform(-180, 180)) for _ in range(100_000)]
    as_dict = loaded.get_nearest_as_dict
    _, dict_s = timed(lambda: [as_dict(lat, lon) for lat, lon in queries])
    as_string = loaded.get_nearest_as_string
    _, string_s = timed(lambda: [as_string(lat, lon) for lat, lon in queries])
    print(f"100,000 random lookups: {dict_s / len(queries) * 1e9:.0f} ns each as dict, "
          f"{string_s / len(queries) * 1e9:.0f} ns each as string")
    assert loaded.get_nearest_as_dict(48.8584, 2.2945) == geocoder.get_nearest_as_dict(48.8584, 2.2945)


if __name__ == "__main__":
    main()
