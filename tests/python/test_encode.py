"""encode: the accepted inputs, how cells become numbers or labels, and the float64 results."""

import math
import os
import sys

import numpy as np
import pandas as pd
import pytest

import catenc
from catenc import Encoder

NAN_BITS = 0x7FF8000000000000


def bits(x):
    return int(np.float64(x).view(np.uint64))


def codes(table):
    return np.asarray(table, dtype=np.float64)


class ndarray(np.ndarray):  # noqa: N801 - the name is what makes it accepted
    """Accepted by name, but not an exact ndarray: its cells are read through item access."""


def as_item_access(array):
    return np.asarray(array).view(ndarray)


# -- accepted kinds -------------------------------------------------------------------------------

BASE = np.arange(12.0).reshape(3, 4)


@pytest.mark.parametrize(
    "make, f_order",
    [
        (lambda: BASE.copy(), False),
        (lambda: np.asfortranarray(BASE), True),
        (lambda: np.arange(24.0).reshape(3, 8)[:, ::2], False),
        (lambda: BASE[::-1], False),
        (lambda: BASE.T.copy().T, True),
        (lambda: BASE[:1].copy(), False),
    ],
)
def test_float64_fast_path_keeps_values_and_order(enc, make, f_order):
    source = make()
    before = source.copy()
    out = enc.encode(source)
    assert out.dtype == np.float64 and out is not source
    np.testing.assert_array_equal(out, source)
    assert out.flags.f_contiguous == f_order or out.flags.c_contiguous
    assert bool(out.flags.f_contiguous and not out.flags.c_contiguous) == (
        f_order and not source.flags.c_contiguous
    )
    assert out.flags.owndata and out.flags.writeable
    np.testing.assert_array_equal(source, before)


def test_float64_keeps_nan_payloads_and_infinities(enc):
    weird = np.array([0x7FF8000000000001, 0xFFF0000000000000, 0x7FF0000000000000, 0x8000000000000000],
                     dtype=np.uint64).view(np.float64).reshape(2, 2)
    out = enc.encode(weird)
    assert out.view(np.uint64).tolist() == weird.view(np.uint64).tolist()


def test_float64_memmap(enc, tmp_path):
    mm = np.memmap(tmp_path / "m.dat", dtype=np.float64, mode="w+", shape=(3, 2))
    mm[:] = [[1, 2], [3, np.nan], [np.inf, -0.0]]
    out = enc.encode(mm)
    assert type(out) is np.ndarray
    np.testing.assert_array_equal(out, mm)
    # Nothing learned: decode gives the codes back untouched.
    assert enc.decode(out).dtype == np.float64


def test_object_memmap_and_other_dtypes(enc, tmp_path):
    mm = np.memmap(tmp_path / "i.dat", dtype=np.int32, mode="w+", shape=(2, 2))
    mm[:] = [[1, -2], [3, 4]]
    assert enc.encode(mm).tolist() == [[1.0, -2.0], [3.0, 4.0]]


@pytest.mark.parametrize(
    "array, expected",
    [
        (np.array([[1, 2], [3, -4]], dtype=np.int64), [[1, 2], [3, -4]]),
        (np.array([[1, 2], [3, 255]], dtype=np.uint8), [[1, 2], [3, 255]]),
        (np.array([[2**64 - 1]], dtype=np.uint64), [[float(2**64 - 1)]]),
        (np.array([[2**63 - 1]], dtype=np.int64), [[float(2**63 - 1)]]),
        (np.array([[0.1, 2.5]], dtype=np.float32), [[float(np.float32(0.1)), 2.5]]),
        (np.array([[0.1, 65504]], dtype=np.float16), [[float(np.float16(0.1)), 65504.0]]),
        (np.array([[True, False]]), [[1.0, 0.0]]),
        (np.array([[1, 2]], dtype=">i4"), [[1.0, 2.0]]),
        (np.array([[1.5, -2.0]], dtype=">f8"), [[1.5, -2.0]]),
    ],
)
def test_numeric_dtypes_stay_numeric(array, expected):
    enc = Encoder()
    out = enc.encode(array)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    assert out.tolist() == expected
    # Learned a record with no encoded column: decode gives Python floats in an object array.
    decoded = enc.decode(out)
    assert decoded.dtype == object and decoded.tolist() == expected


@pytest.mark.parametrize("dtype", [np.int16, np.uint32, np.float16, np.float32, np.bool_, np.int8, "<U3", object])
def test_direct_reading_equals_item_access(dtype):
    rng = np.random.default_rng(5)
    if dtype == "<U3":
        array = rng.choice(["a", "bb", "", "nan", "é"], size=(50, 3)).astype(dtype)
    elif dtype is object:
        pool = ["x", 1, 2.5, None, float("nan"), "NaN", True, 10**30, np.int64(3), "<NA>", -0.0]
        array = np.empty((60, 4), dtype=object)
        for index in np.ndindex(array.shape):
            array[index] = pool[rng.integers(len(pool))]
        array[:, 3] = [1.0, 2.0] * 30
    else:
        array = (rng.integers(-5, 100, size=(40, 3)) % 7).astype(dtype)
    direct, items = Encoder(), Encoder()
    a = direct.encode(array)
    b = items.encode(as_item_access(array))
    assert a.view(np.uint64).tolist() == b.view(np.uint64).tolist()
    assert direct.decode(a).tolist() == items.decode(b).tolist()


def test_float_nan_payloads_of_other_dtypes_are_kept(enc):
    half_nan = np.array([[0x7E01]], dtype=np.uint16).view(np.float16)
    out = enc.encode(half_nan)
    assert bits(out[0, 0]) == bits(float(half_nan[0, 0]))


# -- refused inputs -------------------------------------------------------------------------------


class DataFrameWithoutColumns:
    pass


DataFrameWithoutColumns.__name__ = "DataFrame"


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize(
    "make, name",
    [
        (lambda: [[1, 2]], "list"),
        (lambda: ((1, 2),), "tuple"),
        (lambda: pd.Series([1, 2]), "Series"),
        (lambda: np.matrix([[1.0, 2.0]]), "matrix"),
        (lambda: {"a": [1]}, "dict"),
        (lambda: None, "NoneType"),
        (lambda: 3, "int"),
        (lambda: np.float64(1.0), "float64"),
    ],
)
def test_refused_types(enc, capfd, make, name):
    value = make()
    with pytest.raises(TypeError) as info:
        enc.encode(value)
    assert str(info.value) == f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    assert capfd.readouterr().out == name + "\n"
    with pytest.raises(TypeError):
        enc.decode(value)
    assert capfd.readouterr().out == name + "\n"


def test_refused_input_keeps_learned_maps(enc):
    enc.encode(np.array([["a"], ["b"]], dtype=object))
    with pytest.raises(TypeError):
        enc.encode([1])
    assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]


def test_dataframe_named_object_without_columns(enc):
    with pytest.raises(AttributeError):
        enc.encode(DataFrameWithoutColumns())


class FakeTable:
    """Named like an array, but no NumPy array: read through shape and item access."""

    def __init__(self, rows):
        self.rows = rows
        self.shape = (len(rows), len(rows[0]) if rows else 0)

    def __getitem__(self, key):
        r, c = key
        return self.rows[r][c]


FakeTable.__name__ = "ndarray"


def test_foreign_object_named_ndarray_is_read_cell_by_cell(enc):
    out = enc.encode(FakeTable([["b", 1], ["a", 2.5]]))
    assert type(out) is np.ndarray
    assert out.tolist() == [[1.0, 1.0], [0.0, 2.5]]


@pytest.mark.parametrize(
    "shape, error",
    [
        ((2**62, 2**62), ValueError),
        ((2**40, 2**18), MemoryError),
    ],
)
def test_impossible_shapes_fail_before_reading(enc, shape, error):
    table = FakeTable([[1]])
    table.shape = shape
    table.__getitem__ = None  # would fail if any cell were read
    with pytest.raises(error):
        enc.encode(table)


@pytest.mark.parametrize("make", [lambda: np.zeros(3), lambda: np.zeros((2, 2, 2)), lambda: np.array(["a", "b"])])
def test_wrong_dimensions_panic(enc, make, PanicException):
    with pytest.raises(PanicException, match="^failed to read the input table"):
        enc.encode(make())


@pytest.mark.parametrize("shape", [(1,), (1, 2, 3), "ab", (-1, 2), (1.5, 2), None])
def test_bad_shape_attribute_panics(enc, shape, PanicException):
    table = FakeTable([[1]])
    table.shape = shape
    with pytest.raises(PanicException, match="^failed to read the input table: "):
        enc.encode(table)


def test_failing_item_access_panics(enc, PanicException):
    table = FakeTable([[1]])
    table.shape = (2, 1)
    with pytest.raises(PanicException, match="^failed to read the input table: IndexError"):
        enc.encode(table)


# -- labels and codes -----------------------------------------------------------------------------


def encode_column(cells):
    enc = Encoder()
    array = np.empty((len(cells), 1), dtype=object)
    array[:, 0] = cells
    out = enc.encode(array)
    return [c if not math.isnan(c) else None for c in out[:, 0].tolist()], enc.decode(out)[:, 0].tolist()


@pytest.mark.parametrize(
    "cells, expected_codes, expected_labels",
    [
        (["b", "a", "nan", "c", "a", "<NA>", ""], [2, 1, None, 3, 1, None, 0], ["b", "a", "NaN", "c", "a", "NaN", ""]),
        ([1.0, "a", 1.0], [0, 2, 1], ["1", "a", "1.0"]),
        (["a", 1.0], [1, 0], ["a", "1.0"]),
        ([2, "a", 2], [0, 1, 0], ["2", "a", "2"]),
        ([float("nan"), "a", float("nan")], [None, 0, None], ["NaN", "a", "NaN"]),
        ([None, 1.0], [1, 0], ["None", "1.0"]),
        ([pd.NA, "x"], [None, 0], ["NaN", "x"]),
        (["1", "2"], [0, 1], ["1", "2"]),
        ([10**20, "a"], [0, 1], ["100000000000000000000", "a"]),
        ([1.5, 10**400], [0, 1], ["1.5", str(10**400)]),
        (["a", "B", "10", "9"], [3, 2, 0, 1], ["a", "B", "10", "9"]),
        (["NAN", "Nan", "nan ", "None", "null"], [0, 1, 3, 2, 4], ["NAN", "Nan", "nan ", "None", "null"]),
        (["é", "z", "É"], [2, 0, 1], ["é", "z", "É"]),
        (["a\ud800b", "x"], [0, 1], ["a\ufffd\ufffd\ufffdb", "x"]),
        ([b"x", "y"], [0, 1], ["b'x'", "y"]),
    ],
)
def test_labels_and_codes(cells, expected_codes, expected_labels):
    got_codes, got_labels = encode_column(cells)
    assert got_codes == expected_codes
    assert got_labels == expected_labels


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1"),
        (2.5, "2.5"),
        (-0.0, "-0"),
        (0.0, "0"),
        (1e16, "1" + "0" * 16),
        (1e23, "1" + "0" * 23),
        (1e-7, "0.0000001"),
        (0.1, "0.1"),
        (-123.456, "-123.456"),
        (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (2**53 + 1, "9007199254740992"),
    ],
)
def test_float_text_of_numbers_read_before_the_first_label(value, text):
    _, labels = encode_column([value, "zzz"])
    assert labels == [text, "zzz"]


def test_missing_codes_have_the_canonical_nan_bits(enc):
    out = enc.encode(np.array([["nan", float("nan")], ["a", "x"]], dtype=object))
    assert bits(out[0, 0]) == NAN_BITS and bits(out[0, 1]) == NAN_BITS


def test_numeric_columns_keep_nan_and_infinities(enc):
    cells = np.array([[float("nan"), 1], [float("inf"), True], [-float("inf"), np.float32(2.5)]], dtype=object)
    out = enc.encode(cells)
    assert out[:, 1].tolist() == [1.0, 1.0, 2.5]
    assert math.isnan(out[0, 0]) and out[1:, 0].tolist() == [math.inf, -math.inf]
    assert enc.decode(out)[1, 0] == math.inf


def test_all_missing_column_is_encoded_with_an_empty_map(enc):
    out = enc.encode(np.array([["nan", 1.0], ["<NA>", 2.0]], dtype=object))
    assert np.isnan(out[:, 0]).all()
    assert enc.decode(np.array([[0.0, 1.0]])).tolist() == [["NaN", 1.0]]


@pytest.mark.parametrize("shape", [(0, 3), (0, 0), (4, 0)])
def test_empty_tables(enc, shape):
    out = enc.encode(np.empty(shape, dtype=object))
    assert out.shape == shape and out.dtype == np.float64
    frame = pd.DataFrame(np.empty(shape, dtype=object), columns=[f"c{i}" for i in range(shape[1])])
    out = enc.encode(frame)
    assert out.shape == shape and list(out.columns) == list(frame.columns)
    assert all(dtype == np.float64 for dtype in out.dtypes)


def test_side_effects_run_column_by_column(enc):
    seen = []

    class Cell:
        def __init__(self, name, number):
            self.name, self.number = name, number

        def __float__(self):
            seen.append(("float", self.name))
            if self.number is None:
                raise TypeError("not a number")
            return self.number

        def __str__(self):
            seen.append(("str", self.name))
            return self.name

    table = np.empty((2, 2), dtype=object)
    table[:, 0] = [Cell("a", 1.0), Cell("b", None)]
    table[:, 1] = [Cell("c", None), Cell("d", 2.0)]
    out = enc.encode(table)
    assert seen == [("float", "a"), ("float", "b"), ("str", "b"), ("float", "c"), ("str", "c"), ("str", "d")]
    assert out.tolist() == [[0.0, 0.0], [1.0, 1.0]]


def test_str_that_raises_panics(enc, PanicException):
    class Bad:
        def __str__(self):
            raise ValueError("no text")

    before = Encoder()
    before_out = enc.encode(np.array([["k"]], dtype=object))
    with pytest.raises(PanicException) as info:
        enc.encode(np.array([["a"], [Bad()]], dtype=object))
    assert str(info.value) == "cant convert to str: ValueError: no text"
    assert enc.decode(before_out).tolist() == [["k"]]
    del before


def test_keyboard_interrupt_in_float_is_not_swallowed(enc):
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        enc.encode(np.array([[Interrupting()]], dtype=object))
    assert enc.encode(np.array([[1]], dtype=object)).tolist() == [[1.0]]


# -- DataFrames -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "columns, names",
    [
        (["a", "b"], ["a", "b"]),
        (None, ["0", "1"]),
        ([True, False], ["1", "0"]),
        ([np.int64(-5), 7], ["-5", "7"]),
        (pd.Index(["x", "y"], dtype=object), ["x", "y"]),
        (["", "é"], ["", "é"]),
    ],
)
def test_dataframe_column_names(enc, columns, names):
    frame = pd.DataFrame([["p", 1.0], ["q", 2.0]], columns=columns)
    out = enc.encode(frame)
    assert list(out.columns) == names
    assert out.to_numpy().tolist() == [[0.0, 1.0], [1.0, 2.0]]
    assert list(out.index) == [0, 1]


@pytest.mark.parametrize("columns", [["a", 1], [1.5, 2.5]])
def test_dataframe_names_that_are_neither_str_nor_int(enc, columns):
    with pytest.raises(TypeError):
        enc.encode(pd.DataFrame([[1, 2]], columns=columns))


def test_dataframe_index_is_not_kept(enc):
    frame = pd.DataFrame({"a": ["x", "y"]}, index=[10, 20])
    assert list(enc.encode(frame).index) == [0, 1]


def test_dataframe_mixed_columns(enc):
    frame = pd.DataFrame(
        {
            "s": ["b", "a", np.nan, "c"],
            "i": [1, 2, 3, 4],
            "f": [1.5, np.nan, 2.0, 3.0],
            "b": [True, False, True, True],
            "n": pd.array([1, None, 2, 3], dtype="Int64"),
            "o": pd.Series(["z", None, 1, "z"], dtype=object),
        }
    )
    out = enc.encode(frame)
    assert list(out.columns) == list(frame.columns)
    assert all(dtype == np.float64 for dtype in out.dtypes)
    expected = {
        "s": [1.0, 0.0, None, 2.0],
        "i": [1.0, 2.0, 3.0, 4.0],
        "f": [1.5, None, 2.0, 3.0],
        "b": [1.0, 0.0, 1.0, 1.0],
        "n": [0.0, None, 1.0, 2.0],
        "o": [2.0, 1.0, 0.0, 2.0],
    }
    got = {c: [None if math.isnan(x) else x for x in out[c]] for c in out.columns}
    assert got == expected


def test_all_float_dataframe_is_read_but_learns_no_column(enc):
    frame = pd.DataFrame({"a": [1.0, np.nan], "b": [3.0, 4.0]})
    out = enc.encode(frame)
    pd.testing.assert_frame_equal(out, frame)
    decoded = enc.decode(out)
    pd.testing.assert_frame_equal(decoded, frame)


# -- nothing leaks --------------------------------------------------------------------------------


def test_reference_counts_are_unchanged(enc, PanicException):
    strings = [f"label{i}" for i in range(5)]
    table = np.array([[s, 1.0] for s in strings], dtype=object)
    before = [sys.getrefcount(s) for s in strings] + [sys.getrefcount(table)]
    for _ in range(3):
        enc.decode(enc.encode(table))
    assert [sys.getrefcount(s) for s in strings] + [sys.getrefcount(table)] == before

    class Bad:
        def __str__(self):
            raise ValueError

    bad = Bad()
    failing = np.array([["x"], [bad]], dtype=object)
    counts = (sys.getrefcount(bad), sys.getrefcount(failing))
    for _ in range(3):
        with pytest.raises(PanicException):
            enc.encode(failing)
    assert (sys.getrefcount(bad), sys.getrefcount(failing)) == counts


@pytest.mark.parametrize("where", ["shape", "item"])
def test_keyboard_interrupt_while_reading_is_not_wrapped(enc, where):
    class Interrupting:
        @property
        def shape(self):
            if where == "shape":
                raise KeyboardInterrupt
            return (1, 1)

        def __getitem__(self, key):
            raise KeyboardInterrupt

    Interrupting.__name__ = "ndarray"
    with pytest.raises(KeyboardInterrupt):
        enc.encode(Interrupting())
    assert enc.encode(np.array([["a"]], dtype=object)).tolist() == [[0.0]]


def test_column_names_with_lone_surrogates_fail_the_str_try(enc):
    frame = pd.DataFrame([[1.0]], columns=pd.Index(["a\ud800"], dtype=object))
    with pytest.raises(TypeError):
        enc.encode(frame)


def test_values_of_a_frame_is_read_even_without_rows(enc, PanicException):
    class Frame:
        columns = ["a"]
        shape = (0, 1)

        @property
        def values(self):
            raise AttributeError("novalues")

    Frame.__name__ = "DataFrame"
    with pytest.raises(PanicException, match="^failed to read the input table: AttributeError: novalues"):
        enc.encode(Frame())


def test_decode_calls_no_method_of_an_array_subclass():
    calls = []

    class DataFrame(np.ndarray):  # noqa: N801 - taken for a DataFrame by its name
        columns = ["x", "y"]

        def __getitem__(self, key):
            calls.append(key)
            return super().__getitem__(key)

    enc = Encoder()
    enc.encode(pd.DataFrame({"x": ["a", "b"] * 150, "y": [1.0, 2.0] * 150}))
    codes = np.array([[0.0, 5.0], [1.0, 6.0]]).view(DataFrame)
    out = enc.decode(codes)
    assert out["x"].tolist() == ["a", "b"] and out["y"].tolist() == [5.0, 6.0]
    assert calls == []


def test_pool_starts_at_the_first_table_read_cell_by_cell():
    import subprocess
    import textwrap

    script = textwrap.dedent(
        """
        import os, numpy as np, catenc
        before = len(os.listdir("/proc/self/task"))
        catenc.Encoder().encode(np.array([[1, 2]], dtype=object))
        os.environ["RAYON_NUM_THREADS"] = "4"
        catenc.Encoder().encode(np.array([["a"], ["b"]], dtype=object))
        print(len(os.listdir("/proc/self/task")) - before)
        """
    )
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    # A pool of one thread runs its work on the caller and starts no thread; one started at the
    # second call would have started 4.
    assert done.stdout.strip() == "0"
