"""One build or load in a fresh interpreter, reporting its time and memory as JSON.

Run as `python bench_probe.py KIND PATH` with KIND one of quorvel-build,
quorvel-load or rg-build. A fresh process is needed twice over: resident
memory can only be attributed to one structure in a process that did nothing
else, and reverse_geocoder's RGeocoder is a process-wide singleton, so a
second construction in the same process would measure nothing.

Memory figures are deltas against the moment just before the timed call, when
the input text is already held as a Python str: `resident` is what the process
keeps after the call, `held` the same after handing freed heap pages back to
the system (what the structure itself occupies), `peak` the high-water mark
during the call.
"""

import ctypes
import io
import json
import os
import resource
import sys
import time

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def reset_peak():
    """Restart the high-water mark; True when the kernel allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def trim_heap():
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure(call):
    trim_heap()
    before = resident_bytes()
    exact_peak = reset_peak()
    start = time.perf_counter()
    built = call()
    seconds = time.perf_counter() - start
    peak = peak_bytes()
    resident = resident_bytes()
    trim_heap()
    held = resident_bytes()
    return built, {
        "seconds": seconds,
        "resident": resident - before,
        "held": held - before,
        "peak": peak - before,
        "peak_exact": exact_peak,
    }


def main(kind, path):
    if kind == "quorvel-build":
        import quorvel

        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        if not text.isascii():
            # CPython caches a non-ASCII str's UTF-8 form inside the str on the
            # first request; prime it so that the cache is not counted as ours.
            ctypes.pythonapi.PyUnicode_AsUTF8.restype = ctypes.c_void_p
            ctypes.pythonapi.PyUnicode_AsUTF8(ctypes.py_object(text))
        _, report = measure(lambda: quorvel.ReverseGeocoder(text))
        report["text_bytes"] = len(text.encode("utf-8"))
    elif kind == "quorvel-load":
        import quorvel

        _, report = measure(lambda: quorvel.ReverseGeocoder.load(path))
    elif kind == "rg-build":
        import reverse_geocoder

        with open(path, encoding="utf-8", newline="") as f:
            stream = io.StringIO(f.read())
        _, report = measure(
            lambda: reverse_geocoder.RGeocoder(mode=1, verbose=False, stream=stream)
        )
    else:
        raise SystemExit(f"unknown probe {kind!r}")
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit("usage: bench_probe.py quorvel-build|quorvel-load|rg-build PATH")
    main(sys.argv[1], sys.argv[2])
