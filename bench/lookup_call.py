"""The cost of one lookup call from Python.

Compares get_nearest_as_string and get_nearest_as_dict on a 150,000-record
geocoder with math.hypot(lat, lon), the floor for any call that takes two
floats into C, over the same query loop. Prints nanoseconds per call (the
median over the repeats, with the bare loop's own cost subtracted) and the
ratio; the target is a get_nearest_as_string call costing at most 8 hypot
calls. The same calls on a one-record geocoder show the call path alone.

    python bench/lookup_call.py [--records N] [--queries N] [--repeat N]
"""

import argparse
import math
import random
import statistics
import time

from quorvel import ReverseGeocoder


def make_csv(records, rng):
    lines = ["lat,lon,name,admin1,cc"]
    for i in range(records):
        lat = math.degrees(math.asin(rng.uniform(-1, 1)))  # uniform on the sphere
        lines.append(f"{lat:.5f},{rng.uniform(-180, 180):.5f},place {i},{i % 97:02d},X{i % 26}")
    return "\n".join(lines) + "\n"


def median_ns_per_call(loop, queries, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        loop(queries)
        samples.append((time.perf_counter_ns() - start) / len(queries))
    return statistics.median(samples)


def timed_loop(function):
    # The same shape for every function, so that the loop's own cost is the
    # same in each figure and cancels against the bare loop.
    def loop(queries):
        for lat, lon in queries:
            function(lat, lon)
    return loop


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

    # One record: the call path (binding, point conversion, a one-leaf scan,
    # the result) without the cost of searching a large tree.
    single = ReverseGeocoder("lat,lon,name\n0,0,only\n")
    functions = {
        "math.hypot(lat, lon)": math.hypot,
        "get_nearest_as_string": geocoder.get_nearest_as_string,
        "get_nearest_as_dict": geocoder.get_nearest_as_dict,
        "as_string, 1 record": single.get_nearest_as_string,
        "as_dict, 1 record": single.get_nearest_as_dict,
    }

    loop_ns = median_ns_per_call(bare, queries, args.repeat)
    ns = {name: median_ns_per_call(timed_loop(f), queries, args.repeat) - loop_ns
          for name, f in functions.items()}
    hypot_ns = ns["math.hypot(lat, lon)"]
    print(f"geocoder: {args.records} records, built in {build_s:.2f} s")
    print(f"loop overhead:          {loop_ns:7.1f} ns per iteration (subtracted below)")
    for name, value in ns.items():
        print(f"{name + ':':<23} {value:7.1f} ns per call  {value / hypot_ns:6.2f} x hypot")
    print("target: get_nearest_as_string <= 8 x hypot; the 1-record rows are the "
          "call path without the tree search")


if __name__ == "__main__":
    main()
