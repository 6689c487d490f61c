"""Threads at the edges: a daemon thread still inside a call when the
interpreter shuts down, and threads started with a small stack. Each case
runs in a child process under the interpreter running the suite (CI runs
the suite under every supported version)."""

import os
import subprocess
import sys
import textwrap

import pytest

from support import WORLD_PLACES


def run_child(script, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=timeout)


# At shutdown the interpreter ends a daemon thread that asks for the lock
# back by unwinding it; that must end the thread quietly, not the process.
# The large object only makes teardown slow enough for the thread to come
# back while it runs.
@pytest.mark.parametrize(
    "call",
    [
        "g.get_nearest_indices(lats, lons, workers=2)",
        "quorvel.ReverseGeocoder.read_csv(PATH)",
    ],
    ids=["batch", "read_csv"],
)
@pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                    reason="UBSan reports the interpreter's forced unwind, which carries no "
                           "exception object, where it is caught and rethrown")
def test_daemon_thread_inside_a_call_at_shutdown(call):
    pytest.importorskip("numpy")
    script = f"""
        import threading, time
        import numpy as np
        import quorvel
        PATH = {str(WORLD_PLACES)!r}
        g = quorvel.ReverseGeocoder.read_csv(PATH)
        lats = np.random.uniform(-90, 90, 300_000)
        lons = np.random.uniform(-180, 180, 300_000)
        big = [{{i: str(i)}} for i in range(3_000_000)]
        def work():
            while True:
                {call}
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.05)
        """
    for _ in range(3):
        done = run_child(script)
        assert done.returncode == 0, done.stderr


@pytest.mark.skipif(bool(os.environ.get("QUORVEL_SANITIZED")),
                    reason="AddressSanitizer needs far more than 32 KiB of stack per frame chain")
def test_every_method_runs_on_a_32_kib_thread_stack(tmp_path):
    pytest.importorskip("numpy")
    done = run_child(f"""
        import io, pickle, threading
        import numpy as np
        import quorvel
        g = quorvel.ReverseGeocoder.read_csv({str(WORLD_PLACES)!r})
        path = {str(tmp_path / "saved.qv")!r}
        lats = np.linspace(-80, 80, 20_000)
        lons = np.linspace(-170, 170, 20_000)
        results = []
        def calls():
            small = quorvel.ReverseGeocoder("lat,lon,n\\n1,2,a\\n")
            results.append(small.get_nearest_indices([1.0], [2.0])[0])
            results.append(g.get_nearest_as_string(48.85, 2.35))
            results.append(g.get_nearest_as_dict(48.85, 2.35))
            results.append(g.get_nearest_indices(lats, lons, workers=2,
                                                 return_distance=True)[0][0])
            results.append(g.get_nearest_as_strings(lats, lons)[0])
            results.append(g.get_nearest_as_dicts(lats, lons)[0])
            results.append(len(g.get_nearest_as_columns(lats, lons)))
            results.append(g.get_record_as_string(0))
            results.append(g.get_record_as_dict(-1))
            results.append((len(g), g.columns))
            g.save(path)
            results.append(len(quorvel.ReverseGeocoder.load(path)))
            results.append(len(quorvel.ReverseGeocoder.loads(g.dumps())))
            results.append(len(pickle.loads(pickle.dumps(g))))
            results.append(len(quorvel.ReverseGeocoder.read_csv(
                io.StringIO("lat,lon,n\\n1,2,a\\n"))))
            results.append("done")
        threading.stack_size(32 * 1024)
        t = threading.Thread(target=calls)
        t.start()
        t.join()
        print(results[-1])
        """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "done", done.stderr
