"""The engine's folders keep their layering: no include runs upward, and only
the binding sees Python.h (tools/check-layers.py, also run by CI)."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "check-layers.py"


def run_check(src):
    return subprocess.run([sys.executable, str(SCRIPT), str(src)],
                          capture_output=True, text=True, check=False)


def test_the_sources_keep_their_layers():
    result = run_check(ROOT / "src")
    assert result.returncode == 0, result.stdout + result.stderr


def write_tree(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return tmp_path


@pytest.mark.parametrize("name, text, reason", [
    ("kdtree/tree.h", '#include "geocoder/geocoder.h"\n',
     "kdtree may not include geocoder"),
    ("csv/csv.cpp", '#include "kdtree/kdtree.h"\n', "csv may not include kdtree"),
    ("geocoder/geocoder.cpp", '#include "persist/saved_file.h"\n',
     "geocoder may not include persist"),
    ("persist/saved_file.cpp", '  #  include "python/class.h"\n',
     "persist may not include python"),
    ("base/error.h", '#include "csv/csv.h"\n', "base may not include csv"),
    ("persist/byte_source.cpp", "#include <Python.h>\n",
     "only src/python may include <Python.h>"),
    ("geocoder/geocoder.h", '#include "Python.h"\n',
     "only src/python may include <Python.h>"),
    ("geocoder/geocoder.h", '#include "helpers.h"\n', "names no layer folder"),
    ("stray.cpp", '#include "base/error.h"\n', "belongs to no layer"),
])
def test_an_include_against_the_layers_fails(tmp_path, name, text, reason):
    result = run_check(write_tree(tmp_path, {name: text}))
    assert result.returncode == 1
    assert f"src/{name}:1: " in result.stdout
    assert reason in result.stdout


def test_includes_down_or_within_a_layer_pass(tmp_path):
    result = run_check(write_tree(tmp_path, {
        "python/module.cpp": '#include <Python.h>\n#include "persist/saved_file.h"\n',
        "persist/saved_file.cpp": '#include "geocoder/geocoder.h"\n#include "regions/index.h"\n',
        "geocoder/geocoder.cpp": '#include "kdtree/kdtree.h"\n#include "csv/csv.h"\n',
        "kdtree/kdtree.cpp": '#include "kdtree/routing.h"\n#include "base/error.h"\n#include <vector>\n',
    }))
    assert result.returncode == 0, result.stdout
