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

The first-answer probes (world-first, rg-first, rg-first-mode1,
reverse-geocode-first) take no PATH: each times a fresh interpreter's import
of one geocoder together with its first answer, the moment a user waits for,
and reports the resident memory the loaded places hold. The batch probes
(batch-rg, batch-rg-mode1, batch-reverse-geocode NPY) time one peer's batch
call in a process of its own, since each peer keeps its places in a
process-wide singleton that its first call builds.
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


# A position every geocoder answers (the Eiffel Tower).
FIRST_POSITION = (48.8584, 2.2945)


def first_answer(load, ask):
    """Times `load()` (the import) and `ask(module)` (the first answer) from a
    process that has imported neither, and reports the memory both leave held.

    `held` counts everything the process keeps for the geocoder, the modules
    it imports included; `load_held` only what the first answer added after
    the import, which is where every geocoder here reads its places.
    """
    trim_heap()
    before = resident_bytes()
    start = time.perf_counter()
    module = load()
    import_seconds = time.perf_counter() - start
    trim_heap()
    imported = resident_bytes()
    start = time.perf_counter()
    answer = ask(module)
    call_seconds = time.perf_counter() - start
    resident = resident_bytes()
    trim_heap()
    held = resident_bytes()
    return answer, {
        "seconds": import_seconds + call_seconds,
        "import_seconds": import_seconds,
        "resident": resident - before,
        "held": held - before,
        "load_held": held - imported,
    }


def first_probe(kind):
    """One of the first-answer probes; see the module's comment."""
    lat, lon = FIRST_POSITION
    if kind == "world-first":
        def load():
            import quorvel

            return quorvel

        answer, report = first_answer(
            load, lambda q: q.ReverseGeocoder.world().get_nearest_as_dict(lat, lon))
        report["answer"] = answer["name"]
    elif kind in ("rg-first", "rg-first-mode1"):
        def load():
            import reverse_geocoder

            return reverse_geocoder

        if kind == "rg-first":
            answer, report = first_answer(load, lambda rg: rg.search((lat, lon)))
        else:
            answer, report = first_answer(
                load, lambda rg: rg.search([(lat, lon)], mode=1, verbose=False))
        report["answer"] = answer[0]["name"]
    elif kind == "reverse-geocode-first":
        def load():
            import reverse_geocode

            return reverse_geocode

        answer, report = first_answer(load, lambda rgc: rgc.get((lat, lon)))
        report["answer"] = answer.get("city", "")
    else:
        raise SystemExit(f"unknown probe {kind!r}")
    return report


FIRST_PROBES = ("world-first", "rg-first", "rg-first-mode1", "reverse-geocode-first")

# A peer's batch call that would take longer than this over all positions is
# timed on a tenth of them instead, and the report says so.
SLOW_BATCH_SECONDS = 120.0


def answers_probe(kind, path):
    """Each position's answer from one peer as [name, admin1, cc, country]
    (reverse_geocoder names no country: ""), for the positions at `path` as
    in batch_probe. A fresh process, so that the peer answers from the
    places it ships and from nothing an earlier call gave it."""
    import numpy as np

    pairs = [tuple(p) for p in np.load(path).tolist()]
    if kind == "answers-rg":
        import reverse_geocoder

        return {"rows": [[a["name"], a["admin1"], a["cc"], ""]
                         for a in reverse_geocoder.search(pairs, mode=1, verbose=False)]}
    if kind == "answers-reverse-geocode":
        import reverse_geocode

        return {"rows": [[a.get("city", ""), a.get("state", ""), a.get("country_code", ""),
                          a.get("country", "")] for a in reverse_geocode.search(pairs)]}
    raise SystemExit(f"unknown probe {kind!r}")


def batch_probe(kind, path):
    """Times one peer's batch call over the positions saved at `path` (an
    (n, 2) float64 .npy of latitudes and longitudes), after a one-position
    call has loaded its places, so that the figure is the search alone."""
    import numpy as np

    pairs = [tuple(p) for p in np.load(path).tolist()]
    if kind == "batch-rg":
        import reverse_geocoder

        def search(positions):
            return reverse_geocoder.search(positions, verbose=False)
    elif kind == "batch-rg-mode1":
        import reverse_geocoder

        def search(positions):
            return reverse_geocoder.search(positions, mode=1, verbose=False)
    elif kind == "batch-reverse-geocode":
        import reverse_geocode

        search = reverse_geocode.search
    else:
        raise SystemExit(f"unknown probe {kind!r}")
    search(pairs[:1])
    tenth = max(len(pairs) // 10, 1)
    start = time.perf_counter()
    answers = search(pairs[:tenth])
    seconds = time.perf_counter() - start
    if len(answers) != tenth:
        raise SystemExit(f"{kind}: {len(answers)} answers for {tenth} positions")
    if tenth == len(pairs) or seconds * len(pairs) / tenth > SLOW_BATCH_SECONDS:
        return {"positions": tenth, "seconds": seconds}
    del answers
    start = time.perf_counter()
    answers = search(pairs)
    return {"positions": len(pairs), "seconds": time.perf_counter() - start}


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
    if len(sys.argv) == 2 and sys.argv[1] in FIRST_PROBES:
        # A peer may print progress on standard output, its worker processes
        # too; the report goes out on a copy of the descriptor taken first.
        report_out = os.fdopen(os.dup(1), "w")
        os.dup2(2, 1)
        json.dump(first_probe(sys.argv[1]), report_out)
        report_out.flush()
    elif len(sys.argv) == 3 and sys.argv[1].startswith(("batch-", "answers-")):
        report_out = os.fdopen(os.dup(1), "w")
        os.dup2(2, 1)
        probe = batch_probe if sys.argv[1].startswith("batch-") else answers_probe
        json.dump(probe(sys.argv[1], sys.argv[2]), report_out)
        report_out.flush()
    elif len(sys.argv) == 3:
        main(sys.argv[1], sys.argv[2])
    else:
        raise SystemExit("usage: bench_probe.py quorvel-build|quorvel-load|rg-build PATH\n"
                         "       bench_probe.py batch-rg|batch-rg-mode1|batch-reverse-geocode NPY\n"
                         "       bench_probe.py answers-rg|answers-reverse-geocode NPY\n"
                         "       bench_probe.py " + "|".join(FIRST_PROBES))
