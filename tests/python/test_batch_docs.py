"""The user guide's recipes for many positions at once run as written, and
give the answers their comments show."""

import re

import pytest

from support import ROOT

GUIDE = ROOT / "docs" / "user_guide.md"


def _section_blocks():
    text = GUIDE.read_text(encoding="utf-8")
    start = text.index("## Many positions at once")
    end = text.index("\n## ", start + 1)
    return re.findall(r"```python\n(.*?)```", text[start:end], re.S)


BLOCKS = _section_blocks()


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_guide_block_runs(code):
    for module in ("polars", "geopandas", "duckdb", "pyarrow"):
        if f"import {module}" in code:
            pytest.importorskip(module)
    namespace = {}
    if "geocoder = ReverseGeocoder" not in code:
        exec(compile(BLOCKS[0], "first block", "exec"), namespace)
    exec(compile(code, "block", "exec"), namespace)
    # Every "expression  # result" line shows what the expression gives.
    for line in code.splitlines():
        shown = re.match(r"^(\S.*?)\s+# ((?:\[|\{|'|array).*)$", line)
        if shown and "=" not in shown.group(1).split("(")[0]:
            assert repr(eval(shown.group(1), namespace)) == shown.group(2), line
    if "pl.DataFrame" in code and "place_name" in code:
        assert namespace["df"]["place_name"].to_list() == ["Paris", "Sydney"]
    if "gpd." in code:
        assert namespace["gdf"]["name"].tolist() == ["Paris", "Sydney"]
    if "df.join" in code and "name" in getattr(namespace.get("df"), "columns", ()):
        # The position without a latitude has no place.
        names = namespace["df"]["name"].tolist()
        assert names[:2] == ["Paris", "Sydney"] and names[2] != names[2]


def test_guide_shows_the_batch_results():
    first = BLOCKS[0]
    assert "# ['48.8566,2.3522,Paris,FR', '-33.8688,151.2093,Sydney,AU'" in first
