"""Paths and small inputs that several test files share.

The fixtures built from them live in conftest.py; this module holds only
plain values, so that test files import it like any other module.
"""

import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORLD_PLACES = ROOT / "data" / "world_places.csv"

# The two-record text most lookup examples use.
SMALL_CSV = "lat,lon,name\n10,20,a\n-33.9,18.4,b\n"
