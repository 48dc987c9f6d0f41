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
