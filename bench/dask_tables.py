"""catenc on a Dask DataFrame held by a distributed cluster: against the loop a Dask user writes
today, against collecting the table into one process, and on a Parquet table larger than the
workers' memory.

    python bench/dask_tables.py [--quick] [--repeats N] [--out DIR]

The cluster is a distributed.LocalCluster on the loopback, started and stopped here: 2 worker
processes of one thread each, each with a memory limit. The table (tables.dask_table) is made on
the workers, a partition at a time, and persisted there: 3 label columns of 10, 10,000 and
1,000,000 distinct words in pandas' text dtype held in Arrow buffers (1% of the middle one
missing), beside a float64 and an int64 column. The client never holds its cells.

- catenc: `Encoder().encode(ddf)`, then `.sum().compute()` of the codes.
- The Dask loop (peers.dask_loop): per label column `ddf[col].unique().compute()` and a sort, then
  `pandas.Categorical(part[col], categories=...).codes` per partition through map_partitions,
  then the same sum. Both are timed from the call to the summed numbers, which must agree.
- One process: the table collected into a client of its own (a child process, so that the main
  client's memory readings stay its own), its partitions gathered and concatenated there, then
  catenc's encode and the pandas factorize loop of the collected frame. `ddf.compute()` itself
  concatenates the partitions on one worker first, which needs twice the table in that worker.
- Parquet: the table repeated until it is larger than the workers' memory limits together (lowered
  for this part), written with `to_parquet`, read back with `dd.read_parquet`, encoded and written
  with `to_parquet`, in a temporary directory removed at the end. The worker processes are
  watched: their peak resident memory (VmHWM, reset at the start), and whether any died or was
  restarted.

The client process also runs the scheduler (LocalCluster does), so its memory readings include
the scheduler's. Writes lines to standard output, DIR/dask_tables.csv and a chart
DIR/dask_tables.png.
"""

import argparse
import contextlib
import ctypes
import gc
import json
import logging
import math
import shutil
import statistics
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

from harness import available_memory, chart, resident_and_peak, reset_peak, round_robin, run_child, versions, write_csv
from peers import dask_loop, pandas_loop
from tables import DASK_LABELS, DASK_MISSING, dask_label_bytes, dask_table

HERE = Path(__file__).resolve().parent
MB = 2**20
GIB = 2**30

# The name under which the main client hands the persisted table to the one-process child.
DATASET = "catenc-bench-table"

TARGET_LOOP_RATIO = 0.1
# Bytes that the client may add on top of the distinct labels' estimate.
TARGET_CLIENT_SLACK = 200 * MB
# Bytes per distinct label on top of its UTF-8, in the estimate of the distinct labels' size.
PER_LABEL = 60


# -- the cluster ------------------------------------------------------------------------------------


class NannyLog(logging.Handler):
    """The nannies' words on workers that died, were killed or restarted: LocalCluster runs the
    nannies in this process, so their log records pass here."""

    WORDS = ("memory budget", "Restarting", "restart", "died", "killed", "terminated")

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        message = record.getMessage()
        if any(word in message for word in self.WORDS):
            self.messages.append(message)


@contextlib.contextmanager
def local_cluster(memory_limit, directory):
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=memory_limit,
                           host="127.0.0.1", dashboard_address=None, local_directory=str(directory))
    client = Client(cluster)
    log = NannyLog()
    logging.getLogger("distributed").addHandler(log)
    try:
        yield cluster, client, log
    finally:
        logging.getLogger("distributed").removeHandler(log)
        client.close()
        cluster.close()


# -- memory of the client and the workers -----------------------------------------------------------


def _status(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak_of(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as refs:
        refs.write("5")


class Watch:
    """From start to stop: the peak resident memory of this process and of each worker process
    (the nannies start them as children of this one), and the worker processes that appeared or
    ended in between. Peaks are the kernel's (VmHWM), reset at the start and read every
    `interval` seconds, so that a worker that dies keeps the peak read last."""

    def __init__(self, interval=0.1):
        self.interval = interval

    @staticmethod
    def worker_pids():
        import psutil

        pids = []
        for child in psutil.Process().children(recursive=True):
            try:
                if any("spawn_main" in part for part in child.cmdline()):
                    pids.append(child.pid)
            except psutil.Error:
                pass
        return pids

    def _sample(self):
        for pid in self.worker_pids():
            self.seen.add(pid)
            try:
                self.peaks[pid] = max(self.peaks.get(pid, 0), _status(pid, "VmHWM"))
            except OSError:
                pass

    def _run(self):
        while not self._stop.wait(self.interval):
            self._sample()

    def start(self):
        gc.collect()
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        self.first = set(self.worker_pids())
        self.seen = set(self.first)
        self.peaks = {}
        for pid in self.first:
            _reset_peak_of(pid)
        self.client_before, _ = resident_and_peak()
        reset_peak()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        _, client_peak = resident_and_peak()
        self._stop.set()
        self._thread.join()
        self._sample()
        last = set(self.worker_pids())
        return {
            "client_before": self.client_before,
            "client_peak": client_peak,
            "workers": {pid: self.peaks.get(pid, 0) for pid in sorted(self.seen)},
            "started": sorted(self.seen - self.first),
            "ended": sorted(self.seen - last),
        }


def worker_lines(found):
    """One line per worker process: its peak, and whether it started or ended while watched."""
    lines = []
    for k, (pid, peak) in enumerate(found["workers"].items()):
        fate = []
        if pid in found["started"]:
            fate.append("started meanwhile")
        if pid in found["ended"]:
            fate.append("ended meanwhile")
        lines.append(f"worker process {k + 1} (pid {pid}): peak {peak / MB:,.0f} MB" +
                     (f" ({', '.join(fate)})" if fate else ""))
    return lines


def restarts(found):
    return len(found["started"]) + len(found["ended"])


# -- the two contenders on the cluster --------------------------------------------------------------


def catenc_sums(ddf, catenc, parts=None):
    """The sums of catenc's codes; `parts` (a list) receives the seconds of the call to encode,
    which runs the learning pass, and of the codes pass with the sum."""
    started = time.perf_counter()
    lazy = catenc.Encoder().encode(ddf)
    learned = time.perf_counter()
    sums = lazy.sum().compute()
    if parts is not None:
        parts.append((learned - started, time.perf_counter() - learned))
    return sums


def loop_sums(ddf):
    return dask_loop(ddf, list(DASK_LABELS)).sum().compute()


def agreeing(ours, theirs, np):
    """Whether two per-column sums agree: exactly for codes, within rounding for the floats,
    whose sums may be added up in another order."""
    for name in ours.index:
        a, b = float(ours[name]), float(theirs[name])
        if name == "x":
            if not math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-6):
                return False
        elif a != b:
            return False
    return list(ours.index) == list(theirs.index)


# -- one process ------------------------------------------------------------------------------------


def run_collect(args):
    """In a client of its own: collect the published table, then encode it with catenc and with
    the pandas loop. Prints their times and sums, and this process's peak memory, as JSON."""
    import dask
    import numpy as np
    import pandas as pd
    from distributed import Client

    import catenc

    client = Client(args.collect)
    table = client.get_dataset(DATASET)
    partitions = table.npartitions
    # Room for the frame, its codes from each contender, and the frame collected next.
    while partitions > 1 and args.table_bytes * partitions / table.npartitions * 4 > available_memory():
        partitions //= 2
    if partitions < table.npartitions:
        table = table.partitions[:partitions]
    label_names = list(DASK_LABELS)
    frame = None

    def collect():
        # Not table.compute(): dask first concatenates the partitions into one on a worker, which
        # takes twice the table there (with 3 GiB workers and this table, the nanny kills it).
        nonlocal frame
        frame = None
        gc.collect()
        frame = pd.concat(dask.compute(*table.to_delayed()))

    collect()
    enc = catenc.Encoder()
    ours = enc.encode(frame).sum()
    theirs = pandas_loop(frame, label_names, np, pd).sum()
    collect_s, encode_s, loop_s = round_robin(
        [collect, lambda: enc.encode(frame), lambda: pandas_loop(frame, label_names, np, pd)], args.repeats)
    rows = len(frame)
    frame_bytes = int(frame.memory_usage(deep=True).sum())
    _, peak = resident_and_peak()
    client.close()
    print(json.dumps({
        "partitions": partitions, "rows": rows, "frame_bytes": frame_bytes, "collect_s": collect_s,
        "encode_s": encode_s, "loop_s": loop_s, "peak": peak,
        "ours": ours.astype(float).to_dict(), "loop": theirs.astype(float).to_dict(),
    }))


# -- the parts of a run -----------------------------------------------------------------------------


def record(section, case, seconds=None, value=None, unit="", target=None, verdict="", note=""):
    return {"section": section, "case": case, "seconds": seconds, "value": value, "unit": unit, "target": target,
            "verdict": verdict, "note": note}


def verdict(ok):
    return "PASS" if ok else "MISS"


def say(line):
    print(line, flush=True)


def in_memory(args, scratch, found):
    """The persisted table: catenc against the Dask loop, and the one-process path."""
    import numpy as np
    from distributed import wait

    import catenc

    partitions = args.rows // args.partition_rows
    with local_cluster(args.memory_limit, scratch) as (cluster, client, log):
        say(f"# cluster: 2 workers of 1 thread, memory limit {args.memory_limit / GIB:g} GiB each; making "
            f"{args.rows:,} rows in {partitions} partitions on the workers ...")
        watch = Watch().start()
        started = time.perf_counter()
        table = client.persist(dask_table(partitions, args.partition_rows, partitions))
        wait(table)
        found["make_s"] = time.perf_counter() - started
        found["make_memory"] = watch.stop()
        found["table_bytes"] = int(table.memory_usage(deep=True).sum().compute())
        found["labels"] = client.submit(dask_label_bytes, pure=False).result()
        found["dtypes"] = ", ".join(f"{name} {dtype}" for name, dtype in table.dtypes.items())

        say("# checking that catenc and the Dask loop give the same sums ...")
        ours = catenc_sums(table, catenc)
        theirs = loop_sums(table)
        found["sums"] = ours.astype(float).to_dict()
        found["loop_sums"] = theirs.astype(float).to_dict()
        found["sums_agree"] = agreeing(ours, theirs, np)

        say("# client and workers' memory during one catenc encode ...")
        watch = Watch().start()
        catenc_sums(table, catenc)
        found["encode_memory"] = watch.stop()
        watch = Watch().start()
        loop_sums(table)
        found["loop_memory"] = watch.stop()

        say(f"# timing, {args.repeats} rounds of catenc then the Dask loop ...")
        parts, rounds = [], {"catenc": [], "loop": []}

        def each(name, function):
            def timed_round():
                started = time.perf_counter()
                function()
                rounds[name].append(time.perf_counter() - started)
            return timed_round

        found["catenc_s"], found["loop_s"] = round_robin(
            [each("catenc", lambda: catenc_sums(table, catenc, parts)), each("loop", lambda: loop_sums(table))],
            args.repeats)
        found["rounds"] = rounds
        found["learn_s"] = statistics.median(learn for learn, _ in parts)
        found["codes_s"] = statistics.median(codes for _, codes in parts)

        say("# one process: collecting the table into a client of its own ...")
        client.publish_dataset(table, name=DATASET)
        found["collect"] = run_child(__file__, [
            "--collect", cluster.scheduler_address, "--repeats", str(args.repeats),
            "--table-bytes", str(found["table_bytes"])], timeout=3600)
        client.unpublish_dataset(DATASET)
        found["in_memory_log"] = list(log.messages)


def larger_than_memory(args, directory, found):
    """The table repeated, written as Parquet, read back lazily, encoded and written again, with
    lower memory limits."""
    import dask.dataframe as dd

    import catenc

    partitions = args.rows // args.partition_rows
    limit = args.parquet_limit
    copies = args.parquet_copies or max(2, math.ceil(1.5 * 2 * limit / found["table_bytes"]))
    found["parquet_copies"] = copies
    found["parquet_limit"] = limit
    found["parquet_table_bytes"] = copies * found["table_bytes"]
    source, target = directory / "table", directory / "codes"
    with local_cluster(limit, directory / "scratch") as (cluster, client, log):
        say(f"# Parquet: {copies} copies of the table ({copies * args.rows:,} rows, "
            f"{copies * found['table_bytes'] / GIB:.2f} GiB in memory), workers of {limit / GIB:g} GiB each; writing ...")
        watch = Watch().start()
        started = time.perf_counter()
        dask_table(copies * partitions, args.partition_rows, partitions).to_parquet(source, write_index=True)
        found["write_s"] = time.perf_counter() - started
        found["write_memory"] = watch.stop()
        found["parquet_bytes"] = sum(f.stat().st_size for f in source.rglob("*") if f.is_file())
        # Fresh workers: what the writing left in them is none of the encode's.
        client.restart()
        log.messages.clear()
        workers_before = len(client.scheduler_info()["workers"])
        say("# Parquet: read_parquet, encode, to_parquet ...")
        watch = Watch().start()
        started = time.perf_counter()
        table = dd.read_parquet(source)
        found["parquet_partitions"] = table.npartitions
        catenc.Encoder().encode(table).to_parquet(target, write_index=True)
        found["parquet_s"] = time.perf_counter() - started
        found["parquet_memory"] = watch.stop()
        found["parquet_workers"] = (workers_before, len(client.scheduler_info()["workers"]))
        found["parquet_codes_bytes"] = sum(f.stat().st_size for f in target.rglob("*") if f.is_file())
        sums = dd.read_parquet(target).sum().compute()
        found["parquet_sums"] = sums.astype(float).to_dict()
        found["parquet_log"] = list(log.messages)
        shutil.rmtree(source)
        shutil.rmtree(target)


# -- the report -------------------------------------------------------------------------------------


def report(args, found):
    import numpy as np
    import pandas as pd

    rows, partitions = args.rows, args.rows // args.partition_rows
    collected = found["collect"]
    labels = found["labels"]
    estimate = sum(nbytes + PER_LABEL * count for count, nbytes in labels.values())
    records = []
    say("")
    say(f"rows: {rows:,} x {len(found['sums'])} in {partitions} partitions of {args.partition_rows:,}; "
        f"repeats: {args.repeats}{' (quick)' if args.quick else ''}; medians in seconds")
    say("columns: " + found["dtypes"] + "; labels: " +
        ", ".join(f"{name} {count:,} distinct{f', {DASK_MISSING[name]:.0%} missing' if name in DASK_MISSING else ''}"
                  for name, (count, _) in labels.items()))
    found_versions = versions(np, pd)
    import dask
    import distributed
    found_versions.update({"dask": dask.__version__, "distributed": distributed.__version__})
    say("versions: " + ", ".join(f"{k} {v}" for k, v in found_versions.items()))
    say(f"cluster: LocalCluster on 127.0.0.1, 2 worker processes x 1 thread, memory limit "
        f"{args.memory_limit / GIB:g} GiB each ({args.parquet_limit / GIB:g} GiB for Parquet); the client process "
        f"runs the scheduler")
    say(f"table in the workers' memory: {found['table_bytes'] / MB:,.0f} MB (memory_usage(deep=True)); made and "
        f"persisted in {found['make_s']:.1f} s")
    say(f"distinct labels' size, estimated as UTF-8 + {PER_LABEL} bytes each: {estimate / MB:,.1f} MB")
    say("")

    def line(section, case, seconds=None, value=None, unit="", target=None, verdict_="", note=""):
        records.append(record(section, case, seconds, value, unit, target, verdict_, note))
        s = f"{seconds:9.2f}" if seconds is not None else f"{'':>9}"
        v = f"{value:10.3f} {unit:<3}" if value is not None else f"{'':>14}"
        say(f"{section:<10}{case:<62}{s}{v}{verdict_:>5}{'  ' + note if note else ''}")

    say(f"{'section':<10}{'case':<62}{'seconds':>9}{'value':>10}")
    catenc_s, loop_s = found["catenc_s"], found["loop_s"]
    spread = {name: "rounds: " + ", ".join(f"{t:.1f}" for t in times) for name, times in found["rounds"].items()}
    line("dask", "catenc encode + sum on the cluster", catenc_s, note=spread["catenc"])
    line("dask", "  of which encode(ddf): the learning pass", found["learn_s"])
    line("dask", "  of which .sum().compute(): the codes pass and the sum", found["codes_s"])
    line("dask", "Dask loop (unique, sort, Categorical codes) + sum", loop_s, note=spread["loop"])
    line("dask", "catenc / Dask loop", None, catenc_s / loop_s, "x")
    line("dask", "sums of the codes agree", note="yes" if found["sums_agree"] else
         f"NO: catenc {found['sums']} vs loop {found['loop_sums']}")
    collect_rows = collected["rows"]
    scale = "" if collect_rows == rows else f" ({collect_rows:,} rows: what fits)"
    line("process", "collect: the partitions gathered and concatenated in a client" + scale, collected["collect_s"],
         note="ddf.compute() concatenates on a worker first: twice the table there")
    line("process", "catenc encode of the collected frame" + scale, collected["encode_s"])
    line("process", "pandas factorize loop of the collected frame" + scale, collected["loop_s"])
    one_process = collected["collect_s"] + collected["encode_s"]
    line("process", "collect + catenc encode" + scale, one_process)
    line("process", "collect + pandas loop" + scale, collected["collect_s"] + collected["loop_s"])
    line("process", "catenc on the cluster / (collect + catenc encode)", None, catenc_s / one_process, "x")
    line("process", "collecting client's peak memory", None, collected["peak"] / MB, "MB",
         note=f"frame of {collected['frame_bytes'] / MB:,.0f} MB")
    same = all(collected["ours"][k] == found["sums"][k] for k in DASK_LABELS)
    line("process", "catenc's sums in one process equal those on the cluster", note="yes" if same else "NO")
    for name, key in (("catenc encode", "encode_memory"), ("Dask loop", "loop_memory")):
        memory = found[key]
        extra = memory["client_peak"] - memory["client_before"]
        line("memory", f"client during {name}: peak above its {memory['client_before'] / MB:,.0f} MB before",
             None, extra / MB, "MB")
        for text in worker_lines(memory):
            line("memory", f"  {name}: {text}")

    copies = found["parquet_copies"]
    memory = found["parquet_memory"]
    section = "parquet"
    line(section, f"table: {copies} copies, {copies * rows:,} rows, {found['parquet_partitions']} partitions read")
    line(section, "  in memory / workers' limits together", None,
         found["parquet_table_bytes"] / (2 * found["parquet_limit"]), "x",
         note=f"{found['parquet_table_bytes'] / GIB:.2f} GiB / {2 * found['parquet_limit'] / GIB:g} GiB; on disk "
              f"{found['parquet_bytes'] / GIB:.2f} GiB, codes {found['parquet_codes_bytes'] / GIB:.2f} GiB")
    line(section, "to_parquet of the made table", found["write_s"],
         note=f"{restarts(found['write_memory'])} worker processes started or ended")
    line(section, "read_parquet, catenc encode, to_parquet", found["parquet_s"])
    for text in worker_lines(memory):
        line(section, "  " + text)
    parquet_extra = memory["client_peak"] - memory["client_before"]
    line(section, f"  client: peak above its {memory['client_before'] / MB:,.0f} MB before", None,
         parquet_extra / MB, "MB")
    expected = {k: copies * v for k, v in found["sums"].items()}
    parquet_same = all(found["parquet_sums"][k] == expected[k] for k in DASK_LABELS)
    line(section, "  sums of the written codes are the copies' sums", note="yes" if parquet_same else
         f"NO: {found['parquet_sums']} vs {expected}")
    killed = restarts(memory) + len(found["parquet_log"])
    workers = found["parquet_workers"]
    line(section, "  workers killed, restarted or ended", None, float(restarts(memory)), "",
         note=f"workers before/after: {workers[0]}/{workers[1]}; nanny messages: {found['parquet_log'] or 'none'}")

    say("")
    targets = [
        ("catenc encode <= 0.1x the Dask loop", f"{catenc_s / loop_s:.3f}x", catenc_s / loop_s <= TARGET_LOOP_RATIO),
        ("catenc encode <= collect + encode in one process",
         f"{catenc_s:.2f} s vs {one_process:.2f} s{scale}", catenc_s <= one_process),
        ("larger-than-memory table encodes to Parquet, no worker killed for memory",
         f"{killed} killed or restarted, {found['parquet_table_bytes'] / (2 * found['parquet_limit']):.2f}x the limits",
         killed == 0 and parquet_same and found["parquet_table_bytes"] > 2 * found["parquet_limit"]),
    ]
    for name, key in (("in-memory encode", "encode_memory"), ("Parquet encode", "parquet_memory")):
        extra = found[key]["client_peak"] - found[key]["client_before"]
        targets.append((f"client peak memory, {name} <= distinct labels + 200 MB",
                        f"{extra / MB:,.0f} MB vs {(estimate + TARGET_CLIENT_SLACK) / MB:,.0f} MB",
                        extra <= estimate + TARGET_CLIENT_SLACK))
    for name, measured, ok in targets:
        records.append(record("target", name, value=None, unit="", verdict=verdict(ok), note=measured))
        say(f"target    {name:<76}{measured:<46}{verdict(ok)}")

    header = ["section", "case", "seconds", "value", "unit", "target", "verdict", "note"]
    write_csv(args.out / "dask_tables.csv", header, records)
    bars = [
        ("time", "", "catenc encode on the cluster (mark: the stricter target)", catenc_s,
         min(TARGET_LOOP_RATIO * loop_s, one_process)),
        ("time", "", "Dask loop on the cluster", loop_s, None),
        ("time", "", f"collect + catenc encode{scale}", one_process, None),
        ("time", "", f"collect + pandas loop{scale}", collected["collect_s"] + collected["loop_s"], None),
        ("time", "", f"Parquet: read, catenc encode, write ({copies} copies)", found["parquet_s"], None),
    ]
    chart(bars, args.out / "dask_tables.png",
          f"catenc on a Dask DataFrame of {rows:,} rows, 2 workers{' (quick run)' if args.quick else ''}",
          {"time": {"label": "seconds, call to summed codes (lower is better)", "log": True}}, row_height=0.45)


def parse_bytes(text):
    from dask.utils import parse_bytes as parse

    return parse(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="2,000,000 rows in partitions of 250,000, 2 repeats")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--partition-rows", type=int, default=1_000_000)
    parser.add_argument("--memory-limit", type=parse_bytes, default="3 GiB", help="per worker")
    parser.add_argument("--parquet-limit", type=parse_bytes, default="1 GiB", help="per worker, for the Parquet part")
    parser.add_argument("--parquet-copies", type=int, default=0,
                        help="copies of the table written as Parquet (default: 1.5 times the limits together)")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--collect", help=argparse.SUPPRESS)
    parser.add_argument("--table-bytes", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.collect:
        return run_collect(args)
    if args.quick:
        args.rows, args.partition_rows, args.repeats = 2_000_000, 250_000, min(args.repeats, 2)
        # Small enough to run in a minute, not larger than the limits.
        args.parquet_copies = args.parquet_copies or 2
    # Dask's shuffles (the loop's unique) announce each start and end as warnings.
    logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)
    # catenc's vocabularies and the loop's categories travel in the graph (17 MiB at 1,000,000
    # labels), and distributed warns of it at each call.
    warnings.filterwarnings("ignore", message="Sending large graph")
    found = {}
    with tempfile.TemporaryDirectory(prefix="catenc-dask-bench-") as directory:
        directory = Path(directory)
        in_memory(args, directory / "scratch-in-memory", found)
        larger_than_memory(args, directory / "parquet", found)
    report(args, found)


if __name__ == "__main__":
    sys.exit(main())
