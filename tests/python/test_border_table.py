"""The border table tool: its columns with peers present and absent, and
the counts of answers in another country, read back from its Markdown."""

import importlib.metadata
import importlib.util
import sys
import types

import pytest

from support import ROOT

_spec = importlib.util.spec_from_file_location("border_table", ROOT / "tools" / "border_table.py")
border_table = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(border_table)


@pytest.fixture(scope="module")
def page():
    # One peer that answers the same place everywhere, one that is missing.
    fake = types.ModuleType("fake_peer_for_border_table")
    fake.search = lambda positions: [("ZZ", "Nowhere")] * len(positions)
    peers = (("fake-peer", fake.__name__, lambda m, positions: m.search(positions)),
             ("missing-peer", "no_such_module_for_border_table", None))
    with pytest.MonkeyPatch.context() as patch:
        patch.setitem(sys.modules, fake.__name__, fake)
        patch.setattr(border_table, "PEERS", peers)
        patch.setattr(importlib.metadata, "version", lambda name: "0.1")
        return border_table.table()


def rows(text):
    return [[cell.strip() for cell in line.strip("|").split("|")]
            for line in text.splitlines()
            if line.startswith("| ") and not line.startswith("| continent")]


def test_one_row_per_position_with_a_column_per_installed_peer(page):
    header = next(line for line in page.splitlines() if line.startswith("| continent"))
    assert header.endswith("| nearest in the country | fake-peer 0.1 |")
    table = rows(page)
    assert len(table) == 100
    assert all(len(row) == 6 for row in table)
    assert "missing-peer is not installed: its column is missing." in page
    assert page.startswith(border_table.BEGIN) and page.rstrip().endswith(border_table.END)


def test_counts_of_other_countries_match_the_marks(page):
    table = rows(page)
    marked = [sum("**≠**" in row[k] for row in table) for k in (3, 4, 5)]
    # The border-aware answer stays in the position's country; the fake
    # peer's never does.
    assert marked[1] == 0 and marked[2] == 100
    assert 0 < marked[0] < 100
    assert (f"quorvel, nearest {marked[0]}; quorvel, nearest in the country 0; "
            "fake-peer 0.1 100.") in page
