"""The command line: ``quorvel geocode``, ``quorvel build`` and ``quorvel info``.

``geocode`` streams a CSV table through the extension a chunk of bytes at a
time: the extension cuts each chunk into rows, reads the two coordinates,
finds the country each lies in by the borders and the nearest place in that
country, and writes every row back with the country's and the place's
fields, so no row ever becomes Python objects and memory stays flat
whatever the file's size.
Parquet goes through pyarrow, a record batch at a time.

Exit status: 0 on success, 1 on bad input (the message names the file and
the line, the header being line 1), 2 on a usage error, 130 when
interrupted. An output file appears only complete: it is written beside its
final name and renamed when done.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import math
import os
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

from quorvel import Regions, ReverseGeocoder
from quorvel import _core  # type: ignore[attr-defined, unused-ignore]
from quorvel._world import BORDER_COLUMNS, BORDER_KM

EXIT_BAD_INPUT = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Large enough that the per-chunk work in Python vanishes beside the rows',
# small enough that memory stays a few times this whatever the input's size.
CHUNK_BYTES = 8 << 20
# Bad rows are all counted; only this many are named by line.
REPORTED_LINES = 5
PROGRESS_INTERVAL = 0.25

LAT_NAMES = ("lat", "latitude")
LON_NAMES = ("lon", "lng", "long", "longitude")
PARQUET_SUFFIXES = (".parquet", ".pq")
CSV_SUFFIXES = (".csv", ".tsv", ".txt")
BOM = b"\xef\xbb\xbf"


class CliError(Exception):
    """A failure reported as one message on standard error, with `status`."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


def usage_error(message: str) -> CliError:
    return CliError(message, EXIT_USAGE)


# -- Columns -----------------------------------------------------------------


def find_position_columns(
    header: Sequence[str], lat: str | None, lon: str | None, where: str
) -> tuple[int, int]:
    """The latitude's and the longitude's column numbers: the named ones, else
    the columns named like coordinates (case-insensitive), else the first two."""

    def named(name: str, option: str) -> int:
        if name in header:
            return header.index(name)
        folded = [h.casefold() for h in header]
        if folded.count(name.casefold()) == 1:
            return folded.index(name.casefold())
        raise usage_error(f"{where}: no column {name!r} for {option}; the header has {list(header)}")

    def guess(names: tuple[str, ...]) -> int | None:
        found = [i for i, h in enumerate(header) if h.strip().casefold() in names]
        return found[0] if len(found) == 1 else None

    if len(header) < 2 and (lat is None or lon is None):
        raise CliError(f"{where}, line 1: the header needs a latitude and a longitude column "
                       f"(it reads as {list(header)}; is --sep right?)")
    lat_at = named(lat, "--lat") if lat is not None else None
    lon_at = named(lon, "--lon") if lon is not None else None
    if lat_at is None and lon_at is None:
        lat_guess, lon_guess = guess(LAT_NAMES), guess(LON_NAMES)
        if lat_guess is not None and lon_guess is not None:
            return lat_guess, lon_guess
        return 0, 1
    if lat_at is None:
        lat_at = guess(LAT_NAMES)
        lat_at = lat_at if lat_at is not None else (1 if lon_at == 0 else 0)
    if lon_at is None:
        lon_at = guess(LON_NAMES)
        lon_at = lon_at if lon_at is not None else (1 if lat_at == 0 else 0)
    if lat_at == lon_at:
        raise usage_error(f"{where}: the latitude and the longitude are both column {header[lat_at]!r}")
    return lat_at, lon_at


def place_fields(geocoder: ReverseGeocoder, fields: str | None) -> list[int]:
    """The geocoder's column numbers to append: the named ones, or every
    column but those named like coordinates."""
    columns = geocoder.columns
    if fields is None:
        coordinates = LAT_NAMES + LON_NAMES
        return [i for i, name in enumerate(columns) if name.casefold() not in coordinates]
    chosen = []
    for name in (f.strip() for f in fields.split(",")):
        if not name:
            continue
        if name not in columns:
            raise usage_error(f"--fields: the places have no column {name!r}; they have {columns}")
        chosen.append(columns.index(name))
    return chosen


def encode_field(text: str, sep: str) -> str:
    if any(c in text for c in (sep, '"', "\r", "\n")):
        return '"' + text.replace('"', '""') + '"'
    return text


class Borders:
    """The country each row lies in by the borders, and which places may
    answer for it: those whose `cc` equals the country's code."""

    # The country's fields written before the place's, and the field that
    # restricts the place, in the world countries' columns.
    REGION_FIELDS = ("cc", "name")
    MATCH = "cc"

    def __init__(self, geocoder: ReverseGeocoder, border_km: float) -> None:
        if self.MATCH not in geocoder.columns:
            raise usage_error(
                f"--borders needs places with a {self.MATCH!r} column of ISO 3166-1 alpha-2 "
                f"country codes; these have {geocoder.columns}"
            )
        self.regions = Regions.world_countries()
        self.border_km = border_km
        self.region_fields = [self.regions.columns.index(name) for name in self.REGION_FIELDS]
        self.region_match = self.regions.columns.index(self.MATCH)
        # The last column of the name, as where= takes it.
        self.match_column = len(geocoder.columns) - 1 - geocoder.columns[::-1].index(self.MATCH)


def open_borders(args: argparse.Namespace, geocoder: ReverseGeocoder) -> Borders | None:
    """Borders unless turned off; on by default for the bundled places only,
    whose country codes are known to be the borders' own."""
    if args.border_km is not None and not args.border_km >= 0:
        raise usage_error("--border-km must be zero or more")
    wanted = args.borders if args.borders is not None else args.places is None
    if not wanted:
        return None
    return Borders(geocoder, BORDER_KM if args.border_km is None else args.border_km)


def appended_names(
    geocoder: ReverseGeocoder,
    fields: list[int],
    args: argparse.Namespace,
    header: Sequence[str],
    borders: Borders | None,
) -> list[str]:
    names = [args.prefix + name for name in BORDER_COLUMNS] if borders else []
    names += [args.prefix + geocoder.columns[i] for i in fields]
    if args.distance:
        names.append(args.prefix + "distance_km")
    clashes = [name for name in names if name in header]
    if clashes:
        raise usage_error(
            f"the input has a column {clashes[0]!r} already; "
            "name the appended ones apart with --prefix (for example --prefix place_)"
        )
    return names


# -- Places --------------------------------------------------------------------


def csv_header(path: str, sep: str) -> list[str]:
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            return next(csv.reader(f, delimiter=sep), [])
    except UnicodeDecodeError as error:
        raise CliError(f"{path}, line 1: the header is not UTF-8 ({error.reason})") from None


def core_error(path: str, error: BaseException) -> CliError:
    """A build or load failure, its notes renumbered so that the header is
    line 1 as in an editor (the core counts the header as line 0)."""
    message = str(error).split("\n\n")[0]
    for note in getattr(error, "__notes__", ()):
        words = note.split(" ", 2)
        if note.startswith("line ") and len(words) > 1 and words[1].rstrip(":,").isdigit():
            number = int(words[1].rstrip(":,"))
            note = note.replace(f"line {number}", f"line {number + 1}", 1)
        message += f"\n  {note}"
    return CliError(f"{path}: {message}")


def build_from_csv(
    path: str, lat: str | None, lon: str | None, sep: str, drop_coordinates: bool
) -> ReverseGeocoder:
    header = csv_header(path, sep)
    lat_at, lon_at = find_position_columns(header, lat, lon, path)
    try:
        return ReverseGeocoder.read_csv(
            path,
            lat=header[lat_at],
            lon=header[lon_at],
            value_sep=sep,
            drop_coordinates=drop_coordinates,
        )
    except (RuntimeError, UnicodeDecodeError, ValueError) as error:
        raise core_error(path, error) from None


def open_places(path: str | None) -> ReverseGeocoder:
    """The bundled world geocoder, a saved geocoder, or one built from a
    places CSV (told apart by the file's suffix)."""
    if path is None:
        return ReverseGeocoder.world()
    try:
        if path.lower().endswith(CSV_SUFFIXES):
            return build_from_csv(path, None, None, ",", False)
        return ReverseGeocoder.load(path)
    except OSError as error:
        raise CliError(f"{path}: {error.strerror or error}") from None
    except RuntimeError as error:
        raise core_error(path, error) from None


# -- Files ---------------------------------------------------------------------


@contextlib.contextmanager
def output_file(path: str) -> Iterator[IO[bytes]]:
    """The output's byte stream: standard output for "-"; otherwise a temporary
    file in the output's folder, renamed to `path` only when the block ends
    without an exception, and removed on any failure, Ctrl-C included."""
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
    except OSError as error:
        raise CliError(f"{path}: cannot write there ({error.strerror or error})") from None
    try:
        with os.fdopen(fd, "wb") as sink:
            yield sink
        # mkstemp makes the file private; the result gets the usual mode.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def input_file(path: str) -> Iterator[IO[bytes]]:
    if path == "-":
        yield sys.stdin.buffer
        return
    try:
        source = open(path, "rb")
    except OSError as error:
        raise CliError(f"{path}: {error.strerror or error}") from None
    with source:
        yield source


def input_size(source: IO[bytes]) -> int | None:
    """The input's size when it is a regular file (for the share done)."""
    with contextlib.suppress(OSError, ValueError):
        status = os.fstat(source.fileno())
        if stat.S_ISREG(status.st_mode):
            return status.st_size
    return None


def is_parquet(path: str) -> bool:
    return path != "-" and path.lower().endswith(PARQUET_SUFFIXES)


def import_pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        import pyarrow.compute  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        import pyarrow.csv  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        raise usage_error(
            "Parquet files need pyarrow, which is not installed: pip install pyarrow"
        ) from None
    return pyarrow


# -- Progress and the report ---------------------------------------------------


class Progress:
    """Rows done, rows per second and the share done, redrawn on standard error
    while it is a terminal."""

    def __init__(self, total_bytes: int | None, quiet: bool) -> None:
        self.total = total_bytes
        self.shown = not quiet and sys.stderr.isatty()
        self.start = self.last = time.monotonic()
        self.drawn = False

    def update(self, rows: int, done_bytes: int, final: bool = False) -> None:
        if not self.shown:
            return
        now = time.monotonic()
        if not final and now - self.last < PROGRESS_INTERVAL:
            return
        self.last = now
        rate = rows / max(now - self.start, 1e-9)
        share = f", {min(done_bytes / self.total, 1.0):.0%}" if self.total else ""
        sys.stderr.write(f"\r{rows:,} rows, {rate:,.0f} rows/s{share}  ")
        sys.stderr.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            sys.stderr.write("\n")
            sys.stderr.flush()


class BadRows:
    """Rows whose position is missing, not a number or out of range."""

    def __init__(self, where: str, unit: str, strict: bool) -> None:
        self.where, self.unit, self.strict = where, unit, strict
        self.count = 0
        self.first: list[int] = []

    def add(self, count: int, numbers: Sequence[int], fault: str | None) -> None:
        if count and self.strict:
            raise CliError(f"{self.where}, {self.unit} {numbers[0]}: {fault}")
        self.count += count
        self.first.extend(numbers[: REPORTED_LINES - len(self.first)])

    def report(self) -> None:
        if not self.count:
            return
        more = ", ..." if self.count > len(self.first) else ""
        which = ", ".join(str(n) for n in self.first)
        rows = "row" if self.count == 1 else "rows"
        sys.stderr.write(
            f"{self.where}: {self.count:,} {rows} without a usable position got empty place fields "
            f"({self.unit}s {which}{more})\n"
        )


# -- geocode: CSV to CSV -------------------------------------------------------


def geocode_csv(
    args: argparse.Namespace, geocoder: ReverseGeocoder, fields: list[int], borders: Borders | None
) -> None:
    where = "<stdin>" if args.input == "-" else args.input
    sep = args.sep
    with input_file(args.input) as source:
        progress = Progress(input_size(source), args.quiet)
        buffer, eof = read_chunk(source, b"")
        if buffer.startswith(BOM):
            buffer = buffer[len(BOM):]
        while (first := _core._table_first_row(buffer, sep, eof)) is None:
            if eof:
                raise CliError(f"{where}: the input is empty; it needs a header line")
            buffer, eof = read_chunk(source, buffer)
        begin, end, consumed, line_base = first
        header_bytes = bytes(buffer[begin:end])
        try:
            header = next(csv.reader([header_bytes.decode("utf-8")], delimiter=sep))
        except UnicodeDecodeError as error:
            raise CliError(f"{where}, line 1: the header is not UTF-8 ({error.reason})") from None
        lat_at, lon_at = find_position_columns(header, args.lat, args.lon, where)
        names = appended_names(geocoder, fields, args, header, borders)
        if borders is None:
            appender = _core._table_appender(geocoder, sep, fields, args.distance, args.max_distance_km)
        else:
            appender = _core._table_appender(
                geocoder, sep, fields, args.distance, args.max_distance_km,
                regions=borders.regions, region_fields=borders.region_fields,
                region_match=borders.region_match, match_column=borders.match_column,
                border_km=borders.border_km,
            )
        bad = BadRows(where, "line", args.strict)
        rows = 0
        done_bytes = consumed
        buffer = buffer[consumed:]
        with output_file(args.output) as sink:
            # The header goes out with the first chunk's rows, so that a strict
            # run failing there leaves standard output empty too.
            pending = header_bytes + "".join(sep + encode_field(n, sep) for n in names).encode() + b"\n"
            while True:
                done, out, count, breaks, bad_count, bad_lines, fault = _core._geocode_table_chunk(
                    appender, buffer, lat_at, lon_at, eof, args.workers
                )
                bad.add(bad_count, [line_base + n + 1 for n in bad_lines], fault)
                if pending:
                    sink.write(pending)
                    pending = b""
                sink.write(out)
                rows += count
                line_base += breaks
                done_bytes += done
                progress.update(rows, done_bytes)
                if eof:
                    break
                buffer, eof = read_chunk(source, buffer[done:])
        progress.update(rows, done_bytes, final=True)
        progress.close()
        bad.report()


def read_chunk(source: IO[bytes], rest: bytes) -> tuple[bytes, bool]:
    """`rest` followed by the next chunk of `source`, and whether it ended."""
    # read1 returns what a pipe holds rather than waiting for a whole chunk,
    # so piped input flows (and can be interrupted) as it arrives.
    read1 = getattr(source, "read1", source.read)
    data = read1(CHUNK_BYTES)
    if not data:
        return rest, True
    return (rest + data if rest else data), False


# -- geocode: through Arrow (Parquet in or out) ---------------------------------


def arrow_batches(args: argparse.Namespace, pa: Any) -> tuple[Any, Iterator[Any], int, str]:
    """The input's schema, its record batches, how many lines precede the
    first data row (0 for Parquet) and the unit rows are named by."""
    if is_parquet(args.input):
        try:
            parquet = pa.parquet.ParquetFile(args.input)
        except (OSError, pa.ArrowException) as error:
            raise CliError(f"{args.input}: {error}") from None
        return parquet.schema_arrow, parquet.iter_batches(batch_size=1 << 20), 0, "row"
    header = csv_header(args.input, args.sep) if args.input != "-" else None
    if header is None:
        raise usage_error("standard input is read as CSV; write Parquet output from a CSV file")
    # Every column is read as text, so that a junk row never changes a
    # column's type halfway through the file.
    reader = pa.csv.open_csv(
        args.input,
        read_options=pa.csv.ReadOptions(block_size=CHUNK_BYTES),
        parse_options=pa.csv.ParseOptions(delimiter=args.sep, newlines_in_values=True),
        convert_options=pa.csv.ConvertOptions(
            column_types={name: pa.string() for name in header}, strings_can_be_null=False
        ),
    )
    return reader.schema, iter(reader), 1, "line"


def arrow_degrees(column: Any, pa: Any) -> Any:
    """A column of coordinates as float64 NumPy values, NaN where missing or
    not a number."""
    import numpy

    compute = pa.compute
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        text = compute.utf8_trim(column, characters=" \t")
        number = compute.match_substring_regex(text, r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")
        column = compute.if_else(number, text, pa.scalar(None, pa.string()))
    column = compute.cast(column, pa.float64())
    return numpy.array(column.fill_null(math.nan).to_numpy(zero_copy_only=False), dtype=numpy.float64)


def geocode_arrow(
    args: argparse.Namespace, geocoder: ReverseGeocoder, fields: list[int], borders: Borders | None
) -> None:
    import numpy

    pa = import_pyarrow()
    where = "<stdin>" if args.input == "-" else args.input
    schema, batches, line_base, unit = arrow_batches(args, pa)
    header = schema.names
    lat_at, lon_at = find_position_columns(header, args.lat, args.lon, where)
    names = appended_names(geocoder, fields, args, header, borders)
    to_parquet = is_parquet(args.output)
    columns = [pa.field(n, pa.dictionary(pa.int32(), pa.string()) if to_parquet else pa.string()) for n in names]
    if args.distance:
        columns[-1] = pa.field(names[-1], pa.float64())
    out_schema = pa.schema(list(schema) + columns)
    bad = BadRows(where, unit, args.strict)
    progress = Progress(None, args.quiet)
    rows = 0
    records: dict[int, list[str]] = {}
    with output_file(args.output) as sink:
        if to_parquet:
            writer = pa.parquet.ParquetWriter(sink, out_schema)
        else:
            writer = pa.csv.CSVWriter(
                sink, out_schema, write_options=pa.csv.WriteOptions(delimiter=args.sep, quoting_style="needed")
            )
        with writer:
            for batch in batches:
                lats = arrow_degrees(batch.column(lat_at), pa)
                lons = arrow_degrees(batch.column(lon_at), pa)
                usable = (numpy.abs(lats) <= 90) & (numpy.abs(lons) <= 180)
                lats[~usable] = math.nan
                numbers = numpy.flatnonzero(~usable)
                bad.add(len(numbers), [rows + line_base + 1 + int(n) for n in numbers[:REPORTED_LINES]],
                        "no usable position" if len(numbers) else None)
                restrict = None
                if borders is not None:
                    found = borders.regions.get_regions_as_columns(
                        lats, lons, max_distance_km=borders.border_km, workers=args.workers
                    )
                    codes = [found[name] for name in Borders.REGION_FIELDS]
                    # A country without a code (a disputed area) restricts nothing.
                    restrict = {Borders.MATCH: [code or None for code in found[Borders.MATCH]]}
                indices, distances = geocoder.get_nearest_indices(
                    lats, lons, return_distance=True, workers=args.workers, where=restrict
                )
                items = numpy.frombuffer(indices, dtype=numpy.uint32).astype(numpy.int64)
                km = numpy.frombuffer(distances, dtype=numpy.float64)
                # Seam: the distance limit is applied here until the batch
                # call takes max_distance_km itself.
                placed = items != 0xFFFFFFFF
                if args.max_distance_km is not None:
                    placed &= km <= args.max_distance_km
                appended = place_columns(geocoder, fields, items, placed, records, pa, to_parquet)
                if borders is not None:
                    string = pa.string()
                    appended[:0] = [
                        pa.array(values, string).dictionary_encode() if to_parquet else pa.array(values, string)
                        for values in codes
                    ]
                if args.distance:
                    appended.append(pa.array(numpy.round(km, 3), mask=~placed))
                writer.write_batch(pa.record_batch(list(batch.columns) + appended, schema=out_schema))
                rows += batch.num_rows
                progress.update(rows, 0)
    progress.close()
    bad.report()


def place_columns(
    geocoder: ReverseGeocoder,
    fields: list[int],
    items: Any,
    placed: Any,
    records: dict[int, list[str]],
    pa: Any,
    dictionary: bool,
) -> list[Any]:
    """The chosen fields of each row's record as Arrow columns, null where the
    row has no place; each distinct record is read once."""
    import numpy

    distinct, rows = numpy.unique(numpy.where(placed, items, -1), return_inverse=True)
    for item in distinct:
        if item >= 0 and int(item) not in records:
            record = list(geocoder.get_record_as_dict(int(item)).values())
            records[int(item)] = record
    mask = ~placed
    columns = []
    for field in fields:
        values = pa.array([records[int(i)][field] if i >= 0 else "" for i in distinct], pa.string())
        column = pa.DictionaryArray.from_arrays(
            pa.array(rows.astype(numpy.int32), mask=mask), values
        )
        columns.append(column if dictionary else column.dictionary_decode())
    return columns


# -- Commands ------------------------------------------------------------------


def command_geocode(args: argparse.Namespace) -> None:
    if args.max_distance_km is not None and not args.max_distance_km >= 0:
        raise usage_error("--max-distance-km must be zero or more")
    if args.workers == 0 or args.workers < -1:
        raise usage_error("--workers must be a positive number or -1")
    check_sep(args.sep)
    if args.output != "-" and args.input != "-" and os.path.abspath(args.output) == os.path.abspath(args.input):
        raise usage_error("the output would overwrite the input")
    geocoder = open_places(args.places)
    fields = place_fields(geocoder, args.fields)
    borders = open_borders(args, geocoder)
    if is_parquet(args.input) or is_parquet(args.output):
        geocode_arrow(args, geocoder, fields, borders)
    else:
        if args.workers == -1:
            args.workers = 0
        geocode_csv(args, geocoder, fields, borders)


def command_build(args: argparse.Namespace) -> None:
    check_sep(args.sep)
    geocoder = build_from_csv(args.places, args.lat, args.lon, args.sep, args.drop_coordinates)
    folder = os.path.dirname(os.path.abspath(args.output))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(args.output)}.", suffix=".part")
    os.close(fd)
    try:
        geocoder.save(temporary)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, args.output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    print(f"{args.output}: {len(geocoder):,} records, {os.path.getsize(args.output):,} bytes")


def command_info(args: argparse.Namespace) -> None:
    geocoder = open_places(args.file)
    size = os.path.getsize(args.file)
    print(f"file: {args.file}")
    print(f"records: {len(geocoder):,}")
    print(f"columns: {', '.join(geocoder.columns)}")
    print(f"size: {size:,} bytes ({size / 1e6:.1f} MB)")


def check_sep(sep: str) -> None:
    if len(sep) != 1 or not sep.isascii() or sep in "\"\r\n":
        raise usage_error(f"--sep must be one ASCII character other than a quote or a line break, not {sep!r}")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="quorvel",
        description="Fast offline reverse geocoding: the nearest place for each position.",
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    geocode = commands.add_parser(
        "geocode",
        help="append each row's country and place to a table",
        description="Appends to every row of a CSV or Parquet table of positions the country it lies in "
        "by the borders and the nearest place in that country (with --no-borders, or with --places, "
        "the nearest place however the borders run). Rows whose position is missing, not a number or "
        "out of range get empty fields and are counted on standard error.",
    )
    geocode.add_argument("input", metavar="INPUT", help="CSV or Parquet file, or - for standard input (CSV)")
    geocode.add_argument("-o", "--output", default="-", help="CSV or Parquet file (default: - for standard output)")
    geocode.add_argument("--lat", metavar="COL", help="latitude column (default: lat or latitude, else the first)")
    geocode.add_argument(
        "--lon", metavar="COL", help="longitude column (default: lon, lng, long or longitude, else the second)"
    )
    geocode.add_argument(
        "--places", metavar="FILE", help="a saved geocoder, or a places CSV (*.csv); default: the world's places"
    )
    geocode.add_argument(
        "--borders",
        action=argparse.BooleanOptionalAction,
        help="append border_cc and border_country, the country each position lies in by Natural Earth's "
        "borders, before the place's fields, and answer with the nearest place in that country (default: on with the world's places, "
        "off with --places)",
    )
    geocode.add_argument(
        "--border-km", type=float, metavar="X",
        help=f"a position outside every country takes one whose border is within X km (default: {BORDER_KM:g})",
    )
    geocode.add_argument(
        "--fields", metavar="NAMES", help="comma-separated place fields to append (default: all but the coordinates)"
    )
    geocode.add_argument("--prefix", default="", help="put before every appended column's name, e.g. place_")
    geocode.add_argument("--distance", action="store_true", help="append distance_km, the distance to the place")
    geocode.add_argument(
        "--max-distance-km", type=float, metavar="X", help="leave the fields empty for places farther than X km"
    )
    geocode.add_argument(
        "--strict", action="store_true", help="stop at the first row without a usable position, writing nothing"
    )
    geocode.add_argument("--workers", type=int, default=1, metavar="N", help="search threads (-1: every CPU)")
    geocode.add_argument("--sep", default=",", help="the CSV separator of input and output (default: ,)")
    geocode.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    geocode.set_defaults(run=command_geocode)

    build = commands.add_parser(
        "build",
        help="build a geocoder from a places CSV and save it",
        description="Builds a geocoder from a CSV file of places (a header line, then one place per line) "
        "and saves it for --places and ReverseGeocoder.load.",
    )
    build.add_argument("places", metavar="PLACES.csv", help="the places")
    build.add_argument("-o", "--output", required=True, metavar="FILE", help="where to save the geocoder")
    build.add_argument("--lat", metavar="COL", help="latitude column (default: lat or latitude, else the first)")
    build.add_argument(
        "--lon", metavar="COL", help="longitude column (default: lon, lng, long or longitude, else the second)"
    )
    build.add_argument("--sep", default=",", help="the CSV separator (default: ,)")
    build.add_argument("--drop-coordinates", action="store_true", help="store the places without their coordinates")
    build.set_defaults(run=command_build)

    info = commands.add_parser(
        "info",
        help="describe a saved geocoder",
        description="Prints a saved geocoder's record count, columns and size.",
    )
    info.add_argument("file", metavar="FILE", help="a saved geocoder (or a places CSV)")
    info.set_defaults(run=command_info)
    return top


def fail(message: str, status: int) -> NoReturn:
    sys.stderr.write(f"quorvel: {message}\n")
    raise SystemExit(status)


def main(argv: Sequence[str] | None = None) -> None:
    """Runs the command line; `argv` defaults to sys.argv[1:]."""
    args = parser().parse_args(argv)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except CliError as error:
        fail(str(error), error.status)
    except KeyboardInterrupt:
        fail("interrupted", EXIT_INTERRUPTED)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter from complaining while it flushes on exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        raise SystemExit(EXIT_BAD_INPUT) from None
    except OSError as error:
        fail(f"{error.filename or ''}: {error.strerror or error}".lstrip(": "), EXIT_BAD_INPUT)


if __name__ == "__main__":
    main()
