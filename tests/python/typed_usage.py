"""Typical typed use of quorvel: checked by `mypy --strict` in test_typing.py.

Also run as a script by that test, so every line here is valid at run time.
"""

import os
import pathlib
import pickle
import tempfile
from array import array
from collections.abc import Callable
from typing import assert_type

import numpy

import quorvel
from quorvel import ReverseGeocoder

TEXT = "lat,lon,name\n10,20,a\n-33.9,18.4,b\n"


def build() -> ReverseGeocoder:
    geocoder = ReverseGeocoder(TEXT)
    assert_type(ReverseGeocoder(TEXT.replace(",", ";"), ";", True), ReverseGeocoder)
    assert_type(ReverseGeocoder(csv=TEXT, value_sep=",", drop_coordinates=False), ReverseGeocoder)
    assert_type(ReverseGeocoder(TEXT, drop_coordinates=numpy.True_), ReverseGeocoder)
    assert_type(ReverseGeocoder(TEXT, drop_coordinates=numpy.bool_(False)), ReverseGeocoder)
    return geocoder


def look_up(geocoder: ReverseGeocoder) -> None:
    line = geocoder.get_nearest_as_string(11, 21)
    assert_type(line, str)
    place = geocoder.get_nearest_as_dict(lat=-34.0, lon=18)
    assert_type(place, dict[str, str])
    assert line == "10,20,a" and place["name"] == "b"


def look_up_many(geocoder: ReverseGeocoder) -> None:
    lats, lons = [11.0, -34.0], (21, 18.0)
    assert_type(geocoder.get_nearest_indices(lats, lons), array[int])
    indices, km = geocoder.get_nearest_indices(lats, lons, return_distance=True, workers=-1)
    assert_type(km, array[float])
    assert_type(geocoder.get_nearest_as_strings(array("d", lats), lons), list[str | None])
    assert_type(geocoder.get_nearest_as_dicts(lats, lons), list[dict[str, str] | None])
    assert_type(geocoder.get_nearest_as_columns(lats, lons), dict[str, list[str | None]])
    assert_type(geocoder.get_record_as_string(indices[0]), str)
    assert_type(geocoder.get_record_as_dict(-1), dict[str, str])
    assert len(geocoder) == 2 and geocoder.columns == ["lat", "lon", "name"]
    assert_type(geocoder.get_nearest_indices([(11.0, 21.0), (-34.0, 18.0)]), array[int])
    table = geocoder.get_nearest_as_table(lats, lons, fields=["name"], distance=True,
                                          max_distance_km=100.0)
    assert_type(table, quorvel.ArrowTable)
    assert table.column_names == ["name", "distance_km"] and len(table) == 2
    assert_type(geocoder.get_records_as_table(indices).column_names, list[str])


def regions() -> None:
    countries = quorvel.Regions.world_countries()
    lats, lons = [47.5596, 0.0], [7.5886, -30.0]
    assert_type(countries.get_regions_as_columns(lats, lons, fields=["cc"]),
                dict[str, list[str | None]])
    table = countries.get_regions_as_table(lats, lons, fields=["cc", "name"],
                                           max_distance_km=25.0, workers=2)
    assert_type(table, quorvel.ArrowTable)
    assert table.column_names == ["cc", "name"] and len(table) == 2


def persist(geocoder: ReverseGeocoder) -> None:
    with tempfile.TemporaryDirectory() as directory:
        path = pathlib.Path(directory) / "g"
        assert_type(geocoder.save(path), None)
        geocoder.save(os.fspath(path))
        assert_type(ReverseGeocoder.load(path), ReverseGeocoder)
        assert_type(geocoder.load(str(path)), ReverseGeocoder)


def ship(geocoder: ReverseGeocoder) -> None:
    data = geocoder.dumps()
    assert_type(data, bytes)
    for form in (data, bytearray(data), memoryview(data)):
        assert_type(ReverseGeocoder.loads(form), ReverseGeocoder)
    rebuild, arguments = geocoder.__reduce__()
    restored: ReverseGeocoder = rebuild(*arguments)
    again = pickle.loads(pickle.dumps(geocoder))
    assert isinstance(again, ReverseGeocoder)
    assert restored.dumps() == again.dumps() == data
    loader: Callable[[bytes], ReverseGeocoder] = ReverseGeocoder.loads
    assert loader(data).dumps() == data
    assert quorvel.__all__ == ["ReverseGeocoder", "Regions", "ArrowTable", "geocode"]
    assert_type(quorvel.__version__, str)


def label(lats: list[float], lons: list[float]) -> list[str | None]:
    found = quorvel.geocode(lats, lons, border_km=10.0, workers=-1)
    assert_type(found, dict[str, list[str | None]])
    return found["name"]


if __name__ == "__main__":
    built = build()
    look_up(built)
    look_up_many(built)
    regions()
    persist(built)
    ship(built)
    assert label([42.3149], [-83.0364]) == ["Windsor"]
    print("ok")
