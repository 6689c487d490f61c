import importlib.util


def test_extension_is_importable_once_built():
    # The extension arrives with the binding; until then only check the harness.
    spec = importlib.util.find_spec("quorvel")
    assert spec is None or spec.origin.endswith(".so")
