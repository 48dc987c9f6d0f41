"""A DataFrame read by catenc against the same frame read through `values`, cell by cell.

An exact pandas.DataFrame is read from pandas' own storage, column by column; a subclass of
DataFrame is read through `values`. Both must give the same result: the same codes bit for bit and
the same learned maps (decoding both encoders' outputs, and a probe of every code, gives the same
labels). The one allowed difference: where `values` is of kind i, u or b, a category column with
missing cells goes through float64 there and its missing cells become integers or True; read column
by column, they stay NaN and the other cells keep their categories' values.

`frames()` draws random frames of every column kind pandas offers (object cells of all sorts,
string dtypes of each storage, categories of many bases, nullable numbers, dates, durations, NumPy
numbers); `make_frame` builds one; `check_frame` compares the two ways. Used by the test suite at
sizes around every threshold and by tests/fuzz/fuzz_frames.py for long runs.
"""

import math
import struct

import numpy as np
import pandas as pd
from hypothesis import strategies as st

import catenc

MIN_ROWS, MAX_ROWS = 0, 600
# Row counts at which the reading code changes its way: a table of under 2^14 cells is encoded on
# the calling thread (2^14 rows of one column, 2^13 of two, ...), columns split their rows into
# tasks of 2^15 or 2^16 rows, and label encoding splits a column into chunks from 2^14 rows on and
# samples it from 2^15. Test sizes lie on both sides of each.
THRESHOLDS = [1 << 12, 1 << 13, 1 << 14, 1 << 15, 1 << 16]
SMALL_SIZES = st.one_of(st.integers(0, 5), st.integers(MIN_ROWS, MAX_ROWS))
LARGE_SIZES = st.sampled_from(sorted({t + d for t in THRESHOLDS for d in (-1, 1)}))
SIZES = st.one_of(SMALL_SIZES, SMALL_SIZES, LARGE_SIZES)
PANDAS_VERSION = tuple(int(part) for part in pd.__version__.split(".")[:2])

try:
    import pyarrow  # noqa: F401

    HAVE_PYARROW = True
except ImportError:
    HAVE_PYARROW = False

# Disagreements a caller may choose to look past (see tests/fuzz/fuzz_frames.py).
TOLERATED = set()


class DataFrame(pd.DataFrame):  # noqa: N801 - accepted by its name, read through `values`
    @property
    def _constructor(self):
        return DataFrame


def string_dtypes():
    """Every string dtype this pandas can make: storage and missing value."""
    candidates = [lambda: pd.StringDtype("python")]
    if PANDAS_VERSION >= (2, 3):
        candidates.append(lambda: pd.StringDtype("python", na_value=np.nan))
    if HAVE_PYARROW:
        candidates.append(lambda: pd.StringDtype("pyarrow"))
        candidates.append(lambda: pd.StringDtype("pyarrow_numpy"))  # pandas 2.1 and 2.2
        if PANDAS_VERSION >= (2, 3):
            candidates.append(lambda: pd.StringDtype("pyarrow", na_value=np.nan))
    dtypes = []
    for make in candidates:
        try:
            dtypes.append(make())
        except (ValueError, TypeError, ImportError):
            pass
    return dtypes


STRING_DTYPES = string_dtypes()

# ------------------------------------------------------------------------------------- cells


def float_of_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


special_floats = st.sampled_from([
    1.0, 0.1, -0.0, 0.0, math.inf, -math.inf, math.nan, 1e300, -1e300, 5e-324, 2.0**53 + 2, 1e16,
    123456.789, 0.5, 3.0, -2.0, 1e23, 2.0**63, 2.0**64,
])
nan_payloads = st.builds(
    lambda sign, quiet, payload: float_of_bits((sign << 63) | 0x7FF0000000000000 | (quiet << 51) | payload),
    st.integers(0, 1), st.integers(0, 1), st.integers(1, 2**51 - 1),
)
floats = st.one_of(special_floats, st.floats(), st.integers(-5, 40).map(float), nan_payloads)

special_ints = st.sampled_from([
    0, 1, -1, 7, 2**31, 2**53 + 1, 2**63 - 1, -(2**63), 2**64 - 1, 2**64, 10**30, 2**1100, -(2**1100),
])
ints = st.one_of(st.integers(-5, 40), special_ints, st.integers(-(2**63), 2**63 - 1))

special_texts = st.sampled_from([
    "nan", "NaN", "<NA>", "", "None", "NAN", "nan ", "1", "1.0", "-0", "inf", "NaT", "True", "a", "b",
    "é", "日本", "\x00", "\U0001F600", "a b",
])
arrow_texts = st.one_of(special_texts, st.text(max_size=5))  # no lone surrogates: Arrow refuses them
python_texts = st.one_of(arrow_texts, st.sampled_from(["\ud800", "a\udfffb"]))

object_cells = st.one_of(
    python_texts,
    floats,
    ints,
    st.sampled_from([None, pd.NA, True, False, np.nan, pd.NaT]),
    floats.map(np.float64),
    floats.map(np.float32),
    st.integers(0, 2**16 - 1).map(lambda b: np.uint16(b).view(np.float16)),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    st.booleans().map(np.bool_),
    st.sampled_from([pd.Timestamp("2020-01-02"), pd.Timedelta("1s"), 1j, b"ab", np.str_("np"),
                     np.datetime64("2020-01-02"), np.datetime64("NaT")]),
)


def unique(values):
    """Distinct values by equality, as a category index wants them: 1, 1.0 and True are one."""
    kept = []
    for value in values:
        if isinstance(value, float) and math.isnan(value):
            continue
        if not any(_equal(value, other) for other in kept):
            kept.append(value)
    return kept


def _equal(a, b):
    try:
        return bool(a == b)
    except Exception:  # noqa: BLE001 - incomparable objects are distinct
        return False


# ------------------------------------------------------------------------------------- columns
# A column is a (kind, recipe) pair; `build` turns it into a Series of the given number of rows.
# Which pool entry each row takes follows from a seed, so that Hypothesis keeps its data small.


def layout(draw):
    """How rows pick pool entries: a seed, a share of missing cells, and forced first rows."""
    missing = draw(st.sampled_from([0.0, 0.0, 0.1, 0.5, 0.97, 1.0]))
    seed = draw(st.integers(0, 2**32 - 1))
    head = draw(st.lists(st.integers(-1, 7), max_size=3))  # -1: missing
    return {"missing": missing, "seed": seed, "head": head}


def picks(recipe, rows, size):
    """Index into the pool for every row, -1 for a missing cell."""
    rng = np.random.default_rng(recipe["seed"])
    index = rng.integers(0, max(size, 1), rows) if size else np.full(rows, -1)
    index[rng.random(rows) < recipe["missing"]] = -1
    for row, value in enumerate(recipe["head"][:rows]):
        index[row] = -1 if value < 0 or size == 0 else value % size
    return index


@st.composite
def object_column(draw):
    pool = draw(st.lists(object_cells, min_size=1, max_size=8))
    missing = draw(st.sampled_from([None, np.nan, pd.NA]))
    return "object", {"pool": pool, "na": missing, **layout(draw)}


@st.composite
def string_column(draw):
    dtype = draw(st.sampled_from(range(len(STRING_DTYPES))))
    storage = STRING_DTYPES[dtype].storage
    pool = draw(st.lists(python_texts if storage == "python" else arrow_texts, max_size=8))
    pieces = draw(st.integers(1, 3))  # concatenated Arrow columns have several chunks
    return "string", {"dtype": dtype, "pool": pool, "pieces": pieces, **layout(draw)}


CATEGORY_BASES = ["str", "int", "uint", "float", "bool", "date", "date_tz", "duration", "mixed",
                  "string_dtype", "Int64", "float32", "interval", "float_interval", "period"]


NUMBER_BASES = ["int", "uint", "float", "bool", "float32"]


@st.composite
def category_column(draw, bases=CATEGORY_BASES):
    base = draw(st.sampled_from(bases))
    if base in ("str", "string_dtype"):
        pool = draw(st.lists(arrow_texts, max_size=8))
    elif base == "int" or base == "Int64":
        pool = draw(st.lists(st.one_of(st.integers(-5, 40), st.integers(-(2**63), 2**63 - 1)), max_size=8))
    elif base == "uint":
        pool = draw(st.lists(st.integers(0, 2**64 - 1), max_size=8))
    elif base in ("float", "float32"):
        pool = draw(st.lists(floats.filter(lambda x: not math.isnan(x)), max_size=8))
    elif base == "bool":
        pool = draw(st.permutations([False, True]))[: draw(st.integers(0, 2))]
    elif base in ("interval", "float_interval", "period"):
        pool = draw(st.lists(st.integers(-50_000, 50_000), max_size=8))
    elif base in ("date", "date_tz", "duration"):
        pool = draw(st.lists(st.integers(-(2**33), 2**33), max_size=8))
    else:
        pool = draw(st.lists(st.one_of(arrow_texts, st.integers(-5, 2**70), special_floats, st.booleans()),
                             max_size=8))
    string_dtype = draw(st.sampled_from(range(len(STRING_DTYPES))))
    unused = draw(st.integers(0, 3))  # the last categories: no row takes them
    ordered = draw(st.booleans())
    return "category", {"base": base, "pool": pool, "unused": unused, "ordered": ordered,
                        "string_dtype": string_dtype, **layout(draw)}


MASKED = ["Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64", "Float32", "Float64",
          "boolean"]


@st.composite
def masked_column(draw):
    dtype = draw(st.sampled_from(MASKED))
    if dtype == "boolean":
        pool = draw(st.lists(st.booleans(), min_size=1, max_size=2))
    elif dtype.startswith("Float"):
        pool = draw(st.lists(floats.filter(lambda x: not math.isnan(x)), min_size=1, max_size=8))
    else:
        info = np.iinfo(dtype.lower())
        pool = draw(st.lists(st.one_of(st.integers(int(info.min), int(info.max)),
                                       st.sampled_from([int(info.min), int(info.max), 0, 1])),
                             min_size=1, max_size=8))
    return "masked", {"dtype": dtype, "pool": pool, **layout(draw)}


@st.composite
def datetime_column(draw):
    unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
    zone = draw(st.sampled_from([None, None, "UTC", "Europe/Paris", "Asia/Kolkata"]))
    pool = draw(st.lists(st.integers(-(2**33), 2**33), min_size=1, max_size=8))
    return "datetime", {"unit": unit, "zone": zone, "pool": pool, **layout(draw)}


@st.composite
def timedelta_column(draw):
    unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
    pool = draw(st.lists(st.integers(-(2**33), 2**33), min_size=1, max_size=8))
    return "timedelta", {"unit": unit, "pool": pool, **layout(draw)}


NUMPY_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32",
                "float64", "bool"]


@st.composite
def numpy_column(draw):
    dtype = draw(st.sampled_from(NUMPY_DTYPES))
    kind = np.dtype(dtype).kind
    if kind == "b":
        pool = draw(st.lists(st.booleans(), min_size=1, max_size=2))
    elif kind == "f":
        # Raw bit patterns as well: NaN payloads, signalling NaNs, subnormals.
        size = np.dtype(dtype).itemsize * 8
        pool = draw(st.lists(st.one_of(floats.map(lambda x: ("value", x)),
                                       st.integers(0, 2**size - 1).map(lambda b: ("bits", b))),
                             min_size=1, max_size=8))
    else:
        info = np.iinfo(dtype)
        pool = draw(st.lists(st.one_of(st.integers(int(info.min), int(info.max)),
                                       st.sampled_from([int(info.min), int(info.max), 0])),
                             min_size=1, max_size=8))
    return "numpy", {"dtype": dtype, "pool": pool, **layout(draw)}


COLUMN_KINDS = {
    "object": object_column(),
    "string": string_column(),
    "category": category_column(),
    "masked": masked_column(),
    "datetime": datetime_column(),
    "timedelta": timedelta_column(),
    "numpy": numpy_column(),
}


NUMBER_KINDS = {"category": category_column(NUMBER_BASES), "numpy": numpy_column()}


def category_index(recipe, values):
    base = recipe["base"]
    if base == "str":
        return pd.Index(values, dtype=object)
    if base == "string_dtype":
        return pd.Index(values, dtype=STRING_DTYPES[recipe["string_dtype"]])
    if base == "int":
        return pd.Index(np.array(values, dtype=np.int64))
    if base == "Int64":
        return pd.Index(pd.array(values, dtype="Int64"))
    if base == "uint":
        return pd.Index(np.array(values, dtype=np.uint64))
    if base == "float":
        return pd.Index(np.array(values, dtype=np.float64))
    if base == "float32":
        return pd.Index(np.array(values, dtype=np.float32))
    if base == "bool":
        return pd.Index(np.array(values, dtype=bool))
    if base in ("date", "date_tz"):
        index = pd.DatetimeIndex(np.array(values, dtype="M8[s]"))
        return index.tz_localize("UTC").tz_convert("Asia/Tokyo") if base == "date_tz" else index
    if base == "duration":
        return pd.TimedeltaIndex(np.array(values, dtype="m8[s]"))
    if base in ("interval", "float_interval"):
        left = np.array(values, dtype=np.int64 if base == "interval" else np.float64)
        return pd.IntervalIndex.from_arrays(left, left + 1 + np.arange(len(values)) % 3)
    if base == "period":
        return pd.PeriodIndex.from_ordinals(np.array(values, dtype=np.int64), freq="D")
    return pd.Index(values, dtype=object)


def distinct(base, pool):
    if base in ("float", "float32"):
        cast = np.float32 if base == "float32" else float
        seen, kept = set(), []
        for value in pool:
            key = float(cast(value))
            key = 0.0 if key == 0 else key  # -0.0 and 0.0 are one category
            if key not in seen and not math.isnan(key):
                seen.add(key)
                kept.append(value)
        return kept
    if base == "mixed":
        return unique(pool)
    return list(dict.fromkeys(pool))


def build(column, rows):
    kind, recipe = column
    pool = recipe["pool"]
    if kind == "category":
        categories = distinct(recipe["base"], pool)
        used = max(len(categories) - recipe["unused"], 0) if len(categories) > 1 else len(categories)
        codes = picks(recipe, rows, used)
        dtype = pd.CategoricalDtype(category_index(recipe, categories), ordered=recipe["ordered"])
        return pd.Series(pd.Categorical.from_codes(codes, dtype=dtype))
    index = picks(recipe, rows, len(pool))
    if kind == "object":
        cells = np.empty(rows, dtype=object)
        for row, pick in enumerate(index):
            cells[row] = recipe["na"] if pick < 0 else pool[pick]
        return pd.Series(cells, dtype=object)
    if kind == "string":
        dtype = STRING_DTYPES[recipe["dtype"]]
        cells = [None if pick < 0 else pool[pick] for pick in index]
        cuts = np.linspace(0, rows, recipe["pieces"] + 1).astype(int)
        parts = [pd.Series(cells[a:b], dtype=dtype) for a, b in zip(cuts[:-1], cuts[1:])]
        return pd.concat(parts, ignore_index=True) if len(parts) > 1 else parts[0]
    if kind == "masked":
        return pd.Series(pd.array([None if pick < 0 else pool[pick] for pick in index], dtype=recipe["dtype"]))
    if kind in ("datetime", "timedelta"):
        seconds = np.array([0 if pick < 0 else pool[pick] for pick in index], dtype=np.int64)
        letter = "M8" if kind == "datetime" else "m8"
        values = (seconds * {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[recipe["unit"]]).astype(
            f"{letter}[{recipe['unit']}]")
        values[index < 0] = np.datetime64("NaT") if kind == "datetime" else np.timedelta64("NaT")
        series = pd.Series(values)
        if kind == "datetime" and recipe["zone"]:
            series = series.dt.tz_localize("UTC").dt.tz_convert(recipe["zone"])
        return series
    dtype = np.dtype(recipe["dtype"])
    if dtype.kind == "f":
        width = {2: np.uint16, 4: np.uint32, 8: np.uint64}[dtype.itemsize]
        entries = [np.array([v]).astype(dtype) if how == "value" else np.array([v], dtype=width).view(dtype)
                   for how, v in pool]
        values = np.concatenate(entries)[np.maximum(index, 0)]
    else:
        values = np.array(pool, dtype=dtype)[np.maximum(index, 0)]
    return pd.Series(values)


@st.composite
def frames(draw, kinds=tuple(COLUMN_KINDS), rows=st.integers(MIN_ROWS, MAX_ROWS)):
    rows = draw(rows)
    offset = draw(st.sampled_from([0, 0, 1, 7]))  # sliced frames: columns that do not start at 0
    width = draw(st.sampled_from([1, 1, 2, 2, 3, 3, 4, 5]))
    strategies = [COLUMN_KINDS[kind] for kind in kinds]
    if draw(st.integers(0, 3)) == 0:
        # Numbers and bools only, so that `values` is often of kind i, u, f or b.
        strategies = [s for kind, s in NUMBER_KINDS.items() if kind in kinds] or strategies
    columns = [draw(st.one_of(strategies)) for _ in range(width)]
    naming = draw(st.sampled_from(["unique", "duplicates", "ints"]))
    if naming == "unique":
        names = [f"c{i}" for i in range(width)]
    elif naming == "ints":
        names = list(range(width))
    else:
        names = [draw(st.sampled_from(["k", "k", "é", "nan"])) for _ in range(width)]
    assembly = draw(st.sampled_from(["concat", "dict", "consolidated"]))
    return {"rows": rows, "offset": offset, "columns": columns, "names": names, "assembly": assembly}


def make_frame(plan):
    total = plan["rows"] + plan["offset"]
    series = [build(column, total) for column in plan["columns"]]
    if plan["assembly"] == "dict":
        frame = pd.DataFrame({i: s for i, s in enumerate(series)})
    else:
        frame = pd.concat(series, axis=1, ignore_index=True)
    frame.columns = plan["names"]
    if plan["assembly"] == "consolidated":
        frame = frame.copy()
        frame._consolidate_inplace()
    if plan["offset"]:
        frame = frame.iloc[plan["offset"]:]
    assert len(frame) == plan["rows"]
    return frame


# ------------------------------------------------------------------------------------- checks


def encode(frame, through_values):
    """(encoder, result or the exception raised). Through `values`: the same frame, as a subclass."""
    encoder = catenc.Encoder()
    if through_values:
        frame.__class__ = DataFrame
    try:
        return encoder, encoder.encode(frame)
    except KeyboardInterrupt:
        raise
    except BaseException as error:  # noqa: BLE001 - the other way must raise the same
        return encoder, error
    finally:
        frame.__class__ = pd.DataFrame


class ndarray(np.ndarray):  # noqa: N801 - accepted by its name; every cell goes through item access
    pass


def encode_items(frame):
    """(encoder, codes or the exception raised): `values`, every cell read through the interpreter."""
    encoder = catenc.Encoder()
    try:
        return encoder, encoder.encode(frame.values.view(ndarray))
    except KeyboardInterrupt:
        raise
    except BaseException as error:  # noqa: BLE001 - the other way must raise the same
        return encoder, error


def same_cell(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return bits_of(a) == bits_of(b) or "nan-bits" in TOLERATED and math.isnan(a) and math.isnan(b)
    return type(a) is type(b) and a == b


def column_cells(frame, j):
    return frame.iloc[:, j].tolist()


def check_frame(frame):
    try:
        values_kind = frame.values.dtype.kind
    except Exception:  # noqa: BLE001 - pandas may fail to make `values`; then so must encode
        values_kind = ""
    direct_encoder, direct = encode(frame, through_values=False)
    values_encoder, reference = encode(frame, through_values=True)
    if isinstance(reference, BaseException) or isinstance(direct, BaseException):
        assert type(direct) is type(reference) and str(direct) == str(reference), (direct, reference)
        return
    assert list(direct.columns) == list(reference.columns)
    assert direct.dtypes.tolist() == reference.dtypes.tolist()
    width = frame.shape[1]
    # Rows where `values` cast a missing category to an integer or True: ours must be NaN there.
    cast = np.zeros((len(frame), width), dtype=bool)
    for j in range(width):
        if isinstance(frame.iloc[:, j].dtype, pd.CategoricalDtype) and values_kind and values_kind in "iub":
            cast[:, j] = frame.iloc[:, j].isna().to_numpy()
    ours = np.ascontiguousarray(direct.to_numpy(dtype=np.float64))
    theirs = np.ascontiguousarray(reference.to_numpy(dtype=np.float64))
    assert np.isnan(ours[cast]).all(), ("missing category not NaN", np.flatnonzero(~np.isnan(ours[cast]))[:5])
    differ = (ours.view(np.uint64) != theirs.view(np.uint64)) & ~cast
    if "nan-bits" in TOLERATED:
        differ &= ~(np.isnan(ours) & np.isnan(theirs))
    # Where `values` cast a category column with missing cells to integers, its other cells went
    # through float64 and back too; ours must hold each category's float instead.
    for j in np.flatnonzero(cast.any(axis=0)):
        categories = frame.iloc[:, j].cat.categories
        codes = frame.iloc[:, j].cat.codes.to_numpy()
        want = np.array([math.nan if code < 0 else float(categories[code]) for code in codes])
        assert (ours[:, j].view(np.uint64) == want.view(np.uint64))[codes >= 0].all(), (
            f"category column {j}: ours {ours[:5, j].tolist()} want {want[:5].tolist()}")
        differ[:, j] = False
        cast[:, j] = True  # checked above; decoding passes these numbers through as they are
    if differ.any():
        r, j = np.argwhere(differ)[0]
        raise AssertionError(f"{differ.sum()} codes differ; first at row {r} column {j}: "
                             f"ours {ours[r, j]!r} ({bits_of(ours[r, j]):#x}) values {theirs[r, j]!r} "
                             f"({bits_of(theirs[r, j]):#x}); cell {frame.iloc[r, j]!r}")
    # The decoded outputs, and a probe of every code, through each encoder's maps.
    decoded = direct_encoder.decode(direct), values_encoder.decode(reference)
    assert decoded[0].dtypes.tolist() == decoded[1].dtypes.tolist()
    for j in range(width):
        a, b = column_cells(decoded[0], j), column_cells(decoded[1], j)
        keep = ~cast[:, j]
        bad = [r for r in range(len(a)) if keep[r] and not same_cell(a[r], b[r])]
        assert not bad, f"decode differs in column {j} row {bad[0]}: ours {a[bad[0]]!r} values {b[bad[0]]!r}"
    top = np.nanmax(np.concatenate([ours[np.isfinite(ours)], theirs[np.isfinite(theirs)], [0.0]]))
    top = min(int(top), 1000)
    probe_codes = np.concatenate([[np.nan, -1.0, 0.5], np.arange(0, top + 3, dtype=np.float64)])
    probe = pd.DataFrame(np.repeat(probe_codes[:, None], width, axis=1), columns=frame.columns)
    da, db = direct_encoder.decode(probe), values_encoder.decode(probe)
    for j in range(width):
        a, b = column_cells(da, j), column_cells(db, j)
        bad = [r for r in range(len(a)) if not same_cell(a[r], b[r])]
        assert not bad, (f"learned maps differ in column {j}: code {probe_codes[bad[0]]!r} decodes to "
                         f"ours {a[bad[0]]!r} values {b[bad[0]]!r}")
    # The plain way gives what `values` gives: the same codes, the same maps (an array decodes a
    # missing cell to the str "NaN" where a DataFrame gives None).
    items_encoder, items = encode_items(frame)
    assert not isinstance(items, BaseException), items
    plain = np.ascontiguousarray(np.asarray(items, dtype=np.float64))
    differ = plain.view(np.uint64) != theirs.view(np.uint64)
    if "nan-bits" in TOLERATED:
        differ &= ~(np.isnan(plain) & np.isnan(theirs))
    if differ.any():
        r, j = np.argwhere(differ)[0]
        raise AssertionError(f"{differ.sum()} codes differ from item access; first at row {r} column {j}: "
                             f"values {theirs[r, j]!r} items {plain[r, j]!r}; cell {frame.iloc[r, j]!r}")
    dc = items_encoder.decode(probe.to_numpy())
    for j in range(width):
        a = [None if cell == "NaN" else cell for cell in dc[:, j].tolist()]
        b = column_cells(db, j)
        bad = [r for r in range(len(a)) if not same_cell(a[r], b[r])]
        assert not bad, (f"maps differ from item access in column {j}: code {probe_codes[bad[0]]!r} decodes to "
                         f"items {a[bad[0]]!r} values {b[bad[0]]!r}")


