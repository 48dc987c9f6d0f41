"""decode: codes back into labels, for arrays and DataFrames."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from catenc import Encoder

from test_oracle import MARKERS, expected_labels


def object_column(values):
    column = np.empty((len(values), 1), dtype=object)
    column[:, 0] = values
    return column


def spec_style_frame(table, names, labels_by_column):
    """What pandas gives for the documented steps: astype(object) by name, then .loc assignment."""
    frame = pd.DataFrame(table, columns=names)
    for position, labels in labels_by_column.items():
        name = names[position]
        frame[name] = frame[name].astype("object")
        frame.loc[:, name] = labels
    return frame


def test_array_round_trip(enc):
    table = np.array([["b", 1.0, None], ["a", 2.0, "nan"], ["nan", 3.0, "x"]], dtype=object)
    decoded = enc.decode(enc.encode(table))
    assert decoded.dtype == object
    assert decoded.tolist() == [["b", 1.0, "None"], ["a", 2.0, "NaN"], ["NaN", 3.0, "x"]]
    assert all(type(v) is float for v in decoded[:, 1])
    assert all(type(v) is str for v in decoded[:, 0])


def test_dataframe_round_trip_matches_pandas_steps(enc):
    frame = pd.DataFrame({"s": ["b", "a", "nan", "c"], "n": [1.0, 2.0, 3.0, 4.0], "t": ["x", "<NA>", "y", "x"]})
    encoded = enc.encode(frame)
    decoded = enc.decode(encoded)
    expected = spec_style_frame(encoded.to_numpy(), ["s", "n", "t"],
                                {0: ["b", "a", None, "c"], 2: ["x", None, "y", "x"]})
    pd.testing.assert_frame_equal(decoded, expected)
    assert decoded["s"].dtype == object and decoded["n"].dtype == np.float64
    assert decoded["s"].tolist() == ["b", "a", None, "c"]


@pytest.mark.parametrize(
    "code, label",
    [(1.9, "b"), (-0.5, "a"), (-3.0, "a"), (-math.inf, "a"), (0.0, "a"), (2.0, "NaN"), (math.inf, "NaN"),
     (1e300, "NaN"), (math.nan, "NaN"), (2.0**64, "NaN"), (2.0**63, "NaN")],
)
def test_codes_to_labels(code, label):
    enc = Encoder()
    enc.encode(object_column(["a", "b"]))
    assert enc.decode(np.array([[code]])).tolist() == [[label]]


def test_empty_map_decodes_everything_as_missing(enc):
    enc.encode(object_column(["nan", "<NA>"]))
    assert enc.decode(np.array([[0.0], [1.0], [math.nan]])).tolist() == [["NaN"], ["NaN"], ["NaN"]]
    frame = pd.DataFrame({"a": [0.0, 5.0]})
    assert enc.decode(frame)["a"].tolist() == [None, None]


def test_columns_are_matched_by_position(enc):
    enc.encode(np.array([["x", 1.0], ["y", 2.0]], dtype=object))
    # The codes now stand in column 0 whatever they were meant for.
    assert enc.decode(np.array([[1.0, 0.0], [0.0, 7.5]])).tolist() == [["y", 0.0], ["x", 7.5]]
    # Extra columns keep their floats.
    wide = enc.decode(np.array([[0.0, 1.0, 2.0]]))
    assert wide.tolist() == [["x", 1.0, 2.0]]


def test_float64_encode_in_between_forgets_the_maps(enc):
    table = np.array([["a"], ["b"]], dtype=object)
    codes = enc.encode(table)
    assert enc.decode(codes).tolist() == [["a"], ["b"]]
    enc.encode(np.zeros((1, 1)))
    out = enc.decode(codes)
    assert out.dtype == np.float64 and out.tolist() == [[0.0], [1.0]]


def test_failing_encode_keeps_earlier_maps(enc, PanicException):
    enc.encode(object_column(["a", "b"]))

    class Bad:
        def __str__(self):
            raise RuntimeError("boom")

    with pytest.raises(PanicException):
        enc.encode(object_column(["q", Bad()]))
    with pytest.raises(TypeError):
        enc.encode("not a table")
    assert enc.decode(np.array([[1.0]])).tolist() == [["b"]]


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([["a", 1], ["b", 2]], dtype=object),
        lambda: pd.DataFrame({"a": ["x", "y"], "b": [1.5, 2.5]}),
        lambda: np.array([[1.0, 2.0]]),
        lambda: pd.DataFrame({"a": [1.0]}),
    ],
)
def test_decode_untrained_equals_encode(make):
    untrained, other = Encoder(), Encoder()
    got, want = untrained.decode(make()), other.encode(make())
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want)
    else:
        assert got.dtype == want.dtype and got.tolist() == want.tolist()
    # Still untrained: a table of codes comes back as codes.
    assert untrained.decode(np.array([[0.0]])).dtype == np.float64


def test_zero_rows(enc):
    enc.encode(pd.DataFrame({"a": ["x"], "b": [1.0]}))
    decoded = enc.decode(pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=float)}))
    assert decoded.shape == (0, 2) and decoded["a"].dtype == object and decoded["b"].dtype == np.float64
    enc.encode(object_column(["x"]))
    assert enc.decode(np.empty((0, 1))).shape == (0, 1)


def test_duplicate_column_names_change_only_encoded_positions(enc):
    frame = pd.DataFrame([["x", 1.0, "p"], ["y", 2.0, "q"]], columns=["a", "b", "a"])
    encoded = enc.encode(frame)
    decoded = enc.decode(encoded)
    assert list(decoded.columns) == ["a", "b", "a"]
    assert decoded.iloc[:, 0].tolist() == ["x", "y"] and decoded.iloc[:, 2].tolist() == ["p", "q"]
    # A column of that name which was never encoded keeps its floats and dtype.
    enc.encode(pd.DataFrame([["x", 1.0], ["y", 2.0]], columns=["a", "a"]))
    mixed = enc.decode(pd.DataFrame([[0.0, 5.0], [1.0, 6.0]], columns=["a", "a"]))
    assert mixed.dtypes.tolist() == [np.dtype(object), np.dtype(np.float64)]
    assert mixed.iloc[:, 1].tolist() == [5.0, 6.0]


@pytest.mark.parametrize(
    "table, message",
    [
        (np.zeros((2, 1)), "cannot decode a table of 1 columns: the encoder learned column index 2"),
        (np.zeros((0, 2)), "cannot decode a table of 2 columns: the encoder learned column index 2"),
        (pd.DataFrame({"a": [0.0]}), "cannot decode a table of 1 columns: the encoder learned column index 2"),
    ],
)
def test_too_narrow_input(enc, table, message):
    enc.encode(np.array([[1.0, 2.0, "x"]], dtype=object))
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(")):
        enc.decode(table)
    assert enc.decode(np.zeros((1, 3))).tolist() == [[0.0, 0.0, "x"]]


def test_f_ordered_codes_give_f_ordered_objects(enc):
    enc.encode(object_column(["a", "b"]))
    out = enc.decode(np.asfortranarray(np.array([[1.0, 9.0], [0.0, 8.0]])))
    assert out.flags.f_contiguous and out.tolist() == [["b", 9.0], ["a", 8.0]]


def test_decoded_labels_share_one_str_per_label(enc):
    enc.encode(object_column(["a", "b"]))
    out = enc.decode(np.array([[0.0], [0.0], [1.0]]))
    assert out[0, 0] is out[1, 0]


def test_missing_marker_round_trip(enc):
    # "NaN" for missing in arrays is itself a marker; None in DataFrames is an ordinary label.
    out = enc.decode(enc.encode(object_column(["nan", "a"])))
    assert out.tolist() == [["NaN"], ["a"]]
    assert math.isnan(Encoder().encode(out)[0, 0])
    frame = enc.decode(enc.encode(pd.DataFrame({"c": ["nan", "a"]})))
    again = Encoder().encode(frame)
    assert frame["c"].tolist() == [None, "a"]
    assert again["c"].tolist() == [0.0, 1.0]  # "None" now has a code, before "a"


labels = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)
cells = st.one_of(labels, st.floats(allow_nan=True), st.integers(-5, 5), st.none(),
                  st.sampled_from(["nan", "NaN", "<NA>", ""]))


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(1, 4).flatmap(lambda w: st.lists(st.lists(cells, min_size=w, max_size=w), max_size=30)),
       st.booleans())
def test_round_trip_property(rows, as_frame):
    width = len(rows[0]) if rows else 2
    table = np.empty((len(rows), width), dtype=object)
    for i, row in enumerate(rows):
        table[i, :] = row
    names = [f"c{j}" for j in range(width)]
    source = pd.DataFrame(table, columns=names) if as_frame else table
    enc = Encoder()
    encoded = enc.encode(source)
    decoded = enc.decode(encoded)
    read = source.values if as_frame else table
    values = decoded.to_numpy() if as_frame else decoded
    missing = None if as_frame else "NaN"
    for j in range(width):
        expected = expected_labels(read[:, j].tolist())
        if expected is None:
            assert np.array_equal(np.asarray(values[:, j], dtype=float), read[:, j].astype(float), equal_nan=True)
        else:
            assert values[:, j].tolist() == [missing if label in MARKERS else label for label in expected]


@pytest.mark.parametrize("labelled", [True, False])
@pytest.mark.parametrize("as_frame", [True, False])
def test_decode_results_share_no_memory_with_the_input(labelled, as_frame):
    enc = Encoder()
    enc.encode(object_column(["a", "b"]) if labelled else np.zeros((1, 1)))
    codes = np.array([[0.0, 5.0], [1.0, 6.0]] * 200)
    source = pd.DataFrame(codes, columns=["x", "y"]) if as_frame else codes
    before = source.copy()
    out = enc.decode(source)
    if as_frame:
        out.iloc[:, 1] = -1.0
        pd.testing.assert_frame_equal(source, before)
    else:
        out[:, 1] = -1.0
        np.testing.assert_array_equal(source, before)
