"""What catenc is measured against: the loop users write today with pandas, polars' own
encoding, scikit-learn's OrdinalEncoder, and NumPy copies for tables of numbers alone.

The pandas loop gives catenc's codes: sorted labels numbered from 0, NaN for missing values and
for the texts that mean missing (MARKERS). NumPy and pandas come in as arguments, never as imports at
load time: a child process blocks pyarrow before pandas first loads.
"""

MARKERS = ("nan", "NaN", "<NA>")


# -- pandas -----------------------------------------------------------------------------------------


def label_columns(frame, pd):
    """The columns catenc encodes: those with a cell that does not convert to a float."""
    names = []
    for name in frame.columns:
        column = frame[name]
        dtype = column.dtype
        if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
            # pandas' NA converts to no float.
            if isinstance(dtype, pd.api.extensions.ExtensionDtype) and column.isna().any():
                names.append(name)
        elif dtype == object or isinstance(dtype, pd.CategoricalDtype):
            kind = pd.api.types.infer_dtype(column, skipna=False)
            if kind not in ("integer", "floating", "mixed-integer-float", "boolean", "decimal", "empty"):
                names.append(name)
        else:
            names.append(name)
    return names


def markers_to_nan(codes, uniques, np):
    """factorize codes as float64, NaN for missing, and no code for the texts that mean missing."""
    out = codes.astype(np.float64)
    out[codes < 0] = np.nan
    marked = marker_mask(uniques, np)
    if marked is not None and marked.any():
        # Later labels move down by the markers sorted before them.
        remap = np.cumsum(~marked, dtype=np.float64) - 1
        remap[marked] = np.nan
        valid = codes >= 0
        out[valid] = remap[codes[valid]]
    return out


def marker_mask(uniques, np):
    """Which uniques are missing markers, or None where uniques hold no text (dates, numbers)."""
    import pandas as pd

    index = pd.Index(uniques)
    if not (index.dtype == object or pd.api.types.is_string_dtype(index.dtype)):
        return None
    return np.asarray(index.isin(MARKERS), dtype=bool)


def pandas_loop(frame, label_names, np, pd, uniques=None):
    """factorize(sort=True) per label column, to_numpy(float64) per other column, into a float64
    DataFrame laid out as pandas keeps one: a column after another. A dict passed as `uniques`
    receives each label column's uniques by position, which pandas_decode takes."""
    out = np.empty((frame.shape[1], frame.shape[0]), dtype=np.float64)
    for j, name in enumerate(frame.columns):
        column = frame[name]
        if name in label_names:
            codes, found = pd.factorize(column, sort=True)
            out[j] = markers_to_nan(codes, found, np)
            if column.dtype.kind == "M" and codes.min(initial=0) < 0:
                # catenc labels NaT by its text, which sorts after every date's digits.
                out[j][codes < 0] = len(found)
            if uniques is not None:
                uniques[j] = found
        else:
            out[j] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return pd.DataFrame(out.T, index=frame.index, columns=frame.columns, copy=False)


def pandas_loop_array(array, np, pd):
    """The pandas loop on a 2-D object array: factorize(sort=True) per column."""
    out = np.empty(array.shape, dtype=np.float64)
    for j in range(array.shape[1]):
        codes, uniques = pd.factorize(array[:, j], sort=True)
        out[:, j] = markers_to_nan(codes, uniques, np)
    return out


def pandas_decode(encoded, uniques, np, pd):
    """uniques.take(codes) per label column, into a DataFrame: `uniques` as pandas_loop fills it."""
    data = {}
    for j, name in enumerate(encoded.columns):
        codes = encoded[name].to_numpy()
        if j in uniques:
            missing = np.isnan(codes)
            index = np.where(missing, 0, codes).astype(np.int64)
            labels = np.asarray(uniques[j], dtype=object).take(index)
            labels[missing] = None
            data[name] = pd.Series(labels, dtype=object)
        else:
            data[name] = codes
    return pd.DataFrame(data)


# -- polars -----------------------------------------------------------------------------------------


def import_polars(no_pyarrow):
    """polars, where it is installed and can take a pandas frame (that needs pyarrow)."""
    if no_pyarrow:
        return None
    try:
        import polars as pl
        import pyarrow  # noqa: F401
    except ImportError:
        return None
    return pl


def polars_encode(pf, label_names, pl):
    """polars' own codes: an Enum of the sorted labels for text, a dense rank for dates."""
    texts = [n for n in label_names if pf.schema[n] == pl.String]
    categories = pf.select([
        pl.col(n).filter(~pl.col(n).is_in(MARKERS)).drop_nulls().unique().sort().implode() for n in texts
    ]) if texts else None
    columns = []
    for name in pf.columns:
        column = pl.col(name)
        if name in texts:
            kept = pl.when(column.is_in(MARKERS)).then(None).otherwise(column)
            enum = pl.Enum(categories.get_column(name)[0])
            columns.append(kept.cast(enum).to_physical().cast(pl.Float64).alias(name))
        elif name in label_names:
            columns.append((column.rank("dense") - 1).cast(pl.Float64).alias(name))
        else:
            columns.append(column.cast(pl.Float64))
    return pf.select(columns)


# -- scikit-learn and NumPy -------------------------------------------------------------------------


def sklearn_encode(frame, label_names):
    from sklearn.preprocessing import OrdinalEncoder

    return OrdinalEncoder().fit_transform(frame[label_names])


def numpy_copy(array, np):
    """A copy of a float64 array, which is what encoding one amounts to."""
    return np.array(array)


def frame_to_numpy(frame, np):
    """A float64 copy of a DataFrame of numbers alone."""
    return frame.to_numpy(np.float64, copy=True)


# -- Dask -------------------------------------------------------------------------------------------


def dask_loop(ddf, label_names):
    """What a Dask user writes today: each label column's uniques computed on the cluster and
    sorted on the client, then each partition's codes in those categories through map_partitions,
    as float64 with NaN for missing. The labels must hold no missing marker (MARKERS), which this
    loop would code as labels."""
    import numpy as np
    import pandas as pd

    categories = {}
    for name in label_names:
        uniques = ddf[name].unique().compute()
        categories[name] = pd.Index(uniques.dropna()).sort_values()
    meta = pd.DataFrame({name: pd.Series([], dtype=np.float64) for name in ddf.columns}, index=ddf._meta.index[:0])
    return ddf.map_partitions(categorical_codes, categories, meta=meta)


def categorical_codes(part, categories):
    """One partition's codes in the given categories per label column, float64 elsewhere."""
    import numpy as np
    import pandas as pd

    out = {}
    for name in part.columns:
        if name in categories:
            codes = pd.Categorical(part[name], categories=categories[name]).codes.astype(np.float64)
            codes[codes < 0] = np.nan
            out[name] = codes
        else:
            out[name] = part[name].to_numpy(dtype=np.float64)
    return pd.DataFrame(out, index=part.index, columns=part.columns)
