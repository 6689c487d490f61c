"""Regressions for inputs that used to be read wrongly or lost silently."""

import math
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import quorvel
from support import SMALL_CSV

ReverseGeocoder = quorvel.ReverseGeocoder

LOST_TEXT = "a carriage return outside quotes ends the record, and the text after it would be lost"


class TestCarriageReturns:
    @pytest.mark.parametrize("text, line, shown", [
        ("lat,lon,n\r1,2,a\r3,4,b\r", 0, "'lat,lon,n\\r1,2,a\\r3,4,b\\r'"),
        ("lat,lon,n\n1,2,a\rjunk,more\n", 1, "'1,2,a\\rjunk,more'"),
        ("lat,lon,n\n1,2,a\n3,4,\"b\"\rc\n", 2, "'3,4,\"b\"\\rc'"),
        ("lat,lon,n\n1,2,a\r\r\"\n", 1, "'1,2,a\\r\\r\"'"),
    ])
    def test_text_after_a_carriage_return_is_refused(self, tmp_path, text, line, shown):
        for drop in (False, True):
            with pytest.raises(RuntimeError) as raised:
                ReverseGeocoder(text, drop_coordinates=drop)
            assert str(raised.value) == f"line {line}: {LOST_TEXT}"
            assert raised.value.__notes__ == [f"line {line}: {shown}"]
        path = tmp_path / "places.csv"
        path.write_bytes(text.encode())
        with pytest.raises(RuntimeError, match="the text after it would be lost"):
            ReverseGeocoder.read_csv(path)
        # Named columns do not get matched against a header that loses text.
        with pytest.raises(RuntimeError, match="the text after it would be lost"):
            ReverseGeocoder.read_csv(path, lat="lat", lon="lon")

    @pytest.mark.parametrize("text, last", [
        ("lat,lon,n\r\n1,2,a\r\n3,4,b\r\n", "3,4,b"),
        ("lat,lon,n\n1,2,a\n3,4,b\r", "3,4,b\r"),
        ("lat,lon,n\n1,2,a\n3,4,b\r\r\n", "3,4,b\r"),
        ("lat,lon,n\n1,2,a\n\r3,4,b\n", "\r3,4,b"),
        ("lat,lon,n\n1,2,a\n3,4,\"b\rc\"\n", "3,4,\"b\rc\""),
    ])
    def test_carriage_returns_that_lose_nothing_stay_allowed(self, text, last):
        g = ReverseGeocoder(text)
        assert len(g) == 2
        assert g.get_record_as_string(-1) == last


class TestColumnsForm:
    @pytest.mark.parametrize("columns", [1_000, 40_000])
    def test_many_columns_are_fast(self, columns):
        header = "lat,lon," + ",".join(f"c{i}" for i in range(columns))
        g = ReverseGeocoder(header + "\n1,2," + ",".join("v" * columns) + "\n")
        start = time.perf_counter()
        result = g.get_nearest_as_columns([1.0], [2.0])
        assert time.perf_counter() - start < 1.0
        assert len(result) == columns + 2 and result[f"c{columns - 1}"] == ["v"]

    def test_repeated_names_keep_first_place_and_last_value(self):
        g = ReverseGeocoder("lat,lon,n,m,n,lat\n5,2,x,z,y,7\n")
        got = g.get_nearest_as_columns([5.0, math.nan], [2.0, 0.0])
        assert list(got) == ["lat", "lon", "n", "m"]
        assert got == {"lat": ["7", None], "lon": ["2", None], "n": ["y", None], "m": ["z", None]}
        assert got == {k: [d[k] if d else None for d in g.get_nearest_as_dicts([5.0, math.nan], [2.0, 0.0])]
                       for k in got}


class RaisingBuffer:
    def __init__(self, error):
        self.error = error

    def __buffer__(self, flags):
        raise self.error

    def __iter__(self):
        return iter([1.0])


class TestPositionColumns:
    @pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, ValueError("no")])
    def test_buffer_errors_propagate(self, error):
        g = ReverseGeocoder(SMALL_CSV)
        with pytest.raises(type(error) if isinstance(error, BaseException) else error):
            g.get_nearest_indices(RaisingBuffer(error), [1.0])

    def test_a_type_error_from_buffer_falls_back_to_iteration(self):
        g = ReverseGeocoder(SMALL_CSV)
        assert len(g.get_nearest_indices(RaisingBuffer(TypeError("no")), [1.0])) == 1

    @pytest.mark.parametrize("column", [b"12", bytearray(b"12"), {1.0, 2.0}, frozenset({1.0, 2.0}), {1.0: 2.0, 2.0: 1.0}])
    def test_byte_strings_sets_and_dicts_are_refused(self, column):
        g = ReverseGeocoder(SMALL_CSV)
        with pytest.raises(TypeError, match=f"^argument 'lons': expected a 1-D sequence of numbers, not '{type(column).__name__}'$"):
            g.get_nearest_indices([1.0, 2.0], column)

    @pytest.mark.parametrize("column, message", [
        (np.array([1 + 0j, 2 + 0j]), "argument 'lats': expected real numbers, not complex ones"),
        (np.array([1, 2], dtype=np.complex64), "argument 'lats': expected real numbers, not complex ones"),
        ([1.0, 2j], "argument 'lats', position 1: must be real number, not complex"),
        ([np.complex128(1), 2.0], "argument 'lats', position 0: must be real number, not numpy.complex128"),
    ])
    def test_complex_numbers_are_refused(self, column, message):
        g = ReverseGeocoder(SMALL_CSV)
        with pytest.raises(TypeError) as raised:
            g.get_nearest_as_strings(column, [1.0, 2.0])
        assert str(raised.value) == message

    @pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "i2", ">f8"])
    def test_masked_elements_are_missing(self, dtype):
        world = ReverseGeocoder(SMALL_CSV)
        lats = np.ma.masked_array([10, 20, 30], mask=[False, True, False], dtype=dtype)
        plain = world.get_nearest_indices([10.0, 20.0, 30.0], [1.0, 2.0, 3.0])
        got = world.get_nearest_indices(lats, [1.0, 2.0, 3.0])
        assert list(got) == [plain[0], 4294967295, plain[2]]
        assert world.get_nearest_as_strings([1.0, 2.0, 3.0], lats)[1] is None
        unmasked = np.ma.masked_array([10, 20, 30], dtype=dtype)
        assert world.get_nearest_indices(unmasked, [1.0, 2.0, 3.0]) == plain

    @pytest.mark.parametrize("dtype", [">f8", ">i4", "f2", "?", "g"])
    def test_other_number_kinds_answer_as_float64(self, dtype):
        g = ReverseGeocoder(SMALL_CSV)
        values = np.linspace(-60, 60, 50).astype(dtype)
        assert g.get_nearest_indices(values, values) == g.get_nearest_indices(
            values.astype("f8"), values.astype("f8"))


def test_the_type_is_immutable():
    with pytest.raises(TypeError):
        ReverseGeocoder.get_nearest_as_string = lambda self, lat, lon: "x"
    with pytest.raises(TypeError):
        del ReverseGeocoder.save
    assert ReverseGeocoder(SMALL_CSV).get_nearest_as_string(0, 0)


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="3.13 refuses before initialising")
def test_a_refused_subinterpreter_does_not_take_the_module():
    script = """
import _xxsubinterpreters as i
n = i.create(isolated=True)
try:
    i.run_string(n, "import quorvel._core")
    raise SystemExit("the isolated interpreter imported it")
except i.RunFailedError as e:
    assert "ImportError" in str(e), e
i.destroy(n)
import quorvel
print(len(quorvel.ReverseGeocoder("lat,lon\\n1,2\\n")))
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "1\n"


def unit(lat, lon):
    p, l = math.radians(lat), math.radians(lon)
    return (math.cos(p) * math.cos(l), math.cos(p) * math.sin(l), math.sin(p))


class TestDamagedPoints:
    @pytest.fixture
    def saved(self):
        rows = "".join(f"{lat},{lon},p\n" for lat in range(-80, 81, 10) for lon in range(-170, 171, 20))
        return ReverseGeocoder("lat,lon,name\n" + rows).dumps()

    def test_points_swapped_between_leaves_are_caught(self, saved):
        a = b"\xcb" + struct.pack(">d", unit(-80, -170)[2])
        b = b"\xcb" + struct.pack(">d", unit(80, 170)[2])
        damaged = saved.replace(a, b"\xcbXXXXXXXX").replace(b, a).replace(b"\xcbXXXXXXXX", b)
        with pytest.raises(RuntimeError) as raised:
            ReverseGeocoder.loads(damaged)
        assert str(raised.value).startswith("invalid saved geocoder: tree.leaves[")
        assert "holds a point that the stems route to leaf" in str(raised.value)
        assert raised.value.__notes__ == ["the data is not a saved geocoder, or it is damaged"]

    @pytest.mark.parametrize("value", [0.5, math.inf, 1e300])
    def test_a_point_off_the_unit_sphere_is_caught(self, saved, value):
        x = b"\xcb" + struct.pack(">d", unit(-80, -170)[0])
        assert saved.count(x) >= 1
        damaged = saved.replace(x, b"\xcb" + struct.pack(">d", value), 1)
        with pytest.raises(RuntimeError, match=r"^invalid saved geocoder: tree\.leaves\[\d+\] slot \d+ holds a point that is not a unit vector"):
            ReverseGeocoder.loads(damaged)

    def test_saved_files_still_load(self, saved, tmp_path):
        assert len(ReverseGeocoder.loads(saved)) == 17 * 18
