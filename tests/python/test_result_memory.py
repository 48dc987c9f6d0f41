"""The memory of encode's results: a block freed with one result serves the next, so every path
must write every cell of it, and the arrays must behave as NumPy's own."""

import pickle
import threading

import numpy as np
import pandas as pd
import pytest

from catenc import Encoder

ROWS = 70_000  # 4 columns of float64: past the size from which freed blocks are kept
JUNK = 12345.5


def words(rng, count, rows):
    return np.array([f"w{k:05d}" for k in range(count)], dtype=object)[rng.integers(0, count, rows)]


def frame_of(kind):
    rng = np.random.default_rng(7)
    if kind == "objects":
        return pd.DataFrame({f"c{k}": words(rng, 50 + k * 3000, ROWS) for k in range(4)})
    if kind == "arrow text":
        pytest.importorskip("pyarrow")
        return pd.DataFrame({f"c{k}": pd.array(words(rng, 50 + k * 3000, ROWS), dtype="string[pyarrow]")
                             for k in range(4)})
    if kind == "mixed frame":
        return pd.DataFrame({
            "s": words(rng, 100, ROWS),
            "d": pd.to_datetime(rng.integers(0, 3000, ROWS), unit="D"),
            "c": pd.Categorical(words(rng, 30, ROWS)),
            "i": pd.array(np.where(rng.random(ROWS) < 0.1, None, rng.integers(0, 9, ROWS)), dtype="Int64"),
        })
    if kind == "numbers":
        return pd.DataFrame(rng.normal(size=(ROWS, 4)))
    if kind == "object array":
        return np.column_stack([words(rng, 200, ROWS), rng.integers(0, 5, ROWS).astype(object),
                                words(rng, 9000, ROWS), rng.normal(size=ROWS).astype(object)])
    if kind == "<U array":
        return np.column_stack([words(rng, 200, ROWS), words(rng, 9000, ROWS)] * 2).astype("<U6")
    if kind == "datetime64 array":
        return (rng.integers(0, 3000, (ROWS, 4)) * 86400).astype("M8[s]")
    raise AssertionError(kind)


def address(out):
    array = out.to_numpy() if isinstance(out, pd.DataFrame) else out
    return array.__array_interface__["data"][0]


@pytest.mark.parametrize(
    "kind",
    ["objects", "arrow text", "mixed frame", "numbers", "object array", "<U array", "datetime64 array"],
)
def test_every_cell_is_written_into_a_reused_block(kind):
    table = frame_of(kind)
    enc = Encoder()
    expected = np.array(enc.encode(table), copy=True)
    # Several spoiled blocks: the encoding's own buffers may take some of them back first.
    spoiled = [enc.encode(table) for _ in range(4)]
    where = {address(out) for out in spoiled}
    for out in spoiled:
        cells = out.to_numpy() if isinstance(out, pd.DataFrame) else out
        cells.flags.writeable = True  # pandas hands out its block read-only
        cells[...] = JUNK
    del spoiled, out, cells
    got = enc.encode(table)
    assert address(got) in where  # a spoiled block came back: the check below means something
    assert np.array_equal(np.asarray(got).view(np.uint64), expected.view(np.uint64))


def test_results_are_arrays_like_any_other():
    table = np.array([["a", "1"], ["b", "2"]] * 40_000, dtype=object)
    out = Encoder().encode(table)
    assert out.flags.owndata and out.flags.writeable and out.base is None
    again = pickle.loads(pickle.dumps(out))
    assert np.array_equal(again, out)
    first = out[:3].copy()
    out.resize((200_000, 2), refcheck=False)  # grows past its block
    assert np.array_equal(out[:3], first) and not out[80_000:].any()
    out.resize((2, 2), refcheck=False)
    assert np.array_equal(out, first[:2])


def test_results_made_on_threads_are_freed_anywhere():
    table = pd.DataFrame({"s": np.array(["x", "y", "z"] * 50_000, dtype=object), "f": np.arange(150_000.0)})
    expected = Encoder().encode(table).to_numpy().copy()
    results, failures = [], []

    def work():
        enc = Encoder()  # one encoder per thread: an encoder encodes one table at a time
        try:
            for _ in range(20):
                results.append(enc.encode(table))
        except BaseException as error:  # noqa: BLE001 - reported below, on the test's thread
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    checked = 0
    while any(thread.is_alive() for thread in threads) or results:
        if results:
            assert np.array_equal(results.pop().to_numpy(), expected)  # freed here, made there
            checked += 1
    for thread in threads:
        thread.join()
    assert not failures, failures
    assert checked == 80
