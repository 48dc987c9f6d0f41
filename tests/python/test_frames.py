"""DataFrames read column by column (their own arrays, Arrow buffers) must give exactly what
reading `values` cell by cell gives: same numeric-or-label verdicts, codes, maps."""

import gc
import math
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from catenc import Encoder
from conftest import UNDER_ASAN, resident_bytes

ROWS = 300  # enough rows for the column-by-column path

try:
    import pyarrow  # noqa: F401

    HAVE_PYARROW = True
except ImportError:
    HAVE_PYARROW = False


class DataFrame(pd.DataFrame):  # noqa: N801 - accepted by its name, read through `values`
    @property
    def _constructor(self):
        return DataFrame


def through_values(frame):
    return DataFrame(frame)


PANDAS_VERSION = tuple(int(part) for part in pd.__version__.split(".")[:2])


def string_dtypes():
    # pandas 2.3 added string dtypes whose missing value is NaN.
    dtypes = [pd.StringDtype("python"), object]
    if PANDAS_VERSION >= (2, 3):
        dtypes.append(pd.StringDtype("python", na_value=np.nan))
    if HAVE_PYARROW:
        dtypes.append(pd.StringDtype("pyarrow"))
        if PANDAS_VERSION >= (2, 3):
            dtypes.append(pd.StringDtype("pyarrow", na_value=np.nan))
    return dtypes


def string_dtype_params():
    """The string dtypes to test, and those this machine cannot make, reported as skipped."""
    params = [pytest.param(dtype, id=str(dtype)) for dtype in string_dtypes()]
    if not HAVE_PYARROW:
        params.append(pytest.param(None, id="pyarrow", marks=pytest.mark.skip(reason="needs pyarrow")))
    return params


def assert_same_results(frame):
    direct, cellwise = Encoder(), Encoder()
    a = direct.encode(frame)
    b = cellwise.encode(through_values(frame))
    assert list(a.columns) == list(b.columns)
    assert a.to_numpy().view(np.uint64).tolist() == b.to_numpy().view(np.uint64).tolist()
    # Same learned maps: decode the same codes with both.
    probe = pd.DataFrame(np.tile(np.arange(-1.0, 6.0), (1, 1)).T.repeat(len(frame.columns), axis=1)[:7],
                         columns=frame.columns)
    da, db = direct.decode(probe), cellwise.decode(probe)
    width = len(frame.columns)
    assert [da.iloc[:, j].tolist() for j in range(width)] == [db.iloc[:, j].tolist() for j in range(width)]
    assert da.dtypes.tolist() == db.dtypes.tolist()


def column(values, dtype):
    repeated = (list(values) * (ROWS // max(1, len(values)) + 1))[:ROWS]
    return pd.Series(repeated, dtype=dtype)


@pytest.mark.parametrize("dtype", string_dtype_params())
@pytest.mark.parametrize(
    "values",
    [
        ["b", "a", None, "c"],
        [None, None, "x", None],
        [None],
        ["", "é", "日本", "nan", "NaN", "<NA>", "None"],
        ["a"],
    ],
    ids=["mixed", "leading-nulls", "all-missing", "texts", "one"],
)
def test_string_columns(dtype, values):
    frame = pd.DataFrame({"s": column(values, dtype), "n": np.arange(ROWS, dtype=float)})
    assert_same_results(frame)


def test_float16_signalling_nan_beside_narrow_integers():
    # Where `values` is float32, NumPy quiets the NaN on the way.
    frame = pd.DataFrame({"h": np.full(ROWS, 0x7C01, np.uint16).view(np.float16), "i": np.zeros(ROWS, np.int16)})
    assert_same_results(frame)


def test_interrupt_while_pandas_gives_a_column(monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(pd.Categorical, "from_codes", classmethod(interrupted))
    frame = pd.DataFrame({"c": pd.Categorical(repeated(["a", "b"])), "n": np.arange(ROWS, dtype=float)})
    with pytest.raises(KeyboardInterrupt):
        Encoder().encode(frame)


@pytest.mark.parametrize(
    "dtype", [np.int8, np.int64, np.uint16, np.uint64, np.float16, np.float32, np.float64, bool]
)
def test_numeric_columns(dtype):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"x": (rng.normal(size=ROWS) * 100).astype(dtype), "s": column(["p", "q"], object)})
    assert_same_results(frame)


@pytest.mark.parametrize(
    "values",
    [
        [1.0, "a", 2.5],
        [float("nan"), "a", None],
        [1, 2, 3],
        [True, "x"],
        [10**30, 5],
        [pd.NA, 1.5],
        [None, None],
    ],
)
def test_object_columns(values):
    frame = pd.DataFrame({"o": column(values, object), "f": np.ones(ROWS)})
    assert_same_results(frame)


def repeated(values):
    return (list(values) * (ROWS // len(values) + 1))[:ROWS]


EXTENSION_COLUMNS = {
    "Int64 with NA": lambda: pd.array(repeated([1, None, 3]), dtype="Int64"),
    "Int64 NA first": lambda: pd.array(repeated([None, 7, -2]), dtype="Int64"),
    "Int8": lambda: pd.array(repeated([1, -3]), dtype="Int8"),
    "UInt64 huge": lambda: pd.array(repeated([2**64 - 1, None, 2**53 + 1]), dtype="UInt64"),
    "Float32 with NA": lambda: pd.array(repeated([0.1, None, 0.2]), dtype="Float32"),
    "Float64 NaN and NA": lambda: pd.array(repeated([0.5, None, 1e300]), dtype="Float64"),
    "boolean with NA": lambda: pd.array(repeated([True, None, False]), dtype="boolean"),
    "category of str": lambda: pd.Categorical(repeated(["b", "a", None, "é"])),
    "category leading NaN": lambda: pd.Categorical(repeated([None, "x", "nan"])),
    "category of ints with NaN": lambda: pd.Categorical(repeated([3, None, 1])),
    "category of bools with NaN": lambda: pd.Categorical(repeated([True, None, False])),
    "category of huge ints": lambda: pd.Categorical(repeated([2**63 - 512, None, 5])),
    "category of intervals": lambda: pd.Categorical(repeated([pd.Interval(0, 1), pd.Interval(0, 10)])),
    "category of floats": lambda: pd.Categorical(repeated([0.25, 2.0])),
    "category of dates": lambda: pd.Categorical(repeated(pd.to_datetime(["2020-01-02", None]))),
    "category mixed": lambda: pd.Categorical(repeated([1, "a", 2.5])),
    "category of string dtype": lambda: pd.Categorical(pd.array(repeated(["b", None, "a"]), dtype="string")),
    "category of many": lambda: pd.Categorical([f"k{i % 257}" if i % 11 else None for i in range(ROWS)]),
    "datetime64 with NaT": lambda: pd.to_datetime(repeated(["2020-01-02", None, "1999-12-31 23:59:59.5"]), format="ISO8601"),
    "datetime64[s]": lambda: pd.Series(repeated(
        [pd.Timestamp("2020-01-01").as_unit("s"), pd.NaT])).astype("datetime64[s]").to_numpy(),
    "nanoseconds": lambda: pd.Timestamp("2020-01-01") + pd.to_timedelta(repeated([1, None, 10**9]), unit="ns"),
    "all NaT": lambda: pd.to_datetime(repeated([None])),
    "timedelta64": lambda: pd.to_timedelta(repeated(["1 day", None, "3 s"])),
    "datetime with zone": lambda: pd.to_datetime(repeated(["2020-01-02", None])).tz_localize("Europe/Paris"),
    "object": lambda: np.array(repeated([1.0, "a", None, 2]), dtype=object),
    "category unused and ordered": lambda: pd.Categorical(repeated(["m"]), categories=["z", "m"], ordered=True),
}


@pytest.mark.parametrize("make", EXTENSION_COLUMNS.values(), ids=EXTENSION_COLUMNS.keys())
@pytest.mark.parametrize(
    "others",
    [
        lambda: {"s": column(["p", None], object), "n": np.arange(ROWS)},
        lambda: {"f": np.linspace(0, 1, ROWS)},
        lambda: {"i": np.arange(ROWS)},
        lambda: {"b": np.arange(ROWS) % 3 == 0},
        lambda: {"same": pd.array(repeated([5, None]), dtype="Int64")},
        lambda: {"d": pd.to_datetime(repeated(["2021-03-04", None]))},
        lambda: {},
    ],
    ids=["mixed", "float64", "int64", "bool", "Int64", "dates", "alone"],
)
def test_extension_columns(make, others):
    frame = pd.DataFrame({"x": make(), **others()})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        lossy = frame.values.dtype.kind in "iub" and frame["x"].isna().any()
    if lossy:
        # pandas' own `values` turns these missing cells into the smallest int64 or True; read
        # column by column, they stay missing.
        codes = Encoder().encode(frame)["x"]
        assert codes.isna().tolist() == frame["x"].isna().tolist()
        assert codes.dropna().tolist() == frame["x"].dropna().astype(float).tolist()
        return
    assert_same_results(frame)


@pytest.mark.parametrize(
    "make",
    [
        lambda: pd.Series(pd.period_range("2020-01-01", periods=ROWS)),
        lambda: pd.Series(np.arange(ROWS) + 1j),
        lambda: pd.Series(pd.arrays.SparseArray(repeated([0.0, 1.0, None]))),
    ],
    ids=["period", "complex", "sparse"],
)
def test_other_dtypes_fall_back_to_values(make):
    frame = pd.DataFrame({"x": make(), "s": column(["p", None], object), "n": np.arange(ROWS)})
    assert_same_results(frame)


def test_duplicate_names_and_small_frames():
    frame = pd.DataFrame([["a", 1.0, "b"]] * ROWS, columns=["k", "k", "k"])
    assert_same_results(frame)
    assert_same_results(frame.head(3))


cells = st.one_of(st.none(), st.text(max_size=6), st.sampled_from(["nan", "NaN", "<NA>", ""]))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.sampled_from(range(len(string_dtypes()))),
                          st.lists(cells, min_size=1, max_size=8)), min_size=1, max_size=4))
def test_random_string_frames(specs):
    dtypes = string_dtypes()
    frame = pd.DataFrame({f"c{i}": column(values, dtypes[kind]) for i, (kind, values) in enumerate(specs)})
    assert_same_results(frame)


def test_encoded_arrow_labels_decode_back():
    if not HAVE_PYARROW:
        pytest.skip("needs pyarrow")
    frame = pd.DataFrame({"s": column(["b", "a", None, "é"], pd.StringDtype("pyarrow"))})
    enc = Encoder()
    out = enc.decode(enc.encode(frame))
    assert out["s"].tolist()[:4] == ["b", "a", None, "é"]
    assert math.isnan(enc.encode(frame)["s"][2])


def test_extension_columns_leave_references_and_memory_flat():
    label = "label-" + "x" * 40
    frame = pd.DataFrame({
        "c": pd.Categorical(repeated([label, None, "b"])),
        "i": pd.array(repeated([1, None]), dtype="Int64"),
        "f": np.arange(ROWS, dtype=float),
    })
    category = frame["c"].cat.categories[frame["c"].cat.categories.get_loc(label)]
    enc = Encoder()
    for _ in range(50):
        enc.encode(frame)
    gc.collect()
    counts = (sys.getrefcount(category), sys.getrefcount(pd.NA))
    nones = sys.getrefcount(None)  # others use None too: only a count per call would be ours
    before = resident_bytes()
    for _ in range(1000):
        enc.encode(frame)
    gc.collect()
    grown = resident_bytes() - before
    assert (sys.getrefcount(category), sys.getrefcount(pd.NA)) == counts
    assert abs(sys.getrefcount(None) - nones) < 500
    assert grown < 4_000_000 or UNDER_ASAN, grown


@pytest.mark.parametrize(
    "labels",
    [
        lambda: ["a", "b"],
        lambda: pd.Index(["a", "b"], dtype=object),
        lambda: pd.Index(["a", "b"], name="features"),
        lambda: pd.Index(["a", "é"]),
        lambda: [0, 1],
    ],
    ids=["default", "object dtype", "named", "non-ASCII", "integers"],
)
@pytest.mark.parametrize("call", ["encode", "decode"])
def test_result_columns_are_those_pandas_makes_of_the_names(labels, call):
    frame = pd.DataFrame({"x": ["p", "q", "p"], "y": [1.0, 2.0, 3.0]})
    frame.columns = labels()
    enc = Encoder()
    out = enc.encode(frame)
    if call == "decode":
        out = enc.decode(out)
    expected = pd.DataFrame(np.zeros((3, 2)), columns=[str(label) for label in frame.columns]).columns
    pd.testing.assert_index_equal(out.columns, expected, exact=True)
    assert out.columns.name is None
    # Shared labels, if any, are not a shared object: naming one axis leaves the other alone.
    out.columns.name = "renamed"
    assert frame.columns.name in (None, "features")


@pytest.mark.parametrize("rows", [3, 50_000])
def test_result_columns_are_contiguous_in_one_block_pandas_keeps(rows):
    frame = pd.DataFrame({"s": ["b", "a"] * (rows // 2) + ["a"] * (rows % 2), "i": np.arange(rows),
                          "f": np.linspace(0, 1, rows)})
    out = Encoder().encode(frame)
    block = out.to_numpy()  # the one float64 block, seen as (rows, columns), without a copy
    for name in out.columns:
        column = out[name].to_numpy()
        assert column.flags.c_contiguous
        assert np.shares_memory(column, block)
    assert block.flags.f_contiguous
