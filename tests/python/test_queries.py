"""The searches beyond the single nearest: k nearest, a distance limit,
everything within a radius, and records in bulk, each against a brute-force
scan over every record."""

import array
import math
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from quorvel import ReverseGeocoder as R

NO_RECORD = 4294967295
EARTH_KM = 6371.0088
# Brute force and engine compute the unit vectors with different sine and
# cosine routines; distances this close to a boundary may fall either way.
SLACK_KM = 1e-6


def _geocoder(lats, lons):
    lines = ["lat,lon,name"]
    lines += [f"{float(la)!r},{float(lo)!r},r{i}" for i, (la, lo) in enumerate(zip(lats, lons))]
    return R("\n".join(lines) + "\n")


def _unit(lats, lons):
    phi, lam = np.radians(lats), np.radians(lons)
    return np.stack([np.cos(phi) * np.cos(lam), np.cos(phi) * np.sin(lam), np.sin(phi)], axis=-1)


def _brute_km(places, qlats, qlons):
    """Distances in km from every query (rows) to every record (columns)."""
    q = _unit(np.asarray(qlats, dtype=np.float64), np.asarray(qlons, dtype=np.float64))
    chord = np.sqrt(((q[:, None, :] - places[None, :, :]) ** 2).sum(axis=-1))
    return 2 * EARTH_KM * np.arcsin(np.minimum(chord / 2, 1.0))


def _random_set(rng, n):
    lats = rng.uniform(-90, 90, n).round(4)
    lons = rng.uniform(-180, 180, n).round(4)
    return lats, lons


def _duplicate_set(rng, n):
    # Groups of up to ~20 identical points: each record keeps its own slot.
    base_lats, base_lons = _random_set(rng, max(1, n // 15))
    pick = rng.integers(0, len(base_lats), n)
    return base_lats[pick], base_lons[pick]


def _grid_set(rng, n):
    side = int(math.sqrt(n)) + 1
    la, lo = np.meshgrid(np.arange(side) * 0.5, np.arange(side) * 0.5)
    return la.ravel()[:n], lo.ravel()[:n]


def _polar_set(rng, n):
    lats = np.concatenate([rng.uniform(89.0, 90.0, n // 2), rng.uniform(-90.0, -89.0, n - n // 2)])
    lons = rng.uniform(-180, 180, n)
    return lats.round(5), lons.round(5)


def _antimeridian_set(rng, n):
    lons = np.where(rng.random(n) < 0.5, rng.uniform(179.0, 180.0, n), rng.uniform(-180.0, -179.0, n))
    return rng.uniform(-10, 10, n).round(5), lons.round(5)


SETS = {
    "random": (_random_set, lambda rng, m: _random_set(rng, m)),
    "duplicates": (_duplicate_set, lambda rng, m: _random_set(rng, m)),
    "grid": (_grid_set, lambda rng, m: (rng.integers(0, 20, m) * 0.25, rng.integers(0, 20, m) * 0.25)),
    "polar": (_polar_set, lambda rng, m: _polar_set(rng, m)),
    "antimeridian": (_antimeridian_set, lambda rng, m: _antimeridian_set(rng, m)),
}


@pytest.fixture(scope="module", params=sorted(SETS))
def case(request):
    rng = np.random.default_rng(301)
    make_places, make_queries = SETS[request.param]
    lats, lons = make_places(rng, 400)
    qlats, qlons = make_queries(rng, 150)
    qlats, qlons = np.asarray(qlats, dtype=np.float64), np.asarray(qlons, dtype=np.float64)
    geocoder = _geocoder(lats, lons)
    places = _unit(np.asarray(lats, dtype=np.float64), np.asarray(lons, dtype=np.float64))
    km = _brute_km(places, qlats, qlons)
    # The brute-force distances carry the places' coordinates along, so that
    # checks can tell identical points from equally distant ones.
    km = km.view(_Distances)
    km.places = np.stack([np.asarray(lats, dtype=np.float64), np.asarray(lons, dtype=np.float64)], axis=-1)
    return geocoder, qlats, qlons, km


class _Distances(np.ndarray):
    places = None


def _check_k_rows(items, dists, km, k):
    """Each row: the k smallest brute distances, the items at them, ties
    between identical points in record-number order, empty slots last."""
    n_records = km.shape[1]
    for row in range(items.shape[0]):
        want = np.sort(km[row])[:k]
        found = min(k, n_records)
        got_items = items[row, :found].astype(np.int64)
        np.testing.assert_allclose(dists[row, :found], want[:found], rtol=0, atol=SLACK_KM)
        np.testing.assert_allclose(km[row, got_items], dists[row, :found], rtol=0, atol=SLACK_KM)
        assert len(set(got_items.tolist())) == found
        assert (items[row, found:] == NO_RECORD).all() and np.isinf(dists[row, found:]).all()
        assert (np.diff(dists[row, :found]) >= 0).all()
        # Records at one point come in record-number order.
        if km.places is not None:
            coords = km.places[got_items]
            same = (coords[1:] == coords[:-1]).all(axis=1)
            assert (np.diff(got_items)[same] > 0).all()


class TestKNearest:
    @pytest.mark.parametrize("k", [2, 5, 17])
    def test_matches_brute_force(self, case, k):
        geocoder, qlats, qlons, km = case
        items, dists = geocoder.get_nearest_indices(qlats, qlons, k=k, return_distance=True)
        items, dists = np.asarray(items), np.asarray(dists)
        assert items.shape == dists.shape == (len(qlats), k)
        assert items.dtype == np.uint32 and dists.dtype == np.float64
        _check_k_rows(items, dists, km, k)

    def test_k_beyond_the_records(self, case):
        geocoder, qlats, qlons, km = case
        k = km.shape[1] + 3
        items, dists = geocoder.get_nearest_indices(qlats[:5], qlons[:5], k=k, return_distance=True)
        _check_k_rows(np.asarray(items), np.asarray(dists), km[:5], k)

    def test_with_a_limit(self, case):
        geocoder, qlats, qlons, km = case
        limit = float(np.median(np.sort(km, axis=1)[:, 3]))
        items, dists = geocoder.get_nearest_indices(
            qlats, qlons, k=6, max_distance_km=limit, return_distance=True)
        items, dists = np.asarray(items), np.asarray(dists)
        for row in range(len(qlats)):
            kept = items[row] != NO_RECORD
            inside = np.sort(km[row][km[row] <= limit - SLACK_KM])[:6]
            maybe = np.sort(km[row][km[row] <= limit + SLACK_KM])[:6]
            assert len(inside) <= kept.sum() <= len(maybe)
            assert (dists[row, kept] <= limit).all() and np.isinf(dists[row, ~kept]).all()
            assert kept[: kept.sum()].all()

    def test_k1_is_todays_answer(self, case):
        geocoder, qlats, qlons, _ = case
        today = geocoder.get_nearest_indices(qlats, qlons, return_distance=True)
        assert geocoder.get_nearest_indices(qlats, qlons, k=1, return_distance=True) == today

    def test_column_zero_is_the_nearest_distance(self, case):
        geocoder, qlats, qlons, _ = case
        _, one = geocoder.get_nearest_indices(qlats, qlons, return_distance=True)
        _, many = geocoder.get_nearest_indices(qlats, qlons, k=3, return_distance=True)
        assert np.asarray(many)[:, 0].tolist() == one.tolist()

    def test_numpy_reads_without_copy(self):
        g = _geocoder([0, 1, 2], [0, 1, 2])
        result = g.get_nearest_indices([0.5, 1.5], [0.5, 1.5], k=2)
        view = np.asarray(result)
        assert view.shape == (2, 2) and view.flags.c_contiguous
        assert np.shares_memory(view, np.asarray(result))
        assert not view.flags.owndata

    def test_missing_positions_and_empty_batch(self):
        g = _geocoder([0, 1], [0, 1])
        items, dists = g.get_nearest_indices([math.nan, 0], [0, math.inf], k=3, return_distance=True)
        assert np.asarray(items).tolist() == [[NO_RECORD] * 3] * 2
        assert np.isnan(np.asarray(dists)).all()
        items, dists = g.get_nearest_indices([], [], k=4, return_distance=True)
        assert np.asarray(items).shape == (0, 4) and np.asarray(dists).shape == (0, 4)

    def test_identical_points_come_in_record_order(self):
        g = _geocoder([5, 1, 5, 5, 1], [5, 1, 5, 5, 1])
        assert np.asarray(g.get_nearest_indices([5], [5], k=4)).tolist() == [[0, 2, 3, 1]]


class TestDistanceLimit:
    def test_matches_brute_force(self, case):
        geocoder, qlats, qlons, km = case
        nearest = km.min(axis=1)
        limit = float(np.median(nearest))
        items, dists = geocoder.get_nearest_indices(
            qlats, qlons, max_distance_km=limit, return_distance=True)
        today, today_km = geocoder.get_nearest_indices(qlats, qlons, return_distance=True)
        for i in range(len(qlats)):
            if abs(nearest[i] - limit) < SLACK_KM:
                continue
            if nearest[i] < limit:
                assert (items[i], dists[i]) == (today[i], today_km[i])
            else:
                assert items[i] == NO_RECORD and dists[i] == math.inf
        strings = geocoder.get_nearest_as_strings(qlats, qlons, max_distance_km=limit)
        assert strings == geocoder.get_records_as_strings(items)
        columns = geocoder.get_nearest_as_columns(qlats, qlons, max_distance_km=limit)
        assert columns == geocoder.get_records_as_columns(items)
        dicts = geocoder.get_nearest_as_dicts(qlats, qlons, max_distance_km=limit)
        assert [d is None for d in dicts] == [s is None for s in strings]

    def test_a_record_exactly_at_the_limit_is_inside(self, case):
        geocoder, qlats, qlons, _ = case
        items, dists = geocoder.get_nearest_indices(qlats, qlons, return_distance=True)
        for i in range(0, len(qlats), 10):
            got = geocoder.get_nearest_indices(qlats[i:i + 1], qlons[i:i + 1], max_distance_km=dists[i])
            assert got[0] == items[i]
            within = geocoder.get_indices_within(qlats[i:i + 1], qlons[i:i + 1], dists[i])[1]
            assert items[i] in within.tolist()

    @pytest.mark.parametrize("no_limit", [None, math.inf])
    def test_none_and_inf_are_no_limit(self, no_limit):
        g = _geocoder([0], [0])
        assert g.get_nearest_as_strings([50], [50], max_distance_km=no_limit) == ["0.0,0.0,r0"]


class TestWithin:
    @pytest.mark.parametrize("radius", [0.0, 150.0, 1500.0])
    def test_matches_brute_force(self, case, radius):
        geocoder, qlats, qlons, km = case
        offsets, items, dists = geocoder.get_indices_within(qlats, qlons, radius, return_distance=True)
        counts = geocoder.get_indices_within(qlats, qlons, radius, count_only=True)
        assert offsets[0] == 0 and len(offsets) == len(qlats) + 1
        for i in range(len(qlats)):
            row = np.asarray(items[offsets[i]:offsets[i + 1]], dtype=np.int64)
            row_km = np.asarray(dists[offsets[i]:offsets[i + 1]])
            sure = set(np.nonzero(km[i] <= radius - SLACK_KM)[0].tolist())
            maybe = set(np.nonzero(km[i] <= radius + SLACK_KM)[0].tolist())
            assert sure <= set(row.tolist()) <= maybe and len(set(row.tolist())) == len(row)
            assert counts[i] == len(row)
            np.testing.assert_allclose(row_km, km[i, row], rtol=0, atol=SLACK_KM)
            assert (np.diff(row_km) >= 0).all()
            same = (km.places[row][1:] == km.places[row][:-1]).all(axis=1)
            assert (np.diff(row)[same] > 0).all()

    def test_unsorted_rows_hold_the_same_records(self, case):
        geocoder, qlats, qlons, _ = case
        offsets, items = geocoder.get_indices_within(qlats, qlons, 800.0)
        offsets2, items2 = geocoder.get_indices_within(qlats, qlons, 800.0, sort=False)
        assert offsets == offsets2
        for i in range(len(qlats)):
            a, b = slice(offsets[i], offsets[i + 1]), slice(offsets2[i], offsets2[i + 1])
            assert sorted(items[a]) == sorted(items2[b])

    def test_a_radius_per_position(self, case):
        geocoder, qlats, qlons, km = case
        radii = np.linspace(0, 2000, len(qlats))
        counts = geocoder.get_indices_within(qlats, qlons, radii, count_only=True)
        for i, radius in enumerate(radii):
            assert (km[i] <= radius - SLACK_KM).sum() <= counts[i] <= (km[i] <= radius + SLACK_KM).sum()
        single = geocoder.get_indices_within(qlats, qlons, 500.0)
        assert geocoder.get_indices_within(qlats, qlons, pd.Series(np.full(len(qlats), 500.0))) == single
        assert geocoder.get_indices_within(qlats, qlons, np.float32(500.0)) == single

    def test_radius_zero_on_a_stored_point_finds_every_record_there(self):
        g = _geocoder([1, 2, 1, 1], [1, 2, 1, 1])
        offsets, items = g.get_indices_within([1.0, 2.0], [1.0, 2.0], 0)
        assert offsets.tolist() == [0, 3, 4] and items.tolist() == [0, 2, 3, 1]

    def test_missing_positions_and_the_empty_geocoder(self):
        g = _geocoder([0], [0])
        assert g.get_indices_within([math.nan, 0], [0, math.inf], 100) == (
            array.array("Q", [0, 0, 0]), array.array("I"))
        empty = R("lat,lon,name\n")
        assert empty.get_indices_within([1, 2], [3, 4], 1e9) == (array.array("Q", [0, 0, 0]), array.array("I"))
        assert empty.get_indices_within([1], [3], 1e9, count_only=True) == array.array("Q", [0])
        assert empty.get_records_as_strings([]) == []
        with pytest.raises(RuntimeError):
            empty.get_nearest_indices([1], [2], k=2)
        assert np.asarray(empty.get_nearest_indices([], [], k=2)).shape == (0, 2)


class TestRecords:
    INDICES = [3, 0, NO_RECORD, 3, 1]

    @pytest.mark.parametrize("form", [
        list, tuple, iter,
        lambda v: array.array("Q", v), lambda v: array.array("l", v),
        lambda v: np.array(v, dtype=np.uint32), lambda v: np.array(v, dtype=np.int64),
        lambda v: np.array(v, dtype=np.uint64), lambda v: pd.Series(v, dtype="int64"),
        lambda v: np.repeat(np.array(v, dtype=np.int64), 2)[::2],
        lambda v: memoryview(array.array("I", v)),
    ])
    def test_every_integer_form(self, form):
        g = _geocoder([0, 1, 2, 3], [0, 1, 2, 3])
        strings = g.get_records_as_strings(form(self.INDICES))
        assert strings == ["3.0,3.0,r3", "0.0,0.0,r0", None, "3.0,3.0,r3", "1.0,1.0,r1"]
        assert strings[0] is strings[3]
        columns = g.get_records_as_columns(form(self.INDICES))
        assert columns == {"lat": ["3.0", "0.0", None, "3.0", "1.0"], "lon": ["3.0", "0.0", None, "3.0", "1.0"],
                           "name": ["r3", "r0", None, "r3", "r1"]}

    def test_small_integer_dtypes(self):
        g = _geocoder([0, 1], [0, 1])
        for dtype in (np.int8, np.uint8, np.int16, np.uint16, np.int32):
            assert g.get_records_as_strings(np.array([1, 0], dtype=dtype)) == ["1.0,1.0,r1", "0.0,0.0,r0"]

    def test_results_feed_back(self, case):
        geocoder, qlats, qlons, _ = case
        items = geocoder.get_nearest_indices(qlats, qlons, k=3)
        flat = np.asarray(items).ravel()
        assert geocoder.get_records_as_strings(flat) == [
            None if i == NO_RECORD else geocoder.get_record_as_string(int(i)) for i in flat]

    @pytest.mark.parametrize("bad, position, text", [
        ([0, -1], 1, "-1"), ([4, 0], 0, "4"), (np.array([0, 0, -5], dtype=np.int8), 2, "-5"),
        (np.array([2**40], dtype=np.uint64), 0, str(2**40)), ([2**70], 0, str(2**70)),
        ([NO_RECORD + 1], 0, str(NO_RECORD + 1)),
    ])
    def test_out_of_range_names_the_position(self, bad, position, text):
        g = _geocoder([0, 1, 2, 3], [0, 1, 2, 3])
        message = f"record index {text} at position {position} is out of range for 4 records"
        for method in (g.get_records_as_strings, g.get_records_as_columns):
            with pytest.raises(IndexError, match=message):
                method(bad)

    @pytest.mark.parametrize("bad", [np.array([1.0]), [1.5], "12", b"\x01", 7, np.zeros((2, 2), dtype=np.int64)])
    def test_not_a_column_of_integers(self, bad):
        g = _geocoder([0, 1, 2], [0, 1, 2])
        with pytest.raises((TypeError, ValueError), match="indices"):
            g.get_records_as_strings(bad)


POSITION_FORMS = [
    ("list", lambda a: a.tolist()),
    ("float64", lambda a: a.astype(np.float64)),
    ("float32", lambda a: a.astype(np.float32)),
    ("int", lambda a: a.round().astype(np.int32)),
    ("series", lambda a: pd.Series(a)),
    ("strided", lambda a: np.repeat(a, 3)[::3]),
]


@pytest.mark.parametrize("name, form", POSITION_FORMS)
def test_every_input_form_answers_as_float64(name, form):
    rng = np.random.default_rng(7)
    g = _geocoder(*_random_set(rng, 300))
    qlats, qlons = rng.uniform(-80, 80, 40), rng.uniform(-170, 170, 40)
    fl, fo = form(qlats), form(qlons)
    as64 = [np.asarray(form(qlats), dtype=np.float64), np.asarray(form(qlons), dtype=np.float64)]
    assert (np.asarray(g.get_nearest_indices(fl, fo, k=3))
            == np.asarray(g.get_nearest_indices(*as64, k=3))).all()
    assert g.get_indices_within(fl, fo, 700) == g.get_indices_within(*as64, 700)
    assert g.get_nearest_as_strings(fl, fo, max_distance_km=300) == g.get_nearest_as_strings(
        *as64, max_distance_km=300)


def test_several_workers_answer_as_one():
    rng = np.random.default_rng(11)
    g = _geocoder(*_random_set(rng, 3000))
    qlats, qlons = _random_set(rng, 150_000)
    one = np.asarray(g.get_nearest_indices(qlats, qlons, k=3, workers=1))
    assert (np.asarray(g.get_nearest_indices(qlats, qlons, k=3, workers=4)) == one).all()
    assert g.get_indices_within(qlats, qlons, 200, workers=4) == g.get_indices_within(qlats, qlons, 200)
    assert g.get_indices_within(qlats, qlons, 200, count_only=True, workers=3) == g.get_indices_within(
        qlats, qlons, 200, count_only=True)
    assert g.get_nearest_indices(qlats, qlons, max_distance_km=90, workers=4) == g.get_nearest_indices(
        qlats, qlons, max_distance_km=90)


def test_arrow_chunks_with_nulls_answer_as_float64_with_nan():
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(17)
    g = _geocoder(*_random_set(rng, 400))
    qlats, qlons = rng.uniform(-80, 80, 60), rng.uniform(-170, 170, 60)
    lat_nulls = [None if i % 7 == 3 else v for i, v in enumerate(qlats)]
    lon_nulls = [None if i % 11 == 5 else v for i, v in enumerate(qlons)]
    # Chunk edges that differ between the two columns, so that rows cross
    # a chunk of one column inside a chunk of the other.
    alats = pa.chunked_array([lat_nulls[:13], lat_nulls[13:40], lat_nulls[40:]], pa.float64())
    alons = pa.chunked_array([lon_nulls[:29], lon_nulls[29:]], pa.float64())
    plats = np.array([math.nan if v is None else v for v in lat_nulls])
    plons = np.array([math.nan if v is None else v for v in lon_nulls])
    for k in (1, 4):
        got, got_km = g.get_nearest_indices(alats, alons, k=k, return_distance=True)
        want, want_km = g.get_nearest_indices(plats, plons, k=k, return_distance=True)
        assert (np.asarray(got) == np.asarray(want)).all()
        assert np.array_equal(np.asarray(got_km), np.asarray(want_km), equal_nan=True)
    assert g.get_indices_within(alats, alons, 900, return_distance=True) == g.get_indices_within(
        plats, plons, 900, return_distance=True)
    assert g.get_indices_within(alats, alons, 900, count_only=True) == g.get_indices_within(
        plats, plons, 900, count_only=True)
    radii = pa.chunked_array([[500.0] * 30, [1500.0] * 30])
    assert g.get_indices_within(alats, alons, radii) == g.get_indices_within(
        plats, plons, np.repeat([500.0, 1500.0], 30))
    assert g.get_nearest_as_strings(alats, alons, max_distance_km=400) == g.get_nearest_as_strings(
        plats, plons, max_distance_km=400)
    # (lat, lon) pairs in place of two columns.
    pairs = np.stack([qlats, qlons], axis=1)
    assert (np.asarray(g.get_nearest_indices(pairs, k=3))
            == np.asarray(g.get_nearest_indices(qlats, qlons, k=3))).all()


class TestWhere:
    def _geocoder(self):
        return R("lat,lon,cc,name\n0,0,AA,a0\n0,1,BB,b1\n0,5,AA,a5\n")

    def test_with_a_limit_both_apply(self):
        g = self._geocoder()
        lats, lons = [0.0, 0.0, 0.0], [0.9, 0.9, 4.0]
        where = {"cc": ["AA", None, "AA"]}
        # The nearest AA record of (0, 0.9) is a0, 100 km off: beyond 50 km.
        assert g.get_nearest_as_strings(lats, lons, where=where) == ["0,0,AA,a0", "0,1,BB,b1", "0,5,AA,a5"]
        items, km = g.get_nearest_indices(lats, lons, where=where, max_distance_km=50, return_distance=True)
        assert list(items) == [NO_RECORD, 1, NO_RECORD]
        assert km[0] == math.inf and km[1] < 50 and km[2] == math.inf
        assert g.get_nearest_as_columns(lats, lons, where=where, max_distance_km=120)["name"] == [
            "a0", "b1", "a5"]

    def test_k_and_radius_searches_refuse_it(self):
        g = self._geocoder()
        with pytest.raises(ValueError, match="argument 'where': works with k=1 only"):
            g.get_nearest_indices([0.0], [0.0], k=2, where={"cc": ["AA"]})
        with pytest.raises(ValueError, match="argument 'where': works with k=1 only"):
            g.get_indices_within([0.0], [0.0], 10.0, where={"cc": ["AA"]})
        # None is no restriction, and k=1 given outright is the plain search.
        assert g.get_indices_within([0.0], [0.0], 10.0, where=None) == g.get_indices_within([0.0], [0.0], 10.0)
        assert list(g.get_nearest_indices([0.0], [0.9], k=1, where={"cc": ["AA"]})) == [0]


class TestArguments:
    @pytest.mark.parametrize("k, error, text", [
        (0, ValueError, "argument 'k': must be a positive integer, not 0"),
        (-3, ValueError, "argument 'k': must be a positive integer, not -3"),
        (-(2**80), ValueError, "argument 'k'"),
        (2.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'k'"),
        (None, TypeError, "argument 'k'"),
    ])
    def test_k(self, k, error, text):
        with pytest.raises(error, match=text):
            _geocoder([0], [0]).get_nearest_indices([0], [0], k=k)

    @pytest.mark.parametrize("limit, error", [
        (-1.0, ValueError), (math.nan, ValueError), (-math.inf, ValueError), ("5", TypeError), ([5], TypeError),
    ])
    def test_max_distance_km(self, limit, error):
        g = _geocoder([0], [0])
        for method in (g.get_nearest_indices, g.get_nearest_as_strings, g.get_nearest_as_dicts,
                       g.get_nearest_as_columns):
            with pytest.raises(error, match="argument 'max_distance_km'"):
                method([0], [0], max_distance_km=limit)

    @pytest.mark.parametrize("radius, text", [
        (-1, "argument 'radius_km': must be a non-negative number, not -1"),
        (math.nan, "argument 'radius_km': must be a non-negative number, not nan"),
        ([1.0, -2.0], "the radius at position 1 is -2.0"),
        (np.array([math.nan, 1.0]), "the radius at position 0 is nan"),
        ([1.0], "expected one number or one radius per position"),
    ])
    def test_radius(self, radius, text):
        with pytest.raises(ValueError, match=text):
            _geocoder([0], [0]).get_indices_within([0, 1], [0, 1], radius)

    def test_count_only_with_distances(self):
        with pytest.raises(ValueError, match="count_only=True cannot be combined with return_distance=True"):
            _geocoder([0], [0]).get_indices_within([0], [0], 1, count_only=True, return_distance=True)

    def test_huge_k_is_a_memory_error(self):
        with pytest.raises(MemoryError):
            _geocoder([0], [0]).get_nearest_indices([0, 1], [0, 1], k=2**62)


def test_results_too_large_are_a_memory_error_in_a_small_address_space():
    code = textwrap.dedent("""
        import resource, numpy as np
        from quorvel import ReverseGeocoder as R
        rng = np.random.default_rng(5)
        n = 20000
        text = "lat,lon\\n" + "".join(f"{a:.4f},{b:.4f}\\n" for a, b in zip(rng.uniform(-90, 90, n), rng.uniform(-180, 180, n)))
        g = R(text)
        q = rng.uniform(-50, 50, 20000)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 300 * 2**20, hard))
        for _ in range(3):
            try:
                g.get_indices_within(q, q, 20000.0, return_distance=True)
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        # The process goes on, and a call that fits still answers.
        assert g.get_indices_within(q[:10], q[:10], 1.0, count_only=True) is not None
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


class TestGroupsAtOnePosition:
    """Groups larger than the index keeps apart: every record still counts."""

    def _places(self, drop=False):
        lats = [10.0] * 50 + [20.0, 10.0, 30.0] + [-5.0] * 40
        lons = [10.0] * 50 + [20.0, 10.0, 30.0] + [7.0] * 40
        text = "name,lat,lon\n" + "".join(f"r{i},{a!r},{o!r}\n" for i, (a, o) in enumerate(zip(lats, lons)))
        return R.read_csv(__import__("io").StringIO(text), lat="lat", lon="lon", drop_coordinates=drop), lats, lons

    def test_k_nearest_and_within_count_every_record(self):
        g, lats, lons = self._places()
        group = [i for i in range(len(lats)) if (lats[i], lons[i]) == (10.0, 10.0)]
        items = np.asarray(g.get_nearest_indices([10.0], [10.0], k=60)).ravel().tolist()
        assert items[:len(group)] == group and items[len(group)] == 50
        offsets, found = g.get_indices_within([10.0, -5.0], [10.0, 7.0], 0.0)
        assert found[offsets[0]:offsets[1]].tolist() == group
        assert found[offsets[1]:offsets[2]].tolist() == list(range(53, 93))
        assert g.get_indices_within([10.0, -5.0], [10.0, 7.0], 0.0, count_only=True).tolist() == [51, 40]
        _, unsorted = g.get_indices_within([10.0], [10.0], 2000.0, sort=False)
        _, ordered, km = g.get_indices_within([10.0], [10.0], 2000.0, return_distance=True)
        assert sorted(unsorted) == sorted(ordered) and len(ordered) == 92  # all but (30, 30)
        assert list(km) == sorted(km)

    def test_without_coordinates_a_group_is_its_lowest_record(self):
        g, lats, lons = self._places(drop=True)
        items = np.asarray(g.get_nearest_indices([10.0], [10.0], k=3)).ravel().tolist()
        assert items[0] == 0 and items.count(0) == 1
        assert set(items) <= set(range(len(lats)))
        counts = g.get_indices_within([10.0], [10.0], 0.0, count_only=True)
        assert 1 <= counts[0] <= 51


LEAK_CALLS = 100_000
LEAK_LATS = array.array("d", [11.5, float("nan"), -34.25])
LEAK_LONS = [21.25, 0.0, 18.5]
LEAK_INDICES = np.array([1, 0, NO_RECORD, 1], dtype=np.int64)


def _caught(call):
    def run():
        try:
            call()
        except (TypeError, ValueError, IndexError, MemoryError):
            pass
    return run


@pytest.mark.parametrize("make_call", [
    lambda g: lambda: g.get_nearest_indices(LEAK_LATS, LEAK_LONS, k=3, return_distance=True),
    lambda g: lambda: g.get_nearest_indices(LEAK_LATS, LEAK_LONS, max_distance_km=500.0),
    lambda g: lambda: g.get_nearest_as_columns(LEAK_LATS, LEAK_LONS, max_distance_km=500.0),
    lambda g: lambda: g.get_indices_within(LEAK_LATS, LEAK_LONS, 5000.0, return_distance=True),
    lambda g: lambda: g.get_indices_within(LEAK_LATS, LEAK_LONS, [1.0, 2.0, 9000.0], count_only=True),
    lambda g: lambda: g.get_records_as_strings(LEAK_INDICES),
    lambda g: lambda: g.get_records_as_columns([1, 0, NO_RECORD]),
    lambda g: _caught(lambda: g.get_nearest_indices(LEAK_LATS, LEAK_LONS, k=0)),
    lambda g: _caught(lambda: g.get_nearest_as_strings(LEAK_LATS, LEAK_LONS, max_distance_km="x")),
    lambda g: _caught(lambda: g.get_indices_within(LEAK_LATS, LEAK_LONS, [1.0, -1.0, 2.0])),
    lambda g: _caught(lambda: g.get_indices_within(LEAK_LATS, LEAK_LONS, 1.0, count_only=True,
                                                   return_distance=True)),
    lambda g: _caught(lambda: g.get_records_as_strings([0, 7])),
    lambda g: _caught(lambda: g.get_records_as_columns([0.5])),
    lambda g: _caught(lambda: g.get_nearest_indices(LEAK_LATS, LEAK_LONS, k=2**62)),
], ids=["k", "limit", "limit-columns", "within", "count", "records-strings", "records-columns",
        "bad-k", "bad-limit", "bad-radius", "count-distance", "bad-index", "float-index", "huge-k"])
def test_calls_do_not_leak(make_call):
    from test_resources import _assert_no_growth

    g = R("lat,lon,name\n10,20,a\n-33.9,18.4,b\n")
    _assert_no_growth(make_call(g), [g, LEAK_LATS, LEAK_LONS, LEAK_INDICES], LEAK_CALLS)


def test_long_searches_stop_on_ctrl_c(tmp_path):
    from test_interrupts import LATENCY_BOUND, latencies, run_child

    out = run_child(
        """
        import numpy as np
        rng = np.random.default_rng(7)
        places = "lat,lon\\n" + "".join(f"{a:.4f},{b:.4f}\\n" for a, b in zip(
            rng.uniform(-90, 90, 20000), rng.uniform(-180, 180, 20000)))
        g = quorvel.ReverseGeocoder(places)
        lats = rng.uniform(-90, 90, 4_000_000)
        lons = rng.uniform(-180, 180, 4_000_000)
        expect_interrupt(lambda: g.get_nearest_indices(lats, lons, k=20))
        expect_interrupt(lambda: g.get_indices_within(lats, lons, 300.0, workers=2))
        expect_interrupt(lambda: g.get_indices_within(lats, lons, 300.0, count_only=True))
        print("after", g.get_nearest_indices([1.0], [2.0], k=2) is not None)
        """,
        tmp_path,
    )
    assert len(latencies(out)) == 3 and all(t < LATENCY_BOUND for t in latencies(out)), out
    assert "after True" in out
