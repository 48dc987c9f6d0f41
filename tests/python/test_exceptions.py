"""What no fallback may swallow: KeyboardInterrupt, SystemExit, MemoryError and PanicException
raised by the user's code reach the caller as they are, from wherever catenc ran that code."""

import numpy as np
import pandas as pd
import pytest

import catenc

from conftest import panic_type

PanicException = panic_type()


def raise_kind(kind):
    if kind is PanicException:
        catenc.Encoder().encode(np.zeros(3))  # a 1-D input: PanicException from a nested call
    raise kind("raised by the user's code")


KINDS = [KeyboardInterrupt, SystemExit, MemoryError, PanicException]


class FloatRaises:
    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise_kind(self.kind)

    def __str__(self):
        return "never"


class StrRaises:
    """No number (its float() fails with TypeError), and its str() raises."""

    def __init__(self, kind):
        self.kind = kind

    def __str__(self):
        raise_kind(self.kind)


def frame_named_data_frame(failing, kind):
    """An object of a class named DataFrame whose attribute `failing` raises."""
    values = {"columns": ["a"], "shape": (1, 1), "values": np.array([["x"]], dtype=object)}

    def getter(name):
        def get(self):
            if name == failing:
                raise_kind(kind)
            return values[name]

        return property(get)

    return type("DataFrame", (), {name: getter(name) for name in values})()


def tables_running(cell):
    """Each way a cell reaches the interpreter: an object array, a pandas object column beside
    others, and a category whose categories are anyone's objects."""
    return {
        "array": np.array([[cell], ["a"]], dtype=object),
        "frame": pd.DataFrame({"x": pd.Series([cell, "a"], dtype=object), "n": [1, 2]}),
        "category": pd.DataFrame({"x": pd.Categorical([cell, cell]), "n": [1, 2]}),
    }


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("where", ["array", "frame", "category"])
@pytest.mark.parametrize("method", ["__float__", "__str__"])
def test_propagates_from_a_cell(kind, where, method):
    cell = FloatRaises(kind) if method == "__float__" else StrRaises(kind)
    table = tables_running(cell)[where]
    enc = catenc.Encoder()
    learned = enc.encode(np.array([["kept"]], dtype=object))
    with pytest.raises(kind) as raised:
        enc.encode(table)
    if kind is not PanicException:
        assert str(raised.value) == "raised by the user's code"
    # Nothing learned from the failed call; the encoder is free again.
    assert enc.decode(learned).tolist() == [["kept"]]


class UnprintableError(Exception):
    """An ordinary failure of a cell's str(), whose own message runs the user's code."""

    def __init__(self, kind):
        self.kind = kind

    def __str__(self):
        raise_kind(self.kind)


class StrFailsUnprintably:
    def __init__(self, kind):
        self.kind = kind

    def __str__(self):
        raise UnprintableError(self.kind)


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
def test_propagates_from_the_message_of_a_failure(kind):
    # The failure of str() becomes catenc's own error, whose message quotes the exception's str();
    # what that str() raises in turn is no message to quote.
    with pytest.raises(kind):
        catenc.Encoder().encode(np.array([[StrFailsUnprintably(kind)]], dtype=object))


def test_a_failure_whose_message_fails_is_named_by_its_type():
    class Plain(Exception):
        def __str__(self):
            raise ValueError("no message")

    class Cell:
        def __str__(self):
            raise Plain()

    with pytest.raises(PanicException, match="Plain$"):
        catenc.Encoder().encode(np.array([[Cell()]], dtype=object))


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("failing", ["columns", "shape", "values"])
def test_propagates_from_a_frame_attribute(kind, failing):
    enc = catenc.Encoder()
    with pytest.raises(kind):
        enc.encode(frame_named_data_frame(failing, kind))
    assert enc.encode(np.array([["a"]], dtype=object)).tolist() == [[0.0]]


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
def test_propagates_from_pandas_storage_instead_of_falling_back(kind, monkeypatch):
    # A column pandas refuses to hand over is read through `values` instead; these are no refusal.
    def refuse(self, i):
        raise_kind(kind)

    monkeypatch.setattr(pd.DataFrame, "_get_column_array", refuse)
    with pytest.raises(kind):
        catenc.Encoder().encode(pd.DataFrame({"x": ["a", "b"], "n": [1, 2]}))


def test_other_refusals_of_pandas_storage_fall_back_to_values(monkeypatch):
    def refuse(self, i):
        raise ValueError("not today")

    frame = pd.DataFrame({"x": ["b", "a"], "n": [1, 2]})
    expected = catenc.Encoder().encode(frame)
    monkeypatch.setattr(pd.DataFrame, "_get_column_array", refuse)
    pd.testing.assert_frame_equal(catenc.Encoder().encode(frame), expected)


def test_an_ordinary_float_failure_makes_a_label_column():
    class NoNumber:
        def __float__(self):
            raise ValueError("no")

        def __str__(self):
            return "z"

    out = catenc.Encoder().encode(np.array([[1.0], [NoNumber()]], dtype=object))
    assert out.ravel().tolist() == [0.0, 1.0]
