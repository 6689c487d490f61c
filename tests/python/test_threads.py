"""One instance shared by lookup threads while other threads build, save and
load geocoders of their own: every answer equals the single-threaded one."""

import os
import random
import sys
import threading

import pytest

from quorvel import ReverseGeocoder as R

_rng = random.Random(17)
QUERIES = [(_rng.uniform(-90, 90), _rng.uniform(-180, 180)) for _ in range(300)]


def own_text(seed):
    rng = random.Random(seed)
    return "lat,lon,name,pop\n" + "".join(
        f"{rng.uniform(-80, 80):.5f},{rng.uniform(-180, 180):.5f},t{seed}-{i},{i}\n"
        for i in range(300))


def answers(g):
    return [(g.get_nearest_as_string(*q), g.get_nearest_as_dict(*q)) for q in QUERIES]


@pytest.fixture
def fast_switching():
    # Switch threads as often as possible so calls interleave at every
    # point where the interpreter lets them.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_lookups_on_a_shared_instance_while_others_build_save_and_load(
        world, tmp_path, fast_switching):
    shared_expected = answers(world)
    builders = {seed: own_text(seed) for seed in range(4)}
    built_expected = {}
    for seed, text in builders.items():
        for drop in (False, True):
            built_expected[seed, drop] = answers(R(text, ",", drop))

    failures = []
    start = threading.Barrier(8)

    def look_up(seed):
        start.wait()
        order = list(range(len(QUERIES)))
        random.Random(seed).shuffle(order)
        for _ in range(10):
            for i in order:
                q = QUERIES[i]
                got = (world.get_nearest_as_string(*q), world.get_nearest_as_dict(*q))
                if got != shared_expected[i]:
                    failures.append(("shared", seed, i, got))

    def build_save_load(seed):
        start.wait()
        path = os.path.join(tmp_path, f"own{seed}")
        for round_ in range(6):
            drop = round_ % 2 == 1
            g = R(builders[seed], ",", drop)
            if answers(g) != built_expected[seed, drop]:
                failures.append(("built", seed, round_))
            g.save(path)
            if answers(R.load(path)) != built_expected[seed, drop]:
                failures.append(("loaded", seed, round_))

    threads = [threading.Thread(target=look_up, args=(s,)) for s in range(4)]
    threads += [threading.Thread(target=build_save_load, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
