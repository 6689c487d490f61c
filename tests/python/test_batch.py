"""Many positions per call: every batch method answers, for each finite
position, exactly what the one-position methods answer, whatever the input
form and the number of workers."""

import array
import math
import random

import numpy as np
import pandas as pd
import pytest

import quorvel
from support import SMALL_CSV

R = quorvel.ReverseGeocoder
NO_RECORD = 4294967295
EARTH_RADIUS_KM = 6371.0088
NAN, INF = float("nan"), float("inf")


def uniform_positions(n, seed):
    rng = np.random.default_rng(seed)
    # Uniform on the sphere: the sine of the latitude is uniform.
    lats = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lons = rng.uniform(-180, 180, n)
    return lats, lons


def scalar_lines(g, lats, lons):
    return [g.get_nearest_as_string(float(a), float(o)) for a, o in zip(lats, lons)]


@pytest.fixture(scope="module")
def grid():
    """Places on a 10-degree grid, each repeated, so that positions halfway
    between them are ties and many records share a position."""
    rows = [f"{a},{o},p{a}_{o}_{k},{k}"
            for a in range(-80, 81, 10) for o in range(-180, 180, 10) for k in range(3)]
    random.Random(2).shuffle(rows)
    return R("lat,lon,name,copy\n" + "\n".join(rows) + "\n")


class TestSameAnswersAsOnePositionAtATime:
    @pytest.mark.parametrize("workers", [1, 2, 3, -1])
    def test_uniform_positions(self, world, workers):
        lats, lons = uniform_positions(30_000, 1)
        expected = scalar_lines(world, lats, lons)
        assert world.get_nearest_as_strings(lats, lons, workers=workers) == expected
        indices = world.get_nearest_indices(lats, lons, workers=workers)
        assert [world.get_record_as_string(i) for i in indices] == expected

    def test_positions_near_places(self, world):
        rng = np.random.default_rng(3)
        anchors = world.get_nearest_indices(*uniform_positions(20_000, 4))
        places = [world.get_record_as_dict(i) for i in anchors]
        lats = np.array([float(p["lat"]) for p in places]) + rng.normal(0, 0.2, len(places))
        lons = np.array([float(p["lon"]) for p in places]) + rng.normal(0, 0.2, len(places))
        assert (world.get_nearest_as_strings(lats, lons, workers=2)
                == scalar_lines(world, lats, lons))

    def test_ties_and_duplicates(self, grid):
        lats = np.repeat(np.arange(-85.0, 86.0, 5.0), 73)
        lons = np.tile(np.arange(-180.0, 181.0, 5.0), len(lats) // 73)
        expected = scalar_lines(grid, lats, lons)
        for workers in (1, 4):
            assert grid.get_nearest_as_strings(lats, lons, workers=workers) == expected

    def test_dicts_and_columns(self, world):
        lats, lons = uniform_positions(3000, 5)
        expected = [world.get_nearest_as_dict(float(a), float(o)) for a, o in zip(lats, lons)]
        assert world.get_nearest_as_dicts(lats, lons, workers=2) == expected
        columns = world.get_nearest_as_columns(lats, lons)
        assert list(columns) == world.columns
        assert columns == {c: [d[c] for d in expected] for c in world.columns}

    def test_distances_are_great_circle_kilometres(self, world):
        lats, lons = uniform_positions(2000, 6)
        indices, distances = world.get_nearest_indices(lats, lons, return_distance=True)
        assert isinstance(distances, array.array) and distances.typecode == "d"
        for a, o, i, d in zip(lats, lons, indices, distances):
            place = world.get_record_as_dict(i)
            p, q = np.radians([a, o]), np.radians([float(place["lat"]), float(place["lon"])])
            u = np.array([np.cos(p[0]) * np.cos(p[1]), np.cos(p[0]) * np.sin(p[1]), np.sin(p[0])])
            v = np.array([np.cos(q[0]) * np.cos(q[1]), np.cos(q[0]) * np.sin(q[1]), np.sin(q[0])])
            chord = np.linalg.norm(u - v)
            assert d == pytest.approx(2 * EARTH_RADIUS_KM * math.asin(min(1, chord / 2)),
                                      rel=1e-9, abs=1e-6)
        # The far side of the globe is half a circumference away.
        _, far = R("lat,lon\n0,0\n").get_nearest_indices([0], [180], return_distance=True)
        assert far[0] == pytest.approx(math.pi * EARTH_RADIUS_KM)


def widened(values):
    return [float(v) for v in values]


class TestInputForms:
    """Every form gives the answers of the same numbers passed as floats."""

    base_lats, base_lons = uniform_positions(500, 7)

    @pytest.mark.parametrize("convert", [
        lambda a: a,
        lambda a: a.astype(np.float32),
        lambda a: np.round(a).astype(np.int64),
        lambda a: np.round(a).astype(np.int16),
        lambda a: np.round(a).astype(np.int8) if a.max() < 128 else np.round(a).astype(np.int32),
        lambda a: np.abs(np.round(a)).astype(np.uint32),
        lambda a: np.repeat(a, 3)[::3],            # strided view
        lambda a: a[::-1].copy()[::-1],            # negative stride
        lambda a: a.astype(">f8"),                 # big-endian, element by element
        lambda a: a.astype(np.float16),            # half floats, element by element
        lambda a: a.astype(object),
        lambda a: a.tolist(),
        lambda a: tuple(a.tolist()),
        lambda a: (v for v in a.tolist()),
        lambda a: array.array("d", a),
        lambda a: array.array("f", a),
        lambda a: array.array("i", np.round(a).astype(int)),
        lambda a: memoryview(array.array("d", a)),
        lambda a: pd.Series(a),
        lambda a: pd.Series(a, index=np.arange(len(a))[::-1]),  # labels do not matter
        lambda a: pd.Index(a),
        lambda a: pd.Series(a.astype(np.float32)),
    ], ids=["float64", "float32", "int64", "int16", "int8", "uint32", "strided",
            "reversed", "big-endian", "float16", "object", "list", "tuple", "generator",
            "array-d", "array-f", "array-i", "memoryview", "series", "series-labels",
            "index", "series-float32"])
    def test_form(self, world, convert):
        lats, lons = convert(self.base_lats), convert(self.base_lons)
        exact_lats = widened(convert(self.base_lats))
        exact_lons = widened(convert(self.base_lons))
        expected = scalar_lines(world, exact_lats, exact_lons)
        assert world.get_nearest_as_strings(lats, lons) == expected

    def test_polars_series(self, world):
        pl = pytest.importorskip("polars")
        lats = pl.Series(self.base_lats)
        lons = pl.Series(self.base_lons.astype(np.float32))
        expected = scalar_lines(world, self.base_lats, widened(self.base_lons.astype(np.float32)))
        assert world.get_nearest_as_strings(lats, lons) == expected
        # A missing value in a polars column is a missing position.
        assert world.get_nearest_as_strings(pl.Series([1.0, None]), [2, 2])[1] is None

    def test_mixed_forms_and_number_types(self, small):
        class Degrees:
            def __float__(self):
                return 11.0

        assert small.get_nearest_as_strings([Degrees(), 11, np.float32(-34)],
                                            np.array([21.0, 21.0, 18.0])) == [
            "10,20,a", "10,20,a", "-33.9,18.4,b"]

    def test_contiguous_float64_is_read_in_place(self, small):
        # A buffer held for the call cannot be resized while the call runs,
        # and is free again afterwards.
        lats = array.array("d", [11.0])
        assert small.get_nearest_as_strings(lats, lats) == ["10,20,a"]
        lats.append(1.0)


class TestMissingPositions:
    def test_non_finite_positions_give_none_and_no_record(self, small):
        lats = [NAN, 11, INF, -34, 1, -INF]
        lons = [0, 21, 0, 18, NAN, 5]
        assert small.get_nearest_as_strings(lats, lons) == [
            None, "10,20,a", None, "-33.9,18.4,b", None, None]
        indices, distances = small.get_nearest_indices(lats, lons, return_distance=True)
        assert list(indices) == [NO_RECORD, 0, NO_RECORD, 1, NO_RECORD, NO_RECORD]
        assert [math.isnan(d) for d in distances] == [True, False, True, False, True, True]
        assert small.get_nearest_as_dicts(lats, lons)[:2] == [None, {"lat": "10", "lon": "20",
                                                                     "name": "a"}]
        columns = small.get_nearest_as_columns(lats, lons)
        assert columns["name"] == [None, "a", None, "b", None, None]
        # pandas' missing values in nullable columns arrive as NaN.
        assert small.get_nearest_as_strings(pd.Series([11, None], dtype="Int64"),
                                            pd.Series([21.0, 1.0], dtype="Float64")) == [
            "10,20,a", None]
        # The one-position methods keep refusing them.
        with pytest.raises(ValueError, match="must be finite"):
            small.get_nearest_as_string(NAN, 0)

    def test_empty_batches(self, small):
        empty = R("lat,lon,name\n")
        for g in (small, empty):
            assert g.get_nearest_as_strings([], []) == []
            assert g.get_nearest_as_dicts(np.array([]), np.array([])) == []
            assert g.get_nearest_as_columns([], []) == {"lat": [], "lon": [], "name": []}
            indices, distances = g.get_nearest_indices([], [], return_distance=True)
            assert (indices.typecode, len(indices), distances.typecode, len(distances)) == (
                "I", 0, "d", 0)

    @pytest.mark.parametrize("method", ["get_nearest_indices", "get_nearest_as_strings",
                                        "get_nearest_as_dicts", "get_nearest_as_columns"])
    def test_geocoder_without_records(self, method):
        with pytest.raises(RuntimeError, match="^cannot look up a place: the geocoder has "
                                               "no records$"):
            getattr(R("lat,lon,name\n"), method)([NAN], [1.0])


class TestArgumentErrors:
    @pytest.mark.parametrize("lats, lons, error, message", [
        ([1, 2], [1], ValueError, r"^lats and lons must have the same length \(got 2 and 1\)$"),
        (np.zeros((2, 2)), [1, 2], ValueError,
         "^argument 'lats': expected a 1-D sequence, got a 2-d array$"),
        ([1], np.float64(3), ValueError,
         "^argument 'lons': expected a 1-D sequence, got a 0-d array$"),
        ([1], np.array(3.0), ValueError, "^argument 'lons': expected a 1-D sequence"),
        (1.5, [1], TypeError,
         "^argument 'lats': expected a 1-D sequence of numbers, not 'float'$"),
        ("12", "34", TypeError, "^argument 'lats': expected a 1-D sequence of numbers, "
                                "not 'str'$"),
        ([1, 2, "x"], [1, 2, 3], TypeError,
         "^argument 'lats', position 2: must be real number, not str$"),
        ([1], [None], TypeError, "^argument 'lons', position 0: must be real number, "
                                 "not NoneType$"),
    ])
    def test_bad_positions(self, small, lats, lons, error, message):
        for method in (small.get_nearest_indices, small.get_nearest_as_strings,
                       small.get_nearest_as_columns):
            with pytest.raises(error, match=message):
                method(lats, lons)

    def test_an_elements_own_error_gets_a_note(self, small):
        class Broken:
            def __float__(self):
                raise OverflowError("too far")

        with pytest.raises(OverflowError, match="too far") as caught:
            small.get_nearest_as_strings([1, Broken()], [1, 1])
        assert caught.value.__notes__ == ["argument 'lats', position 1"]

    @pytest.mark.parametrize("workers, error, message", [
        (0, ValueError, "^argument 'workers': must be a positive integer or -1, not 0$"),
        (-2, ValueError, "^argument 'workers': must be a positive integer or -1, not -2$"),
        (-10**30, ValueError, "must be a positive integer or -1"),
        (1.0, TypeError, "^argument 'workers': 'float' object cannot be interpreted as an "
                         "integer$"),
        ("2", TypeError, "^argument 'workers': 'str' object cannot be interpreted"),
        (None, TypeError, "^argument 'workers': 'NoneType' object cannot be interpreted"),
    ])
    def test_bad_workers(self, small, workers, error, message):
        with pytest.raises(error, match=message):
            small.get_nearest_as_strings([1], [1], workers=workers)

    def test_workers_beyond_the_machine_are_an_upper_bound(self, small):
        assert small.get_nearest_as_strings([11], [21], workers=10**30) == ["10,20,a"]
        assert list(small.get_nearest_indices([11], [21], workers=np.int64(64))) == [0]

    def test_signature(self, small):
        # lons may be left out (lats then holds pairs), so 1 to 2 are taken.
        with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
            small.get_nearest_as_strings([1], [1], 2)
        with pytest.raises(TypeError, match="unexpected keyword argument 'return_distance'"):
            small.get_nearest_as_strings([1], [1], return_distance=True)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'lons'"):
            small.get_nearest_indices(lats=[1])
        with pytest.raises(TypeError, match="^argument 'return_distance': 'int' object cannot "
                                            "be converted to 'PyBool'$"):
            small.get_nearest_indices([1], [1], return_distance=1)
        assert list(small.get_nearest_indices(lons=[21], lats=[11],
                                              return_distance=np.bool_(False))) == [0]


class TestSharedStrings:
    def test_one_str_per_record_hit(self, world):
        lats = np.full(1000, 48.85)
        lons = np.full(1000, 2.35)
        lines = world.get_nearest_as_strings(lats, lons)
        assert all(line is lines[0] for line in lines)
        dicts = world.get_nearest_as_dicts(lats, lons)
        assert dicts[0] is not dicts[1] and dicts[0] == dicts[1]
        assert all(d["name"] is dicts[0]["name"] for d in dicts)
        columns = world.get_nearest_as_columns(lats, lons)
        assert all(v is columns["name"][0] for v in columns["name"])

    def test_few_distinct_records_in_a_large_batch(self, world):
        # A small batch on a large geocoder and a large one both share.
        lats, lons = uniform_positions(50_000, 8)
        lines = world.get_nearest_as_strings(lats, lons)
        assert len({id(s) for s in lines}) == len(set(lines))
        assert len({id(s) for s in lines[:5]}) == len(set(lines[:5]))

    def test_dicts_are_independent(self, small):
        first, second = small.get_nearest_as_dicts([11, 11], [21, 21])
        first["name"] = "changed"
        assert second["name"] == "a"


class TestColumnsForm:
    def test_repeated_names_keep_the_last_field(self):
        g = R("lat,lon,name,name,code\n1,2,first,last,x\n")
        columns = g.get_nearest_as_columns([1], [2])
        assert columns == {"lat": ["1"], "lon": ["2"], "name": ["last"], "code": ["x"]}
        assert g.get_nearest_as_dicts([1], [2]) == [g.get_nearest_as_dict(1, 2)]

    def test_ready_for_a_data_frame(self, world):
        lats, lons = uniform_positions(100, 9)
        frame = pd.DataFrame(world.get_nearest_as_columns(lats, lons))
        assert list(frame.columns) == world.columns and len(frame) == 100

    def test_dropped_coordinates(self):
        g = R("lat,lon,name\n10,20,a\n", drop_coordinates=True)
        assert g.get_nearest_as_columns([11, NAN], [21, 0]) == {"name": ["a", None]}


class TestRecords:
    def test_length_columns_and_records(self, small):
        assert len(small) == 2 and len(R("lat,lon\n")) == 0
        assert small.columns == ["lat", "lon", "name"]
        small.columns.append("changed")  # a new list each time
        assert small.columns == ["lat", "lon", "name"]
        with pytest.raises(AttributeError):
            small.columns = ["x"]
        assert small.get_record_as_string(0) == "10,20,a"
        assert small.get_record_as_string(-1) == "-33.9,18.4,b"
        assert small.get_record_as_dict(index=np.int32(1)) == {
            "lat": "-33.9", "lon": "18.4", "name": "b"}
        assert small.get_record_as_dict(-2) == small.get_nearest_as_dict(10, 20)

    @pytest.mark.parametrize("index", [2, -3, 10**30, -10**30])
    def test_out_of_range(self, small, index):
        with pytest.raises(IndexError, match="^record index -?[0-9]+ is out of range for "
                                             "2 records$"):
            small.get_record_as_string(index)
        with pytest.raises(IndexError):
            small.get_record_as_dict(index)

    def test_not_an_index(self, small):
        with pytest.raises(TypeError, match="^argument 'index': 'float' object cannot be "
                                            "interpreted as an integer$"):
            small.get_record_as_string(1.0)

    def test_record_numbers_follow_the_data(self):
        text = "lat,lon,name\n" + "".join(f"{i % 7},{i % 11},r{i}\n" for i in range(50))
        g = R(text, drop_coordinates=True)
        assert [g.get_record_as_string(i) for i in range(len(g))] == [
            f"r{i}" for i in range(50)]
        assert list(R(SMALL_CSV).get_nearest_indices([10, -33.9], [20, 18.4])) == [0, 1]

    def test_after_a_round_trip(self, world):
        copy = R.loads(world.dumps())
        lats, lons = uniform_positions(2000, 10)
        assert list(copy.get_nearest_indices(lats, lons)) == list(
            world.get_nearest_indices(lats, lons))
        assert len(copy) == len(world) and copy.columns == world.columns
