"""Dask DataFrames: encoded partition by partition, with exactly the codes and maps of the whole
table encoded at once, on every scheduler."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask", reason="dask is not installed (pip install 'catenc[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="dask[dataframe] is not installed")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import catenc  # noqa: E402


@pytest.fixture(autouse=True)
def object_columns_stay_objects():
    # Dask turns object columns into strings by default; the tests choose their dtypes.
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "synchronous"}):
        yield


def partitioned(frame, cuts):
    """`frame` cut at the given row numbers (repeats give empty partitions)."""
    bounds = [0, *sorted(cuts), len(frame)]
    parts = [dask.delayed(frame.iloc[a:b].copy()) for a, b in zip(bounds, bounds[1:])]
    return dd.from_delayed(parts, meta=frame.iloc[:0], verify_meta=False)


def bits(frame):
    return frame.to_numpy(dtype=np.float64).view(np.uint64)


def assert_same_as_whole(ddf):
    """encode(ddf) gives, once computed, what the whole table gives, and learns the same maps."""
    whole = ddf.compute()
    ours, theirs = catenc.Encoder(), catenc.Encoder()
    lazy = ours.encode(ddf)
    assert isinstance(lazy, dd.DataFrame)
    assert lazy.npartitions == ddf.npartitions
    got = lazy.compute()
    want = theirs.encode(whole)
    assert list(got.columns) == list(want.columns)
    np.testing.assert_array_equal(bits(got), bits(want))
    pd.testing.assert_index_equal(got.index, whole.index)
    # The same maps: each decodes the other's codes to the same labels.
    pd.testing.assert_frame_equal(ours.decode(want), theirs.decode(want))
    decoded = ours.decode(lazy).compute()
    pd.testing.assert_frame_equal(decoded.reset_index(drop=True), theirs.decode(want))
    return got


CELLS = st.one_of(
    st.sampled_from(["a", "b", "nan", "<NA>", "", "B", "é", None, np.nan, 1, 1.0, 2.5, -0.0, True]),
    st.floats(allow_nan=True, width=64),
    st.integers(-3, 3),
    st.text(max_size=3),
)


try:
    TEXT_DTYPES = [pd.StringDtype(), pd.StringDtype(na_value=np.nan)]
except TypeError:  # pandas before 2.3 has the one with NA only
    TEXT_DTYPES = [pd.StringDtype()]


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 12))
    columns = {}
    for i in range(draw(st.integers(1, 4))):
        kind = draw(
            st.sampled_from(["object", "float", "int", "str", "category", "masked", "boolean", "bool", "dates"])
        )
        name = f"c{i}"
        if kind == "object":
            columns[name] = pd.Series(draw(st.lists(CELLS, min_size=rows, max_size=rows)), dtype=object)
        elif kind == "float":
            columns[name] = pd.Series(draw(st.lists(st.floats(width=64), min_size=rows, max_size=rows)), dtype=float)
        elif kind == "int":
            columns[name] = pd.Series(draw(st.lists(st.integers(-(2**62), 2**62), min_size=rows, max_size=rows)))
        elif kind == "str":
            texts = st.one_of(st.none(), st.sampled_from(["x", "y", "nan", "10"]))
            # pandas' text dtype with NA, and with NaN (the default of pandas 3) for a missing cell.
            dtype = draw(st.sampled_from(TEXT_DTYPES))
            columns[name] = pd.Series(draw(st.lists(texts, min_size=rows, max_size=rows)), dtype=dtype)
        elif kind == "category":
            values = draw(st.lists(st.sampled_from(["p", "q", None, "r"]), min_size=rows, max_size=rows))
            columns[name] = pd.Series(values, dtype=pd.CategoricalDtype(["p", "q", "r"]))
        elif kind == "masked":
            values = draw(st.lists(st.one_of(st.none(), st.integers(-5, 5)), min_size=rows, max_size=rows))
            columns[name] = pd.Series(values, dtype="Int64")
        elif kind == "boolean":
            values = draw(st.lists(st.one_of(st.none(), st.booleans()), min_size=rows, max_size=rows))
            columns[name] = pd.Series(values, dtype="boolean")
        elif kind == "bool":
            columns[name] = pd.Series(draw(st.lists(st.booleans(), min_size=rows, max_size=rows)), dtype=bool)
        else:
            days = draw(st.lists(st.integers(0, 3), min_size=rows, max_size=rows))
            columns[name] = pd.Series(pd.to_datetime(days, unit="D"))
    frame = pd.DataFrame(columns)
    cuts = draw(st.lists(st.integers(0, rows), max_size=5))
    return frame, cuts


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames())
def test_any_partitioning_gives_the_whole_tables_codes(case):
    frame, cuts = case
    assert_same_as_whole(partitioned(frame, cuts))


@pytest.mark.parametrize(
    "cells, cuts",
    [
        # The first non-number in a later partition: earlier numbers take their float text.
        ([1.0, 2.0, "a", 1.0, 2.0], [2]),
        ([1.0, 2.0, "a", 1.0, 2.0], [1, 4]),
        # Numbers before it in its own partition, and a partition of numbers only after it.
        ([1.0, "a", 1.0, 1.0, 2.5], [2, 3]),
        # Empty partitions and partitions of one row on every side.
        ([3, "x", 3.0, None, np.nan], [0, 0, 1, 1, 2, 5, 5]),
        # A column of numbers only stays numeric however it is cut.
        ([1, 2.5, np.nan, True], [1, 2, 3]),
    ],
)
def test_numbers_are_written_by_where_the_first_non_number_lies(cells, cuts):
    frame = pd.DataFrame({"x": pd.Series(cells, dtype=object), "n": np.arange(len(cells))})
    assert_same_as_whole(partitioned(frame, cuts))


def test_the_result_is_lazy_and_keeps_partitions_and_index():
    frame = pd.DataFrame({"city": ["b", "a", "c", "a"] * 5, "n": range(20)}, index=range(100, 120))
    ddf = dd.from_pandas(frame, npartitions=4)
    calls = []
    counted = ddf.map_partitions(lambda part: calls.append(1) or part, meta=ddf._meta)
    enc = catenc.Encoder()
    lazy = enc.encode(counted)
    learning_calls = len(calls)
    assert learning_calls == 4  # one pass to learn
    assert lazy.divisions == ddf.divisions
    got = lazy.compute()
    assert len(calls) == 8  # and one for the codes, when computed
    assert got.index.tolist() == list(range(100, 120))
    assert got["city"].tolist() == [1.0, 0.0, 2.0, 0.0] * 5
    assert got.dtypes.tolist() == [np.float64, np.float64]


def test_maps_travel_between_dask_pandas_and_numpy():
    frame = pd.DataFrame({"city": pd.Series(["b", "a", None], dtype=object), "n": [1.0, 2.0, 3.0]})
    ddf = dd.from_pandas(frame, npartitions=2)
    from_dask = catenc.Encoder()
    codes = from_dask.encode(ddf).compute()
    assert from_dask.decode(codes)["city"].tolist() == ["b", "a", "None"]
    assert from_dask.decode(codes.to_numpy())[:, 0].tolist() == ["b", "a", "None"]
    from_pandas = catenc.Encoder()
    from_pandas.encode(frame)
    decoded = from_pandas.decode(dd.from_pandas(codes, npartitions=2)).compute()
    assert decoded["city"].tolist() == ["b", "a", "None"]
    assert decoded["n"].tolist() == [1.0, 2.0, 3.0]


def test_decode_of_a_table_too_narrow_is_refused():
    enc = catenc.Encoder()
    enc.encode(pd.DataFrame({"n": [1.0], "city": ["x"]}))
    with pytest.raises(ValueError, match="at least 2 columns are needed|at least 2 names are needed"):
        enc.decode(dd.from_pandas(pd.DataFrame({"n": [0.0]}), npartitions=1))


def test_decode_without_maps_gives_what_encode_gives_and_learns_nothing():
    frame = pd.DataFrame({"city": ["b", "a"]})
    enc = catenc.Encoder()
    got = enc.decode(dd.from_pandas(frame, npartitions=2)).compute()
    assert got["city"].tolist() == [1.0, 0.0]
    assert enc.decode(np.array([[0.0]])).tolist() == [[0.0]]  # still nothing learned


def test_a_partition_that_does_not_match_the_meta_is_named():
    frame = pd.DataFrame({"city": ["a", "b"], "n": [1, 2]})
    wrong = pd.DataFrame({"city": ["c"], "n": [3.5]})
    ddf = dd.from_delayed([dask.delayed(frame), dask.delayed(wrong)], meta=frame.iloc[:0], verify_meta=False)
    enc = catenc.Encoder()
    kept = enc.encode(np.array([["kept"]], dtype=object))
    with pytest.raises(ValueError, match=r"partition 1 .* column 'n' \(position 1\) has dtype float64, the meta int64"):
        enc.encode(ddf)
    assert enc.decode(kept).tolist() == [["kept"]]
    renamed = pd.DataFrame({"town": ["c"], "n": [3]})
    ddf = dd.from_delayed([dask.delayed(frame), dask.delayed(renamed)], meta=frame.iloc[:0], verify_meta=False)
    with pytest.raises(ValueError, match=r"partition 1 .* has the columns \['town', 'n'\], the meta \['city', 'n'\]"):
        enc.encode(ddf)


def test_dasks_own_text_columns():
    # Dask's default: object columns become its text dtype when the collection is made.
    frame = pd.DataFrame({"a": pd.Series(["b", None, "a", 1.5], dtype=object), "n": [1, 2, 3, 4]})
    with dask.config.set({"dataframe.convert-string": True}):
        ddf = dd.from_pandas(frame, npartitions=3)
    assert ddf.dtypes["a"] != object
    assert_same_as_whole(ddf)


def test_threads_scheduler_and_persisted_input():
    rng = np.random.default_rng(5)
    frame = pd.DataFrame(
        {
            "a": rng.choice(["x", "y", "z", None], 5000).astype(object),
            "b": rng.integers(0, 50, 5000),
            "c": pd.Categorical(rng.choice(["p", "q"], 5000)),
        }
    )
    with dask.config.set(scheduler="threads"):
        ddf = dd.from_pandas(frame, npartitions=7).persist()
        assert_same_as_whole(ddf)


def test_a_failure_inside_catenc_on_a_partition_reaches_the_caller():
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    frame = pd.DataFrame({"x": pd.Series(["a", Unprintable()], dtype=object)})
    with pytest.raises(RuntimeError, match="catenc failed on partition 0: cant convert to str"):
        catenc.Encoder().encode(partitioned(frame, []))


def test_nothing_of_dask_is_imported_for_other_inputs():
    code = (
        "import sys, numpy as np, pandas as pd, catenc\n"
        "enc = catenc.Encoder()\n"
        "enc.encode(np.array([['a']], dtype=object)); enc.encode(pd.DataFrame({'a': ['x']}))\n"
        "enc.decode(pd.DataFrame({'a': [0.0]}))\n"
        "assert not [m for m in sys.modules if m.startswith(('dask', '_catenc'))], sorted(sys.modules)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_a_local_cluster_of_processes():
    distributed = pytest.importorskip("distributed", reason="distributed is not installed")
    rng = np.random.default_rng(7)
    rows = 20_000
    frame = pd.DataFrame(
        {
            "low": rng.choice(["a", "b", "c"], rows).astype(object),
            # Numbers, then text from row 15,000 on: the fourth partition holds its first non-number.
            "mixed": pd.Series([1.5] * 15_000 + ["t"] * (rows - 15_000), dtype=object),
            "high": pd.Series([f"id{v}" for v in rng.integers(0, 5000, rows)], dtype="string"),
            "n": rng.normal(size=rows),
        }
    )
    frame.loc[frame.index[::7], "mixed"] = 2.0
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster, timeout=60) as client:
        ddf = dd.from_pandas(frame, npartitions=6).persist()
        distributed.wait(ddf)
        with dask.config.set(scheduler=client):
            assert_same_as_whole(ddf)
            bad = dd.from_delayed(
                [dask.delayed(frame.iloc[:10]), dask.delayed(frame.iloc[10:20].astype({"n": object}))],
                meta=frame.iloc[:0],
                verify_meta=False,
            )
            with pytest.raises(ValueError, match="partition 1 of the Dask DataFrame does not match its meta"):
                catenc.Encoder().encode(bad)


@pytest.mark.parametrize("text", ["object", "string[pyarrow]"])
def test_partitions_of_mostly_distinct_labels_on_both_sides_of_grouping_rows_by_hash(text):
    # A partition of 131,072 rows or more whose labels are mostly distinct looks its rows up in the
    # vocabulary by groups of hash; a smaller one looks up its distinct labels. Either gives the
    # whole table's codes.
    pytest.importorskip("pyarrow")
    rng = np.random.default_rng(3)
    rows = 131_071 + 131_072 + 40_000
    words = np.array([f"w{v:07d}" for v in rng.permutation(400_000)[:rows]], dtype=object)
    words[rng.integers(0, rows, 500)] = "nan"
    frame = pd.DataFrame(
        {
            "high": pd.Series(words, dtype=text),
            "repeats": pd.Series(words[rng.integers(0, 5000, rows)], dtype=text),
            "n": np.arange(rows, dtype=np.float64),
        }
    )
    assert_same_as_whole(partitioned(frame, [131_071, 131_071 + 131_072]))
