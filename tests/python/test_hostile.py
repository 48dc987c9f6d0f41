"""Cells that fight back: user code that raises, lies, dawdles, re-enters, or changes the very
table being read. Nothing may crash; the result is what item access gives, or the documented
exception; the encoder stays usable; inputs are left as they were."""

import copy
import gc
import os
import sys
import time

import numpy as np
import pandas as pd
import pytest

from catenc import Encoder
from conftest import UNDER_ASAN


class ndarray(np.ndarray):  # noqa: N801 - accepted by name; its cells go through item access
    pass


def outcome(call):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - the outcome is what we compare
        return ("raised", type(error).__name__, str(error))
    return ("result", np.asarray(result).view(np.uint64).tolist())


class Cell:
    """Runs `action(table)` once, the first time the cell is turned into a number or text."""

    def __init__(self, text, action=None, number=None):
        self.text, self.action, self.number, self.table, self.done = text, action, number, None, False

    def _act(self):
        if self.action is not None and not self.done:
            self.done = True
            self.action(self.table)

    def __float__(self):
        self._act()
        if self.number is None:
            raise TypeError("not a number")
        return self.number

    def __str__(self):
        self._act()
        return self.text


def build(kind, action):
    rows = [["a", Cell("h", action)], ["b", "y"], ["c", "z"], ["d", "w"]]
    # Both own their memory, so that resize works on either.
    table = ndarray((4, 2), dtype=object) if kind == "items" else np.empty((4, 2), dtype=object)
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            table[i, j] = cell
    table[0, 1].table = table
    return table


def set_later_cell(table):
    table[3, 1] = "changed"
    table[1, 0] = "late"  # a column already read: no effect on it


def resize_smaller(table):
    table.resize((1, 2), refcheck=False)


def resize_larger(table):
    table.resize((50, 2), refcheck=False)


def reshape_in_place(table):
    table.shape = (2, 4)


def transpose_in_place(table):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        table.strides = table.strides[::-1]


def drop_read_cells(table):
    # Cells already read lose their last reference elsewhere: labels must not dangle.
    for r in range(4):
        table[r, 0] = None
    gc.collect()


ACTIONS = [set_later_cell, resize_smaller, resize_larger, reshape_in_place, transpose_in_place, drop_read_cells]


@pytest.mark.parametrize("action", ACTIONS, ids=lambda a: a.__name__)
def test_table_changed_while_read_matches_item_access(action):
    results = []
    for kind in ("direct", "items"):
        enc = Encoder()
        table = build(kind, action)
        results.append(outcome(lambda: enc.encode(table)))
        # The encoder is usable at once, whatever happened.
        assert enc.encode(np.array([["q"]], dtype=object)).tolist() == [[0.0]]
    assert results[0] == results[1]


@pytest.mark.parametrize(
    "cell, expected",
    [
        (Cell("t", number=None), "label"),
        (type("Wrong", (), {"__float__": lambda self: "x", "__str__": lambda self: "w"})(), "label"),
        (type("Slow", (), {"__float__": lambda self: time.sleep(0.05) or 1.5})(), "number"),
        (type("BadStr", (), {"__float__": lambda self: 1 / 0, "__str__": lambda self: 5})(), "panic"),
    ],
    ids=["raises", "wrong-type", "slow", "str-not-str"],
)
def test_misbehaving_methods(cell, expected, PanicException):
    enc = Encoder()
    table = np.array([[cell], ["k"]], dtype=object) if expected != "number" else np.array([[cell]], dtype=object)
    if expected == "panic":
        with pytest.raises(PanicException, match="^cant convert to str: TypeError"):
            enc.encode(table)
    elif expected == "number":
        assert enc.encode(table).tolist() == [[1.5]]
    else:
        assert enc.encode(table).shape == (2, 1)
    assert enc.encode(np.array([["q"]], dtype=object)).tolist() == [[0.0]]


def test_frame_changed_while_read_does_not_crash():
    frame = pd.DataFrame({"a": ["x", "y"] * 200, "b": ["p"] * 400})

    def wreck(_):
        frame["b"] = 1.0
        del frame["a"]
        gc.collect()

    frame["a"] = frame["a"].astype(object)
    frame.loc[0, "a"] = Cell("first", wreck)
    enc = Encoder()
    out = enc.encode(frame)
    assert out.shape[0] == 400
    assert enc.decode(out).shape[0] == 400


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([["a", 1.5, None], [float("nan"), "b", 7]], dtype=object),
        lambda: np.arange(12.0).reshape(3, 4),
        lambda: np.asfortranarray(np.arange(12.0).reshape(3, 4)),
        lambda: np.arange(12, dtype=np.int32).reshape(3, 4),
        lambda: pd.DataFrame({"s": ["a", None] * 200, "n": np.arange(400.0), "o": [1, "x"] * 200}),
        lambda: pd.DataFrame({"s": ["a", None], "n": [1.0, 2.0]}),
    ],
)
def test_inputs_are_left_as_they_were(make):
    source = make()
    keep = copy.deepcopy(source)
    cells = list(source.to_numpy().ravel()) if isinstance(source, pd.DataFrame) else list(source.ravel())
    # None's count moves with whatever else the interpreter does.
    cells = [c for c in cells if c is not None]
    counts = [sys.getrefcount(c) for c in cells]
    enc = Encoder()
    codes = enc.encode(source)
    enc.decode(source)
    enc.decode(codes)
    if isinstance(source, pd.DataFrame):
        pd.testing.assert_frame_equal(source, keep)
    else:
        assert source.dtype == keep.dtype and source.tobytes() == keep.tobytes() if source.dtype != object \
            else source.tolist() == keep.tolist()
    del codes
    assert [sys.getrefcount(c) for c in cells] == counts


def test_cell_that_drops_the_strs_read_before_it_in_its_column():
    # Strs made at run time, so that the table holds the only reference to each.
    table = np.empty((52, 1), dtype=object)
    table[:50, 0] = ["".join(["label", str(i), "x" * i]) for i in range(50)]
    expected = [f"label{i}" + "x" * i for i in range(50)]

    def drop(t):
        for r in range(50):
            t[r, 0] = None
        gc.collect()
        # Fill the freed memory, so that a label still viewing it would read other text.
        reused.extend("".join(["LABEL", str(i), "X" * i]) for i in range(50) for _ in range(4))

    reused = []
    table[50, 0] = Cell("dropper", drop)
    table[51, 0] = "tail"
    table[50, 0].table = table
    enc = Encoder()
    codes = enc.encode(table)
    decoded = enc.decode(codes)[:, 0].tolist()
    assert decoded[:50] == expected
    assert decoded[50:] == ["dropper", "tail"]


def test_collection_that_resizes_the_array_mid_read(PanicException):
    # A label column's first str makes an exception (its float conversion fails), which sets off
    # a collection; a callback of it resizes the very array being read.
    rows = 20000
    table = np.empty((rows, 1), dtype=object)
    table[:, 0] = [f"label{i % 1000}" for i in range(rows)]
    armed = []

    def shrink(phase, info):
        if phase == "start" and armed == [True]:
            armed.append("fired")
            table.resize((1, 1), refcheck=False)

    encode = Encoder().encode
    threshold = gc.get_threshold()
    gc.callbacks.append(shrink)
    error = None
    try:
        gc.set_threshold(1)
        armed.append(True)  # nothing between here and the call may set off a collection
        encode(table)
    except PanicException as raised:
        error = raised
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(shrink)
    if armed != [True, "fired"]:
        # Free-threaded interpreters collect on a schedule of their own.
        pytest.skip("no collection ran during the call")
    assert str(error).startswith("failed to read the input table: IndexError")


def test_bool_arrays_read_any_byte_as_true():
    raw = np.array([[2, 0, 1, 255]], dtype=np.uint8).view(bool)
    assert Encoder().encode(raw).tolist() == [[1.0, 0.0, 1.0, 1.0]]


class BaseOnly(BaseException):
    pass


@pytest.mark.parametrize("error", [GeneratorExit, BaseOnly])
def test_other_base_exceptions_in_float_make_a_label_column(error, PanicException):
    class Odd:
        def __float__(self):
            raise error

        def __str__(self):
            return "odd"

    assert Encoder().encode(np.array([[Odd()], ["a"]], dtype=object)).tolist() == [[1.0], [0.0]]

    class BadText:
        def __str__(self):
            raise error("no")

    with pytest.raises(PanicException, match="^cant convert to str: "):
        Encoder().encode(np.array([["a"], [BadText()]], dtype=object))


@pytest.mark.parametrize(
    "meddle",
    [
        lambda frame: frame.iloc.__setitem__((5, 1), "zzz"),
        lambda frame: frame.iloc.__setitem__((7, 2), 99),
        lambda frame: frame.iloc.__setitem__((9, 3), "zzz"),
        lambda frame: frame.iloc.__setitem__((2, 4), 3.5),
        lambda frame: frame.__setitem__("c", 1.0),
    ],
    ids=["object cell", "int cell", "string cell", "float cell", "whole column"],
)
def test_frame_changed_while_read_matches_values(meddle):
    def make():
        frame = pd.DataFrame({"a": ["x"] * 300, "b": ["y"] * 300, "c": np.arange(300)}, dtype=object)
        frame["c"] = frame["c"].astype(int)
        frame["d"] = pd.Series(["s", None] * 150, dtype=pd.StringDtype("python"))
        frame["e"] = np.linspace(0, 1, 300)

        class Meddler:
            def __float__(self):
                meddle(frame)
                raise TypeError

            def __str__(self):
                return "m"

        frame.iloc[0, 0] = Meddler()
        return frame

    class DataFrame(pd.DataFrame):  # noqa: N801 - read through `values`
        @property
        def _constructor(self):
            return DataFrame

    direct = make()
    cellwise = make()
    cellwise.__class__ = DataFrame
    a, b = Encoder(), Encoder()
    np.testing.assert_array_equal(a.encode(direct).to_numpy(), b.encode(cellwise).to_numpy())


def test_str_subclass_in_a_string_column_changing_the_frame_matches_values():
    def make():
        class Meddler(str):
            def __str__(self):
                frame.iloc[1, 0] = "changed"
                return "m"

        frame = pd.DataFrame({"s": pd.array([Meddler("e")] + ["orig"] * 299, dtype=pd.StringDtype("python")),
                              "n": np.arange(300.0)})
        return frame

    class DataFrame(pd.DataFrame):  # noqa: N801 - read through `values`
        pass

    direct, cellwise = make(), make()
    cellwise.__class__ = DataFrame
    a, b = Encoder(), Encoder()
    np.testing.assert_array_equal(a.encode(direct).to_numpy(), b.encode(cellwise).to_numpy())
    assert a.decode(a.encode(make()))["s"].tolist()[:3] == ["m", "orig", "orig"]


DECODE_RESIZED = """
import gc, sys
import numpy as np, pandas as pd
from catenc import Encoder

class DataFrame(np.ndarray):  # accepted by its name; its memory is ours to resize
    columns = ["a", "b", "c"]

rows, when, how = int(sys.argv[1]), sys.argv[2], sys.argv[3]
enc = Encoder()
enc.encode(pd.DataFrame({"a": ["x", "y"], "b": [1.0, 2.0], "c": ["p", "q"]}))
codes = DataFrame((rows, 3)) if how == "frame" else np.empty((rows, 3))
codes[:, 0], codes[:, 1], codes[:, 2] = 1.0, np.arange(rows), 0.0
fired = []

def inside(prefix):
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_globals.get("__name__", "").startswith(prefix):
            return True
        frame = frame.f_back
    return False

def meddle(phase, info):
    if not fired and phase == "start" and (when == "anywhere" or inside(when)):
        fired.append(1)
        codes.resize((1, 3), refcheck=False)
        codes[...] = 5.0

gc.callbacks.append(meddle)
gc.set_threshold(1)
out = enc.decode(codes)
gc.set_threshold(700)
gc.callbacks.remove(meddle)
got = np.asarray(out, dtype=object)
print(len(got), got[0].tolist(), got[-1].tolist())
"""


@pytest.mark.parametrize("how", ["frame", "array"])
@pytest.mark.parametrize("when", ["pandas", "anywhere"])
def test_decode_input_resized_while_the_result_is_built(how, when):
    # A collection's callback shrinks the float64 input that decode reads in place; decode must
    # not read freed memory. Its result is the decode of the input as it was when the call began.
    import subprocess

    rows = 2_000_000 if how == "frame" else 200_000
    done = subprocess.run([sys.executable, "-c", DECODE_RESIZED, str(rows), when, how],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    as_it_began = f"{rows} ['y', 0.0, 'p'] ['y', {float(rows - 1)}, 'p']"
    # A collection before decode reads the input gives the decode of the changed input.
    changed = ["1 [None, 5.0, None] [None, 5.0, None]"] if when == "anywhere" else []
    assert done.stdout.split("\n")[0] in [as_it_began, *changed]


def decoded(call):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - the outcome is what we compare
        return ("raised", type(error).__name__, str(error))
    return ("result", [[repr(cell) for cell in row] for row in np.asarray(result, dtype=object).tolist()])


@pytest.mark.parametrize("action", ACTIONS, ids=lambda a: a.__name__)
def test_decode_table_changed_while_read_matches_item_access(action):
    # decode of an object table encodes it afresh, cell by cell; a cell's methods may change it.
    enc = Encoder()
    enc.encode(np.array([["k", "h"], ["l", "y"], ["m", "z"], ["n", "w"]], dtype=object))
    direct, items = (decoded(lambda kind=kind: enc.decode(build(kind, action))) for kind in ("direct", "items"))
    assert direct == items
    assert enc.decode(np.array([[0.0, 1.0]])).tolist() == [["k", "w"]]


OUT_OF_MEMORY = """
import resource, sys
import numpy as np
from catenc import Encoder

rows, margin = int(sys.argv[1]), int(sys.argv[2])
enc = Encoder()
enc.encode(np.array([["b", 1], ["a", 2]], dtype=object))
big = np.empty((rows, 1), dtype=object)
big[:, 0] = [f"label-{i}" for i in range(rows)]

def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, hard))
try:
    enc.encode(big)
    print("encoded")
except MemoryError:
    print("MemoryError")
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(enc.decode(np.array([[0.0, 7.0]])).tolist())
print(enc.encode(np.array([["z"], ["y"]], dtype=object)).tolist())
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves address space of its own")
@pytest.mark.parametrize(
    "rows, margin",
    [(4_000_000, 8 << 20), (1_000_000, 24 << 20)],
    ids=["no room for the result", "no room for the labels"],
)
def test_out_of_memory_is_memory_error_and_the_encoder_lives_on(rows, margin):
    import subprocess

    # The pool's threads exist before the limit, so that their stacks are not what fails.
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(rows), str(margin)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split("\n")[:3] == ["MemoryError", "[['a', 7.0]]", "[[1.0], [0.0]]"], done.stdout
