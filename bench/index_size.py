"""Saved size and construction time when many places share one coordinate.

Adds 5,000 places to the cities file of the benchmarks (see bench_data.py)
in several arrangements and reports, for each, the size of the saved
geocoder and the median construction time of three builds. The figures back
the section "Data that makes the index large" of docs/user_guide.md.

    build/bench-venv/bin/python bench/index_size.py
"""

import random
import statistics
import sys
import time

import bench_data
import quorvel

EXTRA = 5000


def extra_lines(position):
    rng = random.Random(1)
    return "".join("{:.9f},{:.9f},extra{},,,XX\n".format(*position(i, rng), i) for i in range(EXTRA))


CASES = {
    "the cities alone": None,
    "+ latitude 49, 0.01 degrees apart": lambda i, rng: (49, -125 + i * 0.01),
    "+ latitude 49, random longitudes": lambda i, rng: (49, rng.uniform(-180, 180)),
    "+ the equator, random longitudes": lambda i, rng: (0, rng.uniform(-180, 180)),
    "+ the prime meridian, random latitudes": lambda i, rng: (rng.uniform(-80, 80), 0),
    "+ meridian 10 E, random latitudes": lambda i, rng: (rng.uniform(-80, 80), 10),
    "+ latitude 49 +- 1e-7, 0.01 degrees apart": lambda i, rng: (49 + rng.uniform(-1e-7, 1e-7),
                                                                 -125 + i * 0.01),
    "+ random places": lambda i, rng: (rng.uniform(-80, 80), rng.uniform(-180, 180)),
}


def main():
    path = bench_data.cities_file()
    if path is None:
        sys.exit("the cities file is missing: run `make build/bench-venv/.stamp` and use its python")
    cities = bench_data.read_cities(path)
    for name, position in CASES.items():
        text = cities + (extra_lines(position) if position else "")
        times = []
        for _ in range(3):
            start = time.perf_counter()
            geocoder = quorvel.ReverseGeocoder(text)
            times.append(time.perf_counter() - start)
        print(f"{name:44s} {len(geocoder.dumps()) / 1e6:6.1f} MB {statistics.median(times) * 1e3:6.0f} ms")


if __name__ == "__main__":
    main()
