import pytest

import quorvel
from support import SMALL_CSV, WORLD_PLACES


@pytest.fixture(scope="session")
def small():
    return quorvel.ReverseGeocoder(SMALL_CSV)


@pytest.fixture(scope="session")
def world_text():
    return WORLD_PLACES.read_text(encoding="utf-8")


@pytest.fixture(scope="session")
def world(world_text):
    return quorvel.ReverseGeocoder(world_text)
