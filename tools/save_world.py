#!/usr/bin/env python3
"""Saves the world's places as the geocoder the package ships.

    python tools/save_world.py [CSV] [OUT]

Reads build/world/world_places.csv (written by tools/make_world.py) with the
installed quorvel and saves it to package/quorvel/data/world.geocoder. The
tree build is deterministic, so the same CSV and the same engine give the
same bytes; the script prints their size and sha256.
"""

import hashlib
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main(argv):
    source = pathlib.Path(argv[1]) if len(argv) > 1 else ROOT / "build/world/world_places.csv"
    out = pathlib.Path(argv[2]) if len(argv) > 2 else ROOT / "package/quorvel/data/world.geocoder"
    from quorvel import ReverseGeocoder  # the installed build, not the tree

    geocoder = ReverseGeocoder.read_csv(source)
    out.parent.mkdir(parents=True, exist_ok=True)
    geocoder.save(out)
    data = out.read_bytes()
    print(f"{out}: {len(geocoder):,} places, {len(data):,} bytes, "
          f"sha256 {hashlib.sha256(data).hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
