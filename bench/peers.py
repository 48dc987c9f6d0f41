"""What catenc is measured against: the loop users write today with pandas, polars' own
encoding, and NumPy copies for tables of numbers alone.

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


def pandas_loop(frame, label_names, np, pd):
    """factorize(sort=True) per label column, to_numpy(float64) per other column, into a float64
    DataFrame laid out as pandas keeps one: a column after another."""
    out = np.empty((frame.shape[1], frame.shape[0]), dtype=np.float64)
    for j, name in enumerate(frame.columns):
        column = frame[name]
        if name in label_names:
            codes, uniques = pd.factorize(column, sort=True)
            out[j] = markers_to_nan(codes, uniques, np)
            if column.dtype.kind == "M" and codes.min(initial=0) < 0:
                # catenc labels NaT by its text, which sorts after every date's digits.
                out[j][codes < 0] = len(uniques)
        else:
            out[j] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return pd.DataFrame(out.T, index=frame.index, columns=frame.columns, copy=False)


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


# -- NumPy ------------------------------------------------------------------------------------------


def frame_to_numpy(frame, np):
    """A float64 copy of a DataFrame of numbers alone."""
    return frame.to_numpy(np.float64, copy=True)
