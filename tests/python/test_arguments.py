"""How calls bind and convert their arguments, and the errors they raise."""

import os
import pathlib

import numpy as np
import pytest

from support import SMALL_CSV
from quorvel import ReverseGeocoder as R

NEW = "ReverseGeocoder.__new__()"


def _raises(call, kind, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize("call, message", [
    (lambda g: R(), f"{NEW} missing 1 required positional argument: 'csv'"),
    (lambda g: R(value_sep=";"), f"{NEW} missing 1 required positional argument: 'csv'"),
    (lambda g: R("a", ",", False, 4), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
    # The count check comes before any keyword is looked at.
    (lambda g: R("a", ",", False, 4, bogus=1), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
    (lambda g: R("a", csv="b"), f"{NEW} got multiple values for argument 'csv'"),
    (lambda g: R("a", sep=";"), f"{NEW} got an unexpected keyword argument 'sep'"),
    (lambda g: R("a", **{"\ud800": 1}), f"{NEW} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda g: g.save(1, 2), "ReverseGeocoder.save() takes 1 positional arguments but 2 were given"),
    (lambda g: R.load("a", "b"), "ReverseGeocoder.load() takes 1 positional arguments but 2 were given"),
    (lambda g: g.get_nearest_as_string(1, 2, 3), "ReverseGeocoder.get_nearest_as_string() takes 2 positional arguments but 3 were given"),
    (lambda g: g.get_nearest_as_dict(), "ReverseGeocoder.get_nearest_as_dict() missing 2 required positional arguments: 'lat' and 'lon'"),
    (lambda g: g.get_nearest_as_dict(lon=1), "ReverseGeocoder.get_nearest_as_dict() missing 1 required positional argument: 'lat'"),
    (lambda g: g.get_nearest_as_string(1, lat=2), "ReverseGeocoder.get_nearest_as_string() got multiple values for argument 'lat'"),
    (lambda g: g.get_nearest_as_string(1, 2, 3, lat=2), "ReverseGeocoder.get_nearest_as_string() takes 2 positional arguments but 3 were given"),
    (lambda g: g.save(), "ReverseGeocoder.save() missing 1 required positional argument: 'path'"),
    (lambda g: g.save(file="x"), "ReverseGeocoder.save() got an unexpected keyword argument 'file'"),
])
def test_binding_errors(small, call, message):
    _raises(lambda: call(small), TypeError, message)


def test_every_parameter_binds_by_keyword(small, tmp_path):
    g = R(drop_coordinates=False, value_sep=",", csv=SMALL_CSV)
    assert g.get_nearest_as_string(lon=21, lat=11) == "10,20,a"
    assert g.get_nearest_as_dict(11, lon=21)["name"] == "a"
    g.save(path=tmp_path / "g")
    assert R.load(path=str(tmp_path / "g")).get_nearest_as_string(11, 21) == "10,20,a"


@pytest.mark.parametrize("kwargs, kind, message", [
    ({"csv": b"lat,lon\n"}, TypeError, "argument 'csv': 'bytes' object cannot be converted to 'PyString'"),
    ({"csv": None}, TypeError, "argument 'csv': 'NoneType' object cannot be converted to 'PyString'"),
    ({"csv": "x", "value_sep": None}, TypeError, "argument 'value_sep': 'NoneType' object cannot be converted to 'PyString'"),
    ({"csv": "x", "value_sep": b","}, TypeError, "argument 'value_sep': 'bytes' object cannot be converted to 'PyString'"),
    ({"csv": "x", "value_sep": ";;"}, ValueError, "expected a string of length 1"),
    ({"csv": "x", "value_sep": ""}, ValueError, "expected a string of length 1"),
    ({"csv": "x", "drop_coordinates": 1}, TypeError, "argument 'drop_coordinates': 'int' object cannot be converted to 'PyBool'"),
    ({"csv": "x", "drop_coordinates": None}, TypeError, "argument 'drop_coordinates': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"csv": "x", "drop_coordinates": np.int64(1)}, TypeError, "argument 'drop_coordinates': 'int64' object cannot be converted to 'PyBool'"),
    # Conversions run in parameter order; the first failure wins.
    ({"csv": 1, "value_sep": ";;", "drop_coordinates": 1}, TypeError, "argument 'csv': 'int' object cannot be converted to 'PyString'"),
    # Non-ASCII separators pass conversion; construction refuses them.
    ({"csv": "x", "value_sep": "é"}, RuntimeError, "Value separator must by an ASII character (got 233)"),
])
def test_constructor_conversion_errors(kwargs, kind, message):
    error = _raises(lambda: R(**kwargs), kind, message)
    assert error.__cause__ is None


@pytest.mark.parametrize("text", ["\ud800", "lat,lon\n1,2,\udfff\n"])
def test_unencodable_text_raises_unicode_error_unwrapped(text):
    with pytest.raises(UnicodeEncodeError):
        R(text)
    with pytest.raises(UnicodeEncodeError):
        R("lat;lon\n", "\ud800")


@pytest.mark.parametrize("flag, dropped", [
    (True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False),
    (np.array([1, 2]) > 1, None),
])
def test_drop_coordinates_accepts_bool_and_numpy_bool(flag, dropped):
    if dropped is None:  # A NumPy array is not a scalar boolean.
        with pytest.raises(TypeError, match="^argument 'drop_coordinates': 'ndarray' object"):
            R(SMALL_CSV, ",", flag)
        return
    g = R(SMALL_CSV, ",", flag)
    assert g.get_nearest_as_string(10, 20) == ("a" if dropped else "10,20,a")


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 10


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("lat, lon", [
    (11, 21), (11.0, 21.0), (True, 21), (Float(11.0), 21), (Index(), 21),
    (np.float64(11), np.int32(21)), (-1.0, 21), (-1, 21),
])
def test_lat_lon_accept_anything_float_accepts(small, lat, lon):
    expected = "10,20,a" if lat != -1 else "10,20,a"
    assert small.get_nearest_as_string(lat, lon) == expected
    assert small.get_nearest_as_dict(lat, lon)["name"] == "a"


@pytest.mark.parametrize("lat, lon, kind, message", [
    ("1", 2, TypeError, "argument 'lat': must be real number, not str"),
    (1, None, TypeError, "argument 'lon': must be real number, not NoneType"),
    ("1", None, TypeError, "argument 'lat': must be real number, not str"),
    (Raising(TypeError("custom")), 2, TypeError, "argument 'lat': custom"),
    (1, Raising(KeyError("k")), KeyError, "'k'"),
    (1, Raising(OverflowError("big")), OverflowError, "big"),
    (10**400, 1, OverflowError, "int too large to convert to float"),
    (float("nan"), 1, ValueError, "latitude and longitude must be finite numbers"),
    (1, float("-inf"), ValueError, "latitude and longitude must be finite numbers"),
])
def test_lat_lon_errors(small, lat, lon, kind, message):
    for method in (small.get_nearest_as_string, small.get_nearest_as_dict):
        _raises(lambda: method(lat, lon), kind, message)


def test_wrapped_type_error_keeps_the_cause(small):
    inner = TypeError("inner")
    inner.__cause__ = KeyError("root")
    error = _raises(lambda: small.get_nearest_as_string(Raising(inner), 1),
                    TypeError, "argument 'lat': inner")
    assert error is not inner
    assert isinstance(error.__cause__, KeyError)
    # Only an exact TypeError is wrapped; a subclass passes unchanged.

    class MyTypeError(TypeError):
        pass

    _raises(lambda: small.get_nearest_as_string(1, Raising(MyTypeError("mine"))),
            MyTypeError, "mine")


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize("make", [str, pathlib.Path, FsPath, lambda p: FsPath(str(p))])
def test_path_accepts_str_and_path_like(small, tmp_path, make):
    target = tmp_path / "saved"
    small.save(make(str(target)))
    assert R.load(make(str(target))).get_nearest_as_string(11, 21) == "10,20,a"


@pytest.mark.parametrize("path, kind, message", [
    (b"/tmp/x", TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (FsPath(b"/tmp/x"), TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (3, TypeError, "argument 'path': expected str, bytes or os.PathLike object, not int"),
    (FsPath(3), TypeError, "argument 'path': expected FsPath.__fspath__() to return str or bytes, not int"),
    (FsPath(Raising(ZeroDivisionError("z"))), TypeError, None),
    ("/tmp/a\0b", ValueError, "embedded null byte"),
])
def test_path_errors(small, path, kind, message):
    for call in (lambda: small.save(path), lambda: R.load(path)):
        with pytest.raises(kind) as info:
            call()
        if message is not None:
            assert str(info.value) == message


def test_unencodable_path_raises_the_encoding_error(small, tmp_path, capfd):
    path = str(tmp_path / "bad\ud800name")
    for call in (lambda: small.save(path), lambda: R.load(path)):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert not os.listdir(tmp_path)
    assert capfd.readouterr().err == ""


def test_results_are_new_objects(small):
    first = small.get_nearest_as_dict(11, 21)
    first["name"] = "changed"
    assert small.get_nearest_as_dict(11, 21)["name"] == "a"
    assert small.get_nearest_as_string(11, 21) is not small.get_nearest_as_string(11, 21)
