"""Fast offline reverse geocoding: the nearest stored place for a latitude and
longitude, answered by a C++ engine.

A ``ReverseGeocoder`` is built once from CSV text whose first line names the
columns and whose every further line is a place, latitude and longitude first,
or loaded from a saved file. It never changes afterwards, so threads may share
one instance.
"""

from quorvel._core import (
    ArrowTable,
    PanicException,
    Regions,
    ReverseGeocoder,
    __version__,
    _loads,
    _loads_regions,
)
from quorvel._world import ATTRIBUTION as WORLD_ATTRIBUTION
from quorvel._world import geocode

__all__ = ["ReverseGeocoder", "Regions", "ArrowTable", "geocode"]

# Shown, pickled and documented where users find it.
geocode.__module__ = "quorvel"
