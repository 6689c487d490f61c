"""Shipping a geocoder between processes: dumps(), loads() and pickling."""

import concurrent.futures
import copy
import gc
import mmap
import multiprocessing
import operator
import os
import pickle
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvel
from support import SMALL_CSV
from quorvel import ReverseGeocoder as R

_rng = random.Random(5)
QUERIES = [(_rng.uniform(-90, 90), _rng.uniform(-180, 180)) for _ in range(300)]

TEXTS = [
    (SMALL_CSV, ",", False),
    ('lat,lon,name,pop\n1,2,"x, y",5\n3,4,plain,6\n', ",", True),
    ("lat;lon;name\n1;2;é\n-5;7;ü\n", ";", False),
    ("lat,lon,name\n", ",", False),  # no records
]


def answers(geocoder, queries=QUERIES):
    out = []
    for lat, lon in queries:
        try:
            out.append((geocoder.get_nearest_as_string(lat, lon),
                        geocoder.get_nearest_as_dict(lat, lon)))
        except RuntimeError as error:
            out.append(str(error))
    return out


@pytest.mark.parametrize("text, sep, drop", TEXTS)
def test_dumps_is_what_save_writes(tmp_path, text, sep, drop):
    geocoder = R(text, sep, drop)
    geocoder.save(tmp_path / "g")
    data = geocoder.dumps()
    assert type(data) is bytes and data == (tmp_path / "g").read_bytes()
    again = R.loads(data)
    assert again.dumps() == data and answers(again) == answers(geocoder)


def test_world_round_trips(world, tmp_path):
    data = world.dumps()
    world.save(tmp_path / "w")
    assert data == (tmp_path / "w").read_bytes()
    assert answers(R.loads(data)) == answers(world)
    assert answers(pickle.loads(pickle.dumps(world))) == answers(world)


def _numpy_strided(data):
    spread = np.zeros(2 * len(data), np.uint8)
    spread[::2] = np.frombuffer(data, np.uint8)
    view = spread[::2]
    assert not view.flags["C_CONTIGUOUS"]
    return view


@pytest.mark.parametrize("wrap", [
    bytes, bytearray, memoryview,
    lambda d: memoryview(bytearray(d)).toreadonly(),
    lambda d: np.frombuffer(d, np.uint8),
    lambda d: np.frombuffer(d + b"\0" * (-len(d) % 8), np.float64),  # any item type
    _numpy_strided,
    lambda d: memoryview(b"xx" + d)[2:],
])
def test_loads_takes_any_bytes_like_object(small, wrap):
    data = small.dumps()
    assert R.loads(wrap(data)).dumps() == data


def test_loads_takes_a_memory_map(small, tmp_path):
    small.save(tmp_path / "g")
    with open(tmp_path / "g", "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert R.loads(m).get_nearest_as_string(11, 21) == "10,20,a"


def test_loads_by_keyword_through_an_instance_and_the_module(small):
    data = small.dumps()
    for load in (R.loads, small.loads, quorvel._loads):
        loaded = load(data=data)
        assert type(loaded) is R and loaded is not small
        assert loaded.get_nearest_as_string(-34, 18) == "-33.9,18.4,b"


def test_the_buffer_is_released_on_every_path(small):
    # A bytearray refuses to resize while its buffer is exported.
    for data in (bytearray(small.dumps()), bytearray(b"\x95\xa1")):
        try:
            R.loads(data)
        except RuntimeError:
            pass
        data.extend(b"more")
        del data[:]


def test_surface():
    names = [n for n in vars(R) if not n.startswith("__") or n == "__reduce__"]
    # The methods keep their order; later ones come after them.
    first = ["get_nearest_as_string", "get_nearest_as_dict", "save", "load",
             "dumps", "loads", "__reduce__", "get_nearest_indices",
             "get_nearest_as_strings", "get_nearest_as_dicts", "get_nearest_as_columns",
             "get_record_as_string", "get_record_as_dict", "read_csv"]
    assert names[:len(first)] == first
    assert "world" in names and names[-1] == "columns"
    assert R.dumps.__text_signature__ == "($self)"
    assert R.loads.__text_signature__ == "(data)"
    assert quorvel.__all__[0] == "ReverseGeocoder"


@pytest.mark.parametrize("call, kind, message", [
    (lambda g: g.dumps(1), TypeError, "ReverseGeocoder.dumps() takes 0 positional arguments but 1 was given"),
    (lambda g: g.dumps(path="x"), TypeError, "ReverseGeocoder.dumps() got an unexpected keyword argument 'path'"),
    (lambda g: R.loads(), TypeError, "ReverseGeocoder.loads() missing 1 required positional argument: 'data'"),
    (lambda g: R.loads(b"", b""), TypeError, "ReverseGeocoder.loads() takes 1 positional arguments but 2 were given"),
    (lambda g: R.loads(b"", data=b""), TypeError, "ReverseGeocoder.loads() got multiple values for argument 'data'"),
    (lambda g: R.loads("text"), TypeError, "argument 'data': a bytes-like object is required, not 'str'"),
    (lambda g: R.loads(None), TypeError, "argument 'data': a bytes-like object is required, not 'NoneType'"),
    (lambda g: quorvel._loads([1, 2]), TypeError, "argument 'data': a bytes-like object is required, not 'list'"),
    (lambda g: g.__reduce__(2), TypeError, "ReverseGeocoder.__reduce__() takes 0 positional arguments but 1 was given"),
    (lambda g: R.loads(b""), RuntimeError,
     "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n    failed to fill whole buffer"),
    (lambda g: R.loads(b"\xa1x"), RuntimeError, 'invalid type: string "x", expected struct ReverseGeocoder'),
])
def test_errors(small, call, kind, message):
    with pytest.raises(BaseException) as info:
        call(small)
    assert type(info.value) is kind and str(info.value) == message


def _outcome(call):
    try:
        return "loaded", call().dumps()
    except RuntimeError as error:
        return "RuntimeError", str(error)


def test_hostile_bytes_fail_as_hostile_files_do(small, tmp_path):
    data = R("lat,lon,name\n" + "".join(f"{i % 80},{i * 7 % 360 - 180},p{i}\n" for i in range(70))).dumps()
    rng = random.Random(3)
    variants = [data[:cut] for cut in rng.sample(range(len(data)), 60)]
    for _ in range(150):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        variants.append(bytes(damaged))
    path = tmp_path / "damaged"
    kinds = set()
    for variant in variants:
        path.write_bytes(variant)
        from_file = _outcome(lambda: R.load(path))
        assert _outcome(lambda: R.loads(variant)) == from_file
        kinds.add(from_file[0])
    assert kinds == {"loaded", "RuntimeError"}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_with_every_protocol(protocol):
    for text, sep, drop in TEXTS:
        geocoder = R(text, sep, drop)
        restored = pickle.loads(pickle.dumps(geocoder, protocol=protocol))
        assert type(restored) is R
        assert restored.dumps() == geocoder.dumps() and answers(restored) == answers(geocoder)


def test_copies_are_independent_equals(small):
    for duplicate in (copy.copy(small), copy.deepcopy(small), copy.deepcopy([small, small])[1]):
        assert duplicate is not small and duplicate.dumps() == small.dumps()


def test_pickle_loads_in_a_fresh_interpreter(small):
    # The pickle names quorvel._loads, so the receiving process needs nothing
    # imported beforehand.
    code = textwrap.dedent("""
        import pickle, sys
        geocoder = pickle.loads(sys.stdin.buffer.read())
        print(type(geocoder).__name__, geocoder.get_nearest_as_string(-34, 18))
    """)
    for protocol in (2, pickle.DEFAULT_PROTOCOL):
        done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(small, protocol),
                              capture_output=True, check=True)
        assert done.stdout.decode().split() == ["ReverseGeocoder", "-33.9,18.4,b"]


def geocode_chunk(geocoder, chunk):
    return [geocoder.get_nearest_as_string(lat, lon) for lat, lon in chunk]


def test_process_pool_gives_identical_answers(world):
    # spawn: every worker is a fresh interpreter that gets the geocoder only
    # through pickling, with each task.
    queries = QUERIES[:200]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        chunks = [queries[:100], queries[100:]]
        remote = [line for chunk in pool.map(geocode_chunk, [world, world], chunks)
                  for line in chunk]
        as_dict = pool.submit(operator.methodcaller("get_nearest_as_dict", -34, 18), world)
        assert as_dict.result() == world.get_nearest_as_dict(-34, 18)
    assert remote == geocode_chunk(world, queries)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("make_call", [
    lambda g, d: lambda: g.dumps(),
    lambda g, d: lambda: R.loads(d),
    lambda g, d: lambda: R.loads(memoryview(d)[:-1]),          # fails: truncated
    lambda g, d: lambda: pickle.loads(pickle.dumps(g)),
    lambda g, d: lambda: R.loads(d[:1] + b"\x01" + d[2:]),     # fails: wrong type
])
def test_calls_do_not_leak(small, make_call):
    data = small.dumps()
    call = make_call(small, data)

    def run():
        try:
            call()
        except RuntimeError:
            pass

    for _ in range(1000):
        run()
    gc.collect()
    refs = sys.getrefcount(small), sys.getrefcount(data)
    blocks, rss = sys.getallocatedblocks(), _rss_bytes()
    for _ in range(20_000):
        run()
    gc.collect()
    assert (sys.getrefcount(small), sys.getrefcount(data)) == refs
    assert sys.getallocatedblocks() - blocks < 200
    assert _rss_bytes() - rss < 2 * 1024 * 1024
