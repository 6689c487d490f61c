"""The peer benchmark at a tiny size, so that the harness never rots.

It runs with whatever peers the test venv has (none besides numpy is needed)
and checks that the report is written and that quorvel's answers agree with
the oracle the benchmark compares them against.
"""

import importlib.util
import json
import math
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("quorvel")
pytest.importorskip("numpy")

ROOT = pathlib.Path(__file__).resolve().parents[2]
POLYGON_PEERS = all(importlib.util.find_spec(m) for m in ("shapely", "geopandas"))


@pytest.fixture(scope="module")
def smoke_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    subprocess.run(
        [sys.executable, str(ROOT / "bench" / "compare.py"), "--smoke", "--quiet",
         "--out-dir", str(out), "--json", str(out / "figures.json")],
        check=True,
        timeout=300,
    )
    return out, json.loads((out / "figures.json").read_text())


def test_report_has_every_figure_and_target(smoke_run):
    out, _ = smoke_run
    report = (out / "benchmarks.md").read_text(encoding="utf-8")
    for heading in ("## Machine", "## Targets", "## 1. Construction", "## 2. One lookup",
                    "## 3. Bulk", "## 4. save and load", "## 5. Memory",
                    "## 6. Many positions at once", "## 7. The world geocoder against its peers"):
        assert heading in report
    assert "Smoke run" in report
    # The polygon peers' section needs both of them; without, it is left out.
    assert ("## 9. Regions against shapely and geopandas" in report) == POLYGON_PEERS


def test_world_section_measures_quorvel_and_notes_absent_peers(smoke_run):
    out, figures = smoke_run
    world = figures["world"]
    first = world["first"]["quorvel ReverseGeocoder.world()"]
    assert first["answer"] == "Paris 16 Passy"
    assert 0 < first["load_held"] <= first["held"]
    assert world["batch"]["quorvel get_nearest_as_columns, workers=1"]["positions"] == (
        world["batch_positions"])
    report = (out / "benchmarks.md").read_text(encoding="utf-8")
    for peer, present in world["peers"].items():
        assert (f"{peer} is not installed" in report) != present
        # A label starts with the peer's module name; one peer's name may be
        # the start of another's (reverse_geocode, reverse_geocoder).
        assert any(label.split(".")[0] == peer for label in world["first"]) == present


def test_country_agreement_and_landmarks_reach_the_data_page(smoke_run):
    out, figures = smoke_run
    world = figures["world"]
    page = (out / "data_peers.md").read_text(encoding="utf-8")
    assert "## Against the peers" in page
    assert "| Eiffel Tower | Paris 16 Passy, Île-de-France, France" in page
    shares = world["agreement"]["pairs"].values()
    assert all(0.5 < share <= 1.0 for share in shares)


def test_timings_and_memory_are_measured(smoke_run):
    _, figures = smoke_run
    timed = [figures["construction"]["quorvel"], figures["save_load"]["save"],
             figures["save_load"]["load"], *figures["single"].values(), *figures["bulk"].values()]
    assert all(math.isfinite(t) and t > 0 for t in timed)
    assert figures["save_load"]["file_bytes"] > figures["sizes"]["text_bytes"] // 2
    assert figures["memory"]["quorvel build"]["held"] > 0


@pytest.mark.parametrize("positions", ["random", "duplicates"])
def test_answers_agree_with_the_oracle(smoke_run, positions):
    _, figures = smoke_run
    result = figures["agreement"][positions]
    assert result["wrong"] == 0
    assert result["same"] + result["ties"] == figures["sizes"][
        "queries" if positions == "random" else "dup_queries"]


@pytest.fixture(scope="module")
def regions_run(tmp_path_factory):
    pytest.importorskip("shapely")
    pytest.importorskip("geopandas")
    out = tmp_path_factory.mktemp("regions")
    (out / "benchmarks.md").write_text("# Benchmarks\n\n## 8. Before\n\ntext\n\n"
                                       "## The planner's work budget\n\nkept\n")
    command = [sys.executable, str(ROOT / "bench" / "regions_peers.py"), "--smoke", "--quiet",
               "--out-dir", str(out), "--json", str(out / "figures.json")]
    # Twice: a run on its own replaces its section and nothing else.
    for _ in range(2):
        subprocess.run(command, check=True, timeout=300)
    return (out / "benchmarks.md").read_text(encoding="utf-8"), json.loads(
        (out / "figures.json").read_text())


def test_regions_section_replaces_itself_between_the_other_sections(regions_run):
    page, _ = regions_run
    assert page.count("## 9. Regions against shapely and geopandas") == 1
    assert page.index("## 8. Before") < page.index("## 9. Regions") < page.index(
        "## The planner's work budget")
    assert page.endswith("kept\n")


def test_regions_agree_with_both_polygon_peers(regions_run):
    _, figures = regions_run
    for name, counts in figures["agreement"].items():
        assert counts["genuine"] == [], name
        assert counts["same"] + len(counts["edge"]) == counts["positions"]
    assert all(s["peers_agree"] for s in figures["speed"].values())
    # The synthetic squares cover a few percent of the sphere: some answers are regions.
    assert all(0 < s["inside"] < s["positions"] for s in figures["speed"].values())
    where = figures["where"]
    assert 0 < where["plain"] and 0 < where["where"] and where["restricted"] > 0


def test_positions_near_borders_lie_within_reach_of_an_edge():
    shapely = pytest.importorskip("shapely")
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import regions_peers
    finally:
        sys.path.pop(0)
    squares = shapely.from_geojson([json.dumps(f["geometry"]) for f in
                                    regions_peers.synthetic_collection()["features"]])
    lat, lon = regions_peers.near_borders(shapely, squares, 2_000, seed=5)
    # 2 km is under 0.02 degrees of latitude, and of longitude up to 80 degrees
    # north or south, where a degree of longitude still spans 19 km.
    reach = shapely.distance(shapely.union_all(shapely.boundary(squares)),
                             shapely.points(lon, lat))
    assert reach.max() <= 2.0 / 19.0
    assert (reach > 0.005).any()
    chosen = regions_peers.first_in_order(4, [0, 0, 2, 2, 2], [7, 3, 5, 9, 1])
    assert chosen.tolist() == [3, regions_peers.NO_REGION, 1, regions_peers.NO_REGION]
