"""where= on the geocoder's batch methods: the nearest record whose field has
the position's value, exactly as a brute-force scan finds it."""

import math
import threading

import numpy as np
import pytest

from quorvel import ReverseGeocoder
from test_resources import _assert_no_growth

NO = 4294967295


def _chord2(lat1, lon1, lat2, lon2):
    def vector(lat, lon):
        la, lo = math.radians(lat), math.radians(lon)
        return (math.cos(la) * math.cos(lo), math.cos(la) * math.sin(lo), math.sin(la))

    a, b = vector(lat1, lon1), vector(lat2, lon2)
    return sum((x - y) ** 2 for x, y in zip(a, b))


@pytest.fixture(scope="module")
def places():
    rng = np.random.default_rng(23)
    n = 3000
    lats = np.round(rng.uniform(-60, 70, n), 3)
    lons = np.round(rng.uniform(-180, 180, n), 3)
    kinds = rng.choice(["a", "b", "c", "d"], n, p=[0.6, 0.3, 0.099, 0.001])
    # Records sharing a position and a value: ties go to the lower number.
    lats[10], lons[10], kinds[10] = lats[20], lons[20], kinds[20]
    # A group large enough that the index stores it once, under record 5,
    # whose members differ in value: each is found by its own.
    lats[30:80], lons[30:80] = lats[5], lons[5]
    kinds[79] = "c" if kinds[5] != "c" else "b"
    lines = ["lat,lon,kind,n"] + [f"{a},{o},{k},{i}" for i, (a, o, k) in
                                  enumerate(zip(lats, lons, kinds))]
    return ReverseGeocoder("\n".join(lines) + "\n"), lats, lons, kinds


def _brute(lats, lons, kinds, lat, lon, value):
    best = (math.inf, NO)
    for i in np.nonzero(kinds == value)[0]:
        best = min(best, (_chord2(lat, lon, lats[i], lons[i]), int(i)))
    return best[1]


def test_where_is_a_brute_force_scan_over_the_matching_records(places):
    geocoder, lats, lons, kinds = places
    rng = np.random.default_rng(7)
    qlats, qlons = rng.uniform(-70, 80, 400), rng.uniform(-180, 180, 400)
    values = list(rng.choice(["a", "b", "c", "d", "zz"], 400))
    values[0], values[1] = None, "a"
    qlats[1], qlons[1] = lats[20], lons[20]
    qlats[2], qlons[2], values[2] = lats[5], lons[5], kinds[79]
    found = geocoder.get_nearest_indices(qlats, qlons, where={"kind": values})
    plain = geocoder.get_nearest_indices(qlats, qlons)
    for i, value in enumerate(values):
        if value is None:
            assert found[i] == plain[i]
        elif value == "zz":
            assert found[i] == NO
        else:
            # Equal squared chords would need a tie rule; the brute force
            # takes the lowest record number, as the search does.
            assert found[i] == _brute(lats, lons, kinds, qlats[i], qlons[i], value), i
    assert found[1] == min(10, 20) if kinds[20] == "a" else True
    assert kinds[found[2]] == kinds[79] and lats[found[2]] == lats[5]


def test_every_form_and_every_worker_count_agree(places):
    geocoder, _, _, _ = places
    rng = np.random.default_rng(8)
    qlats, qlons = rng.uniform(-70, 80, 50_000), rng.uniform(-180, 180, 50_000)
    values = list(rng.choice(["a", "b", "c", "d"], 50_000))
    where = {"kind": values}
    indices = geocoder.get_nearest_indices(qlats, qlons, where=where)
    assert geocoder.get_nearest_indices(qlats, qlons, where=where, workers=3) == indices
    strings = geocoder.get_nearest_as_strings(qlats[:100], qlons[:100], where={"kind": values[:100]})
    assert strings == [geocoder.get_record_as_string(k) for k in indices[:100]]
    columns = geocoder.get_nearest_as_columns(qlats[:100], qlons[:100], where={"kind": values[:100]})
    assert columns["kind"] == values[:100]
    dicts = geocoder.get_nearest_as_dicts(qlats[:5], qlons[:5], where={"kind": values[:5]})
    assert [d["kind"] for d in dicts] == values[:5]
    (items, km) = geocoder.get_nearest_indices(
        [0.0, float("nan")], [0.0, 0.0], return_distance=True, where={"kind": ["zz", "a"]})
    assert list(items) == [NO, NO] and all(math.isnan(d) for d in km)


def test_concurrent_first_use_builds_one_index(places):
    geocoder, _, _, _ = places
    fresh = ReverseGeocoder.loads(geocoder.dumps())
    results = []
    values = ["b"] * 1000
    qlats, qlons = np.linspace(-50, 50, 1000), np.linspace(-170, 170, 1000)

    def run():
        results.append(fresh.get_nearest_indices(qlats, qlons, where={"kind": values}))

    threads = [threading.Thread(target=run) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 6 and all(r == results[0] for r in results)


@pytest.mark.parametrize("where, error", [
    ({"nope": ["a"]}, KeyError), ({"kind": ["a", "b"]}, ValueError),
    ({"kind": [1]}, TypeError), ({"kind": ["a"], "n": ["1"]}, ValueError),
    ([("kind", ["a"])], TypeError), ({"kind": 5}, TypeError),
])
def test_bad_where(places, where, error):
    geocoder, _, _, _ = places
    with pytest.raises(error):
        geocoder.get_nearest_indices([1.0], [1.0], where=where)


def test_world_pair_keeps_the_border():
    from quorvel import Regions

    countries, world = Regions.world_countries(), ReverseGeocoder.world()
    lats, lons = [42.3149, 42.3314, 31.7400, 31.7587], [-83.0364, -83.0458, -106.4850, -106.4869]
    cc = countries.get_regions_as_columns(lats, lons, max_distance_km=25)["cc"]
    places = world.get_nearest_as_columns(lats, lons, where={"cc": cc})
    assert places["cc"] == cc == ["CA", "US", "MX", "US"]


def test_where_calls_do_not_leak(places):
    geocoder, _, _, _ = places
    where = {"kind": ["a", None, "zz"]}
    _assert_no_growth(lambda: geocoder.get_nearest_as_columns([1.0, 2.0, 3.0], [1.0, 2.0, 3.0],
                                                              where=where),
                      [geocoder, where["kind"]], 20_000)
