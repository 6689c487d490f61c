#!/usr/bin/env python3
"""Saves the world countries the package ships.

Reads build/world_countries.geojson (written by make_world_countries.py),
builds the index with the engine of this tree and writes
package/quorvel/data/world_countries.regions. The saved form depends only
on the GeoJSON, so the file comes out byte for byte the same on every run.
"""

import pathlib
import sys

from quorvel import Regions

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    source = ROOT / "build" / "world_countries.geojson"
    target = ROOT / "package" / "quorvel" / "data" / "world_countries.regions"
    countries = Regions.from_geojson(source, fields=["cc", "name", "iso_a3"])
    countries.save(target)
    print(f"{len(countries)} regions, {target.stat().st_size} bytes: {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
