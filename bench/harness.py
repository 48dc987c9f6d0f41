"""What the benchmarks in this folder share: the pyarrow block, the checks that catenc's codes
equal a peer's, timing, peak memory, child processes, CSV output and the chart.

pandas is imported inside the functions that need it, never at import time: a child process
blocks pyarrow before pandas first loads.
"""

import csv
import ctypes
import gc
import importlib.metadata
import json
import statistics
import subprocess
import sys
import time


class _NoPyarrow:
    """An import hook under which pyarrow looks not installed."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == "pyarrow" or name.startswith("pyarrow."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


def block_pyarrow():
    sys.meta_path.insert(0, _NoPyarrow())


def configuration_name(no_pyarrow):
    return "pandas without pyarrow" if no_pyarrow else "pandas default"


# -- checks -----------------------------------------------------------------------------------------


def same_codes(a, b, np):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def differing_columns(ours, theirs, names, np):
    """The columns whose codes differ, each with how many cells differ and a first example."""
    found = {}
    for j, name in enumerate(names):
        a = np.asarray(ours[:, j], dtype=np.float64)
        b = np.asarray(theirs[:, j], dtype=np.float64)
        bad = ~((a == b) | (np.isnan(a) & np.isnan(b)))
        if bad.any():
            first = int(np.flatnonzero(bad)[0])
            found[str(name)] = f"{int(bad.sum())} cells, first at row {first}: {a[first]} vs {b[first]}"
    return found


# -- timing -----------------------------------------------------------------------------------------


def timed(function):
    gc.collect()
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def interleaved(ours, peer, repeats):
    ours_time, peer_time = round_robin([ours, peer], repeats)
    return ours_time, peer_time


def round_robin(functions, repeats, batch=1):
    """Medians of `repeats` rounds, each timing every function once in turn (per call when a
    round calls each `batch` times), so that drifting load falls on all of them alike."""
    times = [[] for _ in functions]

    def one_round(function):
        if batch == 1:
            return timed(function)

        def calls():
            for _ in range(batch):
                function()

        return timed(calls) / batch

    for _ in range(repeats):
        for k, function in enumerate(functions):
            times[k].append(one_round(function))
    return [statistics.median(t) for t in times]


def batch_for(functions, seconds=0.05, limit=10_000):
    """How many calls make a timed batch of about `seconds` for the slowest of `functions`: small
    tables take microseconds, below what one timer reading resolves well."""
    slowest = max(timed(function) for function in functions)
    if slowest <= 0:
        return limit
    return max(1, min(limit, int(seconds / slowest)))


def median_us(function, calls):
    """The median of `calls` calls timed one by one, in microseconds."""
    samples = []
    for _ in range(calls):
        start = time.perf_counter_ns()
        function()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1000


# -- memory -----------------------------------------------------------------------------------------


def resident_and_peak():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024


def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def peak_extra(contender):
    """Peak resident memory above the resident size before one call of `contender`."""
    gc.collect()
    # Hand freed heap pages back to the system, so that the contender's allocations show as
    # growth instead of reusing pages that building the data left resident.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before, _ = resident_and_peak()
    reset_peak()
    result = contender()
    _, peak = resident_and_peak()
    del result
    return peak - before


def available_memory():
    with open("/proc/meminfo") as info:
        for line in info:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


# -- processes --------------------------------------------------------------------------------------


def run_child(script, arguments, env=None, timeout=None):
    """Runs `script` with `arguments` in a fresh interpreter; returns the JSON of its last line."""
    command = [sys.executable, str(script), *arguments]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise subprocess.CalledProcessError(done.returncode, command, done.stdout, done.stderr)
    return json.loads(done.stdout.strip().splitlines()[-1])


def versions(np, pd):
    found = {"catenc": importlib.metadata.version("catenc"), "numpy": np.__version__, "pandas": pd.__version__}
    for name, module in (("scikit-learn", "sklearn"), ("polars", "polars")):
        try:
            found[name] = __import__(module).__version__
        except ImportError:
            pass
    try:
        import pyarrow

        found["pyarrow"] = pyarrow.__version__
    except ImportError:
        found["pyarrow"] = "not importable"
    found["string storage"] = str(pd.Series(["a"]).dtype) + " " + repr(pd.Series(["a"]).dtype)
    return found


# -- output -----------------------------------------------------------------------------------------


def write_csv(path, header, records):
    """`records` (dicts) under `header`, in its order; keys that it does not name are left out."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as handle:
        writer = csv.DictWriter(handle, header, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(records)


def chart(bars, path, title, panels=None, row_height=0.3):
    """Horizontal bars, green at or below their target (a black mark), red above, grey without one.

    `bars` holds (panel, column, label, value, target) tuples: each panel is a row of axes, each
    column (a configuration, say) a column of them, with the bars of one label at the same place
    in every column. `panels` maps a panel to its x label, or to a dict with "label" and the flags
    "log" (a log scale) and "ratio" (a line at 1)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    panel_order = list(dict.fromkeys(bar[0] for bar in bars))
    column_order = list(dict.fromkeys(bar[1] for bar in bars))
    labels = {panel: list(dict.fromkeys(bar[2] for bar in bars if bar[0] == panel)) for panel in panel_order}
    heights = [len(labels[panel]) for panel in panel_order]
    fig, axes = plt.subplots(
        len(panel_order), len(column_order), squeeze=False,
        figsize=(7 + 3.5 * len(column_order), row_height * sum(heights) + 1.1 * len(panel_order) + 0.6),
        gridspec_kw={"height_ratios": [h + 2.5 for h in heights]})
    for i, panel in enumerate(panel_order):
        style = (panels or {}).get(panel, panel)
        style = style if isinstance(style, dict) else {"label": style}
        for k, column in enumerate(column_order):
            ax = axes[i, k]
            rows = {bar[2]: bar for bar in bars if bar[0] == panel and bar[1] == column}
            if not rows:
                ax.set_axis_off()
                continue
            where = [labels[panel].index(label) for label in rows]
            values = [bar[3] for bar in rows.values()]
            targets = [bar[4] for bar in rows.values()]
            colors = ["tab:grey" if t is None else "tab:green" if v <= t else "tab:red"
                      for v, t in zip(values, targets)]
            ax.barh(where, values, color=colors)
            for y, value in zip(where, values):
                ax.annotate(f"{value:.3g}", (value, y), xytext=(2, 0), textcoords="offset points", va="center",
                            fontsize=5.5)
            marked = [(t, y) for t, y in zip(targets, where) if t is not None]
            if marked:
                ax.scatter([t for t, _ in marked], [y for _, y in marked], marker="|", s=120, color="black",
                           zorder=3)
            if style.get("log"):
                ax.set_xscale("log")
                ax.xaxis.set_major_locator(matplotlib.ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
                ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
                ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
            ax.margins(x=0.12)
            if style.get("ratio"):
                ax.axvline(1.0, color="grey", linewidth=0.6)
            ax.set_ylim(len(labels[panel]) - 0.5, -0.5)
            ax.set_yticks(range(len(labels[panel])), labels[panel] if k == 0 else [], fontsize=6.5)
            ax.tick_params(axis="x", labelsize=7)
            ax.set_xlabel(style["label"], fontsize=7.5)
            if i == 0 and column:
                ax.set_title(column, fontsize=9)
    fig.suptitle(title, y=1 - 0.08 / fig.get_figheight(), va="top")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
