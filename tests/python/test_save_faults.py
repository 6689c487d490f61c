"""save on a full or size-limited file: the encode error chain, the process
carries on, and the file holds a prefix of the encoding."""

import os
import subprocess
import sys
import textwrap

import pytest

from quorvel import ReverseGeocoder as R

TEXT = "lat,lon,name\n10,20,a\n"
ENCODE_ERROR = ("invalid value write: error while writing multi-byte MessagePack value"
                "\n\nCaused by:\n    0: error while writing multi-byte MessagePack value"
                "\n    1: ")

# Runs in a child: RLIMIT_FSIZE binds the whole process, and SIGXFSZ would
# otherwise kill it at the first write beyond the limit.
_CHILD = textwrap.dedent("""
    import resource, signal, sys
    from quorvel import ReverseGeocoder as R
    limit, path = int(sys.argv[1]), sys.argv[2]
    g = R(%r)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        g.save(path)
    except RuntimeError as e:
        print(str(e))
    else:
        print("saved")
    # The process and the geocoder are fine afterwards.
    print(g.get_nearest_as_string(11, 21))
""" % TEXT)


@pytest.mark.parametrize("limit", [0, 1, 2, 23, 100, 500, 959, 960])
def test_size_limited_file(tmp_path, limit):
    path = tmp_path / "limited"
    done = subprocess.run([sys.executable, "-c", _CHILD, str(limit), str(path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    *message_lines, answer = done.stdout.splitlines()
    message = "\n".join(message_lines)
    assert answer == "10,20,a"
    full = tmp_path / "full"
    R(TEXT).save(full)
    expected = full.read_bytes()
    if limit >= len(expected):
        assert message == "saved" and path.read_bytes() == expected
    else:
        assert message == ENCODE_ERROR + "File too large (os error 27)"
        # The save wrote under a temporary name, removed when it failed:
        # no partial file is left, under either name.
        assert sorted(p.name for p in tmp_path.iterdir()) == ["full"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_device():
    g = R(TEXT)
    with pytest.raises(RuntimeError) as raised:
        g.save("/dev/full")
    assert str(raised.value) == ENCODE_ERROR + "No space left on device (os error 28)"
    assert g.get_nearest_as_string(11, 21) == "10,20,a"
