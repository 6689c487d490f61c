"""The world geocoder against the peers that ship their own places.

reverse_geocoder and reverse-geocode (module reverse_geocode) both answer out
of the box from GeoNames places they carry, as ``ReverseGeocoder.world()``
does. compare.py measures, through these functions:

- the first answer in a fresh interpreter, import included, and the memory
  the loaded places hold (bench_probe.py, one process per run);
- one batch of positions near places: quorvel's ``get_nearest_as_columns``
  in this process, each peer's batch call in a fresh process of its own
  (their places are process-wide singletons, loaded by the first call);
- how often the three name the same country for positions on land, and
  what each answers for ten landmarks (these go into docs/data.md), each
  peer again answering in a fresh process.

Only the peers' public calls are used, and only their answers are read.
"""

import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

import bench_data

HERE = os.path.dirname(os.path.abspath(__file__))
RG, RGC = "reverse_geocoder", "reverse_geocode"

LANDMARKS = [
    ("Eiffel Tower", 48.8584, 2.2945),
    ("Sydney Opera House", -33.8568, 151.2153),
    ("Statue of Liberty", 40.6892, -74.0445),
    ("Christ the Redeemer", -22.9519, -43.2105),
    ("Tokyo Tower", 35.6586, 139.7454),
    ("Kilimanjaro", -3.0674, 37.3556),
    ("Taj Mahal", 27.1751, 78.0421),
    ("Big Ben", 51.5007, -0.1246),
    ("Golden Gate Bridge", 37.8199, -122.4783),
    ("Brandenburg Gate", 52.5163, 13.3777),
]


def installed():
    """Which peers are installed, by module name. They are never imported
    here: every peer call runs in a fresh process (bench_probe.py)."""
    return {name: importlib.util.find_spec(name) is not None for name in (RG, RGC)}


def _probe(*args):
    out = subprocess.run([sys.executable, os.path.join(HERE, "bench_probe.py"), *args],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def first_answers(peers, runs, log):
    """Seconds to import each geocoder and get its first answer, and the
    memory its places hold, over `runs` fresh interpreters each.

    Returns {label: {"runs": [...], "min", "median", "held", "load_held",
    "answer"}}; memory figures are medians over the runs.
    """
    kinds = [("quorvel ReverseGeocoder.world()", "world-first")]
    if peers[RG]:
        kinds += [("reverse_geocoder.search (default mode)", "rg-first"),
                  ("reverse_geocoder.search (mode=1)", "rg-first-mode1")]
    if peers[RGC]:
        kinds.append(("reverse_geocode.get", "reverse-geocode-first"))
    out = {}
    # Interleaved, so that a burst of load on the shared machine falls on
    # every geocoder alike rather than on one.
    reports = {label: [] for label, _ in kinds}
    for _ in range(runs):
        for label, kind in kinds:
            log(f"world: first answer, {label}")
            reports[label].append(_probe(kind))
    for label, runs_ in reports.items():
        seconds = [r["seconds"] for r in runs_]
        out[label] = {
            "runs": seconds,
            "min": min(seconds),
            "median": statistics.median(seconds),
            "import_median": statistics.median(r["import_seconds"] for r in runs_),
            "held": statistics.median(r["held"] for r in runs_),
            "load_held": statistics.median(r["load_held"] for r in runs_),
            "answer": runs_[0]["answer"],
        }
    return out


def place_positions(world):
    """Latitudes and longitudes of every place of the world geocoder."""
    n = len(world)
    lat, lon = np.empty(n), np.empty(n)
    record = world.get_record_as_string
    for i in range(n):
        la, lo, _ = record(i).split(",", 2)
        lat[i], lon[i] = float(la), float(lo)
    return lat, lon


def batch(world, peers, lat, lon, median_seconds, repeats, log):
    """Seconds of one batch over the positions (lat, lon): quorvel's
    get_nearest_as_columns on one worker and on every CPU (and the search
    alone), and each peer's batch call in a fresh process.

    Returns {label: {"positions": timed count, "seconds": s}}; a peer too
    slow for all positions is timed on a tenth of them (see bench_probe.py).
    """
    n = len(lat)
    la = np.ascontiguousarray(lat, dtype=np.float64)
    lo = np.ascontiguousarray(lon, dtype=np.float64)
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    ours = {
        "quorvel get_nearest_as_columns, workers=1":
            lambda: world.get_nearest_as_columns(la, lo),
        f"quorvel get_nearest_as_columns, workers=-1 ({cpus} CPUs)":
            lambda: world.get_nearest_as_columns(la, lo, workers=-1),
        # The search alone, without building the answer's columns of strings.
        "quorvel get_nearest_indices, workers=1 (search only)":
            lambda: world.get_nearest_indices(la, lo),
    }
    kinds = []
    if peers[RG]:
        kinds += [("reverse_geocoder.search (mode=1, one process)", "batch-rg-mode1"),
                  ("reverse_geocoder.search (default mode)", "batch-rg")]
    if peers[RGC]:
        kinds.append(("reverse_geocode.search", "batch-reverse-geocode"))
    # quorvel's calls are timed before the peers and again after them, so
    # that a change of load on the shared machine during the peers' minutes
    # reaches both sides of the ratio.
    seconds = {label: [] for label in ours}

    def time_ours():
        log("world: batch, quorvel")
        for label, call in ours.items():
            seconds[label].append(median_seconds(call, repeats))

    time_ours()
    out = {label: None for label in ours}
    if kinds:
        fd, path = tempfile.mkstemp(suffix=".npy")
        os.close(fd)
        try:
            np.save(path, np.column_stack((la, lo)))
            for label, kind in kinds:
                log(f"world: batch, {label} (once)")
                out[label] = _probe(kind, path)
        finally:
            os.remove(path)
        time_ours()
    for label, runs in seconds.items():
        out[label] = {"positions": n, "seconds": statistics.median(runs)}
    return out


def _peer_answers(name, positions):
    """The peer's [name, admin1, cc, country] for each position, from a fresh
    process: in this one an earlier section may have fed reverse_geocoder
    places of its own."""
    fd, path = tempfile.mkstemp(suffix=".npy")
    os.close(fd)
    try:
        np.save(path, np.asarray(positions, dtype=np.float64).reshape(-1, 2))
        kind = "answers-rg" if name == RG else "answers-reverse-geocode"
        return _probe(kind, path)["rows"]
    finally:
        os.remove(path)


def agreement(world, peers, lat, lon):
    """How often the geocoders name the same country for the positions.

    Returns {"positions": n, "pairs": {"a = b": share}, "all": share or None,
    "geocoders": [names]}; a pair with an absent peer is left out.
    """
    la = np.ascontiguousarray(lat, dtype=np.float64)
    lo = np.ascontiguousarray(lon, dtype=np.float64)
    positions = list(zip(la.tolist(), lo.tolist()))
    codes = {"quorvel": world.get_nearest_as_columns(la, lo)["cc"]}
    for name in (RG, RGC):
        if peers[name]:
            codes[name] = [row[2] for row in _peer_answers(name, positions)]
    names = list(codes)
    n = len(positions)
    pairs = {}
    for i, a in enumerate(names):
        for b in names[i + 1:]:
            pairs[f"{a} = {b}"] = sum(x == y for x, y in zip(codes[a], codes[b])) / n
    every = None
    if len(names) == 3:
        every = sum(len(set(trio)) == 1 for trio in zip(*codes.values())) / n
    return {"positions": n, "pairs": pairs, "all": every, "geocoders": names}


def landmarks(world, peers, place_lat, place_lon):
    """Each landmark's answer from each geocoder as (name, admin1, country).

    reverse_geocoder answers with a country code only; its country is named
    from the world geocoder's own pairs of code and name (read off the places
    at place_lat, place_lon) so that the columns compare like with like.
    """
    table = world.get_nearest_as_columns(place_lat, place_lon)
    country_of = dict(zip(table["cc"], table["country"]))
    positions = [(la, lo) for _, la, lo in LANDMARKS]
    out = {"quorvel": [(d["name"], d["admin1"], d["country"])
                       for d in (world.get_nearest_as_dict(la, lo) for la, lo in positions)]}
    if peers[RG]:
        out[RG] = [(name, admin1, country_of.get(cc, cc))
                   for name, admin1, cc, _ in _peer_answers(RG, positions)]
    if peers[RGC]:
        out[RGC] = [(city, state, country)
                    for city, state, _, country in _peer_answers(RGC, positions)]
    return {"landmarks": [name for name, _, _ in LANDMARKS], "answers": out}
