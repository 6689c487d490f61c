"""Saving a geocoder to a file and loading it back, through Python."""

import os
import random

import pytest

from support import SMALL_CSV
from quorvel import ReverseGeocoder as R


def test_round_trip_is_exact(world, tmp_path):
    first, second = tmp_path / "a", tmp_path / "b"
    world.save(first)
    loaded = R.load(first)
    loaded.save(second)
    data = first.read_bytes()
    assert data[0] == 0x95 and data == second.read_bytes()
    rng = random.Random(7)
    for _ in range(500):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        assert loaded.get_nearest_as_dict(lat, lon) == world.get_nearest_as_dict(lat, lon)


def test_one_record_file_layout(tmp_path):
    path = tmp_path / "one"
    R("lat,lon,name\n10,20,a\n").save(path)
    data = path.read_bytes()
    assert len(data) == 960
    assert data[:25] == b"\x95\xb5lat,lon,name\n10,20,a\n\xa1,"


@pytest.mark.parametrize("text, drop", [
    ("lat,lon,name,pop\n1,2,\"x, y\",5\n3,4,plain,6\n", True),
    ("lat;lon;name\n1;2;é\n", False),
    ("lat,lon,name\n", False),
])
def test_loaded_geocoder_behaves_like_the_original(tmp_path, text, drop):
    sep = ";" if ";" in text else ","
    original = R(text, sep, drop)
    original.save(tmp_path / "g")
    loaded = R.load(tmp_path / "g")
    for method in ("get_nearest_as_string", "get_nearest_as_dict"):
        try:
            expected = getattr(original, method)(1, 2)
        except RuntimeError as error:
            with pytest.raises(RuntimeError, match=str(error)):
                getattr(loaded, method)(1, 2)
        else:
            assert getattr(loaded, method)(1, 2) == expected


def test_load_through_an_instance_ignores_it(small, tmp_path):
    R("lat,lon,name\n0,0,zero\n").save(tmp_path / "g")
    loaded = small.load(tmp_path / "g")
    assert type(loaded) is R and loaded is not small
    assert loaded.get_nearest_as_string(10, 20) == "0,0,zero"
    assert small.get_nearest_as_string(10, 20) == "10,20,a"


def test_extra_bytes_after_the_value_are_ignored(small, tmp_path):
    path = tmp_path / "g"
    small.save(path)
    with open(path, "ab") as f:
        f.write(b"trailing garbage")
    assert R.load(path).get_nearest_as_string(11, 21) == "10,20,a"


@pytest.mark.parametrize("content, message", [
    (b"", "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n    failed to fill whole buffer"),
    (b"\xa1x", 'invalid type: string "x", expected struct ReverseGeocoder'),
    (b"\x92\xa0\xa1,", "invalid length 2, expected struct ReverseGeocoder with 5 elements"),
])
def test_load_errors(tmp_path, content, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as info:
        R.load(path)
    assert type(info.value) is RuntimeError and str(info.value) == message


def test_truncated_files_are_refused(world, tmp_path):
    world.save(tmp_path / "full")
    data = (tmp_path / "full").read_bytes()
    rng = random.Random(11)
    for cut in [1, 2, 30, len(data) // 2, len(data) - 1] + rng.sample(range(len(data)), 20):
        (tmp_path / "cut").write_bytes(data[:cut])
        with pytest.raises(RuntimeError):
            R.load(tmp_path / "cut")


def test_file_system_errors(small, tmp_path):
    # The messages alone: pytest's match also sees the note naming the path.
    with pytest.raises(RuntimeError) as info:
        R.load(tmp_path / "missing")
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(RuntimeError) as info:
        small.save(tmp_path)
    assert str(info.value).endswith("(os error 21)")
    with pytest.raises(RuntimeError) as info:
        small.save(tmp_path / "no" / "dir")
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(RuntimeError, match="^IO error while reading marker: "):
        R.load(tmp_path)
    assert os.listdir(tmp_path) == []
