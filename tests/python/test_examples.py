"""The example scripts run as their docstrings say (the Dask and Spark
pipelines have tests of their own; the command line replaced the CSV script)."""

import subprocess
import sys

from support import ROOT


def test_demo_names_landmarks_and_border_towns():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "Eiffel Tower                 -> Paris 16 Passy, Île-de-France, France" in done.stdout
    assert "Cardston, Alberta, Canada" in done.stdout
    by_borders = done.stdout.split("By the borders first")[1]
    assert "Windsor, Ontario, Canada" in by_borders
    assert "Cardston" not in by_borders and "United States" in by_borders
