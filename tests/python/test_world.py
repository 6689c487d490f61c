"""The world geocoder the package ships: ReverseGeocoder.world()."""

import concurrent.futures
import importlib.resources
import subprocess
import sys
import textwrap

import pytest

import quorvel
from quorvel import ReverseGeocoder

COLUMNS = ["lat", "lon", "name", "admin1", "admin2", "cc", "country",
           "population", "timezone", "geonameid"]


@pytest.fixture(scope="module")
def world():
    return ReverseGeocoder.world()


def test_columns_size_and_sharing(world):
    assert world.columns == COLUMNS
    assert len(world) == 170_391
    assert ReverseGeocoder.world() is world


def test_first_calls_from_many_threads_share_one_instance():
    # A fresh interpreter, so that the first call is really the first.
    code = textwrap.dedent("""
        import concurrent.futures, threading
        from quorvel import ReverseGeocoder
        start = threading.Barrier(8)
        def first():
            start.wait()
            return ReverseGeocoder.world()
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            found = list(pool.map(lambda _: first(), range(8)))
        assert all(g is found[0] for g in found)
        print(len(found[0]))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "170391\n", done.stderr


# One landmark per continent (and a few more), with the country and the
# first-level division a person expects there.
LANDMARKS = [
    ((48.8584, 2.2945), "FR", "France", "Île-de-France"),
    ((-33.8568, 151.2153), "AU", "Australia", "New South Wales"),
    ((40.6892, -74.0445), "US", "United States", "New York"),
    ((35.6586, 139.7454), "JP", "Japan", "Tokyo"),
    ((-22.9519, -43.2105), "BR", "Brazil", "Rio de Janeiro"),
    ((-33.9249, 18.4241), "ZA", "South Africa", "Western Cape"),
    ((51.5007, -0.1246), "GB", "United Kingdom", "England"),
    ((55.7539, 37.6208), "RU", "Russia", "Moskva"),
    ((19.4326, -99.1332), "MX", "Mexico", "Ciudad de México"),
    ((30.0444, 31.2357), "EG", "Egypt", "Al Qāhirah"),
]


@pytest.mark.parametrize("position, cc, country, admin1", LANDMARKS)
def test_landmarks_carry_their_country_and_region(world, position, cc, country, admin1):
    place = world.get_nearest_as_dict(*position)
    assert (place["cc"], place["country"], place["admin1"]) == (cc, country, admin1)


def test_batch_answers_match_single_lookups(world):
    lats = [p[0][0] for p in LANDMARKS]
    lons = [p[0][1] for p in LANDMARKS]
    columns = world.get_nearest_as_columns(lats, lons)
    assert columns["cc"] == [p[1] for p in LANDMARKS]
    assert world.get_nearest_as_strings(lats, lons, workers=2) == [
        world.get_nearest_as_string(*p[0]) for p in LANDMARKS]


def test_names_are_mostly_present(world):
    import random
    rng = random.Random(7)
    indices = [rng.randrange(len(world)) for _ in range(2000)]
    records = [world.get_record_as_dict(i) for i in indices]
    assert sum(bool(r["admin1"]) for r in records) >= 0.97 * len(records)
    assert all(r["name"] and len(r["cc"]) == 2 and r["country"] for r in records)


def test_the_credit_travels_with_the_data():
    data = importlib.resources.files("quorvel").joinpath("data")
    notice = data.joinpath("NOTICE.txt").read_text(encoding="utf-8")
    assert "GeoNames" in notice and "CC BY 4.0" in notice
    assert data.joinpath("LGPL-2.1.txt").is_file()
    assert "GeoNames" in quorvel.WORLD_ATTRIBUTION and "CC BY 4.0" in quorvel.WORLD_ATTRIBUTION
    assert "GeoNames" in ReverseGeocoder.world.__doc__
