"""Arrow tables handed out and columns taken in, as real consumers see them.

These tests drive the engine's Arrow export and import through the module's
test hook, so they run only in builds that expose it.
"""

import gc
import math
import re

import pytest

import quorvel

pytestmark = pytest.mark.skipif(
    not hasattr(quorvel, "_arrow_selftest"),
    reason="this build does not expose the Arrow test hook",
)

NO_RECORD = 2**32 - 1

PLACES = (
    "lat,lon,name,admin1,cc\n"
    "48.85,2.35,Paris,Ile-de-France,FR\n"
    "45.76,4.84,Lyon,Auvergne-Rhone-Alpes,FR\n"
    "33.66,-95.55,Paris,Texas,US\n"
    '1,1,"Quoted, name",,\n'
)
ROWS = [2, 0, NO_RECORD, 2, 3, 1]
DISTANCES = [1.5, 0.0, math.nan, 2.25, 10.0, 7.0]
EXPECTED = {
    "name": ["Paris", "Paris", None, "Paris", "Quoted, name", "Lyon"],
    "admin1": ["Texas", "Ile-de-France", None, "Texas", "", "Auvergne-Rhone-Alpes"],
    "cc": ["US", "FR", None, "US", "", "FR"],
    "distance_km": [1.5, 0.0, None, 2.25, 10.0, 7.0],
}


def capsules(rows=ROWS, fields=(2, 3, 4), distances=DISTANCES):
    return quorvel._arrow_selftest("table", PLACES, list(rows), list(fields), distances)


class ResultTable:
    """What get_nearest_as_table will return: a fresh stream on every call."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def __arrow_c_schema__(self):
        return capsules(**self.kwargs)[0]

    def __arrow_c_stream__(self, requested_schema=None):
        return capsules(**self.kwargs)[2]


class ResultArray:
    def __arrow_c_array__(self, requested_schema=None):
        return capsules()[1]


class TestConsumersReadTheTable:
    def test_pyarrow(self):
        pa = pytest.importorskip("pyarrow")
        table = pa.table(ResultTable())
        table.validate(full=True)
        assert table.to_pydict() == EXPECTED
        assert table.schema.field("name").type == pa.dictionary(pa.int32(), pa.string())
        assert table.schema.field("distance_km").type == pa.float64()
        # Each distinct value once, whichever records hold it.
        assert table.column("name").chunk(0).dictionary.to_pylist() == [
            "Paris",
            "Quoted, name",
            "Lyon",
        ]

    def test_pyarrow_array_and_schema(self):
        pa = pytest.importorskip("pyarrow")
        batch = pa.record_batch(ResultArray())
        assert batch.to_pydict() == EXPECTED
        assert pa.schema(ResultTable()).names == list(EXPECTED)

    def test_pandas_through_pyarrow(self):
        pa = pytest.importorskip("pyarrow")
        frame = pa.table(ResultTable()).to_pandas()
        assert list(frame["name"].astype(object).where(frame["name"].notna(), None)) == (
            EXPECTED["name"]
        )
        assert str(frame["cc"].dtype) == "category"
        assert math.isnan(frame["distance_km"][2])

    def test_polars(self):
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(ResultTable())
        assert frame.shape == (6, 4)
        assert frame["name"].cast(pl.String).to_list() == EXPECTED["name"]
        assert frame["distance_km"].to_list() == EXPECTED["distance_km"]

    def test_duckdb(self):
        duckdb = pytest.importorskip("duckdb")
        pa = pytest.importorskip("pyarrow")
        t = pa.table(ResultTable())  # noqa: F841 (read by name below)
        rows = duckdb.sql("select name, cc, distance_km from t").fetchall()
        assert [r[0] for r in rows] == EXPECTED["name"]
        assert rows[2] == (None, None, None)

    def test_nanoarrow(self):
        na = pytest.importorskip("nanoarrow")
        stream = na.ArrayStream(ResultTable())
        rows = stream.read_all().to_pylist()
        assert [row["cc"] for row in rows] == EXPECTED["cc"]

    def test_empty_and_all_null_tables(self):
        pa = pytest.importorskip("pyarrow")
        empty = pa.table(ResultTable(rows=[], distances=[]))
        assert empty.num_rows == 0 and empty.column_names == list(EXPECTED)
        nulls = pa.table(ResultTable(rows=[NO_RECORD] * 3, distances=[0.0] * 3))
        nulls.validate(full=True)
        assert nulls.column("name").to_pylist() == [None] * 3
        assert nulls.to_pandas().shape == (3, 4)


class TestLifetimes:
    def test_stream_read_twice(self):
        pa = pytest.importorskip("pyarrow")
        table = ResultTable()
        assert pa.table(table).equals(pa.table(table))

    def test_table_released_before_its_columns(self):
        pa = pytest.importorskip("pyarrow")
        table = pa.table(ResultTable())
        names = table.column("name")
        distances = table.column("distance_km").chunk(0)
        del table
        gc.collect()
        assert names.to_pylist() == EXPECTED["name"]
        assert distances.to_pylist() == EXPECTED["distance_km"]

    def test_unread_capsules_release_what_they_hold(self):
        for _ in range(200):
            schema, (array_schema, array), stream = capsules()
            del schema, array_schema, array, stream
        gc.collect()


def read(column):
    return quorvel._arrow_selftest("read", column)


class TestColumnsIn:
    @pytest.mark.parametrize(
        "type_name",
        ["float64", "float32", "int8", "int16", "int32", "int64",
         "uint8", "uint16", "uint32", "uint64"],
    )
    def test_every_number_type_with_offset_and_nulls(self, type_name):
        pa = pytest.importorskip("pyarrow")
        array = pa.array([9, 1, None, 3], type=getattr(pa, type_name)()).slice(1)
        values, chunks, _ = read(array)
        assert values == [1.0, None, 3.0]
        assert chunks == 1

    def test_chunked_array_keeps_its_chunks(self):
        pa = pytest.importorskip("pyarrow")
        values, chunks, fmt = read(pa.chunked_array([[1.5, None], [], [3.0]]))
        assert values == [1.5, None, 3.0]
        assert (chunks, fmt) == (2, "g")

    def test_polars_series(self):
        pl = pytest.importorskip("polars")
        assert read(pl.Series([1.0, None, 3.0]))[0] == [1.0, None, 3.0]
        assert read(pl.Series([1, 2], dtype=pl.Int16))[0] == [1.0, 2.0]

    def test_nanoarrow_array(self):
        na = pytest.importorskip("nanoarrow")
        assert read(na.c_array([1.0, 2.0], na.float64()))[0] == [1.0, 2.0]

    def test_read_in_place(self):
        pa = pytest.importorskip("pyarrow")
        array = pa.array(range(100000), type=pa.float64())
        before = pa.total_allocated_bytes()
        assert len(read(array)[0]) == 100000
        assert pa.total_allocated_bytes() == before

    @pytest.mark.parametrize(
        ("values", "shown"),
        [(["a"], '"u" (string)'), ([True], '"b" (boolean)')],
    )
    def test_other_types_are_a_type_error_naming_the_format(self, values, shown):
        pa = pytest.importorskip("pyarrow")
        with pytest.raises(TypeError, match="column: .*" + re.escape(shown)):
            read(pa.array(values))
        with pytest.raises(TypeError, match="dictionary-encoded"):
            read(pa.array([1.0, 1.0]).dictionary_encode())

    def test_methods_that_return_something_else(self):
        class Liar:
            def __arrow_c_stream__(self, requested_schema=None):
                return 42

        class Raiser:
            def __arrow_c_array__(self, requested_schema=None):
                raise ValueError("nope")

        with pytest.raises(TypeError, match="__arrow_c_stream__"):
            read(Liar())
        with pytest.raises(ValueError, match="nope"):
            read(Raiser())
