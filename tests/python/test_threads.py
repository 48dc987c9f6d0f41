"""Holds under threads and re-entry, and calls that leave nothing behind."""

import gc
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from catenc import Encoder
from conftest import UNDER_ASAN, resident_bytes


class Waiting:
    """A cell whose __str__ parks the encoding thread until released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __float__(self):
        raise TypeError

    def __str__(self):
        self.entered.set()
        assert self.release.wait(10)
        return "w"


def test_conflicting_calls_fail_at_once_while_encode_runs():
    enc = Encoder()
    enc.encode(np.array([["a"], ["b"]], dtype=object))
    cell = Waiting()
    table = np.array([["x"], [cell]], dtype=object)
    results = {}

    def encode():
        results["encode"] = enc.encode(table)

    worker = threading.Thread(target=encode)
    worker.start()
    try:
        assert cell.entered.wait(10)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            enc.decode(np.array([[0.0]]))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            enc.encode(np.array([["z"]], dtype=object))
    finally:
        cell.release.set()
        worker.join()
    assert results["encode"].tolist() == [[1.0], [0.0]]
    assert enc.decode(np.array([[0.0]])).tolist() == [["w"]]


def test_str_calling_back_into_the_same_encoder():
    enc = Encoder()
    seen = []

    class Reentrant:
        def __float__(self):
            raise TypeError

        def __str__(self):
            for call in (lambda: enc.encode(np.array([["q"]], dtype=object)), lambda: enc.decode(np.zeros((1, 1)))):
                try:
                    call()
                except RuntimeError as error:
                    seen.append(str(error))
            return "r"

    out = enc.encode(np.array([[Reentrant()]], dtype=object))
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert out.tolist() == [[0.0]]


def test_panic_inside_str_ends_the_outer_call_too(PanicException, capfd):
    enc, inner = Encoder(), Encoder()

    class Panicking:
        def __float__(self):
            raise TypeError

        def __str__(self):
            inner.encode(np.zeros(3))  # one-dimensional: PanicException
            return "never"

    with pytest.raises(PanicException, match="^failed to read the input table"):
        enc.encode(np.array([[Panicking()]], dtype=object))
    assert "PanicException" in capfd.readouterr().err
    assert enc.encode(np.array([["ok"]], dtype=object)).tolist() == [[0.0]]


def test_float_cannot_swallow_a_panic(PanicException):
    enc, inner = Encoder(), Encoder()

    class Panicking:
        def __float__(self):
            inner.encode(np.zeros(3))

    with pytest.raises(PanicException):
        enc.encode(np.array([[Panicking()]], dtype=object))


def test_many_decodes_at_once_agree():
    enc = Encoder()
    rng = np.random.default_rng(1)
    table = rng.choice(["red", "green", "blue", "nan"], size=(20000, 3)).astype(object)
    codes = enc.encode(table)
    expected = enc.decode(codes).tolist()
    barrier = threading.Barrier(8)
    outcomes = []

    def run():
        barrier.wait()
        for _ in range(5):
            outcomes.append(enc.decode(codes).tolist() == expected)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outcomes == [True] * 40


def test_references_and_memory_stay_flat(PanicException):
    enc = Encoder()
    rng = np.random.default_rng(2)
    array = np.empty((2000, 3), dtype=object)
    array[:, 0] = rng.choice(["a", "b", "nan", "long label " * 5], size=2000)
    array[:, 1] = rng.normal(size=2000)
    array[:, 2] = [f"u{i}" for i in range(2000)]
    frame = pd.DataFrame({"s": ["a", "b", None, "c"] * 5, "n": np.arange(20.0)})
    refs = (sys.getrefcount(frame), sys.getrefcount(array), sys.getrefcount(array[0, 0]))

    def cycle(times):
        for _ in range(times):
            enc.decode(enc.encode(array))
            with pytest.raises(PanicException):
                enc.encode(np.zeros(2))
        enc.decode(enc.encode(frame))
        # A short-lived encoder takes its labels' strs with it.
        other = Encoder()
        other.decode(other.encode(array))

    cycle(300)
    gc.collect()
    before = resident_bytes()
    for _ in range(10):  # over 10,000 calls
        cycle(350)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 4_000_000 or UNDER_ASAN, grown
    assert (sys.getrefcount(frame), sys.getrefcount(array), sys.getrefcount(array[0, 0])) == refs


FORK_TABLE = np.array([["b", 1.0], ["a", 2.0]] * 50000, dtype=object)


def child_encodes_as_parent(expected):
    """Forks a child that encodes FORK_TABLE: whether it gave `expected` within 30 seconds."""
    import os
    import signal

    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a child stuck on what it inherited must not hang the suite
        try:
            os._exit(0 if Encoder().encode(FORK_TABLE).tolist() == expected else 1)
        except BaseException:  # noqa: BLE001
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status) == 0


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_forked_child_starts_a_pool_of_its_own():
    expected = Encoder().encode(FORK_TABLE).tolist()  # the parent's pool is running now
    assert child_encodes_as_parent(expected)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_forks_while_other_threads_encode_leave_children_that_encode():
    # The children inherit the blocks kept for reuse as the parent's threads free and take them.
    expected = Encoder().encode(FORK_TABLE).tolist()
    stop = threading.Event()

    def churn():
        enc = Encoder()
        while not stop.is_set():
            enc.encode(FORK_TABLE)

    threads = [threading.Thread(target=churn) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        for _ in range(10):
            assert child_encodes_as_parent(expected)
    finally:
        stop.set()
        for thread in threads:
            thread.join()


def test_decode_leaves_none_counted_right():
    # New object arrays may come filled with None; every slot overwritten must give its None back.
    enc = Encoder()
    codes = enc.encode(np.array([["a", 1.0]] * 20000, dtype=object))
    before = sys.getrefcount(None)
    for _ in range(5):
        enc.decode(codes)
        enc.decode(pd.DataFrame(codes, columns=["x", "y"]))
    assert abs(sys.getrefcount(None) - before) < 1000
