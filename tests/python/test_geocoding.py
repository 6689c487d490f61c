"""Building geocoders from CSV text and looking places up, end to end."""

import math
import random

import pytest

from support import SMALL_CSV
from quorvel import ReverseGeocoder as R


def test_lookup_examples(small):
    assert small.get_nearest_as_string(11, 21) == "10,20,a"
    assert small.get_nearest_as_dict(-34, 18) == {"lat": "-33.9", "lon": "18.4", "name": "b"}
    # No distance limit: the nearer record wins however far away.
    assert small.get_nearest_as_string(-80, -160) == "-33.9,18.4,b"
    assert small.get_nearest_as_string(10, 20) == "10,20,a"


@pytest.mark.parametrize("text, separator, drop, point, line, record", [
    ("lat,lon,name,pop\n1,2,\"x, y\",5\n", ",", True, (1, 2), '"x, y",5', {"name": "x, y", "pop": "5"}),
    ("lat,lon,name,pop\n1,2,\"x, y\",5\n", ",", False, (1, 2), '1,2,"x, y",5',
     {"lat": "1", "lon": "2", "name": "x, y", "pop": "5"}),
    ("lat,lon,k,k\n1,2,a,b\n", ",", False, (1, 2), "1,2,a,b", {"lat": "1", "lon": "2", "k": "b"}),
    ("lat;lon;name\r\n1e1;+.5;a;b\r\n".replace(";a;b", ";ab"), ";", False, (10, 0.5), "1e1;+.5;ab",
     {"lat": "1e1", "lon": "+.5", "name": "ab"}),
    ("lat\tlon\tname\n1\t2\tté\n", "\t", False, (1, 2), "1\t2\tté", {"lat": "1", "lon": "2", "name": "té"}),
    ("lat,lon,name\n1,2,a\r", ",", False, (1, 2), "1,2,a\r", {"lat": "1", "lon": "2", "name": "a"}),
    ("lat,lon\n1,2\n\n", ",", True, (1, 2), '""', None),
    ("lat,lon,name\n100,0,a\n", ",", False, (80, 180), "100,0,a", {"lat": "100", "lon": "0", "name": "a"}),
])
def test_build_and_look_up(text, separator, drop, point, line, record):
    g = R(text, separator, drop)
    assert g.get_nearest_as_string(*point) == line
    if record is None:
        # Dropping both coordinates of a two-column text leaves lines with
        # one empty field and no column to pair it with.
        with pytest.raises(RuntimeError):
            g.get_nearest_as_dict(*point)
    else:
        result = g.get_nearest_as_dict(*point)
        assert result == record
        assert list(result) == list(record)  # keys in column order


@pytest.mark.parametrize("position", range(0, 22, 3))
@pytest.mark.parametrize("char", ["é", "\u20ac", "\U0001f30d", "\x7f"])
def test_lines_read_back_exactly_wherever_a_wide_character_sits(position, char):
    # Lines are read eight bytes at a time to tell ASCII from the rest; one
    # wide character anywhere, in a full word or the tail, must still decode.
    name = "abcdefghijklmnopqrstu"
    name = name[:position] + char + name[position:]
    g = R(f"lat,lon,name\n1,2,{name}\n3,4,plain ascii name\n5,6,x\n")
    assert g.get_nearest_as_string(1, 2) == f"1,2,{name}"
    assert g.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": name}
    assert g.get_nearest_as_string(3, 4) == "3,4,plain ascii name"
    assert g.get_nearest_as_dict(5, 6)["name"] == "x"


def test_wide_records_keep_column_order_and_repeated_names():
    header = ["lat", "lon", "a", "b", "c", "d", "b", "e", "f", "g"]
    g = R(",".join(header) + "\n1,2,3,4,5,6,7,8,9,10\n")
    record = g.get_nearest_as_dict(1, 2)
    assert list(record) == ["lat", "lon", "a", "b", "c", "d", "e", "f", "g"]
    assert record["b"] == "7" and record["g"] == "10"


@pytest.mark.parametrize("text, separator, drop, message", [
    ("", ",", False, "missing first line in CSV"),
    ("lat,lon,name\n1,2\n", ",", False, "column mismatch: header (line 0) has 3 values, line 1 has 2 values"),
    ("lat,lon,a,b\n1,2,3,4\n1,2,3,4,5\n", ",", False,
     "column mismatch: header (line 0) has 4 values, line 2 has 5 values"),
    ("lat,lon\n,5\n", ",", False, "cannot parse float from empty string"),
    ("lat,lon\n 1,5\n", ",", False, "invalid float literal"),
    ("lat,lon\n1,2\n\n3,4\n", ",", False, "Internal error - failed to parse CSV line"),
    ("a;b\n", "é", False, "Value separator must by an ASII character (got 233)"),
])
def test_construction_errors(text, separator, drop, message):
    with pytest.raises(RuntimeError) as info:
        R(text, separator, drop)
    assert type(info.value) is RuntimeError and str(info.value) == message


@pytest.mark.parametrize("text", [
    "lat,lon\nnan,1\n", "lat,lon\n1,inf\n", "lat,lon\n1e999,1\n", "lat\n1\n",
])
def test_unusable_data_is_a_runtime_error(text):
    with pytest.raises(RuntimeError):
        R(text)


def test_empty_geocoder_refuses_lookups():
    g = R("lat,lon,name\n")
    for method in (g.get_nearest_as_string, g.get_nearest_as_dict):
        with pytest.raises(RuntimeError):
            method(1, 2)


def _oracle(places, lat, lon):
    def point(a, b):
        a, b = math.radians(a), math.radians(b)
        return (math.cos(a) * math.cos(b), math.cos(a) * math.sin(b), math.sin(a))

    q = point(lat, lon)
    return min(places, key=lambda p: sum((x - y) ** 2 for x, y in zip(point(*p[:2]), q)))


def test_random_lookups_match_brute_force():
    rng = random.Random(301)
    places = [(round(rng.uniform(-90, 90), 4), round(rng.uniform(-180, 180), 4), f"p{i}")
              for i in range(2000)]
    g = R("lat,lon,name\n" + "".join(f"{a},{b},{n}\n" for a, b, n in places))
    for _ in range(300):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        lat0, lon0, name = _oracle(places, lat, lon)
        assert g.get_nearest_as_dict(lat, lon) == {"lat": str(lat0), "lon": str(lon0), "name": name}


@pytest.mark.parametrize("lat, lon, name, cc", [
    (48.8584, 2.2945, "Paris 16 Passy", "FR"),  # Eiffel Tower
    (40.6892, -74.0445, "Battery Park City", "US"),  # Statue of Liberty
    (-33.8568, 151.2153, "Sydney Central Business District", "AU"),  # Opera House
    (35.6586, 139.7454, "Minato City", "JP"),  # Tokyo Tower
    (51.5007, -0.1246, "City of Westminster", "GB"),  # Big Ben
])
def test_world_places(world, lat, lon, name, cc):
    record = world.get_nearest_as_dict(lat, lon)
    assert (record["name"], record["cc"]) == (name, cc)
    assert world.get_nearest_as_string(lat, lon).split(",")[2] == name
