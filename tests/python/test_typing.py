"""The type stub: it matches the module, and strict mypy accepts typed use."""

import os
import subprocess
import sys

import pytest

from support import ROOT

# mypy is itself compiled to native code; under the sanitizers' preloaded
# runtime it would be checked too, which is slow and not our concern.
mypy_run = pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                              reason="runs mypy, not quorvel's code")


# mypy finds the stub through MYPYPATH and writes no cache into the tree.
MYPY_ENV = dict(os.environ, MYPYPATH=str(ROOT / "package"), MYPY_CACHE_DIR=os.devnull)


def _mypy(*args):
    return subprocess.run([sys.executable, "-m", "mypy", *args],
                          cwd=ROOT, env=MYPY_ENV, capture_output=True, text=True)


@mypy_run
def test_stub_matches_the_module(tmp_path):
    # Compares every name, signature and default of the package stub with what the
    # built module reports about itself.
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {os.devnull}\n")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
                           "quorvel"], cwd=ROOT, env=MYPY_ENV, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@mypy_run
def test_examples_and_typed_usage_pass_strict_mypy():
    done = _mypy("--strict", "examples", "tests/python/typed_usage.py")
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_usage_runs():
    done = subprocess.run([sys.executable, str(ROOT / "tests/python/typed_usage.py")],
                          capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


@mypy_run
def test_mistakes_are_caught(tmp_path):
    code = tmp_path / "wrong.py"
    code.write_text(
        "from quorvel import ReverseGeocoder\n"
        "g = ReverseGeocoder(b'lat,lon\\n')\n"
        "g.get_nearest_as_string('1', 2)\n"
        "g.save(b'path')\n"
        "ReverseGeocoder.loads('text')\n"
        "n: int = g.dumps()\n"
        "class Sub(ReverseGeocoder): ...\n"
        "ReverseGeocoder('lat,lon\\n', drop_coordinates=1)\n")
    done = _mypy("--strict", str(code))
    lines = [line for line in done.stdout.splitlines() if ": error: " in line]
    assert [int(line.split(":")[1]) for line in lines] == [2, 3, 4, 5, 6, 7, 8], done.stdout
