"""The module and class as Python sees them, and the call frame's argument rules."""

import ctypes
import importlib
import sys

import numpy as np
import pytest

import catenc
from catenc import Encoder


def test_module_surface():
    assert catenc.__doc__ == "A Python module implemented in C++."
    assert catenc.__all__ == ["Encoder"]
    public = {name for name in vars(catenc) if not name.startswith("__")}
    assert public == {"Encoder"}


def test_class_facts():
    assert Encoder.__module__ == "builtins"
    assert Encoder.__name__ == Encoder.__qualname__ == "Encoder"
    assert Encoder.__text_signature__ == "(encoding=None)"
    assert Encoder.encode.__text_signature__ == "($self, obj)"
    assert Encoder.decode.__text_signature__ == "($self, obj)"
    assert Encoder.__bases__ == (object,)
    assert "__dict__" not in dir(Encoder())
    assert Encoder.__weakrefoffset__ == 0
    with pytest.raises(TypeError):

        class Sub(Encoder):
            pass

    with pytest.raises(AttributeError):
        Encoder().x = 1
    # Not immutable: class attributes may be set.
    Encoder.extra = 1
    del Encoder.extra


def test_reimport_gives_the_same_class():
    first = sys.modules.pop("catenc")
    try:
        again = importlib.import_module("catenc")
        assert again is not first
        assert again.Encoder is first.Encoder
        assert again.__all__ == ["Encoder"]
    finally:
        sys.modules["catenc"] = first


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": "label"}), ((), {"encoding": None})],
)
def test_constructor_accepts(args, kwargs):
    assert isinstance(Encoder(*args, **kwargs), Encoder)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, error, message, note",
    [
        (("Label",), {}, ValueError, "Label is not a supported encoding strategy for strings!", None),
        ((" label",), {}, ValueError, " label is not a supported encoding strategy for strings!", None),
        (("onehot",), {}, ValueError, "onehot is not a supported encoding strategy for strings!", None),
        (("",), {}, ValueError, " is not a supported encoding strategy for strings!", None),
        ((5,), {}, TypeError, "'int' object is not an instance of 'str'", "while processing 'encoding'"),
        ((), {"encoding": [1]}, TypeError, "'list' object is not an instance of 'str'",
         "while processing 'encoding'"),
        ((b"label",), {}, TypeError, "'bytes' object is not an instance of 'str'",
         "while processing 'encoding'"),
        (("label", "x"), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given", None),
        ((), {"strategy": "label"}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'strategy'", None),
        (("label",), {"encoding": "label"}, TypeError,
         "Encoder.__new__() got multiple values for argument 'encoding'", None),
    ],
)
def test_constructor_refuses(args, kwargs, error, message, note):
    with pytest.raises(error) as info:
        Encoder(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


def test_constructor_str_subclass_and_surrogates():
    assert isinstance(Encoder(StrSub("label")), Encoder)
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("\ud800")
    assert info.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: Encoder.encode(e), "Encoder.encode() missing 1 required positional argument: 'obj'"),
        (lambda e: e.encode(), "Encoder.encode() missing 1 required positional argument: 'obj'"),
        (lambda e: e.decode(), "Encoder.decode() missing 1 required positional argument: 'obj'"),
        (lambda e: e.decode(1, obj=2), "Encoder.decode() got multiple values for argument 'obj'"),
        (lambda e: e.encode(1, obj=2), "Encoder.encode() got multiple values for argument 'obj'"),
        (lambda e: e.encode(1, 2, 3), "Encoder.encode() takes 1 positional arguments but 3 were given"),
        (lambda e: e.decode(1, 2), "Encoder.decode() takes 1 positional arguments but 2 were given"),
        (lambda e: e.encode(x=1), "Encoder.encode() got an unexpected keyword argument 'x'"),
        (lambda e: e.decode(obj=1, y=2), "Encoder.decode() got an unexpected keyword argument 'y'"),
        (lambda e: e.encode(**{"\ud800": 1}),
         "Encoder.encode() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
)
def test_method_argument_errors(enc, call, message):
    with pytest.raises(TypeError) as info:
        call(enc)
    assert str(info.value) == message


def test_keyword_obj_works(enc):
    out = enc.encode(obj=np.array([["a"]], dtype=object))
    assert out.tolist() == [[0.0]]


def test_panic_escapes_except_exception(enc, PanicException):
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__
    with pytest.raises(BaseException) as info:
        try:
            enc.encode(np.zeros(3))
        except Exception:  # noqa: BLE001 - the point: it must not catch
            pytest.fail("PanicException was caught by except Exception")
    assert type(info.value) is PanicException
    assert str(info.value).startswith("failed to read the input table")
    # No hold is left behind.
    assert enc.encode(np.array([["a"]], dtype=object)).tolist() == [[0.0]]


def test_panic_diagnostic_goes_to_stderr(enc, capfd, PanicException):
    with pytest.raises(PanicException):
        enc.encode(np.zeros(3))
    err = capfd.readouterr().err
    assert "failed to read the input table" in err


def hold_counter(encoder):
    """The instance's hold counter, found where the layout puts it: the last field."""
    address = id(encoder) + type(encoder).__basicsize__ - 8
    return ctypes.c_uint32.from_address(address)


def test_shared_hold_overflow_is_refused():
    enc = Encoder()
    counter = hold_counter(enc)
    assert counter.value == 0
    table = np.array([[1.0]])
    counter.value = 0xFFFFFFFE
    try:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            enc.decode(table)
        assert counter.value == 0xFFFFFFFE
    finally:
        counter.value = 0
    counter.value = 0xFFFFFFFD
    try:
        enc.decode(table)
        assert counter.value == 0xFFFFFFFD
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            enc.encode(table)
    finally:
        counter.value = 0
