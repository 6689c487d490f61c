"""Regions.get_regions_as_table, and `fields` on the other batch lookups:
what the columns hold, how readers take them, and the arguments refused."""

import importlib
import math
from array import array

import numpy as np
import pytest

import quorvel
from quorvel import Regions
from test_interrupts import latencies, run_child, LATENCY_BOUND
from test_regions import SAMPLE

pa = pytest.importorskip("pyarrow")

LATS = [1.0, 5.0, 11.0, 20.5, math.nan, 95.0, 1.0, math.inf]
LONS = [1.0, 4.2, 11.0, 20.5, 0.0, 1.0, 200.0, 0.0]


@pytest.fixture(scope="module")
def sample():
    return Regions.from_geojson(SAMPLE)


@pytest.fixture(scope="module")
def countries():
    return Regions.world_countries()


def _world_positions(n, seed):
    """Positions over the globe, many at sea, with NaN, infinite and
    out-of-range ones mixed in."""
    rng = np.random.default_rng(seed)
    lats = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lons = rng.uniform(-180, 180, n)
    bad = rng.choice(n, n // 20, replace=False)
    lats[bad[0::4]] = np.nan
    lons[bad[1::4]] = np.inf
    lats[bad[2::4]] = 90.5
    lons[bad[3::4]] = -180.5
    return lats, lons


class TestWhatTheTableHolds:
    def test_rows_null_where_there_is_no_region(self, sample):
        table = sample.get_regions_as_table(LATS, LONS)
        assert isinstance(table, quorvel.ArrowTable) and len(table) == len(LATS)
        assert table.column_names == ["name", "code"]
        assert "8 rows" in repr(table)
        got = pa.table(table)
        assert got.to_pydict() == sample.get_regions_as_columns(LATS, LONS) == {
            "name": ["ring", None, 'over "lap"', "islands, two", None, None, None, None],
            "code": ["1", None, "", "2", None, None, None, None],
        }
        for column in got.columns:
            assert pa.types.is_dictionary(column.type)
            assert column.type.value_type == pa.string()

    @pytest.mark.parametrize("max_km", [0.0, 25.0, 500.0])
    def test_world_table_equals_the_columns(self, countries, max_km):
        lats, lons = _world_positions(20_000, 11)
        table = pa.table(countries.get_regions_as_table(lats, lons, max_distance_km=max_km))
        columns = countries.get_regions_as_columns(lats, lons, max_distance_km=max_km)
        assert table.to_pydict() == columns
        # Null: the positions that are not positions, and those at sea.
        missing = ~(np.isfinite(lats) & np.isfinite(lons) & (np.abs(lats) <= 90)
                    & (np.abs(lons) <= 180))
        assert table.column("cc").null_count > missing.sum()
        for column in table.columns:
            dictionary = column.chunk(0).dictionary.to_pylist()
            assert len(set(dictionary)) == len(dictionary)
            assert set(dictionary) == {v for v in column.to_pylist() if v is not None}

    def test_fields_in_the_order_given(self, countries):
        lats, lons = _world_positions(2_000, 12)
        table = countries.get_regions_as_table(lats, lons, fields=("iso_a3", "cc"),
                                               max_distance_km=25)
        assert table.column_names == ["iso_a3", "cc"]
        columns = countries.get_regions_as_columns(lats, lons, fields=["iso_a3", "cc"],
                                                   max_distance_km=25)
        assert list(columns) == ["iso_a3", "cc"]
        assert pa.table(table).to_pydict() == columns
        strings = countries.get_regions_as_strings(lats, lons, fields=["iso_a3", "cc"],
                                                   max_distance_km=25)
        assert strings == [None if a is None else f"{a},{c}"
                           for a, c in zip(columns["iso_a3"], columns["cc"])]
        assert pa.table(countries.get_regions_as_table(lats, lons, fields=[])).num_columns == 0

    def test_workers_and_arrow_input_give_the_same_table(self, countries):
        lats, lons = _world_positions(50_000, 13)
        one = pa.table(countries.get_regions_as_table(lats, lons, max_distance_km=25))
        assert pa.table(countries.get_regions_as_table(
            lats, lons, max_distance_km=25, workers=3)).equals(one)
        # An Arrow column in chunks, its nulls being missing positions.
        chunked = pa.chunked_array([lats[:100], [None, 47.56], lats[102:]])
        table = pa.table(countries.get_regions_as_table(chunked, lons, max_distance_km=25))
        expected = one.column("cc").to_pylist()
        expected[100] = None
        expected[101] = countries.get_regions_as_columns([47.56], lons[101:102],
                                                         max_distance_km=25)["cc"][0]
        assert table.column("cc").to_pylist() == expected

    @pytest.mark.parametrize("lats, lons", [([], []), (np.empty(0), np.empty(0))])
    def test_empty_input(self, sample, lats, lons):
        table = sample.get_regions_as_table(lats, lons)
        assert len(table) == 0 and table.column_names == ["name", "code"]
        assert pa.table(table).to_pydict() == {"name": [], "code": []}

    def test_a_repeated_column_name_gives_one_column(self):
        # The package's reader refuses such names, but the engine and a
        # saved file do not; a table with two columns of one name would be
        # refused by readers such as polars.
        regions = importlib.import_module("quorvel._core")._build_regions(
            array("d", [0, 0, 1, 0, 1, 1, 0, 1, 0, 0]), array("I", [0, 5]),
            array("I", [0, 1]), array("I", [0, 1]), ["name", "cc", "name"],
            ["first", "XX", "last"])
        restored = Regions.loads(regions.dumps())
        assert restored.get_regions_as_table([0.5], [0.5]).column_names == ["name", "cc"]
        assert pa.table(restored.get_regions_as_table([0.5], [0.5])).to_pydict() == {
            "name": ["last"], "cc": ["XX"]}
        assert restored.get_regions_as_columns([0.5], [0.5]) == {"name": ["last"], "cc": ["XX"]}
        assert restored.get_regions_as_strings([0.5], [0.5]) == ["first,XX,last"]
        assert restored.get_regions_as_strings([0.5], [0.5], fields=["name"]) == ["last"]


class TestReaders:
    def test_polars(self, countries):
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(countries.get_regions_as_table(
            [47.5596, 0.0, math.nan], [7.5886, -30.0, 0.0], fields=["cc"]))
        assert frame["cc"].cast(pl.String).to_list() == ["CH", None, None]

    def test_pandas(self, countries):
        pd = pytest.importorskip("pandas")
        table = countries.get_regions_as_table([47.5596, 0.0], [7.5886, -30.0])
        frame = pa.table(table).to_pandas()
        assert isinstance(frame["name"].dtype, pd.CategoricalDtype)
        assert list(frame["cc"].astype(object).fillna("-")) == ["CH", "-"]
        if hasattr(pd.DataFrame, "from_arrow"):
            assert list(pd.DataFrame.from_arrow(table)["iso_a3"].astype(object).fillna("-")) == [
                "CHE", "-"]


METHODS = ["get_regions_as_table", "get_regions_as_columns", "get_regions_as_strings"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("kwargs", "error", "text"), [
    ({"fields": ["nope"]}, ValueError, "'nope' is not a column; the columns are"),
    ({"fields": ["code", "code"]}, ValueError, "'code' is given twice"),
    ({"fields": "code"}, TypeError, "not one str"),
    ({"fields": 5}, TypeError, "not 'int'"),
    ({"fields": [b"code"]}, TypeError, "position 0: expected a str"),
    ({"max_distance_km": -1}, ValueError, "max_distance_km"),
    ({"workers": 0}, ValueError, "workers"),
])
def test_bad_arguments(sample, method, kwargs, error, text):
    with pytest.raises(error, match=text):
        getattr(sample, method)([1.0], [1.0], **kwargs)


def test_long_lookups_stop_on_ctrl_c(tmp_path):
    # At sea, every position measures its distance to the borders within
    # 2000 km, about a millisecond each: the call would run for half an
    # hour, and must still stop at once.
    out = run_child(
        """
        import numpy as np
        countries = quorvel.Regions.world_countries()
        lats = np.full(2_000_000, -40.0)
        lons = np.linspace(-179, 179, 2_000_000)
        for method in (countries.get_regions_as_table, countries.get_region_indices):
            for workers in (1, 2):
                expect_interrupt(lambda: method(
                    lats, lons, max_distance_km=2000, workers=workers))
        print(len(countries.get_regions_as_table([47.5596], [7.5886])))
        """,
        tmp_path,
    )
    assert out.splitlines()[-1] == "1"
    assert all(latency < LATENCY_BOUND for latency in latencies(out))
