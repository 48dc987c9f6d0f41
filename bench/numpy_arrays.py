"""catenc on the NumPy arrays people build: text of fixed width (`np.array(rows)`, `np.loadtxt(...,
dtype=str)`), bytes, NumPy 2's StringDType, dates and durations, against the loops a user writes
instead: `pandas.factorize(sort=True)` per column and `np.unique(return_inverse=True)` per column.

    python bench/numpy_arrays.py [--quick] [--repeats N] [--out DIR]

Every case checks once that catenc's codes equal the pandas loop's, then times both side by side.
Writes a table to standard output and DIR/numpy_arrays.csv.
"""

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import harness  # noqa: E402
import peers  # noqa: E402
import tables  # noqa: E402

TARGET_TEXT_RATIO = 0.3
TARGET_TEXT_NS = 15.0
TARGET_DATES_RATIO = 0.3
TARGET_FRAME_RATIO = 0.5


def arrays(rows, np):
    """1,000 labels or 3,000 distinct days per column, 4 columns."""
    rng = np.random.default_rng(31)
    words = np.array(tables.vocabulary(rng, 1000, np, length=(5, 6)))
    picks = rng.integers(0, len(words), (rows, 4))
    days = np.datetime64("2015-01-01", "s") + (rng.integers(0, 3000, (rows, 4)) * 86400).astype("m8[s]")
    made = {
        "object (str cells)": words.astype(object)[picks],
        "<U5": words.astype("<U5")[picks],
        ">U5": words.astype(">U5")[picks],
        "S5": words.astype("S5")[picks],
        "datetime64[s]": days,
        "timedelta64[s]": days - np.datetime64("2015-01-01", "s"),
    }
    string_dtype = getattr(np.dtypes, "StringDType", None)
    if string_dtype is not None:
        made["StringDType"] = words.astype(object)[picks].astype(string_dtype())
    return made


def same_partition(a, b, np):
    """Whether two tables of codes group the rows of each column alike: durations are labelled by
    their text ("10 seconds" before "9 seconds"), which pandas orders by value."""
    for j in range(a.shape[1]):
        pairs = np.unique(np.stack([a[:, j], b[:, j]]), axis=1)
        if not (pairs.shape[1] == len(np.unique(a[:, j])) == len(np.unique(b[:, j]))):
            return False
    return True


def unique_loop(array, np):
    out = np.empty(array.shape, dtype=np.float64)
    for j in range(array.shape[1]):
        _, inverse = np.unique(array[:, j], return_inverse=True)
        out[:, j] = inverse.reshape(-1)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="200,000 rows instead of 1,000,000, 3 repeats")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    import numpy as np
    import pandas as pd

    import catenc

    rows = 200_000 if args.quick else 1_000_000
    repeats = args.repeats or (3 if args.quick else 7)
    print("versions:", harness.versions(np, pd))
    records = []
    header = f"{'array':20s} {'catenc':>9s} {'ns/cell':>8s} {'pandas loop':>12s} {'ratio':>6s} {'np.unique loop':>15s} {'ratio':>6s}  target"
    print(f"{rows:,} x 4 arrays, median of {repeats} side-by-side runs")
    print(header)
    enc = catenc.Encoder()
    for name, array in arrays(rows, np).items():
        ours = enc.encode(array)
        theirs = peers.pandas_loop_array(array, np, pd)
        same = same_partition(ours, theirs, np) if name.startswith("timedelta") else harness.same_codes(ours, theirs, np)
        assert same, f"{name}: catenc's codes differ from the pandas loop's"
        ours_s, pandas_s, unique_s = harness.round_robin(
            [lambda: enc.encode(array), lambda: peers.pandas_loop_array(array, np, pd), lambda: unique_loop(array, np)],
            repeats,
        )
        ns = ours_s / array.size * 1e9
        ratio = ours_s / pandas_s
        if name.startswith(("datetime", "timedelta")):
            target = f"<= {TARGET_DATES_RATIO}x"
            met = ratio <= TARGET_DATES_RATIO
        elif name.startswith("object"):
            target, met = "", None
        else:
            target = f"<= {TARGET_TEXT_RATIO}x and {TARGET_TEXT_NS:g} ns"
            met = ratio <= TARGET_TEXT_RATIO and ns <= TARGET_TEXT_NS
        verdict = "" if met is None else ("met" if met else "MISSED")
        print(f"{name:20s} {ours_s * 1e3:7.1f}ms {ns:8.1f} {pandas_s * 1e3:10.1f}ms {ratio:6.2f} "
              f"{unique_s * 1e3:13.1f}ms {ours_s / unique_s:6.2f}  {target} {verdict}")
        records.append({"case": name, "rows": rows, "columns": 4, "catenc_s": ours_s, "ns_per_cell": ns,
                        "pandas_loop_s": pandas_s, "ratio_pandas": ratio, "unique_loop_s": unique_s,
                        "ratio_unique": ours_s / unique_s, "target": target, "verdict": verdict})

    # A DataFrame of one datetime64 column: its `values` is a datetime64 array.
    days = arrays(rows, np)["datetime64[s]"][:, 0]
    frame = pd.DataFrame({"day": days.astype("M8[ns]")})
    column = frame["day"]
    ours_s, peer_s = harness.round_robin([lambda: enc.encode(frame), lambda: pd.factorize(column, sort=True)], repeats)
    ratio = ours_s / peer_s
    verdict = "met" if ratio <= TARGET_FRAME_RATIO else "MISSED"
    print(f"{'frame of 1 datetime64':20s} {ours_s * 1e3:7.1f}ms {ours_s / rows * 1e9:8.1f} {peer_s * 1e3:10.1f}ms "
          f"{ratio:6.2f} {'(pandas.factorize of the column)':>22s}  <= {TARGET_FRAME_RATIO}x {verdict}")
    records.append({"case": "DataFrame of 1 datetime64 column", "rows": rows, "columns": 1, "catenc_s": ours_s,
                    "ns_per_cell": ours_s / rows * 1e9, "pandas_loop_s": peer_s, "ratio_pandas": ratio,
                    "target": f"<= {TARGET_FRAME_RATIO}x", "verdict": verdict})
    harness.write_csv(args.out / "numpy_arrays.csv",
                      ["case", "rows", "columns", "catenc_s", "ns_per_cell", "pandas_loop_s", "ratio_pandas",
                       "unique_loop_s", "ratio_unique", "target", "verdict"], records)


if __name__ == "__main__":
    main()
