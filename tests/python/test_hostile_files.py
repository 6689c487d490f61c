"""Damaged and crafted saved files: each one loads or raises RuntimeError,
from a file (load) and from memory (loads) alike.

Loads that could crash run in a child process, so that a crash fails the
test instead of ending the test run. Files are built from a real saved
geocoder, decoded into Python values by the small MessagePack codec below,
altered, and encoded again.
"""

import gc
import math
import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap

import pytest

from quorvel import ReverseGeocoder as R

SANITIZED = bool(os.environ.get("QUORVEL_SANITIZED"))

# 40 records: two leaves and two stem slots, so the tree has a real split.
_rng = random.Random(11)
TEXT = "lat,lon,name,note\n" + "".join(
    f"{_rng.uniform(-60, 60):.4f},{_rng.uniform(-170, 170):.4f},p{i},\"é, {i}\"\n"
    for i in range(40))
QUERIES = [(0, 0), (45, 90), (-45, -90), (89.9, 179.9), (10, 20)]


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    path = tmp_path_factory.mktemp("hostile") / "valid"
    R(TEXT).save(path)
    return path.read_bytes()


# ---- A small MessagePack codec for the kinds the saved file uses ----

class Map(list):
    """A map as an ordered list of (key, value) pairs; repeats allowed."""


class RawText(bytes):
    """Bytes written under a text-string marker, UTF-8 or not."""


def decode(data):
    def value(i):
        b = data[i]
        if b <= 0x7f:
            return b, i + 1
        if b >= 0xe0:
            return b - 0x100, i + 1
        if 0x90 <= b <= 0x9f:
            return array(b & 0x0f, i + 1)
        if 0xa0 <= b <= 0xbf:
            n = b & 0x1f
            return data[i + 1:i + 1 + n].decode(), i + 1 + n
        if b == 0xcb:
            return struct.unpack(">d", data[i + 1:i + 9])[0], i + 9
        widths = {0xcc: ">B", 0xcd: ">H", 0xce: ">I", 0xcf: ">Q",
                  0xd0: ">b", 0xd1: ">h", 0xd2: ">i", 0xd3: ">q"}
        if b in widths:
            size = struct.calcsize(widths[b])
            return struct.unpack(widths[b], data[i + 1:i + 1 + size])[0], i + 1 + size
        if b in (0xd9, 0xda, 0xdb):
            size = {0xd9: 1, 0xda: 2, 0xdb: 4}[b]
            n = int.from_bytes(data[i + 1:i + 1 + size], "big")
            start = i + 1 + size
            return data[start:start + n].decode(), start + n
        if b in (0xdc, 0xdd):
            size = 2 if b == 0xdc else 4
            return array(int.from_bytes(data[i + 1:i + 1 + size], "big"), i + 1 + size)
        raise ValueError(f"marker {b:#x} is not used by saved files")

    def array(n, i):
        out = []
        for _ in range(n):
            v, i = value(i)
            out.append(v)
        return out, i

    v, end = value(0)
    assert end == len(data)
    return v


def encode(v):
    if isinstance(v, bool):
        raise TypeError("booleans are never written")
    if isinstance(v, int):
        if 0 <= v < 128:
            return bytes([v])
        if -32 <= v < 0:
            return bytes([v + 256])
        if v >= 0:
            return b"\xcf" + struct.pack(">Q", v)
        return b"\xd3" + struct.pack(">q", v)
    if isinstance(v, float):
        return b"\xcb" + struct.pack(">d", v)
    if isinstance(v, RawText):
        return b"\xdb" + struct.pack(">I", len(v)) + v
    if isinstance(v, (str, bytes)):
        raw = v.encode("utf-8", "surrogatepass") if isinstance(v, str) else v
        marker = b"\xdb" if isinstance(v, str) else b"\xc6"
        return marker + struct.pack(">I", len(raw)) + raw
    if isinstance(v, Map):
        return b"\xdf" + struct.pack(">I", len(v)) + b"".join(
            encode(k) + encode(x) for k, x in v)
    if isinstance(v, list):
        return b"\xdd" + struct.pack(">I", len(v)) + b"".join(encode(x) for x in v)
    raise TypeError(type(v))


GEOCODER_FIELDS = ["csv", "value_sep", "columns", "indexed_data", "tree"]
TREE_FIELDS = ["leaves", "stems", "size"]
LEAF_FIELDS = ["content_points", "content_items", "size"]
SLICE_FIELDS = ["offset", "len"]


def as_map(record, names, order=None):
    pairs = list(zip(names, record))
    if order is not None:
        pairs = [pairs[i] for i in order]
    return Map(pairs)


# ---- Loading in a child process ----

_CHILD = textwrap.dedent("""
    import os, pickle, resource, sys
    from quorvel import ReverseGeocoder as R
    variants, scratch, queries = pickle.load(sys.stdin.buffer)
    outcomes = []
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for data in variants:
        with open(scratch, "wb") as f:
            f.write(data)
        # The same bytes from memory must fare exactly as from the file.
        try:
            R.loads(data)
            from_memory = None
        except RuntimeError as e:
            from_memory = str(e)
        try:
            g = R.load(scratch)
        except RuntimeError as e:
            if from_memory != str(e):
                sys.exit(f"loads said {from_memory!r}, load said {str(e)!r}")
            outcomes.append(("error", str(e)))
            continue
        if from_memory is not None:
            sys.exit(f"loads said {from_memory!r}, load succeeded")
        answers = []
        for lat, lon in queries:
            for call in (g.get_nearest_as_string, g.get_nearest_as_dict):
                try:
                    answers.append(call(lat, lon))
                except (RuntimeError, ValueError) as e:
                    answers.append(type(e).__name__ + ": " + str(e))
        g.save(scratch)
        outcomes.append(("loaded", answers))
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
    sys.stdout.buffer.write(pickle.dumps((outcomes, grown * 1024)))
""")


def load_all(variants, tmp_path, queries=QUERIES):
    """Loads each byte string in a child; returns the outcomes and RSS growth."""
    done = subprocess.run(
        [sys.executable, "-c", _CHILD],
        input=pickle.dumps((variants, str(tmp_path / "scratch"), queries)),
        capture_output=True, timeout=600)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    return pickle.loads(done.stdout)


def only_errors(outcomes):
    bad = [o for o in outcomes if o[0] != "error"]
    assert not bad, bad[:3]
    return [message for _, message in outcomes]


# ---- Damage ----

def test_every_truncation_is_refused(saved, tmp_path):
    outcomes, _ = load_all([saved[:n] for n in range(len(saved))], tmp_path)
    messages = only_errors(outcomes)
    assert messages[0] == ("IO error while reading marker: failed to fill whole buffer"
                           "\n\nCaused by:\n    failed to fill whole buffer")
    assert all(m.startswith(("IO error while reading marker: ",
                             "IO error while reading data: ")) for m in messages)


def test_random_byte_flips_load_or_raise(saved, tmp_path):
    rng = random.Random(2024)
    variants = []
    for _ in range(3000):
        data = bytearray(saved)
        for _ in range(rng.choice((1, 1, 2, 4))):
            i = rng.randrange(len(data))
            data[i] = rng.randrange(256) if rng.random() < 0.7 else data[i] ^ (1 << rng.randrange(8))
        variants.append(bytes(data))
    outcomes, _ = load_all(variants, tmp_path)
    kinds = {kind for kind, _ in outcomes}
    # Most flips land in a float and still give a loadable tree.
    assert kinds == {"loaded", "error"}


def test_trailing_bytes_are_ignored(saved, tmp_path):
    (outcome,), _ = load_all([saved + b"\xc1garbage" * 100], tmp_path)
    (reference,), _ = load_all([saved], tmp_path)
    assert outcome == reference and outcome[0] == "loaded"


HUGE = [
    # A 4 GiB text declared, a few bytes present.
    (b"\x95\xdb\xff\xff\xff\xffabc", "IO error while reading data: unexpected end of file"),
    (b"\x95\xc6\xff\xff\xff\xffabc", "IO error while reading data: unexpected end of file"),
    # 4 billion columns, slices, leaves, stems, map pairs.
    (b"\x95\xa0\xa1,\xdd\xff\xff\xff\xff\xa1a", "IO error while reading marker: "),
    (b"\x95\xa0\xa1,\x90\xdd\xff\xff\xff\xff\x92\x00\x00", "IO error while reading marker: "),
    (b"\x95\xa0\xa1,\x90\x90\x93\xdd\xff\xff\xff\xff", "IO error while reading marker: "),
    (b"\x95\xa0\xa1,\x90\x90\x93\x90\xdd\xff\xff\xff\xff\xcb", "IO error while reading data: "),
    (b"\xdf\xff\xff\xff\xff\xa1x\x00", "IO error while reading marker: "),
    # A leaf's points declared as 4 billion values.
    (b"\x95\xa0\xa1,\x90\x90\x93\x91\x93\xdd\xff\xff\xff\xff\x00",
     "IO error while reading marker: "),
]


def test_huge_declared_sizes_allocate_nothing_up_front(tmp_path):
    outcomes, grown = load_all([data for data, _ in HUGE] * 20, tmp_path)
    messages = only_errors(outcomes)
    for message, (_, start) in zip(messages, HUGE):
        assert message.startswith(start), message
    if not SANITIZED:  # ASan's shadow memory and quarantine inflate RSS
        assert grown < 32 * 1024 * 1024


def nested(depth):
    # The geocoder as a map whose one (unknown) key holds `depth` arrays.
    return b"\x81\xa1x" + b"\x91" * (depth - 1) + b"\x90"


def test_nesting_beyond_the_depth_limit_is_refused(tmp_path):
    outcomes, _ = load_all([nested(1022), nested(1023), nested(200_000),
                            b"\x91" * 200_000 + b"\x90"], tmp_path)
    assert only_errors(outcomes) == [
        "missing field `csv`", "depth limit exceeded", "depth limit exceeded",
        # Where a string is due, nested arrays fail at the first one.
        "invalid type: sequence, expected a string"]


# ---- Map forms ----

def map_form(doc, order=None):
    csv, sep, columns, slices, (leaves, stems, size) = doc
    return as_map([
        csv, sep, columns,
        [as_map(s, SLICE_FIELDS) for s in slices],
        as_map([[as_map(leaf, LEAF_FIELDS, [2, 0, 1]) for leaf in leaves], stems, size],
               TREE_FIELDS, [1, 2, 0]),
    ], GEOCODER_FIELDS, order)


def test_map_forms(saved, tmp_path):
    doc = decode(saved)
    full = map_form(doc, [4, 2, 0, 3, 1])
    unknown = Map([("extra", [[1, 2], Map([("k", "v")])]), (b"bytes-key", 7),
                   (9, "position beyond the fields")] + list(map_form(doc)))
    by_position = Map([(i, v) for i, (_, v) in enumerate(map_form(doc))])
    repeated = Map(list(map_form(doc)) + [("value_sep", ",")])
    missing = Map(list(map_form(doc))[:4])
    signed_key = Map([(-1, 0)] + list(map_form(doc)))
    outcomes, _ = load_all([saved, encode(full), encode(unknown), encode(by_position),
                            encode(repeated), encode(missing), encode(signed_key)],
                           tmp_path)
    reference = outcomes[0]
    assert reference[0] == "loaded"
    assert outcomes[1:4] == [reference] * 3
    assert outcomes[4:] == [
        ("error", "duplicate field `value_sep`"),
        ("error", "missing field `tree`"),
        ("error", "invalid type: integer `-1`, expected field identifier")]


def test_unknown_keys_values_are_decoded_before_being_dropped(saved, tmp_path):
    doc = decode(saved)

    def with_unknown(value):
        return encode(Map([("zz", value)] + list(map_form(doc))))

    bad_text = ("string found to be invalid utf8: invalid utf-8 sequence of 1 bytes "
                "from index 0\n\nCaused by:\n    invalid utf-8 sequence of 1 bytes "
                "from index 0")
    as_column = list(doc)
    as_column[2] = [RawText(b"\xff")]
    outcomes, _ = load_all([
        with_unknown(RawText(b"\xff")),
        with_unknown([1, Map([("k", RawText(b"\xff"))])]),
        encode(as_column),
        with_unknown(b"\xff\xfe"),
        with_unknown(RawText("é".encode())),
    ], tmp_path)
    assert outcomes[:3] == [("error", bad_text)] * 3
    assert [kind for kind, _ in outcomes[3:]] == ["loaded", "loaded"]


def test_map_form_saves_back_as_the_array_form(saved, tmp_path):
    path = tmp_path / "map"
    path.write_bytes(encode(map_form(decode(saved), [3, 1, 4, 0, 2])))
    R.load(path).save(path.with_suffix(".again"))
    assert path.with_suffix(".again").read_bytes() == saved


# ---- Files that decode but break the geocoder's invariants ----

def broken_variants(doc):
    """(name, mutation) pairs; each mutation edits a decoded copy in place."""
    def leaf0(d):
        return d[4][0][0]

    def first_filled_item(d):
        return leaf0(d)[1][0]

    return [
        ("slice past the text", lambda d: d[3][0].__setitem__(1, len(d[0].encode()) + 1)),
        ("slice at a huge offset", lambda d: d[3][0].__setitem__(0, 2**62)),
        ("negative offset", lambda d: d[3][0].__setitem__(0, -5)),
        ("slice cutting a character",
         lambda d: d[3][0].__setitem__(0, len(d[0][:d[0].index("é")].encode()) + 1)),
        ("item without a record", lambda d: leaf0(d)[1].__setitem__(0, 40)),
        ("item at the u32 limit", lambda d: leaf0(d)[1].__setitem__(0, 2**32 - 1)),
        ("leaf size above 32", lambda d: leaf0(d).__setitem__(2, 33)),
        ("leaf sizes not adding up", lambda d: d[4].__setitem__(2, 41)),
        ("NaN in a filled slot", lambda d: leaf0(d)[0].__setitem__(0, math.nan)),
        ("stem count not a power of two", lambda d: d[4][1].extend([math.inf])),
        ("more leaves than stem slots",
         lambda d: d[4][0].append([[0.0] * 96, [0] * 32, 0])),
        ("reachable leaf missing",
         lambda d: d[4].__setitem__(1, [math.inf, 0.0, math.inf, math.inf])),
        ("no stems", lambda d: d[4].__setitem__(1, [])),
        ("leaves dropped", lambda d: (d[4][0].clear(), None)),
        ("slices dropped", lambda d: d[3].clear()),
        ("duplicate item", lambda d: leaf0(d)[1].__setitem__(1, first_filled_item(d))),
    ]


def test_broken_invariants_are_refused_by_load(saved, tmp_path):
    doc = decode(saved)
    variants, names = [], []
    for name, mutate in broken_variants(doc):
        copy = pickle.loads(pickle.dumps(doc))
        mutate(copy)
        variants.append(encode(copy))
        names.append(name)
    outcomes, _ = load_all(variants, tmp_path)
    for name, (kind, detail) in zip(names, outcomes):
        if name == "duplicate item":
            # Two slots naming one record mislead no lookup: it loads.
            assert kind == "loaded", detail
        else:
            assert kind == "error", name
            assert detail.startswith("invalid saved geocoder: "), (name, detail)


def test_separator_and_columns_that_lookups_refuse(saved, tmp_path):
    doc = decode(saved)
    wide_sep = pickle.loads(pickle.dumps(doc))
    wide_sep[1] = "é"
    narrow = pickle.loads(pickle.dumps(doc))
    narrow[2] = ["lat"]
    two_char = pickle.loads(pickle.dumps(doc))
    two_char[1] = "ab"
    outcomes, _ = load_all([encode(wide_sep), encode(narrow), encode(two_char)],
                           tmp_path, queries=[(10, 20)])
    (kind, (line, as_dict)), (kind2, (_, narrow_dict)), last = outcomes
    assert kind == "loaded" and "," in line
    assert as_dict == "RuntimeError: Value separator must by an ASII character (got 233)"
    assert kind2 == "loaded" and narrow_dict.startswith("RuntimeError: ")
    assert last == ("error", 'invalid value: string "ab", expected a character')


# ---- No leaks on the failure paths of load ----

@pytest.mark.skipif(SANITIZED, reason="resident size means nothing under ASan")
def test_failing_loads_do_not_leak(saved, tmp_path):
    doc = decode(saved)
    broken = pickle.loads(pickle.dumps(doc))
    broken[3][0][1] = len(doc[0].encode()) + 1
    files = []
    for i, data in enumerate([saved[:500], saved[:40] + b"\xc3\x28" + saved[42:],
                              nested(2000), encode(broken),
                              encode(Map(list(map_form(doc)) + [("csv", "")]))]):
        path = tmp_path / f"bad{i}"
        path.write_bytes(data)
        files.append(str(path))

    def load_all_once():
        for path in files:
            try:
                R.load(path)
            except RuntimeError:
                pass
            else:
                raise AssertionError(path)

    for _ in range(200):
        load_all_once()
    gc.collect()
    blocks = sys.getallocatedblocks()
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1])
    for _ in range(4000):  # 20,000 failing loads
        load_all_once()
    gc.collect()
    with open("/proc/self/statm") as f:
        grown_pages = int(f.read().split()[1]) - rss
    assert sys.getallocatedblocks() - blocks < 200
    assert grown_pages * os.sysconf("SC_PAGE_SIZE") < 2 * 1024 * 1024
