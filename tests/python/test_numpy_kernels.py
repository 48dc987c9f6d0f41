"""NumPy arrays whose memory is read by a kernel: each gives, bit for bit, the codes and labels that
item access and str() of every cell give, whatever the array's layout and size."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import catenc


class ndarray(np.ndarray):  # noqa: N801 - the name catenc accepts
    """A subclass: catenc reads its cells through item access, one by one."""


def by_item_access(array):
    return array.view(ndarray)


def assert_same_as_item_access(array):
    fast, plain = catenc.Encoder(), catenc.Encoder()
    got = fast.encode(array)
    want = plain.encode(by_item_access(array))
    np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))
    # repr tells a float NaN from the str "NaN", and both equal themselves.
    assert [list(map(repr, row)) for row in fast.decode(got).tolist()] == [
        list(map(repr, row)) for row in plain.decode(want).tolist()
    ]
    return got


def laid_out(array, layout):
    """The same cells in another memory layout."""
    if layout == "C":
        return np.ascontiguousarray(array)
    if layout == "F":
        return np.asfortranarray(array)
    if layout == "strided":
        wide = np.empty((array.shape[0] * 2, array.shape[1] * 3), dtype=array.dtype)
        wide[::2, ::3] = array
        return wide[::2, ::3]
    if layout == "reversed":
        return np.ascontiguousarray(array[::-1, ::-1])[::-1, ::-1]
    if layout == "transposed":
        return np.ascontiguousarray(array.T).T
    raise AssertionError(layout)


LAYOUTS = ["C", "F", "strided", "reversed", "transposed"]

StringDType = getattr(np.dtypes, "StringDType", None)
needs_string_dtype = pytest.mark.skipif(StringDType is None, reason="NumPy before 2.0 has no StringDType")

TEXTS = st.sampled_from(["a", "b", "", "nan", "NaN", "<NA>", "None", "é", "日本", "a" * 20, "b" * 40, "\x00x"])


@st.composite
def string_arrays(draw):
    kind = draw(st.sampled_from(["none", "None", "nan", "text", "pd.NA"]))
    if kind == "none":
        dtype, cells = StringDType(), TEXTS
    else:
        na = {"None": None, "nan": np.nan, "text": "NA!"}.get(kind)
        if kind == "pd.NA":
            na = pytest.importorskip("pandas").NA
        dtype, cells = StringDType(na_object=na), st.one_of(TEXTS, st.just(na))
    rows = draw(st.integers(0, 40))
    columns = draw(st.integers(1, 3))
    values = draw(st.lists(st.lists(cells, min_size=columns, max_size=columns), min_size=rows, max_size=rows))
    array = np.array(values, dtype=dtype).reshape(rows, columns)
    return laid_out(array, draw(st.sampled_from(LAYOUTS)))


@needs_string_dtype
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(string_arrays())
def test_string_dtype_arrays_read_as_item_access_gives_them(array):
    assert_same_as_item_access(array)


@needs_string_dtype
@pytest.mark.parametrize("rows", [5_000, 70_000, 140_000])  # around the inline, task and dedup sizes
@pytest.mark.parametrize("na", [None, np.nan])
def test_string_dtype_arrays_of_many_rows(rows, na):
    rng = np.random.default_rng(rows)
    words = np.array([f"w{i}" for i in range(rows // 3)] + ["x" * 30, na], dtype=object)
    array = words[rng.integers(0, len(words), (rows, 2))].astype(StringDType(na_object=na))
    assert_same_as_item_access(array)


@needs_string_dtype
@pytest.mark.parametrize(
    "na, cells, labels",
    [
        # A NaN na_object is a number: missing, and numbers only leave the column numeric.
        (np.nan, [[np.nan], [np.nan]], None),
        (np.nan, [[np.nan], ["a"], [np.nan]], ["a", "NaN", "NaN"]),
        (None, [["a"], [None]], ["a", "None"]),
        ("NA!", [["b"], [None]], ["b", "None"]),
    ],
)
def test_string_dtype_nulls_are_what_item_access_gives(na, cells, labels):
    array = np.array(cells, dtype=StringDType(na_object=na))
    enc = catenc.Encoder()
    codes = assert_same_as_item_access(array)
    if labels is None:
        assert np.isnan(codes).all()
        assert enc.decode(enc.encode(array)).dtype == object
    else:
        assert sorted(set(enc.decode(enc.encode(array)).ravel().tolist()) - {"NaN"}) == sorted(
            set(labels) - {"NaN"}
        )
