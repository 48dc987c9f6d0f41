"""No internal choice shows in a result: a table gives the same codes and maps whatever its size,
storage or the way catenc reads it. The oracle is the frame read through `values`, cell by cell
(a subclass of DataFrame is always read that way)."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings

from catenc import Encoder
from frame_oracle import HAVE_PYARROW, LARGE_SIZES, SMALL_SIZES, THRESHOLDS, check_frame, frames, make_frame

# The smallest sizes, and sizes on both sides of every threshold of the reading code.
EDGE_SIZES = sorted({0, 1, 2, 3, 256} | {t + d for t in THRESHOLDS for d in (-1, 1)})


def tiled(values, rows):
    return (list(values) * (rows // len(values) + 1))[:rows]


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(frames(rows=SMALL_SIZES))
def test_frames_read_as_values_gives_them(plan):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # `values` warns where it casts NaN to integers
        check_frame(make_frame(plan))


@settings(max_examples=12, deadline=None, suppress_health_check=list(HealthCheck))
@given(frames(rows=LARGE_SIZES))
def test_large_frames_read_as_values_gives_them(plan):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_frame(make_frame(plan))


@pytest.mark.parametrize("rows", EDGE_SIZES[1:])
@pytest.mark.parametrize(
    "categories, beside",
    [([1, 2, None], [1, 2, 3]), ([True, False, None], [True, False, True]), ([7, None], np.uint8([1, 2]))],
    ids=["ints beside ints", "bools beside bools", "ints beside uint8"],
)
def test_missing_category_stays_missing_where_values_squeezes_it(rows, categories, beside):
    # `values` of such a frame goes through float64 into integers or bools: the missing cell
    # becomes the smallest int64 or True there.
    frame = pd.DataFrame({"c": pd.Categorical(tiled(categories, rows)), "o": tiled(beside, rows)})
    out = Encoder().encode(frame)["c"].tolist()
    want = [float(v) if v is not None else None for v in tiled(categories, rows)]
    assert [None if np.isnan(v) else v for v in out] == want


@pytest.mark.parametrize("rows", [10, 300])
def test_single_block_object_frame_changed_by_its_own_cell(rows):
    # The cells are those of the frame as it was when the call began, at every size.
    class Meddler:
        def __float__(self):
            raise TypeError

        def __str__(self):
            frame.iloc[-1, 1] = "zzz"
            return "m"

    frame = pd.DataFrame({"a": ["x"] * rows, "b": ["y"] * rows}, dtype=object)
    frame.iloc[0, 0] = Meddler()
    enc = Encoder()
    decoded = enc.decode(enc.encode(frame))
    assert decoded["b"].tolist() == ["y"] * rows
    assert frame.iloc[-1, 1] == "zzz"


@pytest.mark.skipif(not HAVE_PYARROW, reason="needs pyarrow")
@pytest.mark.parametrize("rows", [10, 300])
def test_arrow_text_that_is_not_utf8_stops_the_call(rows, PanicException):
    import pyarrow as pa

    texts = [b"ok", b"\xff\xfe", b"fine"] * (rows // 3 + 1)
    texts = texts[:rows]
    offsets = np.concatenate([[0], np.cumsum([len(t) for t in texts])]).astype(np.int32)
    array = pa.Array.from_buffers(pa.string(), rows, [None, pa.py_buffer(offsets.tobytes()),
                                                      pa.py_buffer(b"".join(texts))])
    frame = pd.DataFrame({"s": pd.Series(pd.arrays.ArrowStringArray(array)), "n": np.arange(rows, dtype=float)})
    enc = Encoder()
    enc.encode(pd.DataFrame({"s": ["a", "b"] * 5, "n": np.arange(10.0)}))
    with pytest.raises(PanicException, match="^failed to read the input table: "):
        enc.encode(frame)
    # What the encoder learned before is still there, and decodes.
    assert enc.decode(np.array([[1.0, 5.0]]))[0].tolist() == ["b", 5.0]


@pytest.mark.parametrize("rows", [10, 300])
def test_dataframe_without_pandas_fails_where_the_result_is_built(rows, monkeypatch):
    frame = pd.DataFrame({"s": tiled(["b", "a"], rows), "n": np.arange(rows, dtype=float)})
    enc = Encoder()
    codes = enc.encode(frame)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ModuleNotFoundError):
        enc.decode(codes)
    other = Encoder()
    with pytest.raises(ModuleNotFoundError):
        other.encode(frame.iloc[:, ::-1])
    monkeypatch.undo()
    # The failed encode stored what it learned before building its result.
    assert other.decode(codes.iloc[:, ::-1])["s"].tolist()[:2] == ["b", "a"]


POOL_START = """
import os, sys
import numpy as np, pandas as pd
from catenc import Encoder

class SetsThreads:
    def __float__(self):
        raise TypeError
    def __str__(self):
        os.environ["RAYON_NUM_THREADS"] = "3"
        return "t"

rows = int(sys.argv[1])
frame = pd.DataFrame({"a": ["x", "y"] * (rows // 2), "b": ["p"] * rows}, dtype=object)
frame.iloc[rows - 1, 1] = SetsThreads()
before = len(os.listdir("/proc/self/task"))
Encoder().encode(frame if sys.argv[2] == "frame" else frame.to_numpy())
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("kind", ["frame", "array"])
@pytest.mark.parametrize("rows", [10, 300])
def test_pool_starts_after_every_cell_is_read(kind, rows):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    done = subprocess.run([sys.executable, "-c", POOL_START, str(rows), kind], env=env,
                          capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["3"]


THREADS = """
import pickle, sys, warnings
import numpy as np
from catenc import Encoder
warnings.simplefilter("ignore")
frames = pickle.load(open(sys.argv[1], "rb"))
out = []
for frame in frames:
    enc = Encoder()
    codes = enc.encode(frame)
    probe = np.repeat(np.arange(-1.0, 40.0)[:, None], frame.shape[1], axis=1)
    out.append((np.ascontiguousarray(codes.to_numpy()).tobytes(), enc.decode(probe).tolist()))
pickle.dump(out, open(sys.argv[2], "wb"))
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_results_do_not_depend_on_the_number_of_threads(tmp_path, threads):
    import pickle

    from hypothesis import strategies as st

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        plans = st.lists(frames(rows=LARGE_SIZES), min_size=6, max_size=6).example()
        tables = [make_frame(plan) for plan in plans]
    with open(tmp_path / "frames.pickle", "wb") as file:
        pickle.dump(tables, file)
    results = {}
    for count in ("2", threads):
        env = dict(os.environ, RAYON_NUM_THREADS=count)
        subprocess.run([sys.executable, "-c", THREADS, tmp_path / "frames.pickle", tmp_path / f"{count}.pickle"],
                       env=env, check=True)
        with open(tmp_path / f"{count}.pickle", "rb") as file:
            results[count] = pickle.load(file)
    assert results["2"] == results[threads]
