"""Batch calls release the interpreter lock while they search, keep no thread
and no memory behind, and are safe from many threads at once."""

import array
import os
import sys
import threading
import time

import numpy as np
import pytest

from support import SMALL_CSV
from quorvel import ReverseGeocoder as R
from test_resources import _assert_no_growth, _swallow

CALLS = 100_000
LATS = array.array("d", [11.5, float("nan"), -34.25])
LONS = [21.25, 0.0, 18.5]
BAD_LONS = [21.25, "x", 18.5]


def _positions(n, seed):
    rng = np.random.default_rng(seed)
    return np.degrees(np.arcsin(rng.uniform(-1, 1, n))), rng.uniform(-180, 180, n)


@pytest.mark.parametrize("make_call", [
    lambda g: lambda: g.get_nearest_indices(LATS, LONS),
    lambda g: lambda: g.get_nearest_indices(LATS, LONS, return_distance=True, workers=2),
    lambda g: lambda: g.get_nearest_as_strings(LATS, LONS),
    lambda g: lambda: g.get_nearest_as_dicts(LATS, LONS),
    lambda g: lambda: g.get_nearest_as_columns(LATS, LONS),
    lambda g: lambda: g.get_record_as_dict(-1),
    lambda g: _swallow(lambda: g.get_nearest_as_strings(LATS, BAD_LONS)),
    lambda g: _swallow(lambda: g.get_nearest_as_dicts(LATS, LONS[:2])),
    lambda g: _swallow(lambda: g.get_nearest_indices(LATS, LONS, workers=0)),
    lambda g: _swallow(lambda: R("lat,lon\n").get_nearest_as_columns(LATS, LONS)),
    lambda g: lambda: _expect_index_error(g),
], ids=["indices", "indices-distance", "strings", "dicts", "columns", "record",
        "bad-element", "bad-length", "bad-workers", "no-records", "bad-index"])
def test_calls_do_not_leak_in_batches(small, make_call):
    _assert_no_growth(make_call(small), [small, R, LATS, LONS, BAD_LONS], CALLS)


def _expect_index_error(g):
    try:
        g.get_record_as_string(5)
    except IndexError:
        pass


def test_other_threads_run_while_a_batch_searches(world):
    # The counting thread can only record times inside the call if the call
    # lets go of the interpreter lock; a call that held it would leave a gap
    # covering its whole middle.
    lats, lons = _positions(1_000_000, 1)
    stamps = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    thread = threading.Thread(target=count)
    thread.start()
    try:
        while not stamps:
            time.sleep(0.001)
        for workers in (1, 2):
            begin = time.perf_counter()
            world.get_nearest_indices(lats, lons, workers=workers)
            end = time.perf_counter()
            quarter = (end - begin) / 4
            assert any(begin + quarter < t < end - quarter for t in stamps), workers
    finally:
        stop.set()
        thread.join()


def test_concurrent_batches_on_one_instance(world):
    lats, lons = _positions(40_000, 2)
    expected = world.get_nearest_as_strings(lats, lons)
    failures = []

    def work(workers):
        for _ in range(3):
            if world.get_nearest_as_strings(lats, lons, workers=workers) != expected:
                failures.append(workers)

    threads = [threading.Thread(target=work, args=(w,)) for w in (1, 2, 3, -1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def _thread_count():
    return len(os.listdir("/proc/self/task"))


def test_no_thread_outlives_a_call(world):
    lats, lons = _positions(200_000, 3)
    before = _thread_count()
    world.get_nearest_indices(lats, lons, workers=4)
    # Threads of other libraries may end meanwhile, but none of ours remains.
    assert _thread_count() <= before


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_after_batches(world):
    lats, lons = _positions(50_000, 4)
    expected = list(world.get_nearest_indices(lats, lons, workers=2))
    pid = os.fork()
    if pid == 0:
        ok = list(world.get_nearest_indices(lats, lons, workers=2)) == expected
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_a_large_batch_holds_one_string_per_record_hit(world):
    lats, lons = _positions(200_000, 5)
    before = sys.getallocatedblocks()
    lines = world.get_nearest_as_strings(lats, lons)
    distinct = len(set(lines))
    # One block for the list, one per distinct str, nothing per position.
    assert sys.getallocatedblocks() - before < distinct + 100
