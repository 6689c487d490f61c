"""The example scripts run as their docstrings say (the Dask pipeline has its
own test)."""

import subprocess
import sys

from conftest import ROOT

GEOCODE_CSV = ROOT / "examples" / "geocode_csv.py"
PLACES = 'lat,lon,name,note\n10,20,a,"x, y"\n-33.9,18.4,b,plain\n'


def _run(*args, stdin=None):
    return subprocess.run([sys.executable, str(GEOCODE_CSV), *map(str, args)], input=stdin,
                          capture_output=True, text=True)


def test_geocode_csv_through_a_saved_geocoder(tmp_path):
    (tmp_path / "places.csv").write_text(PLACES)
    (tmp_path / "points.csv").write_text("id;Latitude;Longitude\n1;11;21\n2;-34;18\n")
    built = _run(tmp_path / "points.csv", tmp_path / "out.csv", "--sep", ";",
                 "--places", tmp_path / "places.csv", "--save", tmp_path / "g")
    assert built.returncode == 0, built.stderr
    assert (tmp_path / "out.csv").read_text() == (
        "id;Latitude;Longitude;place_lat;place_lon;place_name;place_note\n"
        "1;11;21;10;20;a;x, y\n"
        "2;-34;18;-33.9;18.4;b;plain\n")
    # The saved geocoder answers the same, from standard input to output.
    piped = _run("-", "-", "--geocoder", tmp_path / "g", "--lat", "y", "--lon", "x",
                 stdin="x,y\n21,11\n")
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == 'x,y,place_lat,place_lon,place_name,place_note\n21,11,10,20,a,"x, y"\n'


def test_geocode_csv_names_the_bad_line(tmp_path):
    (tmp_path / "places.csv").write_text(PLACES)
    done = _run("-", "-", "--places", tmp_path / "places.csv", stdin="lat,lon\n1,2\nnan,3\n")
    assert done.returncode == 1
    assert done.stderr.strip() == "-, line 3: latitude and longitude must be finite numbers"
    missing = _run("-", "-", "--places", tmp_path / "places.csv", stdin="a,b\n1,2\n")
    assert missing.returncode == 1 and "no column 'lat or latitude or y'" in missing.stderr


def test_demo_names_landmarks_and_border_towns():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "Eiffel Tower                 -> Paris 16 Passy, Île-de-France, France" in done.stdout
    assert "Cardston, Alberta, Canada" in done.stdout
