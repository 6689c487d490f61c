"""The cost of one get_nearest_as_string call from Python.

Compares a lookup on a 150,000-record geocoder with math.hypot(lat, lon),
the floor for any call that takes two floats into C, over the same query
loop. Prints nanoseconds per call (the bare loop's own cost subtracted) and
the ratio; the target is a lookup costing at most 8 hypot calls.

    python bench/lookup_call.py [--records N] [--queries N] [--repeat N]
"""

import argparse
import math
import random
import time

from quorvel import ReverseGeocoder


def make_csv(records, rng):
    lines = ["lat,lon,name,admin1,cc"]
    for i in range(records):
        lat = math.degrees(math.asin(rng.uniform(-1, 1)))  # uniform on the sphere
        lines.append(f"{lat:.5f},{rng.uniform(-180, 180):.5f},place {i},{i % 97:02d},X{i % 26}")
    return "\n".join(lines) + "\n"


def best_ns_per_call(loop, queries, repeat):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter_ns()
        loop(queries)
        best = min(best, (time.perf_counter_ns() - start) / len(queries))
    return best


def bare(queries):
    for lat, lon in queries:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=150_000)
    parser.add_argument("--queries", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    rng = random.Random(1)
    start = time.perf_counter()
    geocoder = ReverseGeocoder(make_csv(args.records, rng))
    build_s = time.perf_counter() - start
    queries = [(math.degrees(math.asin(rng.uniform(-1, 1))), rng.uniform(-180, 180))
               for _ in range(args.queries)]

    hypot = math.hypot
    lookup = geocoder.get_nearest_as_string
    # One record: the call path (binding, point conversion, a one-leaf scan,
    # the result str) without the cost of searching a large tree.
    single = ReverseGeocoder("lat,lon,name\n0,0,only\n").get_nearest_as_string

    def hypot_loop(queries):
        for lat, lon in queries:
            hypot(lat, lon)

    def lookup_loop(queries):
        for lat, lon in queries:
            lookup(lat, lon)

    def single_loop(queries):
        for lat, lon in queries:
            single(lat, lon)

    loop_ns = best_ns_per_call(bare, queries, args.repeat)
    hypot_ns = best_ns_per_call(hypot_loop, queries, args.repeat) - loop_ns
    lookup_ns = best_ns_per_call(lookup_loop, queries, args.repeat) - loop_ns
    single_ns = best_ns_per_call(single_loop, queries, args.repeat) - loop_ns
    print(f"geocoder: {args.records} records, built in {build_s:.2f} s")
    print(f"loop overhead:          {loop_ns:7.1f} ns per iteration (subtracted below)")
    print(f"math.hypot(lat, lon):   {hypot_ns:7.1f} ns per call")
    print(f"get_nearest_as_string:  {lookup_ns:7.1f} ns per call")
    print(f"ratio:                  {lookup_ns / hypot_ns:7.2f} x hypot (target <= 8)")
    print(f"same call, 1 record:    {single_ns:7.1f} ns per call "
          f"({single_ns / hypot_ns:.2f} x hypot: the call path without the tree search)")


if __name__ == "__main__":
    main()
