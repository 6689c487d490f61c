"""Every Python snippet in README.md and docs/ runs as it stands.

Each snippet runs as a script of its own in a fresh interpreter, from a
directory where data/ is the repository's data/, so that the bundled places
are found as the docs name them and the files a snippet writes land in a
scratch directory.

A snippet shown as an excerpt of an example script is marked by a line
`<!-- excerpt of examples/NAME.py -->` just before it; such a snippet must
appear in that script word for word (the script has tests of its own).
"""

import os
import re
import subprocess
import sys

import pytest

from support import ROOT

DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:<!-- excerpt of (?P<excerpt>[\w/.]+) -->\n)?^```python\n(?P<code>.*?)^```$",
                   re.MULTILINE | re.DOTALL)


def _snippets():
    for doc in DOCS:
        text = doc.read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start("code")) + 1
            yield pytest.param(match["code"], match["excerpt"],
                               id=f"{doc.relative_to(ROOT)}:{line}")


SNIPPETS = list(_snippets())


def test_the_docs_have_snippets():
    # The pattern above still finds the blocks: a changed fence style would
    # otherwise turn this whole module into a silent pass.
    assert len(SNIPPETS) >= 12


@pytest.mark.parametrize("code, excerpt", SNIPPETS)
def test_snippet_runs(tmp_path, code, excerpt):
    if excerpt:
        assert code in (ROOT / excerpt).read_text(encoding="utf-8")
        return
    if os.environ.get("QUORVEL_SANITIZED") and "LocalCluster" in code:
        pytest.skip("starts uninstrumented worker processes")
    (tmp_path / "data").symlink_to(ROOT / "data")
    script = tmp_path / "snippet.py"
    script.write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
