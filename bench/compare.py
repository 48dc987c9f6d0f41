"""catenc against what users write today: pandas, scikit-learn and plain NumPy copies.

    python bench/compare.py [--quick] [--repeats N] [--out DIR]

Every case runs twice: with pandas' default string storage (Arrow strings when pyarrow is
installed) and with pandas unable to import pyarrow. Each configuration runs in a child process;
contenders run interleaved (ours, peer, ours, peer, ...) and their medians are compared. Peak
extra memory is measured per contender in a child process of its own. Before timing, every case
checks once that our codes equal the peer's, column by column.

The tables come from tables.py and the peers from peers.py; harness.py times, measures and charts.

Writes a table to standard output, DIR/compare.csv and a bar chart DIR/compare.png.
"""

import argparse
import gc
import json
import os
import statistics
from pathlib import Path

from harness import (block_pyarrow, chart, configuration_name, interleaved, peak_extra, run_child, same_codes,
                     timed, versions, write_csv)
from peers import numpy_copy, pandas_decode, pandas_loop, pandas_loop_array, sklearn_encode
from tables import CARDINALITIES, cardinality_array, cardinality_frame, numbers_array

HERE = Path(__file__).resolve().parent


# -- measuring --------------------------------------------------------------------------------------


def run_configuration(args):
    """Runs every timing case in this process; prints one JSON record per case."""
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    rows = args.rows
    records = []
    frame = cardinality_frame(rows, np, pd)
    label_names = [f"s{c}" for c in CARDINALITIES]
    enc = catenc.Encoder()

    encoded = enc.encode(frame)
    uniques = {}
    peer = pandas_loop(frame, label_names, np, pd, uniques)
    assert same_codes(encoded.to_numpy(), peer.to_numpy(), np), "codes differ from pandas on the mixed frame"
    assert same_codes(encoded[label_names].to_numpy(), sklearn_encode(frame, label_names), np), \
        "codes differ from scikit-learn"
    ours, theirs = interleaved(lambda: enc.encode(frame), lambda: pandas_loop(frame, label_names, np, pd),
                               args.repeats)
    records.append(("1 mixed DataFrame encode", "pandas", ours, theirs))
    ours, theirs = interleaved(lambda: enc.encode(frame), lambda: sklearn_encode(frame, label_names),
                               max(1, args.repeats // 2))
    records.append(("1 mixed DataFrame encode", "scikit-learn", ours, theirs))
    decoded = enc.decode(encoded)
    peer_decoded = pandas_decode(encoded, uniques, np, pd)
    assert all(decoded[n].tolist() == peer_decoded[n].tolist() for n in label_names), "decoded labels differ"
    ours, theirs = interleaved(lambda: enc.decode(encoded),
                               lambda: pandas_decode(encoded, uniques, np, pd), args.repeats)
    records.append(("1 mixed DataFrame decode", "pandas", ours, theirs))
    del frame, encoded, decoded, peer_decoded, peer, uniques
    gc.collect()

    array = cardinality_array(rows, np, pd)
    assert same_codes(enc.encode(array), pandas_loop_array(array, np, pd), np), "codes differ on the object array"
    ours, theirs = interleaved(lambda: enc.encode(array), lambda: pandas_loop_array(array, np, pd), args.repeats)
    records.append(("2 object ndarray encode", "pandas", ours, theirs))
    del array
    gc.collect()

    dense = numbers_array(rows * 4, np)
    for order, table in (("C", dense), ("F", np.asfortranarray(dense))):
        assert same_codes(enc.encode(table), numpy_copy(table, np), np)
        ours, theirs = interleaved(lambda: enc.encode(table), lambda: numpy_copy(table, np), args.repeats)
        records.append((f"3 float64 ndarray {order} order encode", "NumPy copy", ours, theirs))
    print(json.dumps({"records": records, "versions": versions(np, pd)}))


def run_threads(args):
    """Times `encode` of the object array once the pool has the thread count of the environment."""
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    array = cardinality_array(args.rows, np, pd)
    enc = catenc.Encoder()
    enc.encode(array)
    print(json.dumps(statistics.median(timed(lambda: enc.encode(array)) for _ in range(args.repeats))))


def run_memory(args):
    """Peak memory above the resident size before one run of one contender."""
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    frame = cardinality_frame(args.rows, np, pd)
    label_names = [f"s{c}" for c in CARDINALITIES]
    enc = catenc.Encoder()
    contender = {
        "ours": lambda: enc.encode(frame),
        "pandas": lambda: pandas_loop(frame, label_names, np, pd),
    }[args.memory]
    # Import and warm up (the worker pool, pandas' lazy modules) on a small frame first.
    small = frame.head(1000)
    enc.encode(small)
    pandas_loop(small, label_names, np, pd)
    print(json.dumps(peak_extra(contender)))


# The ratio (ours / peer) each case aims at or below.
TARGETS = {
    ("1 mixed DataFrame encode", "pandas"): 0.5,
    ("1 mixed DataFrame encode", "scikit-learn"): 0.1,
    ("1 mixed DataFrame decode", "pandas"): 1.5,
    ("2 object ndarray encode", "pandas"): 0.5,
    ("3 float64 ndarray C order encode", "NumPy copy"): 1.3,
    ("3 float64 ndarray F order encode", "NumPy copy"): 1.3,
    ("4 object ndarray encode, 2 threads vs 1", "1 thread"): 1 / 1.2,
    ("5 mixed DataFrame encode, peak extra memory", "pandas"): 1.0,
}


def child(args, *extra, env=None):
    arguments = ["--rows", str(args.rows), "--repeats", str(args.repeats), *extra]
    if args.no_pyarrow:
        arguments.append("--no-pyarrow")
    return run_child(__file__, arguments, env=env)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="100,000 rows, 3 repeats")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--no-pyarrow", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--configuration", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory", choices=["ours", "pandas"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.rows, args.repeats = 100_000, 3
    if args.configuration:
        return run_configuration(args)
    if args.threads:
        return run_threads(args)
    if args.memory:
        return run_memory(args)

    rows_out = []
    seen_versions = {}
    for no_pyarrow in (False, True):
        args.no_pyarrow = no_pyarrow
        configuration = configuration_name(no_pyarrow)
        result = child(args, "--configuration")
        seen_versions[configuration] = result["versions"]
        for case, peer, ours, theirs in result["records"]:
            rows_out.append([configuration, case, peer, ours, theirs, ours / theirs, "", "", TARGETS[case, peer]])
        timings = {}
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            timings[threads] = child(args, "--threads", env=env)
        case = "4 object ndarray encode, 2 threads vs 1"
        rows_out.append([configuration, case, "1 thread", timings[2], timings[1], timings[2] / timings[1], "", "",
                         TARGETS[case, "1 thread"]])
        memory = {name: child(args, "--memory", name) for name in ("ours", "pandas")}
        case = "5 mixed DataFrame encode, peak extra memory"
        rows_out.append([configuration, case, "pandas", "", "", memory["ours"] / memory["pandas"], memory["ours"],
                         memory["pandas"], TARGETS[case, "pandas"]])

    header = ["configuration", "case", "peer", "ours_s", "peer_s", "ratio", "ours_peak_bytes", "peer_peak_bytes",
              "target_ratio"]
    print(f"rows: {args.rows:,}; repeats: {args.repeats}; medians in seconds; ratio = ours / peer")
    for configuration, found in seen_versions.items():
        print(f"{configuration}: " + ", ".join(f"{k} {v}" for k, v in found.items()))
    print()
    print(f"{'configuration':<24}{'case':<46}{'peer':<12}{'ours':>8}{'peer':>8}{'ratio':>7}{'target':>8}"
          f"{'ours MB':>9}{'peer MB':>9}")
    for row in rows_out:
        configuration, case, peer, ours, theirs, ratio, ours_mb, peer_mb, target = row
        fmt = lambda v: f"{v:8.3f}" if isinstance(v, float) else f"{v:>8}"  # noqa: E731
        mb = lambda v: f"{v / 2**20:9.1f}" if v != "" else f"{'':>9}"  # noqa: E731
        verdict = "<=" if ratio <= target else "> "
        print(f"{configuration:<24}{case:<46}{peer:<12}{fmt(ours)}{fmt(theirs)}{ratio:7.2f} {verdict}{target:5.2f}"
              f"{mb(ours_mb)}{mb(peer_mb)}")

    write_csv(args.out / "compare.csv", header, [dict(zip(header, row)) for row in rows_out])
    compare_chart(rows_out, args.out / "compare.png", args.rows)


def compare_chart(rows_out, path, rows):
    bars = [("ratio", "", f"{row[1]} vs {row[2]}\n({row[0]})", row[5], row[8]) for row in rows_out]
    chart(bars, path, f"catenc against its peers, {rows:,} rows",
          {"ratio": {"label": "ours / peer: time, or peak memory for case 5 (green: at or below the target, marked |)",
                     "ratio": True}}, row_height=0.45)


if __name__ == "__main__":
    main()
