"""Regions: building from GeoJSON, the containment rules, the batch lookups,
persistence, and agreement with shapely on the world's countries."""

import array
import io
import json
import pickle
import threading

import numpy as np
import pytest

from quorvel import Regions
from test_resources import _assert_no_growth, _swallow

NO = 4294967295


def square(x0, y0, x1, y1):
    return [[x0, y0], [x1, y0], [x1, y1], [x0, y1], [x0, y0]]


def feature(geometry_type, coordinates, **properties):
    return {"type": "Feature", "properties": properties,
            "geometry": {"type": geometry_type, "coordinates": coordinates}}


def collection(*features):
    return {"type": "FeatureCollection", "features": list(features)}


# Region 0: a square with a square hole; region 1: a MultiPolygon of two
# squares, one of them inside region 0's hole; region 2 overlaps region 0.
SAMPLE = collection(
    feature("Polygon", [square(0, 0, 10, 10), square(4, 4, 6, 6)], name="ring", code=1),
    feature("MultiPolygon", [[square(4.5, 4.5, 5.5, 5.5)], [square(20, 20, 21, 21)]],
            name="islands, two", code=2),
    feature("Polygon", [square(8, 8, 12, 12)], name='over "lap"', code=None),
)


@pytest.fixture(scope="module")
def sample():
    return Regions.from_geojson(SAMPLE)


class TestFromGeojson:
    def test_every_source_form_builds_the_same_index(self, tmp_path, sample):
        path = tmp_path / "sample.geojson"
        path.write_text(json.dumps(SAMPLE))

        class Frame:
            __geo_interface__ = SAMPLE

        for source in (str(path), path, io.StringIO(json.dumps(SAMPLE)),
                       io.BytesIO(json.dumps(SAMPLE).encode()), Frame()):
            assert Regions.from_geojson(source).dumps() == sample.dumps()

    def test_records_take_the_first_features_properties_or_the_fields_given(self, sample):
        assert sample.columns == ["name", "code"]
        assert len(sample) == 3
        assert sample.get_region_as_dict(2) == {"name": 'over "lap"', "code": ""}
        chosen = Regions.from_geojson(SAMPLE, fields=["code"])
        assert chosen.columns == ["code"]
        assert chosen.get_region_as_dict(-3) == {"code": "1"}

    @pytest.mark.parametrize("bad, message", [
        (feature("Point", [1, 2]), "feature 1 has a Point geometry"),
        (feature("LineString", [[1, 2], [3, 4]]), "feature 1 has a LineString geometry"),
        (feature("Polygon", [[[0, 0], [1, 0], [1, 1], [0, 1]]]), "feature 1"),
        (feature("Polygon", [[[0, 0], [1, 0], [0, 0]]]), "feature 1"),
        (feature("Polygon", [square(0, 0, 1, 200)]), "feature 1"),
        (feature("Polygon", [[[170, 0], [-170, 0], [-170, 1], [170, 0]]]), "feature 1"),
        (feature("Polygon", [[[0, 0], [float("nan"), 0], [1, 1], [0, 0]]]), "feature 1"),
    ], ids=["point", "line", "not-closed", "too-few", "latitude", "antimeridian", "nan"])
    def test_a_bad_feature_is_named(self, bad, message):
        good = feature("Polygon", [square(0, 0, 1, 1)])
        with pytest.raises(ValueError, match=message):
            Regions.from_geojson(collection(good, bad))

    def test_rule_messages_say_which_rule(self):
        def error(coordinates):
            with pytest.raises(ValueError) as caught:
                Regions.from_geojson(collection(feature("Polygon", coordinates)))
            return str(caught.value).lower()

        assert "closed" in error([[[0, 0], [1, 0], [1, 1], [0, 1]]])
        assert "antimeridian" in error([[[170, 0], [-170, 0], [-170, 1], [170, 0]]])

    @pytest.mark.parametrize("source", [{"type": "Feature"}, {"type": "FeatureCollection"}, 42])
    def test_what_is_not_a_collection_is_refused(self, source):
        with pytest.raises((ValueError, TypeError)):
            Regions.from_geojson(source)

    def test_regions_cannot_be_made_directly_or_subclassed(self):
        with pytest.raises(TypeError):
            Regions()
        with pytest.raises(TypeError):
            type("Sub", (Regions,), {})


class TestLookups:
    @pytest.mark.parametrize("lat, lon, region", [
        (1, 1, 0), (5, 4.2, NO), (5, 5, 1), (4, 4, 0), (4, 5, 0), (0, 0, 0),
        (9, 9, 0), (11, 11, 2), (20.5, 20.5, 1), (30, 30, NO),
        (float("nan"), 1, NO), (95, 1, NO), (1, 181, NO),
    ], ids=["inside", "hole", "island-in-hole", "hole-corner", "hole-edge", "vertex",
            "overlap-first-wins", "second", "multipolygon", "outside", "nan",
            "lat-out", "lon-out"])
    def test_containment_rules(self, sample, lat, lon, region):
        assert sample.get_region_indices([lat], [lon])[0] == region

    def test_nearest_boundary_within_the_distance(self, sample):
        # 0.1 degree of latitude south of the square is about 11.1 km.
        assert sample.get_region_indices([-0.1], [5], max_distance_km=11.0)[0] == NO
        assert sample.get_region_indices([-0.1], [5], max_distance_km=11.2)[0] == 0

    def test_forms_agree(self, sample):
        lats = np.array([1, 5, 11, 20.5, np.nan])
        lons = np.array([1, 4.2, 11, 20.5, 0])
        indices = sample.get_region_indices(lats, lons)
        assert isinstance(indices, array.array) and indices.typecode == "I"
        assert list(indices) == [0, NO, 2, 1, NO]
        assert sample.get_regions_as_strings(lats, lons) == [
            "ring,1", None, '"over ""lap""",', '"islands, two",2', None]
        assert sample.get_regions_as_columns(lats, lons) == {
            "name": ["ring", None, 'over "lap"', "islands, two", None],
            "code": ["1", None, "", "2", None]}
        # One argument of (lat, lon) pairs, as the geocoder takes it.
        pairs = np.column_stack([lats, lons])
        assert list(sample.get_region_indices(pairs)) == list(indices)
        assert sample.get_regions_as_columns(list(zip(lats, lons)))["name"][0] == "ring"
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'lons'"):
            sample.get_region_indices([1.0, 2.0])

    def test_workers_give_the_same_answers(self):
        countries = Regions.world_countries()
        rng = np.random.default_rng(5)
        lats, lons = rng.uniform(-60, 75, 100_000), rng.uniform(-180, 180, 100_000)
        one = countries.get_region_indices(lats, lons, max_distance_km=25)
        assert countries.get_region_indices(lats, lons, max_distance_km=25, workers=3) == one
        assert countries.get_region_indices(lats, lons, workers=-1) == \
            countries.get_region_indices(lats, lons)

    def test_threads_share_one_index(self):
        countries = Regions.world_countries()
        rng = np.random.default_rng(9)
        lats, lons = rng.uniform(-60, 75, 20_000), rng.uniform(-180, 180, 20_000)
        expected = countries.get_region_indices(lats, lons)
        results = []
        threads = [threading.Thread(target=lambda: results.append(
            countries.get_region_indices(lats, lons, workers=2))) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [expected] * 4

    @pytest.mark.parametrize("kwargs, error", [
        ({"max_distance_km": -1}, ValueError), ({"max_distance_km": float("nan")}, ValueError),
        ({"workers": 0}, ValueError), ({"workers": "2"}, TypeError),
    ])
    def test_bad_arguments(self, sample, kwargs, error):
        with pytest.raises(error):
            sample.get_region_indices([1], [1], **kwargs)
        with pytest.raises(ValueError):
            sample.get_region_indices([1, 2], [1])
        with pytest.raises(IndexError):
            sample.get_region_as_dict(3)


class TestPersistence:
    def test_save_load_dumps_loads_pickle_round_trip(self, sample, tmp_path):
        path = tmp_path / "sample.regions"
        sample.save(path)
        data = sample.dumps()
        assert path.read_bytes() == data
        for copy in (Regions.load(path), Regions.loads(data), pickle.loads(pickle.dumps(sample))):
            assert type(copy) is Regions
            assert copy.dumps() == data
            assert copy.columns == sample.columns
        assert pickle.dumps(sample)[:200].count(b"_loads_regions") == 1

    @pytest.mark.parametrize("damage", [
        lambda b: b[:100], lambda b: b[:-8], lambda b: b"QRVLREGX" + b[8:],
        lambda b: b[:200] + bytes([b[200] ^ 1]) + b[201:], lambda b: b"",
        lambda b: b + b"\0" * 8,
    ], ids=["truncated", "short", "magic", "flipped", "empty", "trailing"])
    def test_damaged_data_is_a_runtime_error(self, sample, tmp_path, damage):
        bad = damage(sample.dumps())
        with pytest.raises(RuntimeError) as caught:
            Regions.loads(bad)
        text = str(caught.value) + " ".join(getattr(caught.value, "__notes__", []))
        assert "not a saved regions index" in text or "damaged" in text
        path = tmp_path / "bad.regions"
        path.write_bytes(bad)
        with pytest.raises(RuntimeError):
            Regions.load(path)

    def test_a_missing_file_is_a_runtime_error_naming_it(self, tmp_path):
        # As for the geocoder's load.
        with pytest.raises(RuntimeError, match="No such file"):
            Regions.load(tmp_path / "missing.regions")


class TestWorldCountries:
    def test_shared_instance_with_its_fields(self):
        countries = Regions.world_countries()
        assert countries is Regions.world_countries()
        assert countries.columns == ["cc", "name", "iso_a3"]
        assert len(countries) == 250
        rows = countries.get_regions_as_columns(
            [42.3149, 42.3314, 47.5596, 0.0], [-83.0364, -83.0458, 7.5886, -30.0])
        assert rows["cc"] == ["CA", "US", "CH", None]

    def test_agreement_with_shapely(self):
        shapely = pytest.importorskip("shapely")
        from quorvel._world import data_path  # noqa: F401

        geojson = _world_geojson()
        if geojson is None:
            pytest.skip("build/world_countries.geojson is made by tools/make_world_countries.py")
        countries = Regions.world_countries()
        shapes = [shapely.geometry.shape(f["geometry"]) for f in geojson["features"]]
        rng = np.random.default_rng(2023)
        n = 100_000
        lats = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
        lons = rng.uniform(-180, 180, n)
        near_lats, near_lons = _near_borders(shapes, 20_000, rng)
        for lats, lons in ((lats, lons), (near_lats, near_lons)):
            ours = np.array(countries.get_region_indices(lats, lons), dtype=np.int64)
            theirs = np.full(len(lats), NO, dtype=np.int64)
            for number in range(len(shapes) - 1, -1, -1):
                theirs[shapely.intersects_xy(shapes[number], lons, lats)] = number
            differ = np.nonzero(ours != theirs)[0]
            points = shapely.points(lons[differ], lats[differ])
            for i, point in zip(differ, points):
                # Only positions within 1e-9 degrees of an edge may differ.
                nearest = min(shapes[k].boundary.distance(point)
                              for k in {ours[i], theirs[i]} if k != NO)
                assert nearest < 1e-9, (lats[i], lons[i], ours[i], theirs[i])


# Polygons that break naive point-in-polygon code, each a feature, checked
# against shapely on every point of a fine lattice over them (so that many
# positions lie exactly on edges and vertices, where both sides say inside).
ADVERSARIAL = collection(
    # A hole touching its shell at a vertex, and one touching along an edge.
    feature("Polygon", [square(0, 0, 4, 4), [[0, 2], [2, 1], [2, 3], [0, 2]]]),
    feature("Polygon", [square(6, 0, 10, 4), [[6, 1], [8, 1], [8, 3], [6, 3], [6, 1]]]),
    # A ring touching itself at one vertex (two lobes).
    feature("Polygon", [[[12, 0], [16, 0], [14, 2], [16, 4], [12, 4], [14, 2], [12, 0]]]),
    # Zero-area slivers: a there-and-back spike, and a ring along one line.
    feature("Polygon", [[[18, 0], [20, 0], [20, 2], [20, 4], [20, 2], [22, 2], [18, 0]]]),
    feature("Polygon", [[[24, 0], [26, 0], [25, 0], [24, 0]]]),
    # A long ring along a meridian, and a thin one.
    feature("Polygon", [[[30, -60], [30.25, -60], [30.25, 60], [30, 60], [30, -60]]]),
    # Up to the north pole, and along the south one.
    feature("Polygon", [[[-180, 85], [-90, 85], [0, 85], [90, 85], [180, 85], [180, 90],
                         [-180, 90], [-180, 85]]]),
    feature("Polygon", [[[-20, -90], [20, -90], [0, -86], [-20, -90]]]),
    # Both sides of the antimeridian, split there as GeoJSON wants.
    feature("MultiPolygon", [[square(178, -2, 180, 2)], [square(-180, -2, -178, 2)]]),
    # Overlapping the first: the first in input order wins.
    feature("Polygon", [square(2, 2, 7, 3)]),
)


def test_adversarial_polygons_agree_with_shapely():
    shapely = pytest.importorskip("shapely")
    regions = Regions.from_geojson(ADVERSARIAL)
    shapes = [shapely.geometry.shape(f["geometry"]) for f in ADVERSARIAL["features"]]
    lons, lats = [], []
    for shape in shapes:
        x0, y0, x1, y1 = shape.bounds
        xs = np.arange(max(-180, x0 - 0.5), min(180, x1 + 0.5) + 1e-9, 0.125)
        ys = np.arange(max(-90, y0 - 0.5), min(90, y1 + 0.5) + 1e-9, 0.125)
        if len(xs) * len(ys) > 200_000:
            xs = xs[::8]
        grid_x, grid_y = np.meshgrid(xs, ys)
        lons.append(grid_x.ravel())
        lats.append(grid_y.ravel())
    lons, lats = np.concatenate(lons), np.concatenate(lats)
    ours = np.array(regions.get_region_indices(lats, lons), dtype=np.int64)
    theirs = np.full(len(lats), NO, dtype=np.int64)
    for number in range(len(shapes) - 1, -1, -1):
        theirs[shapely.intersects_xy(shapes[number], lons, lats)] = number
    differ = np.nonzero(ours != theirs)[0]
    assert len(differ) == 0, [(lats[i], lons[i], ours[i], theirs[i]) for i in differ[:10]]


def _world_geojson():
    import pathlib

    path = pathlib.Path(__file__).resolve().parents[2] / "build" / "world_countries.geojson"
    if not path.exists():
        return None
    return json.loads(path.read_text())


def _near_borders(shapes, n, rng):
    """Positions within about 2 km of a country's boundary: points on the
    boundaries, moved by up to 0.02 degrees."""
    import shapely

    boundaries = shapely.get_coordinates([s.boundary for s in shapes])
    picks = boundaries[rng.integers(0, len(boundaries), n)]
    lons = np.clip(picks[:, 0] + rng.uniform(-0.02, 0.02, n), -180, 180)
    lats = np.clip(picks[:, 1] + rng.uniform(-0.02, 0.02, n), -90, 90)
    return lats, lons


@pytest.mark.parametrize("make_call", [
    lambda r: lambda: r.get_region_indices([1.0, 5.0], [1.0, 5.0]),
    lambda r: lambda: r.get_regions_as_strings([1.0, 5.0], [1.0, 5.0], max_distance_km=5),
    lambda r: lambda: r.get_regions_as_columns([1.0, 5.0], [1.0, 5.0]),
    lambda r: lambda: r.get_regions_as_columns([1.0, 5.0], [1.0, 5.0], fields=["code"]),
    lambda r: lambda: r.get_regions_as_table([1.0, 5.0], [1.0, 5.0]).__arrow_c_stream__(),
    lambda r: _swallow(lambda: r.get_regions_as_table([1.0], [1.0], fields=["code", "x"])),
    lambda r: lambda: r.get_region_as_dict(0),
    lambda r: lambda: Regions.loads(r.dumps()),
], ids=["indices", "strings", "columns", "columns-fields", "table", "table-bad-fields",
        "dict", "loads"])
def test_calls_do_not_leak(sample, make_call):
    _assert_no_growth(make_call(sample), [sample, Regions], 20_000)
