"""The command line, run as installed: `quorvel` from the environment's bin
and `python -m quorvel`, on real files."""

import contextlib
import csv
import io
import os
import pathlib
import re
import shlex
import signal
import subprocess
import sys
import time

import pytest

import quorvel
from quorvel import _cli

QUORVEL = pathlib.Path(sys.executable).parent / "quorvel"
COMMANDS = {"script": [str(QUORVEL)], "module": [sys.executable, "-m", "quorvel"]}

# Places named like a user's own file: longitude first, so that only the
# header tells which column is which.
PLACES = 'lon,lat,name,note\n2.35,48.85,Paris,"capital, France"\n-0.13,51.51,London,plain\n151.21,-33.87,Sydney,"say ""hi"""\n'
POSITIONS = (
    "id,Latitude,Longitude\n"
    "1,48.9,2.3\n"
    "2,NaN,2.3\n"  # line 3: not a number a user would mean
    "3,,\n"  # line 4: empty
    "4,abc,1\n"  # line 5: text
    "5,51.5,-0.1\n"
    "6,95,10\n"  # line 7: out of range
    "7,-33.9,181\n"  # line 8: out of range
    "8,-33.9,151.2\n"
)


def run(*args, command="script", stdin=None, cwd=None):
    return subprocess.run([*COMMANDS[command], *map(str, args)], input=stdin, capture_output=True,
                          text=True, cwd=cwd)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "places.csv").write_text(PLACES)
    (tmp_path / "points.csv").write_text(POSITIONS)
    return tmp_path


def rows_of(text):
    return list(csv.reader(io.StringIO(text)))


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".part"))


class TestGeocode:
    @pytest.mark.parametrize("command", COMMANDS)
    def test_junk_rows_get_empty_fields_and_are_counted(self, files, command):
        done = run("geocode", files / "points.csv", "-o", files / "out.csv", "--places",
                   files / "places.csv", "--distance", command=command)
        assert done.returncode == 0, done.stderr
        rows = rows_of((files / "out.csv").read_text())
        assert rows[0] == ["id", "Latitude", "Longitude", "name", "note", "distance_km"]
        by_id = {row[0]: row[3:] for row in rows[1:]}
        assert by_id["1"][:2] == ["Paris", "capital, France"]
        assert by_id["5"][:2] == ["London", "plain"]
        assert by_id["8"][:2] == ["Sydney", 'say "hi"']
        assert float(by_id["1"][2]) == pytest.approx(6.4, abs=0.5)
        for junk in "23467":
            assert by_id[junk] == ["", "", ""]
        assert "5 rows without a usable position" in done.stderr
        assert "lines 3, 4, 5, 7, 8" in done.stderr

    def test_answers_match_the_api_on_the_world_geocoder(self, tmp_path):
        positions = [(48.8584, 2.2945), (-33.8568, 151.2153), (35.6586, 139.7454), (0.0, -160.0)]
        (tmp_path / "in.csv").write_text("lat,lon\n" + "".join(f"{a},{b}\n" for a, b in positions))
        done = run("geocode", tmp_path / "in.csv", "--fields", "name,admin1,country", "--no-borders")
        assert done.returncode == 0, done.stderr
        world = quorvel.ReverseGeocoder.world()
        for (lat, lon), row in zip(positions, rows_of(done.stdout)[1:]):
            place = world.get_nearest_as_dict(lat, lon)
            assert row[2:] == [place["name"], place["admin1"], place["country"]]

    def test_standard_input_to_standard_output(self, files):
        done = run("geocode", "-", "--places", files / "places.csv", "--fields", "name", "--prefix",
                   "place_", stdin="name;x;lat;lon\nhere;0;51.4;0\n", command="module")
        assert done.returncode == 1 and "line 1" in done.stderr and "--sep" in done.stderr
        done = run("geocode", "-", "--sep", ";", "--places", files / "places.csv", "--fields", "name",
                   "--prefix", "place_", stdin="name;x;lat;lon\nhere;0;51.4;0\n", command="module")
        assert done.returncode == 0, done.stderr
        assert done.stdout == "name;x;lat;lon;place_name\nhere;0;51.4;0;London\n"

    def test_max_distance_leaves_far_rows_empty(self, files):
        done = run("geocode", files / "points.csv", "--places", files / "places.csv", "--fields",
                   "name", "--distance", "--max-distance-km", "3")
        assert done.returncode == 0, done.stderr
        rows = {row[0]: row[3:] for row in rows_of(done.stdout)[1:]}
        assert rows["5"][0] == "London" and float(rows["5"][1]) < 3
        assert rows["1"] == rows["8"] == ["", ""]  # Paris is 6.7 km away, Sydney 3.5 km

    def test_quoted_fields_crlf_and_line_numbers(self, files):
        text = ('lat,lon,memo\r\n48.9,2.3,"two\r\nlines, and ""quotes"""\r\n\r\n'
                '"51.5",-0.1,x\r\nbad,1,"a\nb"\r\n-33.9,151.2,last')
        (files / "odd.csv").write_bytes(b"\xef\xbb\xbf" + text.encode())
        done = run("geocode", files / "odd.csv", "-o", files / "out.csv", "--places", files / "places.csv",
                   "--fields", "name")
        assert done.returncode == 0, done.stderr
        assert (files / "out.csv").read_bytes().decode() == ('lat,lon,memo,name\n48.9,2.3,"two\r\nlines, and ""quotes""",Paris\n'
                               '"51.5",-0.1,x,London\nbad,1,"a\nb",\n-33.9,151.2,last,Sydney\n')
        # The header is line 1 and the quoted line break counts as a line.
        assert "(lines 6)" in done.stderr

    def test_chunk_edges_change_nothing(self, files, monkeypatch, capsys):
        text = POSITIONS + '9,"48.8","2.3"\n10,51.5,-0.1\r\n11,"x\ny",1\n12,-33.9,151.2'
        (files / "many.csv").write_text(text, newline="")
        args = ["geocode", str(files / "many.csv"), "--places", str(files / "places.csv"), "--distance"]
        _cli.main(args)
        whole = capsys.readouterr()
        for size in (1, 2, 3, 7, 64):
            monkeypatch.setattr(_cli, "CHUNK_BYTES", size)
            _cli.main(args)
            assert capsys.readouterr() == whole

    @pytest.mark.parametrize(
        "args, message",
        [
            (["--fields", "name,nope"], "the places have no column 'nope'"),
            (["--lat", "y"], "no column 'y' for --lat"),
            (["--sep", ";;"], "--sep must be one ASCII character"),
            (["--workers", "0"], "--workers must be"),
            (["--max-distance-km", "-1"], "--max-distance-km must be zero or more"),
            (["--fields", "name", "--lat", "id"], "the input has a column 'name' already"),
        ],
    )
    def test_usage_errors_exit_2(self, files, args, message):
        (files / "clash.csv").write_text("id,name,lat,lon\n1,x,1,2\n")
        source = files / ("clash.csv" if "already" in message else "points.csv")
        done = run("geocode", source, "--places", files / "places.csv", *args)
        assert done.returncode == 2, done.stderr
        assert message in done.stderr
        if "already" in message:
            fixed = run("geocode", source, "--places", files / "places.csv", "--fields", "name",
                        "--prefix", "place_")
            assert rows_of(fixed.stdout)[0] == ["id", "name", "lat", "lon", "place_name"]

    def test_bad_input_exits_1_naming_the_file(self, files):
        (files / "empty.csv").write_text("")
        done = run("geocode", files / "empty.csv", "--places", files / "places.csv")
        assert done.returncode == 1 and "empty.csv: the input is empty" in done.stderr
        done = run("geocode", files / "missing.csv", "--places", files / "places.csv")
        assert done.returncode == 1 and "missing.csv: No such file" in done.stderr
        done = run("geocode", files / "points.csv", "--places", files / "nothing.geocoder")
        assert done.returncode == 1 and "nothing.geocoder" in done.stderr

    def test_no_arguments_and_help(self):
        assert run().returncode == 2
        for command in ("geocode", "build", "info"):
            done = run(command, "--help")
            assert done.returncode == 0 and "usage: quorvel " + command in done.stdout


class TestNoPartialOutput:
    @pytest.mark.parametrize("command", COMMANDS)
    def test_strict_stops_at_the_first_bad_row(self, files, command):
        (files / "out.csv").write_text("kept\n")
        done = run("geocode", files / "points.csv", "-o", files / "out.csv", "--places",
                   files / "places.csv", "--strict", command=command)
        assert done.returncode == 1
        assert 'points.csv, line 3: latitude "NaN" is missing' in done.stderr
        assert (files / "out.csv").read_text() == "kept\n"
        assert leftovers(files) == []

    def test_strict_on_standard_output_writes_nothing(self, files):
        done = run("geocode", files / "points.csv", "--places", files / "places.csv", "--strict")
        assert done.returncode == 1 and done.stdout == ""

    def test_interrupted_run_leaves_no_file(self, files):
        fifo = files / "fifo.csv"
        os.mkfifo(fifo)
        out = files / "out.csv"
        child = subprocess.Popen([str(QUORVEL), "geocode", str(fifo), "-o", str(out), "--places",
                                  str(files / "places.csv")], stderr=subprocess.PIPE, text=True)
        with open(fifo, "w") as feed:
            feed.write("lat,lon\n" + "48.9,2.3\n" * 1000)
            feed.flush()
            deadline = time.monotonic() + 30
            while not leftovers(files) and time.monotonic() < deadline:
                time.sleep(0.05)
            assert leftovers(files), "the run never started its output"
            child.send_signal(signal.SIGINT)
            _, stderr = child.communicate(timeout=30)
        assert child.returncode == 130, stderr
        assert "interrupted" in stderr
        assert not out.exists() and leftovers(files) == []


class TestParquet:
    def test_round_trip(self, files):
        pa = pytest.importorskip("pyarrow")
        pq = pytest.importorskip("pyarrow.parquet")
        table = pa.table({
            "id": [1, 2, 3, 4],
            "lat": [48.9, None, 51.5, 95.0],
            "lon": [2.3, 2.3, -0.1, 0.0],
        })
        pq.write_table(table, files / "in.parquet")
        done = run("geocode", files / "in.parquet", "-o", files / "out.parquet", "--places",
                   files / "places.csv", "--distance")
        assert done.returncode == 0, done.stderr
        result = pq.read_table(files / "out.parquet")
        assert result.column_names == ["id", "lat", "lon", "name", "note", "distance_km"]
        assert result.column("name").to_pylist() == ["Paris", None, "London", None]
        assert result.column("id").to_pylist() == [1, 2, 3, 4]
        assert "rows 2, 4" in done.stderr
        # Parquet to CSV, and CSV (junk included) to Parquet, agree with the CSV path.
        as_csv = run("geocode", files / "in.parquet", "--places", files / "places.csv", "--fields", "name")
        assert rows_of(as_csv.stdout)[1:] == [["1", "48.9", "2.3", "Paris"], ["2", "", "2.3", ""],
                                             ["3", "51.5", "-0.1", "London"], ["4", "95", "0", ""]]
        done = run("geocode", files / "points.csv", "-o", files / "points.parquet", "--places",
                   files / "places.csv", "--fields", "name")
        assert done.returncode == 0, done.stderr
        direct = run("geocode", files / "points.csv", "--places", files / "places.csv", "--fields", "name")
        names = pq.read_table(files / "points.parquet").column("name").to_pylist()
        assert [n or "" for n in names] == [row[3] for row in rows_of(direct.stdout)[1:]]


# Positions a few kilometres from a border whose plain nearest place lies
# across it (Hong Kong and Shenzhen, Greece and Albania, Portugal and Spain,
# France and Switzerland near Basel, Moldova and Romania), then one at sea,
# one in Antarctica and rows without a position.
BORDER_ROWS = [
    (22.4527, 113.9331), (40.7539, 20.9997), (40.2578, -7.0023), (47.5565, 7.4947),
    (46.8057, 28.1674), (0.0, -30.0), (-80.0, 0.0), (float("nan"), 1.0), (95.0, 0.0),
]


class TestBorders:
    def test_default_is_the_country_by_border_and_its_nearest_place(self, tmp_path):
        import random

        rng = random.Random(7)
        world = quorvel.ReverseGeocoder.world()
        positions = list(BORDER_ROWS)
        for _ in range(300):
            place = world.get_record_as_dict(rng.randrange(len(world)))
            positions.append((float(place["lat"]) + rng.uniform(-0.1, 0.1),
                              float(place["lon"]) + rng.uniform(-0.1, 0.1)))
        lats, lons = [p[0] for p in positions], [p[1] for p in positions]
        (tmp_path / "in.csv").write_text("lat,lon\n" + "".join(f"{a!r},{b!r}\n" for a, b in positions))
        done = run("geocode", tmp_path / "in.csv", "--fields", "name,cc", "--distance", "--workers", "2")
        assert done.returncode == 0, done.stderr
        rows = rows_of(done.stdout)
        assert rows[0] == ["lat", "lon", "border_cc", "border_country", "name", "cc", "distance_km"]
        # The fast CSV path and the one-call API give the same answers.
        api = quorvel.geocode(lats, lons)
        for i, row in enumerate(rows[1:]):
            if abs(lats[i]) <= 90:  # The command line refuses the others; the methods take them.
                expected = [api[c][i] or "" for c in ("border_cc", "border_country", "name", "cc")]
                assert row[2:6] == expected, positions[i]
        plain = quorvel.geocode(lats, lons, borders=False)
        assert plain == world.get_nearest_as_columns(lats, lons)
        first = [row[2:6] for row in rows[1:len(BORDER_ROWS) + 1]]
        for (border_cc, _, name, cc), plain_name in zip(first[:5], plain["name"]):
            assert cc == border_cc and name != plain_name
        assert first[5][:2] == ["", ""] and first[5][3] == "BR"  # at sea: the plain nearest
        assert first[6] == ["AQ", "Antarctica", "", ""]  # a country without places
        assert first[7] == first[8] == ["", "", "", ""]
        # Parquet output carries the same columns.
        pq = pytest.importorskip("pyarrow.parquet")
        done = run("geocode", tmp_path / "in.csv", "-o", tmp_path / "out.parquet", "--fields", "name,cc")
        assert done.returncode == 0, done.stderr
        table = pq.read_table(tmp_path / "out.parquet")
        assert table.column_names == ["lat", "lon", "border_cc", "border_country", "name", "cc"]
        for column in ("border_cc", "border_country", "name", "cc"):
            assert [v or "" for v in table.column(column).to_pylist()] == [row[rows[0].index(column)]
                                                                        for row in rows[1:]]

    def test_turning_borders_off_and_own_places(self, files):
        done = run("geocode", files / "points.csv", "--no-borders", "--fields", "name,cc")
        assert rows_of(done.stdout)[0] == ["id", "Latitude", "Longitude", "name", "cc"]
        own = run("geocode", files / "points.csv", "--places", files / "places.csv", "--fields", "name")
        assert rows_of(own.stdout)[0] == ["id", "Latitude", "Longitude", "name"]
        refused = run("geocode", files / "points.csv", "--places", files / "places.csv", "--borders")
        assert refused.returncode == 2 and "'cc' column" in refused.stderr
        (files / "coded.csv").write_text("lat,lon,name,cc\n47.5581,7.5733,Basel,CH\n47.59,7.54,Hegenheim,FR\n")
        (files / "basel.csv").write_text("lat,lon\n47.566,7.5745\n")
        coded = run("geocode", files / "basel.csv", "--places", files / "coded.csv", "--borders",
                    "--border-km", "0", "--fields", "name")
        assert coded.returncode == 0, coded.stderr
        assert rows_of(coded.stdout)[1] == ["47.566", "7.5745", "CH", "Switzerland", "Basel"]
        bad = run("geocode", files / "points.csv", "--border-km", "-1")
        assert bad.returncode == 2 and "--border-km" in bad.stderr

    def test_one_call_api_reads_iterators_once_and_refuses_what_the_methods_refuse(self):
        lats, lons = [p[0] for p in BORDER_ROWS], [p[1] for p in BORDER_ROWS]
        assert quorvel.geocode(iter(lats), iter(lons)) == quorvel.geocode(lats, lons)
        assert quorvel.geocode(iter(list(zip(lats, lons)))) == quorvel.geocode(lats, lons)
        with pytest.raises(ValueError):
            quorvel.geocode([1.0, 2.0], [1.0])
        with pytest.raises(ValueError):
            quorvel.geocode([1.0], [1.0], border_km=-1)


class TestBuildAndInfo:
    def test_build_finds_the_columns_by_name_and_info_describes_it(self, files):
        done = run("build", files / "places.csv", "-o", files / "places.geocoder")
        assert done.returncode == 0, done.stderr
        geocoder = quorvel.ReverseGeocoder.load(files / "places.geocoder")
        assert geocoder.get_nearest_as_dict(48.86, 2.29)["name"] == "Paris"
        info = run("info", files / "places.geocoder", command="module")
        assert info.returncode == 0, info.stderr
        assert "records: 3" in info.stdout and "columns: lon, lat, name, note" in info.stdout
        used = run("geocode", files / "points.csv", "--places", files / "places.geocoder", "--fields", "name")
        assert rows_of(used.stdout)[1][3] == "Paris"

    def test_build_options(self, files):
        (files / "semi.csv").write_text("name;y;x\nParis;48.85;2.35\nSydney;-33.87;151.21\n")
        done = run("build", files / "semi.csv", "-o", files / "g", "--sep", ";", "--lat", "y", "--lon", "x",
                   "--drop-coordinates")
        assert done.returncode == 0, done.stderr
        geocoder = quorvel.ReverseGeocoder.load(files / "g")
        assert geocoder.columns == ["name"]
        assert geocoder.get_nearest_as_dict(-30, 150) == {"name": "Sydney"}

    def test_build_error_names_the_line_as_an_editor_does(self, files):
        (files / "bad.csv").write_text("lat,lon,name\n1,2,a\nx,3,b\n")
        done = run("build", files / "bad.csv", "-o", files / "g")
        assert done.returncode == 1
        assert "bad.csv:" in done.stderr and "line 3" in done.stderr
        assert not (files / "g").exists() and leftovers(files) == []

    def test_info_on_a_file_that_is_not_a_geocoder(self, files):
        (files / "junk.bin").write_bytes(b"\x00\x01junk")
        done = run("info", files / "junk.bin")
        assert done.returncode == 1 and "junk.bin:" in done.stderr


def test_the_user_guide_commands_run(tmp_path):
    """The shell lines of the user guide's "Command line" section, run as
    written on files of the names they use."""
    guide = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "user_guide.md").read_text()
    section = guide.split("## Command line", 1)[1].split("\n## ", 1)[0]
    lines = [line for block in re.findall(r"^```sh\n(.*?)^```$", section, re.S | re.M)
             for line in block.splitlines() if line.strip()]
    assert len(lines) >= 5
    (tmp_path / "places.csv").write_text(PLACES)
    (tmp_path / "points.csv").write_text("id,lat,lon\n1,48.9,2.3\n2,51.5,-0.1\n")
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    pq.write_table(pa.table({"lat": [48.9], "lon": [2.3]}), tmp_path / "points.parquet")
    env = dict(os.environ, PATH=f"{QUORVEL.parent}{os.pathsep}{os.environ['PATH']}")
    for line in lines:
        done = subprocess.run(line, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True)
        assert done.returncode == 0, (line, done.stderr)
        assert shlex.split(line)[0] in ("quorvel", "cat")
    assert rows_of((tmp_path / "mine.csv").read_text())[1:] == [["1", "48.9", "2.3", "Paris", "capital, France"],
                                                              ["2", "51.5", "-0.1", "London", "plain"]]
    assert pq.read_table(tmp_path / "points_places.parquet").num_rows == 1


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_line_only_on_a_terminal(files, quiet):
    import pty

    leader, follower = pty.openpty()
    child = subprocess.Popen([str(QUORVEL), "geocode", str(files / "points.csv"), "-o", str(files / "o.csv"),
                              "--places", str(files / "places.csv"), *(["--quiet"] if quiet else [])],
                             stderr=follower)
    os.close(follower)
    shown = b""
    with contextlib.suppress(OSError):  # EIO once the child has closed the terminal
        while chunk := os.read(leader, 4096):
            shown += chunk
    os.close(leader)
    assert child.wait(timeout=60) == 0
    assert (b"8 rows" in shown and b"rows/s, 100%" in shown) != quiet
    assert b"5 rows without a usable position" in shown
