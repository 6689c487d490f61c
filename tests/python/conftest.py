import pathlib

import pytest

import quorvel

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORLD_PLACES = ROOT / "data" / "world_places.csv"

# The two-record text most lookup examples use.
SMALL_CSV = "lat,lon,name\n10,20,a\n-33.9,18.4,b\n"


@pytest.fixture(scope="session")
def small():
    return quorvel.ReverseGeocoder(SMALL_CSV)


@pytest.fixture(scope="session")
def world_text():
    return WORLD_PLACES.read_text(encoding="utf-8")


@pytest.fixture(scope="session")
def world(world_text):
    return quorvel.ReverseGeocoder(world_text)
