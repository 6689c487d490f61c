"""Arrow tables handed out and columns taken in, as real consumers see them:
pyarrow, pandas, polars, DuckDB and nanoarrow, over the C data interface."""

import gc
import math
import re

import pytest

import quorvel

NO_RECORD = 2**32 - 1

PLACES = (
    "lat,lon,name,admin1,cc\n"
    "48.85,2.35,Paris,Ile-de-France,FR\n"
    "45.76,4.84,Lyon,Auvergne-Rhone-Alpes,FR\n"
    "33.66,-95.55,Paris,Texas,US\n"
    '1,1,"Quoted, name",,\n'
)
ROWS = [2, 0, NO_RECORD, 2, 3, 1]
FIELDS = ["name", "admin1", "cc"]
EXPECTED = {
    "name": ["Paris", "Paris", None, "Paris", "Quoted, name", "Lyon"],
    "admin1": ["Texas", "Ile-de-France", None, "Texas", "", "Auvergne-Rhone-Alpes"],
    "cc": ["US", "FR", None, "US", "", "FR"],
}
GEOCODER = quorvel.ReverseGeocoder(PLACES)


def result_table(rows=ROWS):
    return GEOCODER.get_records_as_table(rows, fields=FIELDS)


class TestConsumersReadTheTable:
    def test_pyarrow(self):
        pa = pytest.importorskip("pyarrow")
        table = pa.table(result_table())
        table.validate(full=True)
        assert table.to_pydict() == EXPECTED
        assert table.schema.field("name").type == pa.dictionary(pa.int32(), pa.string())
        # Each distinct value once, whichever records hold it.
        assert table.column("name").chunk(0).dictionary.to_pylist() == [
            "Paris",
            "Quoted, name",
            "Lyon",
        ]
        assert pa.schema(result_table()).names == FIELDS

    def test_pandas_through_pyarrow_and_from_arrow(self):
        pa = pytest.importorskip("pyarrow")
        pd = pytest.importorskip("pandas")
        frame = pa.table(result_table()).to_pandas()
        assert list(frame["name"].astype(object).where(frame["name"].notna(), None)) == (
            EXPECTED["name"]
        )
        assert str(frame["cc"].dtype) == "category"
        if not hasattr(pd.DataFrame, "from_arrow"):
            pytest.skip("this pandas has no DataFrame.from_arrow")
        direct = pd.DataFrame.from_arrow(result_table())
        assert direct.shape == (6, 3) and direct["cc"].iloc[0] == "US"

    def test_polars(self):
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(result_table())
        assert frame.shape == (6, 3)
        assert frame["name"].cast(pl.String).to_list() == EXPECTED["name"]

    def test_duckdb(self):
        duckdb = pytest.importorskip("duckdb")
        t = GEOCODER.get_nearest_as_table(  # noqa: F841 (read by name below)
            [48.9, math.nan, 33.0], [2.4, 0.0, -95.0], fields=["name", "cc"], distance=True
        )
        rows = duckdb.sql("select name, cc, distance_km from t").fetchall()
        assert [r[:2] for r in rows] == [("Paris", "FR"), (None, None), ("Paris", "US")]
        assert rows[1][2] is None and rows[0][2] > 0

    def test_nanoarrow(self):
        na = pytest.importorskip("nanoarrow")
        rows = na.ArrayStream(result_table()).read_all().to_pylist()
        assert [row["cc"] for row in rows] == EXPECTED["cc"]

    def test_empty_and_all_null_tables(self):
        pa = pytest.importorskip("pyarrow")
        empty = pa.table(result_table([]))
        assert empty.num_rows == 0 and empty.column_names == FIELDS
        nulls = pa.table(result_table([NO_RECORD] * 3))
        nulls.validate(full=True)
        assert nulls.column("name").to_pylist() == [None] * 3
        assert nulls.to_pandas().shape == (3, 3)


class TestLifetimes:
    def test_stream_read_twice(self):
        pa = pytest.importorskip("pyarrow")
        table = result_table()
        assert pa.table(table).equals(pa.table(table))

    def test_table_released_before_its_columns(self):
        pa = pytest.importorskip("pyarrow")
        result = result_table()
        table = pa.table(result)
        names = table.column("name")
        del table, result
        gc.collect()
        assert names.to_pylist() == EXPECTED["name"]

    def test_unread_capsules_release_what_they_hold(self):
        for _ in range(200):
            table = result_table()
            schema, stream = table.__arrow_c_schema__(), table.__arrow_c_stream__()
            del schema, stream, table
        gc.collect()


def nearest(lats, lons=None):
    return list(GEOCODER.get_nearest_indices(lats, lons))


def as_floats(values):
    return [math.nan if v is None else float(v) for v in values]


class TestColumnsIn:
    LATS = [9, 48.0, None, 34.0]
    LONS = [9, 2.0, 5.0, -95.0]

    @pytest.mark.parametrize(
        "type_name",
        ["float64", "float32", "int8", "int16", "int32", "int64",
         "uint8", "uint16", "uint32", "uint64"],
    )
    def test_every_number_type_with_offset_and_nulls(self, type_name):
        pa = pytest.importorskip("pyarrow")
        lats = [1, 48, None, 34] if type_name.startswith("u") else [1, 48, None, -34]
        array = pa.array(lats, type=getattr(pa, type_name)()).slice(1)
        assert nearest(array, [2.0, 5.0, -95.0]) == nearest(
            as_floats(lats[1:]), [2.0, 5.0, -95.0]
        )
        assert nearest(array, [2.0, 5.0, -95.0])[1] == NO_RECORD

    def test_chunks_of_either_column_at_any_boundary(self):
        pa = pytest.importorskip("pyarrow")
        lats = pa.chunked_array([[1.5, None], [], [45.0, 48.0, 33.0]])
        lons = pa.chunked_array([[1.0], [2.0, 4.0, 2.0], [-95.0]])
        expected = nearest([1.5, math.nan, 45.0, 48.0, 33.0], [1.0, 2.0, 4.0, 2.0, -95.0])
        assert nearest(lats, lons) == expected
        assert nearest(lats, [1.0, 2.0, 4.0, 2.0, -95.0]) == expected
        assert expected[1] == NO_RECORD

    def test_polars_series(self):
        pl = pytest.importorskip("polars")
        lats = pl.Series(self.LATS[1:], dtype=pl.Float64)
        assert nearest(lats, pl.Series(self.LONS[1:])) == nearest(
            as_floats(self.LATS[1:]), self.LONS[1:]
        )
        assert nearest(pl.Series([48, 34], dtype=pl.Int16), [2, -95]) == [0, 2]

    def test_nanoarrow_array(self):
        na = pytest.importorskip("nanoarrow")
        assert nearest(na.c_array([48.0, 34.0], na.float64()), [2.0, -95.0]) == [0, 2]

    def test_read_in_place(self):
        pa = pytest.importorskip("pyarrow")
        array = pa.array([48.0] * 100000, type=pa.float64())
        before = pa.total_allocated_bytes()
        GEOCODER.get_nearest_indices(array, array)
        assert pa.total_allocated_bytes() == before

    @pytest.mark.parametrize(
        ("values", "shown"),
        [(["a"], '"u" (string)'), ([True], '"b" (boolean)')],
    )
    def test_other_types_are_a_type_error_naming_the_format(self, values, shown):
        pa = pytest.importorskip("pyarrow")
        with pytest.raises(TypeError, match="lats: .*" + re.escape(shown)):
            nearest(pa.array(values), [1.0])
        with pytest.raises(TypeError, match="lons: .*dictionary-encoded"):
            nearest([1.0, 1.0], pa.array([1.0, 1.0]).dictionary_encode())

    def test_methods_that_return_something_else(self):
        class Liar:
            def __arrow_c_stream__(self, requested_schema=None):
                return 42

        class Raiser:
            def __arrow_c_array__(self, requested_schema=None):
                raise ValueError("nope")

        with pytest.raises(TypeError, match="__arrow_c_stream__"):
            nearest(Liar(), [1.0])
        with pytest.raises(ValueError, match="nope"):
            nearest([1.0], Raiser())

    def test_lengths_must_match(self):
        pa = pytest.importorskip("pyarrow")
        with pytest.raises(ValueError, match="same length"):
            nearest(pa.array([1.0, 2.0]), [1.0])
