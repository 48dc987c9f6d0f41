"""DataFrames read column by column (their own arrays, Arrow buffers) must give exactly what
reading `values` cell by cell gives: same numeric-or-label verdicts, codes, maps."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from catenc import Encoder

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


@pytest.mark.parametrize("dtype", string_dtypes(), ids=str)
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


@pytest.mark.parametrize(
    "make",
    [
        lambda: pd.Series(pd.array([1, None, 3] * 100, dtype="Int64")),
        lambda: pd.Series(pd.Categorical(["a", "b", None] * 100)),
        lambda: pd.Series(pd.date_range("2020-01-01", periods=ROWS)),
        lambda: pd.Series(np.arange(ROWS) + 1j),
    ],
    ids=["Int64", "category", "datetime", "complex"],
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
