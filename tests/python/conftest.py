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


def panic_exception_class():
    """The PanicException class, which the module does not expose.

    It exists once some call has compared a Python error against it; a
    conversion failing inside a user's __float__ does that.
    """

    class Failing:
        def __float__(self):
            raise ValueError("no")

    with pytest.raises(ValueError):
        quorvel.ReverseGeocoder(SMALL_CSV).get_nearest_as_string(Failing(), 0)
    (found,) = [c for c in BaseException.__subclasses__()
                if c.__module__ == "corvane_runtime"]
    return found
