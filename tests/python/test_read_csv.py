"""ReverseGeocoder.read_csv: sources, decoding, named coordinate columns."""

import io
import itertools
import pathlib
import subprocess
import sys

import pytest

from support import WORLD_PLACES
import quorvel
from quorvel import ReverseGeocoder as R

TEXT = "name,lon,pop,lat\nParis,2.35,2100000,48.86\n\"Cape Town, ZA\",18.42,4600000,-33.92\n"
QUERIES = [(48.0, 2.0), (-34.0, 18.0), (0.0, 0.0), (60.0, -150.0)]


def answers(g):
    return [(g.get_nearest_as_string(*q), g.get_nearest_as_dict(*q)) for q in QUERIES]


class OnlyRead:
    """A file object that has nothing but read(), returning a fixed value."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def read(self):
        self.calls += 1
        return self.value


@pytest.fixture
def csv_path(tmp_path):
    path = tmp_path / "places.csv"
    path.write_text(TEXT, encoding="utf-8")
    return path


class TestSources:
    @pytest.mark.parametrize("make", [
        lambda p: p,
        lambda p: str(p),
        lambda p: open(p, "rb"),
        lambda p: open(p, encoding="utf-8"),
        lambda p: io.BytesIO(p.read_bytes()),
        lambda p: io.StringIO(p.read_text(encoding="utf-8")),
        lambda p: OnlyRead(bytearray(p.read_bytes())),
        lambda p: OnlyRead(memoryview(p.read_bytes())),
    ], ids=["Path", "str", "binary file", "text file", "BytesIO", "StringIO",
            "bytearray read", "memoryview read"])
    def test_every_kind_of_source_gives_the_same_geocoder(self, csv_path, make):
        source = make(csv_path)
        try:
            g = R.read_csv(source, lat="lat", lon="lon")
        finally:
            if hasattr(source, "close"):
                source.close()
        assert g.dumps() == R.read_csv(csv_path, lat="lat", lon="lon").dumps()

    def test_a_pipe_fed_by_another_thread(self):
        # The file is read without the interpreter lock; holding it would
        # block the writer for good once the pipe is full.
        script = """if True:
            import os, threading
            from quorvel import ReverseGeocoder as R
            text = "lat,lon,name\\n" + "".join(
                f"{i % 80}.5,{i % 170}.25,place {i}\\n" for i in range(20000))
            r, w = os.pipe()
            def feed():
                with os.fdopen(w, "w") as f:
                    f.write(text)
            threading.Thread(target=feed).start()
            assert R.read_csv(f"/dev/fd/{r}").dumps() == R(text).dumps()
        """
        done = subprocess.run([sys.executable, "-c", script], capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr

    def test_read_is_called_once(self):
        source = OnlyRead("lat,lon\n1,2\n")
        R.read_csv(source)
        assert source.calls == 1

    @pytest.mark.parametrize("source, message", [
        (b"lat,lon\n1,2\n", "not 'bytes'"),
        (5, "not 'int'"),
        (None, "not 'NoneType'"),
        (OnlyRead(5), "read() returned 'int'"),
        (OnlyRead(None), "read() returned 'NoneType'"),
    ])
    def test_other_sources_are_type_errors(self, source, message):
        with pytest.raises(TypeError, match=r"^argument 'source': ") as info:
            R.read_csv(source)
        assert message in str(info.value)

    def test_file_errors_are_os_errors_with_the_file_name(self, tmp_path):
        missing = tmp_path / "missing.csv"
        with pytest.raises(FileNotFoundError) as info:
            R.read_csv(missing)
        assert info.value.filename == str(missing)
        with pytest.raises(IsADirectoryError):
            R.read_csv(tmp_path)

    def test_errors_of_the_file_object_propagate(self):
        class Broken:
            def read(self):
                raise OSError("disk on fire")

        with pytest.raises(OSError, match="disk on fire"):
            R.read_csv(Broken())
        with pytest.raises(ValueError, match="closed file"):
            f = io.StringIO("lat,lon\n")
            f.close()
            R.read_csv(f)

    def test_a_panic_from_read_resumes_as_a_panic(self, capfd):
        panic = quorvel.PanicException

        class Panicking:
            def read(self):
                raise panic("boom")

        with pytest.raises(BaseException) as info:
            R.read_csv(Panicking())
        assert type(info.value) is panic and str(info.value) == "boom"
        assert "Python stack trace below:" in capfd.readouterr().err


class TestDecoding:
    def test_byte_order_mark_is_dropped_from_bytes_and_text(self):
        for source in (io.BytesIO(b"\xef\xbb\xbflat,lon,name\n1,2,a\n"),
                       io.StringIO("\ufefflat,lon,name\n1,2,a\n")):
            g = R.read_csv(source, lat="lat")
            assert g.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": "a"}
        # Only at the very start: elsewhere it is part of a field.
        g = R.read_csv(io.BytesIO("lat,lon,name\n1,2,\ufeffa\n".encode()))
        assert g.get_nearest_as_dict(1, 2)["name"] == "\ufeffa"

    def test_crlf_lines(self):
        g = R.read_csv(io.BytesIO(b"name,lat,lon\r\na,1,2\r\nb,3,4\r\n"), lat="lat", lon="lon")
        assert g.get_nearest_as_string(3, 4) == "b,3,4"
        assert g.get_nearest_as_dict(1, 2) == {"name": "a", "lat": "1", "lon": "2"}

    @pytest.mark.parametrize("data, start, end, reason, line", [
        (b"lat,lon\n1,2\n3,\xff\n", 14, 15, "invalid start byte", 2),
        (b"lat,lon,n\n1,2,\xe2\x28\n", 14, 15, "invalid continuation byte", 1),
        (b"lat,lon,n\n1,2,\xe2\x82", 14, 16, "unexpected end of data", 1),
        (b"\xef\xbb\xbfl\x80t,lon\n", 4, 5, "invalid start byte", 0),
    ])
    def test_bytes_that_are_not_utf8_name_offset_and_line(self, data, start, end, reason, line):
        with pytest.raises(UnicodeDecodeError) as info:
            R.read_csv(io.BytesIO(data))
        error = info.value
        # The offset counts from the first byte of the file, mark included.
        assert (error.encoding, error.start, error.end, error.reason) == ("utf-8", start, end, reason)
        assert f"position {start}" in str(error)
        assert error.__notes__ == [f"in line {line} (the header is line 0)"]

    def test_lone_surrogate_from_a_text_source(self):
        with pytest.raises(UnicodeEncodeError):
            R.read_csv(io.StringIO("lat,lon\n1,2\ud800\n"))


class TestColumns:
    @pytest.mark.parametrize("drop", [False, True])
    def test_coordinates_in_any_positions(self, drop):
        header = ["lat", "lon", "name", "pop"]
        rows = [["48.86", "2.35", "Paris", "2"], ["-33.92", "18.42", '"Cape Town, ZA"', "4"],
                ["40.71", "-74.01", "New York", "8"]]
        reference = R("\n".join(",".join(r) for r in [header, *rows]) + "\n",
                      drop_coordinates=drop)
        for order in itertools.permutations(range(4)):
            text = "\n".join(",".join(r[i] for i in order) for r in [header, *rows]) + "\n"
            g = R.read_csv(io.StringIO(text), lat="lat", lon="lon", drop_coordinates=drop)
            for q in QUERIES:
                got = g.get_nearest_as_dict(*q)
                want = reference.get_nearest_as_dict(*q)
                assert got == want
                if drop:
                    # The other columns keep their order among themselves.
                    assert list(got) == [header[i] for i in order if i >= 2]
                else:
                    assert list(got) == [header[i] for i in order]
                    assert g.get_nearest_as_string(*q) in text.splitlines()

    def test_drop_leaves_the_coordinates_out_wherever_they_stand(self):
        g = R.read_csv(io.StringIO(TEXT), lat="lat", lon="lon", drop_coordinates=True)
        assert g.get_nearest_as_string(-34, 18) == '"Cape Town, ZA",4600000'
        assert g.get_nearest_as_dict(48, 2) == {"name": "Paris", "pop": "2100000"}

    @pytest.mark.parametrize("drop", [False, True])
    @pytest.mark.parametrize("sep", [",", ";", "\t"])
    def test_first_two_columns_give_the_constructors_geocoder(self, world_text, drop, sep):
        text = world_text if sep == "," else world_text.replace(",", sep)
        made = R(text, sep, drop)
        assert R.read_csv(io.StringIO(text), value_sep=sep, drop_coordinates=drop).dumps() == made.dumps()
        assert R.read_csv(io.StringIO(text), lat="lat", lon="lon", value_sep=sep,
                          drop_coordinates=drop).dumps() == made.dumps()

    def test_the_bundled_file_by_path(self, world):
        assert R.read_csv(WORLD_PLACES).dumps() == world.dumps()

    def test_one_name_given_keeps_the_other_default(self):
        g = R.read_csv(io.StringIO("a,b,c\n1,2,3\n"), lon="c")
        assert g.get_nearest_as_string(1, 3) == "1,2,3"
        g = R.read_csv(io.StringIO("a,b,c\n9,1,2\n"), lat="c")
        assert g.get_nearest_as_string(2, 1) == "9,1,2"

    def test_names_are_matched_after_csv_decoding(self):
        g = R.read_csv(io.StringIO('"the lat","lon, east",x\n1,2,3\n'),
                       lat="the lat", lon="lon, east")
        assert g.get_nearest_as_string(1, 2) == "1,2,3"

    @pytest.mark.parametrize("kwargs, message", [
        (dict(lat="latitude"),
         "lat='latitude' is not a column of the header, whose columns are ['name', 'lon', 'pop', 'lat']"),
        (dict(lat="lat", lon="Lon"),
         "lon='Lon' is not a column of the header, whose columns are ['name', 'lon', 'pop', 'lat']"),
        (dict(lat="lat", lon="lat"), "lat and lon are the same column, 'lat'"),
        (dict(lat="lon"), "lat and lon are the same column, 'lon'; lon defaults to the second column"),
        (dict(lon="name"), "lat and lon are the same column, 'name'; lat defaults to the first column"),
    ])
    def test_names_that_do_not_pick_two_columns(self, kwargs, message):
        with pytest.raises(ValueError) as info:
            R.read_csv(io.StringIO(TEXT), **kwargs)
        assert str(info.value) == message

    def test_a_name_the_header_holds_twice_is_ambiguous(self):
        with pytest.raises(ValueError, match=r"^lat='y' names 2 columns of the header"):
            R.read_csv(io.StringIO("y,x,y\n1,2,3\n"), lat="y", lon="x")

    def test_an_unreadable_header_fails_as_for_the_constructor(self):
        for text, message in [("", "missing first line in CSV"),
                              ("\nlat,lon\n", "Internal error - failed to parse CSV line")]:
            with pytest.raises(RuntimeError) as info:
                R.read_csv(io.StringIO(text), lat="lat", lon="lon")
            assert str(info.value) == message
        with pytest.raises(RuntimeError, match=r"^Value separator must by an ASII character \(got 233\)$"):
            R.read_csv(io.StringIO(TEXT), lat="lat", value_sep="é")


class TestArguments:
    def test_only_the_source_is_positional(self):
        with pytest.raises(TypeError, match=r"^ReverseGeocoder.read_csv\(\) takes 1 positional argument but 2 were given$"):
            R.read_csv(io.StringIO(TEXT), "lat")
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'source'"):
            R.read_csv()
        assert R.read_csv.__text_signature__ == (
            "(source, *, lat=None, lon=None, value_sep=',', drop_coordinates=False)")

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(lat=1), TypeError, "argument 'lat': 'int' object cannot be converted to 'PyString'"),
        (dict(lon=b"lon"), TypeError, "argument 'lon': 'bytes' object cannot be converted to 'PyString'"),
        (dict(value_sep=";;"), ValueError, "expected a string of length 1"),
        (dict(value_sep=None), TypeError, "argument 'value_sep': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(drop_coordinates=1), TypeError, "argument 'drop_coordinates': 'int' object cannot be converted to 'PyBool'"),
    ])
    def test_arguments_are_checked_before_the_source_is_read(self, kwargs, error, message):
        source = OnlyRead("lat,lon\n1,2\n")
        with pytest.raises(error) as info:
            R.read_csv(source, **kwargs)
        assert str(info.value) == message
        assert source.calls == 0

    def test_numpy_boolean_for_drop_coordinates(self):
        numpy = pytest.importorskip("numpy")
        g = R.read_csv(io.StringIO(TEXT), lat="lat", lon="lon", drop_coordinates=numpy.True_)
        assert g.get_nearest_as_dict(48, 2) == {"name": "Paris", "pop": "2100000"}


def test_path_like_objects_other_than_pathlib(csv_path):
    class Where:
        def __fspath__(self):
            return str(csv_path)

    columns = dict(lat="lat", lon="lon")
    assert R.read_csv(Where(), **columns).dumps() == R.read_csv(pathlib.Path(csv_path), **columns).dumps()


class TestCoordinatesFoundByName:
    @pytest.mark.parametrize("header", [
        "lon,lat,name", "LONGITUDE,Latitude,name", "name,lng,lat", "name, Lat ,long",
    ])
    def test_named_columns_wherever_they_stand(self, header):
        names = [h.strip().lower() for h in header.split(",")]
        row = {"name": "Paris"}
        row.update({n: "2.35" for n in names if n.startswith(("lo", "ln"))})
        row.update({n: "48.86" for n in names if n.startswith("la")})
        g = R.read_csv(io.StringIO(header + "\n" + ",".join(row[n] for n in names) + "\n"))
        assert g.get_nearest_as_dict(48.86, 2.35)["name"] == "Paris"
        # Paris, not a point in Somalia: the axes were read the right way round.
        _, distances = g.get_nearest_indices([48.86], [2.35], return_distance=True)
        assert distances[0] < 0.001

    @pytest.mark.parametrize("header", ["a,b,lon", "lat,lat,lon,x", "x,y,z"])
    def test_otherwise_the_first_two_columns(self, header):
        values = ["10", "20", "30", "40"][: header.count(",") + 1]
        g = R.read_csv(io.StringIO(header + "\n" + ",".join(values) + "\n"))
        _, distances = g.get_nearest_indices([10], [20], return_distance=True)
        assert distances[0] < 0.001
