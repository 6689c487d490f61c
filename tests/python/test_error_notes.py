"""Notes on exceptions: where a construction, save or load failure lies.

The messages themselves are fixed; everything that locates the fault is in
``__notes__``, which tracebacks show under the message.
"""

import io
import traceback

import pytest

from support import SMALL_CSV
from test_hostile_files import decode, encode
from quorvel import ReverseGeocoder as R

NOT_SAVED = "the data is not a saved geocoder, or it is damaged"


def build_failure(text, **kwargs):
    with pytest.raises(RuntimeError) as info:
        R(text, **kwargs)
    from_file = pytest.raises(RuntimeError)
    with from_file as again:
        R.read_csv(io.StringIO(text), **kwargs)
    # Both ways in fail alike, notes included.
    assert (str(again.value), again.value.__notes__) == (str(info.value), info.value.__notes__)
    return info.value


class TestConstruction:
    @pytest.mark.parametrize("drop", [False, True])
    @pytest.mark.parametrize("text, message, notes", [
        ("lat,lon,name\n1,2,a\n3,x4,b\n", "invalid float literal",
         ["line 2: '3,x4,b'", "lon field: 'x4'"]),
        ("lat,lon\n,5\n", "cannot parse float from empty string",
         ["line 1: ',5'", "lat field: ''"]),
        ("lat,lon\n1,2\n-inf,5\n", "line 2: latitude is not a finite number",
         ["line 2: '-inf,5'", "lat field: '-inf'"]),
        ("lat,lon,name\n1,2,a\n1,2\n",
         ("column mismatch: header (line 0) has 3 values, line 2 has 2 values",
          # Rewriting the records finds the change of width first.
          "CSV error: found record with 0 fields, but the previous record has 1 fields"),
         ["line 2: '1,2'"]),
        ("lat,lon\n1,2\n\n3,4\n", "Internal error - failed to parse CSV line", ["line 2: ''"]),
        ("lat\n1\n", "line 1 has no longitude field", ["line 1: '1'"]),
    ])
    def test_a_failing_line_is_named_and_shown(self, text, message, notes, drop):
        error = build_failure(text, drop_coordinates=drop)
        assert str(error) == (message[drop] if isinstance(message, tuple) else message)
        assert error.__notes__ == notes

    def test_line_numbers_count_the_header_as_line_zero_in_a_large_text(self, world_text):
        lines = world_text.splitlines(keepends=True)
        at = len(lines) // 2
        broken = "".join(lines[:at]) + "12.5,east,Nowhere,00,XX\n" + "".join(lines[at:])
        error = build_failure(broken)
        assert str(error) == "invalid float literal"
        assert error.__notes__ == [f"line {at}: '12.5,east,Nowhere,00,XX'", "lon field: 'east'"]

    def test_long_lines_are_cut_to_eighty_characters(self):
        name = "é" * 100
        error = build_failure(f"lat,lon,name\nx,2,{name}\n")
        assert error.__notes__ == [
            "line 1 (cut to 80 characters): 'x,2," + "é" * 76 + "'", "lat field: 'x'"]

    def test_control_characters_stay_on_the_notes_line(self):
        error = build_failure("lat,lon\n1,2\n3\x0b,4\n")
        assert error.__notes__ == ["line 2: '3\\x0b,4'", "lat field: '3\\x0b'"]

    def test_failures_outside_any_line_have_no_notes(self):
        for text, kwargs in [("", {}), ("lat,lon\n", {"value_sep": "é"})]:
            with pytest.raises(RuntimeError) as info:
                R(text, **kwargs)
            assert not hasattr(info.value, "__notes__")

    def test_the_traceback_shows_the_notes_under_the_message(self):
        try:
            R("lat,lon\n1,2\n3,x\n")
        except RuntimeError as error:
            shown = "".join(traceback.format_exception(error))
        assert shown.endswith("RuntimeError: invalid float literal\nline 2: '3,x'\nlon field: 'x'\n")


class TestSaveAndLoad:
    def test_a_failed_save_names_the_path(self, tmp_path):
        target = tmp_path / "missing" / "g.qv"
        with pytest.raises(RuntimeError) as info:
            R(SMALL_CSV).save(target)
        assert str(info.value) == "No such file or directory (os error 2)"
        assert info.value.__notes__ == [f"while saving to {str(target)!r}"]

    def test_a_file_that_cannot_be_read_names_only_the_path(self, tmp_path):
        for path in (tmp_path / "missing.qv", tmp_path):
            with pytest.raises(RuntimeError) as info:
                R.load(path)
            assert info.value.__notes__ == [f"while loading {str(path)!r}"]

    @pytest.mark.parametrize("data", [
        b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR",
        b"lat,lon\n1,2\n",
        b"",
        "truncated",
        "inconsistent",
    ])
    def test_bytes_that_are_no_saved_geocoder_say_so(self, tmp_path, data):
        saved = R(SMALL_CSV).dumps()
        if data == "truncated":
            data = saved[: len(saved) // 2]
        elif data == "inconsistent":
            # Decodes, but a slice points past the text.
            doc = decode(saved)
            doc[3][0][1] = len(doc[0].encode()) + 1
            data = encode(doc)
        with pytest.raises(RuntimeError) as info:
            R.loads(data)
        assert info.value.__notes__ == [NOT_SAVED]
        path = tmp_path / "not_saved.bin"
        path.write_bytes(data)
        with pytest.raises(RuntimeError) as info:
            R.load(path)
        assert info.value.__notes__ == [NOT_SAVED, f"while loading {str(path)!r}"]

    def test_messages_are_unchanged_by_the_notes(self, tmp_path):
        path = tmp_path / "hostile.bin"
        path.write_bytes(b"\x00")
        with pytest.raises(RuntimeError) as info:
            R.load(path)
        with pytest.raises(RuntimeError) as from_bytes:
            R.loads(b"\x00")
        assert str(info.value) == str(from_bytes.value)
        assert "saved geocoder" not in str(info.value)
