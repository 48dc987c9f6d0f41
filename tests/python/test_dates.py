"""Dates and durations are labelled with the str() of the Timestamp or Timedelta that `values`
holds for each cell; catenc writes those texts itself, so they are checked here against pandas'
own, over the whole range of every unit, NaT included."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from catenc import Encoder

NAT = np.iinfo(np.int64).min
values = st.lists(st.one_of(st.integers(NAT + 1, 2**63 - 1), st.integers(-(10**12), 10**12),
                            st.just(NAT), st.integers(-3, 3)), min_size=1, max_size=40)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("kind", ["M8", "m8"])
@settings(max_examples=60, deadline=None)
@given(values=values)
def test_texts_are_those_of_pandas(kind, unit, values):
    column = pd.array(np.array(values, dtype=np.int64).view(f"{kind}[{unit}]"))
    # Beside a text column, `values` holds the pandas objects, whose str() is each label.
    frame = pd.DataFrame({"d": column, "s": ["x"] * len(values)})
    enc = Encoder()
    decoded = enc.decode(enc.encode(frame))["d"].tolist()
    assert decoded == [str(cell) for cell in column.astype(object)]


def test_the_last_timestamp_beside_nat_keeps_a_code_of_its_own():
    # pandas' Timestamp.max is the largest int64 in nanoseconds: it sorts before the text "NaT".
    column = pd.array(np.array([NAT, 2**63 - 1, 0], dtype=np.int64).view("M8[ns]"))
    frame = pd.DataFrame({"d": column, "s": ["x"] * 3})
    enc = Encoder()
    codes = enc.encode(frame)["d"].tolist()
    assert codes == [2.0, 1.0, 0.0]
    assert enc.decode(enc.encode(frame))["d"].tolist() == ["NaT", str(pd.Timestamp.max), "1970-01-01 00:00:00"]
