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


FIXED_TEXTS = st.sampled_from(["a", "b", "", "nan", "NaN", "<NA>", "é", "日本", "\x00x", "x\x00", "ab\x00\x00", "\ud800",
                               "it's", 'say "x"', "\\\t\n", "zzzzzzzzzzzz"])


@st.composite
def fixed_text_arrays(draw):
    kind = draw(st.sampled_from(["<U", ">U", "S"]))
    rows = draw(st.integers(0, 40))
    columns = draw(st.integers(1, 3))
    if kind == "S":
        cells = st.binary(max_size=6)
    else:
        cells = st.one_of(FIXED_TEXTS, st.text(max_size=4))
    values = draw(st.lists(st.lists(cells, min_size=columns, max_size=columns), min_size=rows, max_size=rows))
    width = draw(st.integers(1, 14))
    if kind == "S":
        array = np.array(values, dtype=f"S{width}").reshape(rows, columns)
    else:
        # Surrogates cannot pass through NumPy's constructor as str; their units go in as numbers.
        units = [[[ord(c) for c in cell[:width]] + [0] * (width - len(cell[:width])) for cell in row] for row in values]
        array = np.array(units, dtype=np.uint32).reshape(rows, columns * width).view(f"<U{width}")
        array = array.astype(f"{kind}{width}")
    return laid_out(array, draw(st.sampled_from(LAYOUTS)))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(fixed_text_arrays())
def test_fixed_width_text_arrays_read_as_item_access_gives_them(array):
    assert_same_as_item_access(array)


UNITS = ["Y", "M", "W", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as"]


@st.composite
def time_arrays(draw):
    kind = draw(st.sampled_from(["M8", "m8"]))
    unit = draw(st.sampled_from(UNITS + ["5s", "2D", "3ms", "7ns"]))
    rows = draw(st.integers(0, 30))
    columns = draw(st.integers(1, 3))
    big = st.integers(-(2**63) + 1, 2**63 - 1)
    near = st.integers(-(10**6), 10**6)
    nat = st.just(-(2**63))
    values = draw(st.lists(st.one_of(near, big, nat), min_size=rows * columns, max_size=rows * columns))
    dtype = np.dtype(f"{kind}[{unit}]")
    if draw(st.booleans()):
        dtype = dtype.newbyteorder(">")
    array = np.array(values, dtype=np.int64).view(f"{kind}[{unit}]").reshape(rows, columns).astype(dtype)
    return laid_out(array, draw(st.sampled_from(LAYOUTS)))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(time_arrays())
def test_datetime64_and_timedelta64_arrays_read_as_item_access_gives_them(array):
    assert_same_as_item_access(array)


def many(rows, dtype, seed):
    rng = np.random.default_rng(seed)
    if dtype.startswith(("M8", "m8")):
        values = rng.integers(0, 3000, (rows, 2)).astype(np.int64) * 86400
        values[rng.random((rows, 2)) < 0.01] = -(2**63)
        return values.view(dtype)
    words = np.array([f"w{i}" for i in range(max(rows // 3, 1))] + ["x" * 9])
    return words[rng.integers(0, len(words), (rows, 2))].astype(dtype)


# Around the sizes where reading changes: the calling thread alone, a chunk of rows per task, one
# pass of deduplication or two.
@pytest.mark.parametrize("rows", [5_000, 8_193, 70_000, 140_000])
@pytest.mark.parametrize("dtype", ["<U9", ">U9", "S9", "M8[s]", "m8[s]", "M8[ns]"])
def test_kernels_on_many_rows(rows, dtype):
    assert_same_as_item_access(many(rows, dtype, rows))


def dates_of(kind, rows, rng):
    """Three columns of int64 date keys of one kind."""
    if kind == "days and NaT":
        values = rng.integers(0, 3000, (rows, 3)) * 86400
        values[rng.random((rows, 3)) < 0.01] = -(2**63)
    elif kind == "days spreading":  # later rows reach past the range the first ones show
        values = rng.integers(0, 2**62, (rows, 3)) % (np.arange(rows)[:, None] // 16 + 2) * 86400
    elif kind == "days, a few off the grid":
        values = rng.integers(0, 500, (rows, 3)) * 86400 + (rng.random((rows, 3)) < 0.001) * 17
    elif kind == "seconds on no grid":
        values = rng.integers(0, 2**40, 5000)[rng.integers(0, 5000, (rows, 3))]
    elif kind.endswith("distinct"):  # on both sides of the sizes where key tables change
        values = rng.integers(0, int(kind.split()[0]), (rows, 3)) * 3
    else:
        raise AssertionError(kind)
    return values.astype(np.int64)


# Date columns find their keys together, a block of rows at a time, on a grid of dates or in a hash
# table: sizes around a block, a piece of blocks, and distinct counts around where the tables grow.
DATE_KINDS = ["days and NaT", "days spreading", "days, a few off the grid", "seconds on no grid", "8000 distinct",
              "9000 distinct", "60000 distinct", "70000 distinct"]


@pytest.mark.parametrize(
    ("kind", "rows"),
    [(kind, rows) for kind in DATE_KINDS for rows in [1_023, 1_025, 16_385, 70_000]
     if not kind.endswith("distinct") or int(kind.split()[0]) <= rows],
)
def test_date_columns_on_many_rows(kind, rows):
    rng = np.random.default_rng(rows)
    values = dates_of(kind, rows, rng)
    dtype, layout = {1_023: ("M8[D]", "strided"), 1_025: ("m8[s]", "F"), 16_385: ("M8[ns]", "reversed"),
                     70_000: ("M8[s]", "C")}[rows]
    assert_same_as_item_access(laid_out(values.view(dtype), layout))


def test_memmaps_and_views(tmp_path):
    array = many(3000, "<U9", 1)
    mapped = np.lib.format.open_memmap(tmp_path / "a.npy", mode="w+", dtype=array.dtype, shape=array.shape)
    mapped[:] = array
    assert_same_as_item_access(mapped)
    assert_same_as_item_access(array[::-3, ::-1])
    dates = many(3000, "M8[s]", 2)
    assert_same_as_item_access(dates[10:-10:2])


def test_a_unit_past_unicode_is_one_replacement_character_on_every_path():
    # NumPy's item access makes of such a unit a str no valid str is; its label is U+FFFD, as for
    # the same unit in an object array.
    array = np.array([[0x110000, 0x41], [0x41, 0]], dtype=np.uint32).view("<U2")
    codes = assert_same_as_item_access(array)
    assert catenc.Encoder().encode(array.astype(object)).tolist() == codes.tolist()
    enc = catenc.Encoder()
    enc.encode(array)
    assert enc.decode(codes).ravel().tolist() == ["\ufffdA", "A"]


@pytest.mark.parametrize(
    "frame_of",
    [
        # A frame whose `values` is one of these dtypes is read by the same kernels.
        lambda pd, v: pd.DataFrame({"d": v.astype("M8[ns]")}),
        lambda pd, v: pd.DataFrame({"a": (v - v[0]).astype("m8[s]"), "b": (v[::-1] - v[0]).astype("m8[s]")}),
    ],
)
def test_frames_whose_values_are_dates(frame_of):
    pd = pytest.importorskip("pandas")
    values = np.datetime64("2021-01-01", "s") + np.arange(0, 20_000 * 3600, 3600).astype("m8[s]")
    frame = frame_of(pd, values)
    fast, plain = catenc.Encoder(), catenc.Encoder()
    got = fast.encode(frame)
    want = plain.encode(by_item_access(frame.values))
    np.testing.assert_array_equal(got.to_numpy().view(np.uint64), want.view(np.uint64))
    assert fast.decode(got).to_numpy().tolist() == plain.decode(want).tolist()
