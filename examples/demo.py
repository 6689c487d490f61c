"""Reverse-geocode landmarks and border towns with the world geocoder.

Loads the world's places that ship with quorvel, names the nearest place to
some landmarks and to a few positions near borders, then names those again
by the country each lies in (quorvel.geocode), and times a batch.

    python examples/demo.py
"""

import array
import random
import time
from collections.abc import Callable

import quorvel
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

# Positions a kilometre or two from a border: the nearest place may lie in
# the neighbouring country. (Closer than about a kilometre, the borders of a
# 1:10,000,000 map may put a position on the other side.)
NEAR_BORDERS = [
    ("Windsor riverside (CA)", 42.3149, -83.0364),
    ("Montana, by the line (US)", 48.9800, -112.8000),
    ("Basel, by the Rhine (CH)", 47.5820, 7.5880),
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

    print("\nBy the borders first (quorvel.geocode), the nearest place in the country you are in:")
    border_lats = [lat for _, lat, _ in NEAR_BORDERS]
    border_lons = [lon for _, _, lon in NEAR_BORDERS]
    found = quorvel.geocode(border_lats, border_lons)
    for row, (where, _, _) in enumerate(NEAR_BORDERS):
        place = {name: values[row] or "" for name, values in found.items()}
        print(f"  {where:<28} -> {describe(place)}")

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
