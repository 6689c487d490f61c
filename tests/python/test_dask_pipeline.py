"""examples/dask_pipeline.py on a small local cluster gives the answers of a
single-process run, whichever way the geocoder reaches the workers."""

import importlib.util
import os
import subprocess
import sys

import pandas as pd
import pytest

from support import ROOT

pytest.importorskip("dask.distributed")

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("QUORVEL_SANITIZED")),
    reason="starts uninstrumented worker processes")

EXAMPLE = ROOT / "examples" / "dask_pipeline.py"
POINTS, SEED = 3000, 4


@pytest.fixture(scope="module")
def expected_csv(world_text, tmp_path_factory):
    module_spec = importlib.util.spec_from_file_location("dask_pipeline", EXAMPLE)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    path = tmp_path_factory.mktemp("single") / "g"
    example.quorvel.ReverseGeocoder(world_text).save(path)
    geocoder = example.quorvel.ReverseGeocoder.load(path)
    # Built one point at a time, independently of the example's batch call.
    points = example.random_points(POINTS, SEED)
    found = [geocoder.get_nearest_as_dict(a, o) for a, o in zip(points["lat"], points["lon"])]
    places = pd.DataFrame.from_records(found, index=points.index).drop(columns=["lat", "lon"])
    return pd.concat([points, places.add_prefix("place_")], axis=1).to_csv(index=False)


@pytest.mark.parametrize("ship", ["file", "pickle"])
def test_cluster_matches_a_single_process_run(expected_csv, tmp_path, ship):
    out = tmp_path / "places.csv"
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), "--workers", "2", "--points", str(POINTS), "--partitions", "5",
         "--seed", str(SEED), "--ship", ship, "--out", str(out)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith(f"geocoded {POINTS:,} points in 5 partitions on 2 workers")
    assert out.read_text() == expected_csv
