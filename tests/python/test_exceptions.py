"""PanicException: what internal failures look like from Python."""

import pickle

import pytest

import quorvel
from support import SMALL_CSV
from quorvel import ReverseGeocoder as R


@pytest.fixture(scope="module")
def panic_class():
    return quorvel.PanicException


def test_panic_exception_class(panic_class):
    assert panic_class.__module__ == "quorvel"
    assert panic_class.__name__ == panic_class.__qualname__ == "PanicException"
    assert panic_class.__bases__ == (BaseException,)
    assert "BaseException" in panic_class.__doc__
    assert "PanicException" not in quorvel.__all__


def test_panic_exception_pickles_by_name(panic_class):
    # A worker process reports an internal failure to its caller by pickling
    # it; the caller must get the class it can catch.
    restored = pickle.loads(pickle.dumps(panic_class("boom")))
    assert type(restored) is panic_class and restored.args == ("boom",)


def test_except_exception_does_not_catch_it(panic_class):
    caught = None
    try:
        try:
            raise panic_class("x")
        except Exception:  # noqa: BLE001 - the point of the test
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    assert caught == "BaseException"


class PanickingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class PanickingPath:
    def __init__(self, error):
        self.error = error

    def __fspath__(self):
        raise self.error


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize("call", [
    lambda g, e: g.get_nearest_as_string(PanickingFloat(e), 0),
    lambda g, e: g.get_nearest_as_dict(0, PanickingFloat(e)),
    lambda g, e: g.save(PanickingPath(e)),
    lambda g, e: R.load(PanickingPath(e)),
])
def test_panic_from_a_callback_resumes_as_a_new_panic(panic_class, capfd, call):
    original = panic_class("boom")
    with pytest.raises(BaseException) as info:
        call(R(SMALL_CSV), original)
    assert type(info.value) is panic_class
    assert info.value is not original
    assert str(info.value) == "boom" and info.value.args == ("boom",)
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "Traceback" in err and "PanicException: boom" in err


def test_panic_whose_message_cannot_be_read(panic_class, capfd):
    with pytest.raises(BaseException) as info:
        R(SMALL_CSV).get_nearest_as_string(PanickingFloat(panic_class(Unprintable())), 0)
    assert type(info.value) is panic_class
    assert str(info.value) == "Unwrapped panic from Python code"
    capfd.readouterr()


def test_core_errors_are_plain_runtime_errors():
    with pytest.raises(RuntimeError) as info:
        R("")
    assert type(info.value) is RuntimeError
    assert info.value.args == ("missing first line in CSV",)
