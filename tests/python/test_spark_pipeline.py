"""examples/spark_pipeline.py in Spark's local mode gives the answers of a
single-process run, whichever way the geocoder reaches the executors.

Both runs share one Spark session (one JVM), which is what costs time here.
"""

import importlib.util
import os
import re
import shutil
import subprocess

import pytest

from support import ROOT

pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                       reason="starts uninstrumented worker processes"),
    # Spark's own complaints about the pandas version it runs with.
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas"),
    pytest.mark.filterwarnings("ignore:The copy keyword is deprecated"),
]

EXAMPLE = ROOT / "examples" / "spark_pipeline.py"
POINTS, SEED = 3000, 4


def _java_problem():
    """Why Spark cannot run here, or None."""
    home = os.environ.get("JAVA_HOME")
    java = os.path.join(home, "bin", "java") if home else shutil.which("java")
    if not java or not os.path.exists(java):
        return "no Java runtime (tools/ensure-system-deps.sh installs openjdk-17-jre-headless)"
    done = subprocess.run([java, "-version"], capture_output=True, text=True)
    found = re.search(r'version "(\d+)', done.stderr)
    if done.returncode != 0 or not found:
        return f"{java} -version failed: {done.stderr.strip()[:200]}"
    if int(found[1]) < 17:
        return f"Spark needs Java 17 or later, {java} is Java {found[1]}"
    return None


@pytest.fixture(scope="module")
def example():
    problem = _java_problem()
    if problem:
        pytest.skip(problem)
    module_spec = importlib.util.spec_from_file_location("spark_pipeline", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    yield module
    module.SparkSession.builder.getOrCreate().stop()


@pytest.fixture(scope="module")
def expected_csv(example, world):
    # One lookup at a time, so that the batch call on the executors is
    # checked against the plain method.
    points = example.random_points(POINTS, SEED)
    places = [world.get_nearest_as_dict(lat, lon) for lat, lon in zip(points["lat"], points["lon"])]
    for column in ("name", "admin1", "cc"):
        points["place_" + column] = [place[column] for place in places]
    return points.to_csv(index=False)


@pytest.mark.parametrize(("ship", "frames"),
                         [("file", "pandas"), ("broadcast", "pandas"), ("file", "arrow")])
def test_spark_matches_a_single_process_run(example, expected_csv, tmp_path, capsys, ship, frames):
    out = tmp_path / "places.csv"
    example.main(["--points", str(POINTS), "--partitions", "5", "--cores", "2", "--seed", str(SEED),
                  "--ship", ship, "--frames", frames, "--out", str(out)])
    assert capsys.readouterr().out.startswith(f"geocoded {POINTS:,} points in 5 partitions on 2 cores")
    assert out.read_text() == expected_csv
