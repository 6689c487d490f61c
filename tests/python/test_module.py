"""What `import quorvel` gives: the module, the class and their surface."""

import importlib.metadata
import subprocess
import sys
import textwrap
import weakref

import pytest

import quorvel
from quorvel import ReverseGeocoder


def test_module_surface():
    assert quorvel.__all__ == ["ReverseGeocoder", "Regions", "ArrowTable", "geocode"]
    assert quorvel.Regions.__module__ == quorvel.geocode.__module__ == "quorvel"
    assert quorvel.ArrowTable.__module__ == "quorvel"
    assert quorvel.__doc__.startswith("Fast offline reverse geocoding")
    assert quorvel.ReverseGeocoder is ReverseGeocoder
    assert issubclass(quorvel.PanicException, BaseException)


def test_version_is_the_installed_package_version():
    assert quorvel.__version__ == importlib.metadata.version("quorvel")


def test_class_surface(small):
    assert ReverseGeocoder.__module__ == "quorvel"
    assert ReverseGeocoder.__name__ == ReverseGeocoder.__qualname__ == "ReverseGeocoder"
    assert repr(ReverseGeocoder) == "<class 'quorvel.ReverseGeocoder'>"
    assert repr(small).startswith("<quorvel.ReverseGeocoder object at 0x")
    assert ReverseGeocoder.__bases__ == (object,)
    assert ReverseGeocoder.__doc__.startswith("An immutable index of place records")
    assert ReverseGeocoder.__text_signature__ == "(csv, value_sep=',', drop_coordinates=False)"


@pytest.mark.parametrize("name, signature", [
    ("get_nearest_as_string", "($self, lat, lon)"),
    ("get_nearest_as_dict", "($self, lat, lon)"),
    ("save", "($self, path)"),
    ("load", "(path)"),
])
def test_method_signatures(name, signature):
    method = getattr(ReverseGeocoder, name)
    assert method.__text_signature__ == signature
    assert method.__doc__


def test_instances_are_closed(small):
    with pytest.raises(TypeError):
        type("Sub", (ReverseGeocoder,), {})
    assert not hasattr(small, "__dict__")
    with pytest.raises(AttributeError):
        small.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(small)
    assert hash(small) == hash(small) and small == small and small != ReverseGeocoder("a,b\n")


def test_second_initialisation_returns_the_same_module():
    code = textwrap.dedent("""
        import sys, quorvel, quorvel._core
        first = quorvel._core
        del sys.modules["quorvel._core"]
        import quorvel._core
        assert quorvel._core is first, (quorvel._core, first)
        assert quorvel._core.ReverseGeocoder is quorvel.ReverseGeocoder
    """)
    subprocess.run([sys.executable, "-c", code], check=True)


def test_sub_interpreter_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    inner = (f"try:\n import quorvel\n open({str(out)!r}, 'w').write('imported')\n"
             f"except ImportError as e:\n open({str(out)!r}, 'w').write('ImportError: ' + str(e))\n")
    # A legacy-style sub-interpreter, which admits single-phase modules, so
    # that the refusal seen is the module's own.
    if sys.version_info >= (3, 13):
        create = "import _interpreters as i\nn = i.create('legacy')\ni.exec(n, CODE)\n"
    else:
        create = "import _xxsubinterpreters as i\nn = i.create(isolated=False)\ni.run_string(n, CODE)\n"
    code = f"import quorvel\nCODE = {inner!r}\n" + create
    subprocess.run([sys.executable, "-c", code], check=True)
    result = out.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters" in result


def test_runtime_docstrings_come_from_the_stub():
    # help() and introspecting editors read the live objects; the texts are
    # generated from the stub, and the generated header must be current.
    from support import ROOT
    done = subprocess.run([sys.executable, str(ROOT / "tools/gen_docstrings.py"), "--check"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    public = [name for name in dir(ReverseGeocoder)
              if not name.startswith("_") or name in ("__reduce__",)]
    for name in public:
        doc = getattr(ReverseGeocoder, name).__doc__
        assert doc and len(doc) > 20, name
    assert quorvel._loads.__doc__.startswith(":meth:`ReverseGeocoder.loads`")
    text = __import__("pydoc").render_doc(ReverseGeocoder, renderer=__import__("pydoc").plaintext)
    assert "get_nearest_as_dicts" in text and "nearest to" in text
