"""No leaks on any path, and safe use of one instance from many threads."""

import gc
import os
import random
import shutil
import sys
import tempfile
import threading

import pytest

from support import SMALL_CSV
from quorvel import ReverseGeocoder as R

CALLS = 100_000
# A failed open costs a system call but runs the same binding code as the
# cases around it; fewer calls keep the suite quick.
FAILED_FILE_CALLS = 25_000


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _swallow(call):
    def run():
        try:
            call()
        except (TypeError, ValueError, RuntimeError, UnicodeEncodeError):
            pass
    return run


def _assert_no_growth(call, watched, calls):
    # A leaked Python object shows in the allocator's block count, a leaked
    # C++ allocation in the resident size, a leaked reference in refcounts.
    for _ in range(1000):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks, rss = sys.getallocatedblocks(), _rss_bytes()
    for _ in range(calls):
        call()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert sys.getallocatedblocks() - blocks < 200
    assert _rss_bytes() - rss < 2 * 1024 * 1024


LAT, LON = 11.5, 21.25  # floats that are not cached by the interpreter
BAD = "not a number"




@pytest.fixture
def scratch_dir(tmp_path):
    # Rewriting a file over and over costs milliseconds a time on ext4 (it
    # flushes a file replaced by truncation on close); memory-backed storage
    # keeps a hundred thousand saves quick.
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        path = tempfile.mkdtemp(dir="/dev/shm")
        yield path
        shutil.rmtree(path)
    else:
        yield str(tmp_path)


@pytest.mark.parametrize("make_call, calls", [
    (lambda g, p: lambda: g.get_nearest_as_string(LAT, LON), CALLS),
    (lambda g, p: lambda: g.get_nearest_as_string(lon=LON, lat=11), CALLS),
    (lambda g, p: _swallow(lambda: g.get_nearest_as_string(LAT, BAD)), CALLS),
    (lambda g, p: _swallow(lambda: g.get_nearest_as_string(LAT, LON, 3)), CALLS),
    (lambda g, p: lambda: g.get_nearest_as_dict(LAT, LON), CALLS),
    (lambda g, p: _swallow(lambda: g.get_nearest_as_dict(float("nan"), LON)), CALLS),
    (lambda g, p: _swallow(lambda: g.get_nearest_as_dict(lat=LAT)), CALLS),
    (lambda g, p: lambda: R(SMALL_CSV, ",", True), CALLS),
    (lambda g, p: _swallow(lambda: R(SMALL_CSV, value_sep=BAD)), CALLS),
    (lambda g, p: _swallow(lambda: R("lat,lon\n1,x\n")), CALLS),
    (lambda g, p: lambda: g.save(p), CALLS),
    (lambda g, p: _swallow(lambda: g.save(p + "/missing/dir")), FAILED_FILE_CALLS),
    (lambda g, p: lambda: R.load(p), CALLS),
    (lambda g, p: _swallow(lambda: R.load(p + ".missing")), FAILED_FILE_CALLS),
    (lambda g, p: _swallow(lambda: R.load(b"bytes path")), CALLS),
], ids=["str", "str-kw", "str-bad", "str-extra", "dict", "dict-nan", "dict-missing",
        "new", "new-bad-sep", "new-bad-csv", "save", "save-fail", "load", "load-fail",
        "load-bytes"])
def test_calls_do_not_leak(small, scratch_dir, make_call, calls):
    path = os.path.join(scratch_dir, "g")
    small.save(path)
    _assert_no_growth(make_call(small, path), [small, R, LAT, LON, BAD, path], calls)


def test_many_threads_share_one_instance(world):
    rng = random.Random(5)
    queries = [(rng.uniform(-90, 90), rng.uniform(-180, 180)) for _ in range(2000)]
    expected = [world.get_nearest_as_string(*q) for q in queries]
    failures = []

    def work(seed):
        order = list(range(len(queries)))
        random.Random(seed).shuffle(order)
        for i in order:
            if world.get_nearest_as_string(*queries[i]) != expected[i]:
                failures.append(i)
            if world.get_nearest_as_dict(*queries[i])["name"] != expected[i].split(",")[2].strip('"'):
                failures.append(i)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []


def test_building_leaves_the_callers_text_as_it_was(world_text):
    # CPython caches a str's UTF-8 form inside it once asked for it; for a
    # non-ASCII text that would double its memory for as long as it lives.
    text = world_text + "\n"  # a fresh object that nothing encoded yet
    size = sys.getsizeof(text)
    R(text)
    assert sys.getsizeof(text) == size
