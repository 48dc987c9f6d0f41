"""Codes and labels checked against independent oracles on random tables."""

import math

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from catenc import Encoder

MARKERS = {"nan", "NaN", "<NA>"}

text = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=30)
labels = st.one_of(
    text,
    st.sampled_from(["", "nan", "NaN", "<NA>", "NAN", "None", " a", "a ", "é", "日本", "x" * 300, "B", "b"]),
)


def oracle_codes(column):
    """pandas.factorize(sort=True) with the missing markers taken out; NaN where they stood.

    Labels go in as their UTF-8 bytes: sorted byte-wise, and safe from pandas before 3.1, whose
    str hashing takes "" and "\\x00" for one label."""
    values = np.array([None if label in MARKERS else label.encode() for label in column], dtype=object)
    codes, _ = pd.factorize(values, sort=True, use_na_sentinel=True)
    return [math.nan if code < 0 else float(code) for code in codes]


def same(a, b):
    return len(a) == len(b) and all((x == y) or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(labels, min_size=1, max_size=3), min_size=1, max_size=60).filter(
    lambda rows: len({len(r) for r in rows}) == 1))
def test_label_columns_match_pandas_factorize(rows):
    table = np.empty((len(rows), len(rows[0])), dtype=object)
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            table[i, j] = cell
    out = Encoder().encode(table)
    for j in range(table.shape[1]):
        assert same(out[:, j].tolist(), oracle_codes(table[:, j].tolist()))


def float_text(value):
    """Shortest round-trip digits without exponent, by NumPy's Dragon4: an independent oracle."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return np.format_float_positional(value, unique=True, trim="-")


def expected_labels(column):
    """The label of every cell of a column that holds at least one non-number, or None."""
    for index, cell in enumerate(column):
        try:
            # Like the C API's float conversion, which never parses text.
            if isinstance(cell, (str, bytes)):
                raise TypeError
            float(cell)
        except (TypeError, OverflowError):
            return [float_text(float(c)) for c in column[:index]] + [str(c) for c in column[index:]]
    return None


cells = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.booleans(),
    st.none(),
    labels,
    st.sampled_from([10**400, -(10**400), b"x"]),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(min_value=1, max_value=4).flatmap(
    lambda width: st.lists(st.lists(cells, min_size=width, max_size=width), min_size=1, max_size=40)))
@example(rows=[[""], ["\x00"]])
def test_mixed_tables_match_the_rendering_rules(rows):
    table = np.empty((len(rows), len(rows[0])), dtype=object)
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            table[i, j] = cell
    enc = Encoder()
    out = enc.encode(table)
    decoded = enc.decode(out)
    for j in range(table.shape[1]):
        column = table[:, j].tolist()
        labels_j = expected_labels(column)
        if labels_j is None:
            assert same(out[:, j].tolist(), [float(c) for c in column])
            assert same(decoded[:, j].tolist(), [float(c) for c in column])
        else:
            assert same(out[:, j].tolist(), oracle_codes(labels_j))
            assert decoded[:, j].tolist() == ["NaN" if label in MARKERS else label for label in labels_j]
