"""get_nearest_as_table and get_records_as_table: what the columns hold, and
the inputs the batch methods take besides two columns of numbers."""

import math

import pytest

import quorvel

NO_RECORD = 2**32 - 1
PLACES = (
    "lat,lon,name,cc,name\n"
    "48.85,2.35,Paris,FR,Paris (FR)\n"
    "45.76,4.84,Lyon,FR,Lyon (FR)\n"
    "33.66,-95.55,Paris,US,Paris (US)\n"
)
GEOCODER = quorvel.ReverseGeocoder(PLACES)
LATS = [48.9, math.nan, 33.6, 45.7, 0.0]
LONS = [2.4, 1.0, -95.5, 4.8, 0.0]

pa = pytest.importorskip("pyarrow")


def table(*args, **kwargs):
    return pa.table(GEOCODER.get_nearest_as_table(*args, **kwargs))


class TestNearestAsTable:
    def test_columns_match_the_dict_form(self):
        result = table(LATS, LONS)
        columns = GEOCODER.get_nearest_as_columns(LATS, LONS)
        # A repeated name gives one column, its last field, as in the dicts.
        assert result.column_names == ["lat", "lon", "name", "cc"] == list(columns)
        assert result.to_pydict() == columns
        assert result.column("name").to_pylist()[0] == "Paris (FR)"

    def test_fields_in_the_order_given_and_distance(self):
        result = table(LATS, LONS, fields=["cc", "lat"], distance=True)
        assert result.column_names == ["cc", "lat", "distance_km"]
        _, distances = GEOCODER.get_nearest_indices(LATS, LONS, return_distance=True)
        got = result.column("distance_km").to_pylist()
        assert got[1] is None
        assert [d for i, d in enumerate(got) if i != 1] == [
            d for i, d in enumerate(distances) if i != 1
        ]

    def test_max_distance_makes_far_rows_null_in_every_column(self):
        result = table(LATS, LONS, distance=True, max_distance_km=50).to_pydict()
        assert result["cc"] == ["FR", None, "US", "FR", None]
        assert result["distance_km"][4] is None
        everything = table(LATS, LONS, max_distance_km=math.inf).to_pydict()
        assert everything["cc"][4] is not None

    def test_dictionary_holds_each_value_once(self):
        result = table([48.9, 33.6, 45.7, 48.8], [2.4, -95.5, 4.8, 2.3], fields=["cc"])
        assert result.column("cc").chunk(0).dictionary.to_pylist() == ["FR", "US"]

    @pytest.mark.parametrize(
        ("kwargs", "error", "text"),
        [
            ({"fields": ["nope"]}, ValueError, "'nope' is not a column"),
            ({"fields": ["cc", "cc"]}, ValueError, "given twice"),
            ({"fields": "cc"}, TypeError, "not one str"),
            ({"fields": [1]}, TypeError, "position 0: expected a str"),
            ({"max_distance_km": -1}, ValueError, "max_distance_km"),
            ({"max_distance_km": math.nan}, ValueError, "max_distance_km"),
            ({"distance": 1}, TypeError, "distance"),
            ({"workers": 0}, ValueError, "workers"),
        ],
    )
    def test_bad_arguments(self, kwargs, error, text):
        with pytest.raises(error, match=text):
            GEOCODER.get_nearest_as_table(LATS, LONS, **kwargs)

    def test_a_distance_km_column_clashes_only_when_distance_is_asked(self):
        g = quorvel.ReverseGeocoder("lat,lon,distance_km\n1,1,x\n")
        assert pa.table(g.get_nearest_as_table([1], [1])).column_names[-1] == "distance_km"
        with pytest.raises(ValueError, match="distance_km"):
            g.get_nearest_as_table([1], [1], distance=True)
        assert pa.table(g.get_nearest_as_table([1], [1], fields=["lat"], distance=True))


class TestRecordsAsTable:
    def test_indices_from_the_other_calls(self):
        indices = GEOCODER.get_nearest_indices(LATS, LONS)
        by_index = pa.table(GEOCODER.get_records_as_table(indices))
        assert by_index.equals(table(LATS, LONS))
        assert pa.table(GEOCODER.get_records_as_table(pa.array([2, None]))).column(
            "cc"
        ).to_pylist() == ["US", None]

    @pytest.mark.parametrize(
        ("indices", "error", "text"),
        [
            ([3], IndexError, "position 0: record index 3 is out of range for 3 records"),
            ([0, -1], IndexError, "position 1"),
            ([0.5], ValueError, "not a whole number"),
            (["0"], TypeError, "indices"),
        ],
    )
    def test_bad_indices(self, indices, error, text):
        with pytest.raises(error, match=text):
            GEOCODER.get_records_as_table(indices)

    def test_the_table_type(self):
        result = GEOCODER.get_records_as_table([0, 1])
        assert isinstance(result, quorvel.ArrowTable) and len(result) == 2
        assert result.column_names == ["lat", "lon", "name", "cc"]
        assert "2 rows" in repr(result)
        with pytest.raises(TypeError):
            quorvel.ArrowTable()


class TestOtherInputForms:
    def test_pairs_in_one_argument(self):
        np = pytest.importorskip("numpy")
        expected = list(GEOCODER.get_nearest_indices(LATS, LONS))
        pairs = list(zip(LATS, LONS))
        assert list(GEOCODER.get_nearest_indices(pairs)) == expected
        assert list(GEOCODER.get_nearest_indices([list(p) for p in pairs])) == expected
        assert list(GEOCODER.get_nearest_indices(np.array(pairs))) == expected
        assert list(GEOCODER.get_nearest_indices(np.array(pairs, dtype=np.float32))) == list(
            GEOCODER.get_nearest_indices(np.float32(LATS), np.float32(LONS))
        )
        assert GEOCODER.get_nearest_as_strings([]) == []
        assert pa.table(GEOCODER.get_nearest_as_table(pairs)).num_rows == 5

    @pytest.mark.parametrize(
        ("argument", "text"),
        [
            ([48.9, 33.6], "missing 1 required positional argument: 'lons' \\(pass lats"),
            ("48.9,2.4", "missing 1 required positional argument: 'lons'"),
            ([(1.0, 2.0), (3.0,)], "position 1: expected a \\(lat, lon\\) pair"),
            ([(1.0, 2.0), ("x", 2.0)], "argument 'lats', position 1"),
        ],
    )
    def test_what_is_not_pairs(self, argument, text):
        with pytest.raises(TypeError, match=text):
            GEOCODER.get_nearest_indices(argument)

    def test_an_n_by_3_array_is_not_pairs(self):
        np = pytest.importorskip("numpy")
        with pytest.raises(TypeError, match="missing 1 required"):
            GEOCODER.get_nearest_indices(np.zeros((2, 3)))

    def test_gaps_in_an_object_column(self):
        pd = pytest.importorskip("pandas")
        lats = pd.Series([48.9, None, pd.NA, 33.6], dtype=object)
        assert list(GEOCODER.get_nearest_indices(lats, [2.4, 0, 0, -95.5])) == [
            0, NO_RECORD, NO_RECORD, 2,
        ]
        nullable = pd.Series([48.9, None], dtype="Float64")
        assert list(GEOCODER.get_nearest_indices(nullable, [2.4, 0]))[1] == NO_RECORD
        with pytest.raises(TypeError, match="argument 'lats', position 1"):
            GEOCODER.get_nearest_indices(pd.Series([1.0, "x"], dtype=object), [1, 1])
        # A plain list keeps refusing None: there it is more likely a bug.
        with pytest.raises(TypeError, match="position 0"):
            GEOCODER.get_nearest_indices([None], [1.0])
