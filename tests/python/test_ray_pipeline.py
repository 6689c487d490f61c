"""examples/ray_pipeline.py on a local Ray gives the answers of a
single-process run, row for row."""

import importlib.util
import os
import sys

import pytest

from support import ROOT
import quorvel

pytestmark = pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                                reason="starts uninstrumented worker processes")

EXAMPLE = ROOT / "examples" / "ray_pipeline.py"
POINTS, SEED = 3000, 5


@pytest.fixture(scope="module")
def example():
    try:
        import ray  # noqa: F401
    except ImportError as error:
        pytest.skip(f"Ray is not installed here ({error}); pip install 'ray[data]' to run this")
    import ray.cloudpickle

    found = importlib.util.spec_from_file_location("ray_pipeline", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules["ray_pipeline"] = module
    found.loader.exec_module(module)
    # The workers cannot import the example by name: its class travels by value.
    ray.cloudpickle.register_pickle_by_value(module)
    yield module
    module.ray.shutdown()
    del sys.modules["ray_pipeline"]


def test_ray_matches_a_single_process_run(example, capsys):
    world = quorvel.ReverseGeocoder.world()
    places = example.main(["--points", str(POINTS), "--cpus", "2", "--seed", str(SEED)])
    assert capsys.readouterr().out.startswith(f"geocoded {POINTS:,} points on 2 CPUs")
    points = example.random_points(POINTS, SEED)
    assert places["id"].to_pylist() == list(range(POINTS))
    expected = [world.get_nearest_as_dict(a, o)
                for a, o in zip(points["lat"].to_pylist(), points["lon"].to_pylist())]
    for field in ("name", "admin1", "cc"):
        assert places["place_" + field].to_pylist() == [e[field] for e in expected]
