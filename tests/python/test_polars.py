"""polars DataFrames go in and come back out: read through their Arrow stream, without pandas, and
encoded as polars itself would number each text column's sorted labels."""

import datetime as dt
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from catenc import Encoder

pl = pytest.importorskip("polars")

MARKERS = ("nan", "NaN", "<NA>")


def polars_codes(series):
    """polars' own numbering of a text column's labels in byte order, the markers missing."""
    text = series.cast(pl.String).to_list()
    labels = sorted({v for v in text if v is not None and v not in MARKERS}, key=lambda v: v.encode())
    cleaned = pl.Series([None if v in MARKERS else v for v in text], dtype=pl.String)
    codes = cleaned.cast(pl.Enum(labels)).to_physical().to_list()
    return [math.nan if code is None else float(code) for code in codes]


def same(a, b):
    return all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b, strict=True))


texts = st.one_of(st.none(), st.sampled_from(["a", "b", "nan", "NaN", "<NA>", "", "é", "Z", "10", "9"]),
                  st.text(max_size=4))


@settings(max_examples=60, deadline=None)
@given(st.lists(texts, max_size=30), st.sampled_from(["String", "Categorical", "Enum"]))
def test_text_codes_are_polars_own(values, kind):
    if kind == "Enum":
        categories = sorted({v for v in values if v is not None}) or ["x"]
        series = pl.Series("t", values, dtype=pl.Enum(categories))
    else:
        series = pl.Series("t", values, dtype=getattr(pl, kind))
    frame = pl.DataFrame([series, pl.Series("n", range(len(values)), dtype=pl.Int32)])
    enc = Encoder()
    out = enc.encode(frame)
    assert isinstance(out, pl.DataFrame) and out.columns == ["t", "n"]
    assert out.dtypes == [pl.Float64, pl.Float64]
    if values:
        assert same(out["t"].to_list(), polars_codes(series))
    # Back to text: every label, and null where it was missing.
    back = enc.decode(out)
    assert back["t"].dtype == pl.String if values else True
    if values:
        assert back["t"].to_list() == [None if v is None or v in MARKERS else v for v in series.cast(pl.String).to_list()]


@pytest.mark.parametrize(
    "series, expected",
    [
        (pl.Series([1, None, -3], dtype=pl.Int8), [1.0, math.nan, -3.0]),
        (pl.Series([2**64 - 1, None], dtype=pl.UInt64), [float(2**64 - 1), math.nan]),
        (pl.Series([1.5, None, float("inf")], dtype=pl.Float32), [1.5, math.nan, math.inf]),
        (pl.Series([True, None, False], dtype=pl.Boolean), [1.0, math.nan, 0.0]),
        (pl.Series([None, None], dtype=pl.Null), [math.nan, math.nan]),
        (pl.Series(["1.25", None]).cast(pl.Decimal(10, 2)), [1.25, math.nan]),
    ],
    ids=["Int8", "UInt64", "Float32", "Boolean", "Null", "Decimal"],
)
def test_numbers_stay_numbers(series, expected):
    frame = pl.DataFrame([series.alias("x"), pl.Series("s", ["a"] * len(series))])
    enc = Encoder()
    out = enc.encode(frame)
    assert same(out["x"].to_list(), expected)
    assert enc.decode(out)["x"].dtype == pl.Float64


@pytest.mark.parametrize(
    "series",
    [
        pl.Series([dt.date(2020, 1, 2), None, dt.date(1999, 12, 31)]),
        pl.Series([dt.datetime(2020, 1, 2, 3, 4, 5, 6), None, dt.datetime(1970, 1, 1)]),
        pl.Series([dt.datetime(2020, 1, 2, 3, 4, 5)] * 2 + [None]).dt.replace_time_zone("Europe/Paris"),
        pl.Series([dt.time(1, 2, 3), None, dt.time(0, 0, 0, 5)]),
    ],
    ids=["Date", "Datetime", "Datetime with zone", "Time"],
)
def test_dates_and_times_are_labelled_as_polars_writes_them(series):
    frame = pl.DataFrame([series.alias("d")])
    enc = Encoder()
    back = enc.decode(enc.encode(frame))["d"].to_list()
    assert back == series.cast(pl.String).to_list()


def test_durations_are_labelled_in_iso_8601():
    series = pl.Series("d", [dt.timedelta(days=1, seconds=61), None, dt.timedelta(days=-1)])
    enc = Encoder()
    assert enc.decode(enc.encode(pl.DataFrame([series])))["d"].to_list() == ["P1DT1M1S", None, "-P1D"]


def test_other_types_are_refused_with_the_column_named():
    frame = pl.DataFrame({"ok": [1, 2], "nested": [[1], [2, 3]]})
    with pytest.raises(TypeError, match="^cannot encode column 'nested' of Arrow type"):
        Encoder().encode(frame)


def test_float_results_are_polars_columns_over_one_block():
    frame = pl.DataFrame({"a": np.arange(5.0), "b": ["x", "y"] * 2 + ["x"]})
    out = Encoder().encode(frame)
    a, b = (out[name].to_numpy() for name in ("a", "b"))
    assert a.flags.c_contiguous and b.flags.c_contiguous
    assert a.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0] and b.tolist() == [0.0, 1.0, 0.0, 1.0, 0.0]


WITHOUT_PANDAS = """
import sys
class NoPandas:
    def find_spec(self, name, path=None, target=None):
        if name == "pandas" or name.startswith("pandas."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, NoPandas())
import polars as pl
import numpy as np
from catenc import Encoder
enc = Encoder()
out = enc.encode(pl.DataFrame({"s": ["b", None, "a"], "n": [1, 2, 3]}))
print(out["s"].to_list(), enc.decode(out)["s"].to_list(), "pandas" in sys.modules)
"""

WITHOUT_POLARS = """
import sys
import numpy as np, pandas as pd
from catenc import Encoder
enc = Encoder()
enc.decode(enc.encode(pd.DataFrame({"s": ["b", None, "a"], "n": [1, 2, 3]})))
enc.decode(enc.encode(np.array([["b"], ["a"]], dtype=object)))
print("polars" in sys.modules)
"""


def test_polars_frames_need_no_pandas():
    done = subprocess.run([sys.executable, "-c", WITHOUT_PANDAS], capture_output=True, text=True, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[0] == "[1.0, nan, 0.0] ['b', None, 'a'] False"


def test_polars_is_imported_only_for_polars_frames():
    done = subprocess.run([sys.executable, "-c", WITHOUT_POLARS], capture_output=True, text=True, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["False"]
