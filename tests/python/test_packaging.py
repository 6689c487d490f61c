"""The distributions: the wheel installs and works in a fresh environment, and
the sdist holds everything the build needs.

The wheel is built in the project's usual build directory, which `make test`
has just filled, so only the packaging itself runs again. The full build from
the sdist compiles everything from scratch and runs for one Python only.
"""

import email.parser
import os
import pathlib
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

from support import ROOT

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("QUORVEL_SANITIZED")),
    reason="builds and runs uninstrumented interpreters")

BIN = pathlib.Path(sys.executable).parent
# The interpreter that the build tools run with, without the test session's
# own search path (a sanitized run points PYTHONPATH at another build).
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
CLEAN_ENV["PATH"] = f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}"

# What the build reads: every source file and the files named by CMake and
# the package metadata.
BUILD_INPUTS = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE",
                "package/quorvel/__init__.py", "package/quorvel/__init__.pyi",
                "package/quorvel/py.typed"}


def _run(args, cwd=ROOT, env=CLEAN_ENV):
    done = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done


def _pip_wheel(source, out):
    _run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
          "-w", str(out), str(source)])
    (wheel,) = out.glob("quorvel-*.whl")
    return wheel


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    return _pip_wheel(ROOT, tmp_path_factory.mktemp("wheel"))


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    code = f"from scikit_build_core.build import build_sdist; print(build_sdist({str(out)!r}))"
    name = _run([sys.executable, "-c", code]).stdout.split()[-1]
    return out / name


def test_wheel_contents_and_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        (metadata_name,) = [n for n in names if n.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(metadata_name).decode())
    (module,) = [n for n in names if n.startswith("quorvel/_core.") and n.endswith(".so")]
    assert module.startswith(f"quorvel/_core.cpython-{sys.version_info.major}{sys.version_info.minor}-")
    package = {n for n in names if ".dist-info/" not in n}
    assert {module, "quorvel/__init__.py", "quorvel/__init__.pyi", "quorvel/py.typed"} <= package
    assert all(n.startswith("quorvel/") for n in package)
    # The world's places travel inside the wheel, with their credit.
    assert {"quorvel/data/world.geocoder", "quorvel/data/NOTICE.txt",
            "quorvel/data/LGPL-2.1.txt", "quorvel/_world.py"} <= package
    # The command line: `python -m quorvel` and the `quorvel` script.
    assert {"quorvel/__main__.py", "quorvel/_cli.py"} <= package
    with zipfile.ZipFile(wheel) as archive:
        (entry_points,) = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
        assert "quorvel = quorvel._cli:main" in archive.read(entry_points).decode()
    # The world geocoder and the world countries (about 2 MB compressed).
    assert wheel.stat().st_size < 18_000_000
    assert metadata["Name"] == "quorvel"
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata["License-Expression"] == "MIT"
    assert "Typing :: Typed" in metadata.get_all("Classifier")
    assert metadata.get_payload().startswith("# quorvel")


def test_wheel_installs_and_works_in_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    _run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
          "--no-deps", "--no-index", str(wheel)])
    code = textwrap.dedent("""
        import pickle, sys, quorvel
        assert quorvel.__file__.startswith(sys.prefix), quorvel.__file__
        g = quorvel.ReverseGeocoder("lat,lon,name\\n10,20,a\\n-33.9,18.4,b\\n")
        g = pickle.loads(pickle.dumps(g))
        print(g.get_nearest_as_string(-34, 18))
        print(quorvel.ReverseGeocoder.world().get_nearest_as_dict(48.8584, 2.2945)["admin1"])
    """)
    # Run from elsewhere, so that nothing of the source tree can be imported.
    assert _run([str(python), "-c", code], cwd=tmp_path).stdout == "-33.9,18.4,b\nÎle-de-France\n"

    # A type checker finds the installed stub with no help.
    user = tmp_path / "user.py"
    user.write_text("from quorvel import ReverseGeocoder\n"
                    "line: str = ReverseGeocoder('lat,lon\\n1,2\\n').get_nearest_as_string(1, 2)\n"
                    "wrong: int = ReverseGeocoder('lat,lon\\n').dumps()\n")
    env = dict(CLEAN_ENV, MYPY_CACHE_DIR=os.devnull)
    env.pop("MYPYPATH", None)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable",
                           str(python), str(user)], cwd=tmp_path, env=env,
                          capture_output=True, text=True)
    errors = [line for line in done.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 1 and "user.py:3:" in errors[0], done.stdout + done.stderr


def test_sdist_holds_the_build_inputs_only(sdist):
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    sources = {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert sources and sources <= names
    assert BUILD_INPUTS <= names
    assert "PKG-INFO" in names
    assert not any(n.startswith(("data/", "bench/", "fuzz/", "tests/", "build/", ".venv")) for n in names)


@pytest.mark.skipif(sys.version_info[:2] != (3, 12),
                    reason="a full compile from the sdist; once per test run is enough")
def test_sdist_builds_a_working_wheel(sdist, tmp_path):
    wheel = _pip_wheel(sdist, tmp_path)
    with zipfile.ZipFile(wheel) as archive:
        assert "quorvel/__init__.pyi" in archive.namelist()
