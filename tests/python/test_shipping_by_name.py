"""Functions that name the class directly (``from quorvel import
ReverseGeocoder``) ship to other processes: the class travels by reference,
never as a copy, so the receiving side gets the real, working class."""

import csv
import os
import pickle
import random
import subprocess
import sys
import textwrap

import pytest

from support import WORLD_PLACES
from quorvel import ReverseGeocoder

cloudpickle = pytest.importorskip("cloudpickle")


def test_pickle_and_cloudpickle_name_the_class():
    for dumps in (pickle.dumps, cloudpickle.dumps):
        data = dumps(ReverseGeocoder)
        assert b"quorvel" in data and len(data) < 100
        assert pickle.loads(data) is ReverseGeocoder


def test_a_function_naming_the_class_runs_in_a_fresh_interpreter(tmp_path):
    # Defined in a script's __main__, the function is shipped by value, and
    # everything it refers to is looked up again on the receiving side.
    script = tmp_path / "ship.py"
    script.write_text(textwrap.dedent("""
        import sys
        import cloudpickle
        from quorvel import ReverseGeocoder

        TEXT = "lat,lon,name\\n10,20,a\\n-33.9,18.4,b\\n"

        def nearest(data: bytes, points: list[tuple[float, float]]) -> list[str]:
            geocoder: ReverseGeocoder = ReverseGeocoder.loads(data)
            built = ReverseGeocoder(TEXT)
            return [geocoder.get_nearest_as_string(*p) + "|" + built.get_nearest_as_dict(*p)["name"]
                    for p in points]

        sys.stdout.buffer.write(cloudpickle.dumps((nearest, ReverseGeocoder(TEXT).dumps())))
    """))
    shipped = subprocess.run([sys.executable, str(script)], capture_output=True, check=True).stdout
    receive = ("import pickle, sys\n"
               "function, data = pickle.loads(sys.stdin.buffer.read())\n"
               "print(function(data, [(11, 21), (-34, 18)]))\n")
    done = subprocess.run([sys.executable, "-c", receive], input=shipped, capture_output=True)
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    assert done.stdout.decode().strip() == "['10,20,a|a', '-33.9,18.4,b|b']"


CLUSTER_SCRIPT = """
import sys

import dask.dataframe as dd
import pandas as pd
from dask.distributed import Client, LocalCluster

from quorvel import ReverseGeocoder


def nearest(points: pd.DataFrame, data: bytes) -> pd.DataFrame:
    geocoder: ReverseGeocoder = ReverseGeocoder.loads(data)
    names = [geocoder.get_nearest_as_dict(lat, lon)["name"]
             for lat, lon in zip(points["lat"].tolist(), points["lon"].tolist())]
    return points.assign(name=names)


if __name__ == "__main__":
    places, out = sys.argv[1], sys.argv[2]
    with open(places, encoding="utf-8") as f:
        data = ReverseGeocoder(f.read()).dumps()
    points = pd.read_csv(sys.stdin)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        [shared] = client.scatter([data], broadcast=True)
        frame = dd.from_pandas(points, npartitions=4)
        meta = points.head(0).assign(name=pd.Series(dtype=object))
        future = client.compute(frame.map_partitions(nearest, shared, meta=meta))
        future.result(timeout=90).to_csv(out, index=False)
"""


@pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                    reason="starts uninstrumented worker processes")
def test_dask_job_naming_the_class_finishes_with_the_right_rows(world, tmp_path):
    pytest.importorskip("dask.distributed")
    rng = random.Random(13)
    points = [(round(rng.uniform(-60, 70), 4), round(rng.uniform(-180, 180), 4)) for _ in range(400)]
    script = tmp_path / "job.py"
    script.write_text(CLUSTER_SCRIPT)
    out = tmp_path / "out.csv"
    stdin = "lat,lon\n" + "".join(f"{lat},{lon}\n" for lat, lon in points)
    done = subprocess.run([sys.executable, str(script), str(WORLD_PLACES), str(out)],
                          input=stdin, cwd=tmp_path, capture_output=True, text=True, timeout=150)
    assert done.returncode == 0, done.stderr[-3000:]
    with out.open(encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["lat", "lon", "name"]
    expected = [[str(lat), str(lon), world.get_nearest_as_dict(lat, lon)["name"]] for lat, lon in points]
    assert rows[1:] == expected
