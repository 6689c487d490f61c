"""Reverse-geocode landmarks and border towns with the world geocoder.

Loads the world's places that ship with quorvel, names the nearest place to
some landmarks and to a few positions near borders, and times a batch.

    python examples/demo.py
"""

import array
import random
import time
from collections.abc import Callable

from quorvel import ReverseGeocoder

LANDMARKS = [
    ("Eiffel Tower", 48.8584, 2.2945),
    ("Statue of Liberty", 40.6892, -74.0445),
    ("Sydney Opera House", -33.8568, 151.2153),
    ("Christ the Redeemer", -22.9519, -43.2105),
    ("Tokyo Tower", 35.6586, 139.7454),
    ("Golden Gate Bridge", 37.8199, -122.4783),
    ("Table Mountain", -33.9628, 18.4098),
]

# Positions a few hundred metres from a border: the nearest place may lie in
# the neighbouring country.
NEAR_BORDERS = [
    ("Windsor riverside (CA)", 42.3149, -83.0364),
    ("Montana, by the line (US)", 48.9950, -112.8000),
    ("Basel, Dreiländereck (CH)", 47.5897, 7.5890),
    ("Strasbourg, Rhine bank (FR)", 48.5700, 7.8000),
]


def timed[T](action: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def describe(place: dict[str, str]) -> str:
    parts = [place["name"], place["admin1"], place["country"]]
    return ", ".join(part for part in parts if part)


def main() -> None:
    world, load_s = timed(ReverseGeocoder.world)
    print(f"loaded the world geocoder ({len(world):,} places) in {load_s * 1e3:.0f} ms\n")

    for landmark, lat, lon in LANDMARKS:
        print(f"  {landmark:<28} -> {describe(world.get_nearest_as_dict(lat, lon))}")

    print("\nNear a border, the nearest place is not always the place you are in:")
    for where, lat, lon in NEAR_BORDERS:
        print(f"  {where:<28} -> {describe(world.get_nearest_as_dict(lat, lon))}")

    rng = random.Random(0)
    count = 1_000_000
    lats = array.array("d", (rng.uniform(-60, 70) for _ in range(count)))
    lons = array.array("d", (rng.uniform(-180, 180) for _ in range(count)))
    columns, batch_s = timed(lambda: world.get_nearest_as_columns(lats, lons, workers=-1))
    print(f"\n{count:,} random positions named in one call: {batch_s:.2f} s "
          f"({batch_s / count * 1e9:.0f} ns each, every CPU)")
    assert len(columns["name"]) == count


if __name__ == "__main__":
    main()
