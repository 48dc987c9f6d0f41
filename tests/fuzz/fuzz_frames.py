"""Differential fuzzer: a DataFrame read column by column against the same frame read through `values`.

An exact pandas.DataFrame is read from pandas' own storage, column by column; a subclass of
DataFrame is always read through `values`, cell by cell. Both must give the same
result: the same codes bit for bit and the same learned maps (decoding both encoders' outputs,
and a probe of every code, gives the same labels). The one allowed difference: where `values` is
of kind i, u or b, a category column with missing cells goes through float64 there and its
missing cells become integers or True; read column by column, they stay NaN and the other cells
keep their categories' values.

Frames of every size around catenc's thresholds mix random columns: object columns (str, float, int, None, NaN, pd.NA,
bools, huge ints, numpy scalars, ...), pandas string dtypes (python and pyarrow storage, each
missing value the installed pandas has; Arrow columns chunked and sliced), categories (of str,
ints, floats, bools, dates, durations, intervals, periods, mixed objects, string and nullable
dtypes; missing or not, ordered, unused categories), nullable Int*/UInt*/Float*/boolean,
datetime64 (units, NaT, zones), timedelta64 and NumPy int/uint/float/bool columns; single
columns, duplicate names, sliced and consolidated frames included.

Hypothesis-based, so that it runs on every interpreter the project tests on:

    .venv/bin/python tests/fuzz/fuzz_frames.py --seconds 600
    .venv-compat/bin/python tests/fuzz/fuzz_frames.py --seconds 180

`--without category,object` leaves out column kinds, `--tolerate nan-bits` looks
past known disagreements (see TOLERABLE), `--examples N` sets the size of each Hypothesis run (a
fresh seed each). A disagreement is printed with Hypothesis' shrunk example and the frame's
dtypes; the exit status is 1 if any was found.
"""

import argparse
import os
import sys
import time
import traceback
import warnings

from hypothesis import HealthCheck, Phase, given, settings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from frame_oracle import (  # noqa: E402
    COLUMN_KINDS, HAVE_PYARROW, SIZES, STRING_DTYPES, TOLERATED, check_frame, frames, make_frame)

# Casts of NaN to integers warn in `values`; the warnings say nothing about the result.
warnings.simplefilter("ignore")

# ------------------------------------------------------------------------------------- driver

examples = 0
TOLERABLE = {
    "nan-bits": "a NaN code whose bits differ from the other way's NaN",
}


def describe(frame):
    return ", ".join(f"{name!r}: {dtype}" for name, dtype in zip(frame.columns, frame.dtypes))


def make_test(kinds, size):
    @settings(max_examples=size, deadline=None, database=None, print_blob=False,
              suppress_health_check=list(HealthCheck),
              phases=[Phase.generate, Phase.target, Phase.shrink, Phase.explain])
    @given(frames(kinds, SIZES))
    def fuzz(plan):
        global examples
        examples += 1
        frame = make_frame(plan)
        try:
            check_frame(frame)
        except AssertionError as error:
            raise AssertionError(f"{error}\n  frame: {len(frame)} rows; {describe(frame)}") from None

    return fuzz


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--examples", type=int, default=100, help="examples per Hypothesis run")
    parser.add_argument("--without", default="", help="column kinds to leave out, comma-separated")
    parser.add_argument("--tolerate", default="", help=f"disagreements to look past: {','.join(TOLERABLE)}")
    args = parser.parse_args()
    TOLERATED.update(name for name in args.tolerate.split(",") if name)
    if TOLERATED - set(TOLERABLE):
        parser.error(f"unknown disagreements {sorted(TOLERATED - set(TOLERABLE))}; known: {sorted(TOLERABLE)}")
    left_out = {kind for kind in args.without.split(",") if kind}
    unknown = left_out - set(COLUMN_KINDS)
    if unknown:
        parser.error(f"unknown kinds {sorted(unknown)}; known: {sorted(COLUMN_KINDS)}")
    kinds = [kind for kind in COLUMN_KINDS if kind not in left_out]
    print(f"pandas {pd.__version__}, NumPy {np.__version__}, pyarrow {'yes' if HAVE_PYARROW else 'no'}; "
          f"string dtypes {[str(d) + '/' + repr(d.na_value) for d in STRING_DTYPES]}", flush=True)
    start = time.monotonic()
    failures = 0
    runs = 0
    while time.monotonic() - start < args.seconds:
        runs += 1
        try:
            make_test(kinds, args.examples)()
        except KeyboardInterrupt:
            break
        except BaseException:  # noqa: BLE001 - report and go on with a fresh seed
            failures += 1
            print(f"--- disagreement (run {runs}):", flush=True)
            traceback.print_exc(limit=0, file=sys.stdout)
            sys.stdout.flush()
    elapsed = time.monotonic() - start
    print(f"{examples} examples (shrinking included) in {elapsed:.0f} s, {runs} runs, {failures} failing",
          flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
