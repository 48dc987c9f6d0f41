"""catenc's reading of Dask DataFrames, private: catenc.Encoder calls it, and the processes that
hold the partitions run its tasks. Nothing here is meant to be imported by users.

The codes of a Dask DataFrame are those of the whole table encoded at once. What depends on the
whole table is decided from every partition's report before any code is written:

- a column holds labels when any partition holds a cell of it that is no number;
- numbers before the column's first non-number, in row order, take their float text ("1"), those
  after it their str() ("1.0"), whichever partition they are in.

So one pass learns: each partition reports, per column that can hold labels, its labels as if the
column's first non-number were in it or later ("pre"), and as if it came earlier ("post"); the
reports of neighbouring partitions merge on the workers, in row order, into those of the whole
table. Only distinct labels travel. The codes are written when the result is computed, each
partition by the rule its place gives it. Tasks carry plain data: label sets are pairs of bytes
and int64 offsets, and no Encoder is ever pickled.
"""

import importlib.machinery
import importlib.util
import threading
import uuid

import catenc


def _partition_module():
    # The partitions' functions live in catenc's own shared object, beside the Encoder, so that
    # they share its worker pool; the module is loaded from there under its own name.
    name = "_catenc_partition"
    loader = importlib.machinery.ExtensionFileLoader(name, catenc.__file__)
    spec = importlib.util.spec_from_file_location(name, catenc.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


_partition = _partition_module()

# How a column of a partition is read (the core's rules): as a whole table would be; as labels
# whose first non-number is here or later; as labels whose first non-number came earlier.
AUTOMATIC, LEAD, FOLLOW = 0, 1, 2

# How many reports one task merges.
_FAN_IN = 8


class _Column:
    """What a run of consecutive partitions tells of one column."""

    __slots__ = ("first", "numeric", "pre", "post")

    def __init__(self, first, numeric, pre, post):
        self.first = first  # the first partition with a non-number, or None
        self.numeric = numeric  # the partitions without one, ascending
        self.pre = pre  # its labels if no partition before the run has a non-number
        self.post = post  # ... if one has; None: the same as pre

    def post_set(self):
        return self.pre if self.post is None else self.post


def _union(*sets):
    sets = [labels for labels in sets if labels is not None]
    if len(sets) <= 1:
        return sets[0] if sets else None
    return _partition.union(*sets)


def _merged(columns):
    """One column's report over consecutive runs, given in row order."""
    numeric = tuple(q for column in columns for q in column.numeric)
    firsts = [k for k, column in enumerate(columns) if column.first is not None]
    if not firsts:
        return _Column(None, numeric, None, None)
    first = columns[firsts[0]]
    # The runs after the first one with a non-number are read as following it.
    after = [columns[k].post_set() for k in firsts[1:]]
    pre = _union(first.pre, *after)
    post = None if first.post is None else _union(first.post, *after)
    return _Column(first.first, numeric, pre, post)


def _merge_reports(*reports):
    return {c: _merged([report[c] for report in reports]) for c in reports[0]}


def _is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def _run(function, index, *args):
    # A failure inside catenc travels as RuntimeError: PanicException derives from BaseException
    # and is no attribute of any module, so schedulers can neither catch nor pickle it.
    try:
        return function(*args)
    except BaseException as error:
        if _is_panic(error):
            raise RuntimeError(f"catenc failed on partition {index}: {error}") from None
        raise


def _check_partition(part, index, meta):
    if list(part.columns) != list(meta.columns):
        raise ValueError(
            f"partition {index} of the Dask DataFrame does not match its meta: it has the columns "
            f"{list(part.columns)!r}, the meta {list(meta.columns)!r}"
        )
    for position, (name, dtype, expected) in enumerate(zip(part.columns, part.dtypes, meta.dtypes)):
        # A category's categories may be known in the partitions only.
        if dtype == expected or (dtype.name == "category" and expected.name == "category"):
            continue
        raise ValueError(
            f"partition {index} of the Dask DataFrame does not match its meta: column {name!r} "
            f"(position {position}) has dtype {dtype}, the meta {expected}"
        )


def _learn_partition(part, index, meta, labelled):
    _check_partition(part, index, meta)
    columns = len(meta.columns)
    reports = _run(_partition.learn, index, part, bytes(columns))
    leading = [c for c in labelled if reports[c] is not None and reports[c][1]]
    follow = {}
    if leading:
        # Numbers led the labels: as they would be written if a non-number came earlier.
        rules = bytearray(columns)
        for c in leading:
            rules[c] = FOLLOW
        again = _run(_partition.learn, index, part, bytes(rules))
        follow = {c: again[c][0] for c in leading}
    summary = {}
    for c in labelled:
        if reports[c] is None:
            summary[c] = _Column(None, (index,), None, None)
        else:
            summary[c] = _Column(index, (), reports[c][0], follow.get(c))
    return summary


def _learn_by_rules(part, index, rules, columns):
    reports = _run(_partition.learn, index, part, rules)
    return {c: reports[c][0] if reports[c] is not None else None for c in columns}


def _tree(dask, items, combine):
    while len(items) > 1:
        items = [dask.delayed(combine)(*items[i : i + _FAN_IN]) for i in range(0, len(items), _FAN_IN)]
    return items[0]


class Plan:
    """How each partition is read for the result: the column's first partition with a non-number
    (None for a numeric column), and the whole table's labels of each label column."""

    def __init__(self, names, firsts, vocabularies):
        self.names = names
        self.firsts = firsts
        self.vocabularies = vocabularies
        self._indexed = None
        self._lock = threading.Lock()

    def __getstate__(self):
        # The indices are the process's own: each process that gets the plan builds its own.
        return {"names": self.names, "firsts": self.firsts, "vocabularies": self.vocabularies}

    def __setstate__(self, state):
        self.__init__(state["names"], state["firsts"], state["vocabularies"])

    def indexed(self):
        """The vocabularies indexed for the partitions' lookups, built once per process: a worker
        holds one copy of the plan for all its partitions."""
        with self._lock:
            if self._indexed is None:
                self._indexed = [None if labels is None else _partition.vocabulary(labels)
                                 for labels in self.vocabularies]
            return self._indexed

    def rules(self, index):
        rules = bytearray(len(self.firsts))
        for c, first in enumerate(self.firsts):
            if first is not None:
                rules[c] = LEAD if index <= first else FOLLOW
        return bytes(rules)


def _labelled_columns(meta):
    # Columns of NumPy's ints, floats and bools are numbers in every partition, whatever their
    # neighbours: their cells convert to floats however `values` holds them. Any other may hold
    # labels (complex numbers as Python objects do not convert).
    import numpy as np

    return [
        c for c, dtype in enumerate(meta.dtypes) if not (isinstance(dtype, np.dtype) and dtype.kind in "biuf")
    ]


def learn(ddf, names):
    """Reads every partition once (twice for the few whose numbers-only columns turn out to hold
    labels elsewhere) and returns (encoded columns, their label sets, the Plan of the result)."""
    import dask

    meta = ddf._meta
    if len(names) != len(meta.columns):
        raise ValueError(f"the Dask DataFrame has {len(meta.columns)} columns but {len(names)} names")
    labelled = _labelled_columns(meta)
    firsts = [None] * len(names)
    vocabularies = [None] * len(names)
    if labelled:
        parts = ddf.to_delayed()
        leaves = [dask.delayed(_learn_partition)(part, i, meta, labelled) for i, part in enumerate(parts)]
        (whole,) = dask.compute(_tree(dask, leaves, _merge_reports))
        # Partitions without a non-number in a column that holds labels elsewhere: their numbers
        # are labels too, written by their place.
        extra = {}
        for c in labelled:
            column = whole[c]
            if column.first is None:
                continue
            firsts[c] = column.first
            vocabularies[c] = column.pre
            for q in column.numeric:
                extra.setdefault(q, {})[c] = LEAD if q < column.first else FOLLOW
        if extra:
            tasks = []
            for q, wanted in sorted(extra.items()):
                rules = bytearray(len(names))
                for c, rule in wanted.items():
                    rules[c] = rule
                tasks.append(dask.delayed(_learn_by_rules)(parts[q], q, bytes(rules), sorted(wanted)))
            for found in dask.compute(*tasks):
                for c, labels in found.items():
                    vocabularies[c] = _union(vocabularies[c], labels)
    encoded = [c for c in range(len(names)) if firsts[c] is not None]
    return encoded, [vocabularies[c] for c in encoded], Plan(list(names), firsts, vocabularies)


def _frame(pd, columns, names, index, labelled):
    """A DataFrame of the columns by position (names may repeat), labelled ones of dtype object."""
    data = {}
    for position, values in enumerate(columns):
        dtype = object if position in labelled else None
        data[position] = pd.Series(values, index=index, dtype=dtype, copy=False)
    frame = pd.DataFrame(data, index=index, copy=False)
    frame.columns = names
    return frame


def _encode_partition(part, plan, partition_info=None):
    import pandas as pd

    index = partition_info["number"] if partition_info is not None else 0
    table = _run(_partition.encode, index, part, plan.rules(index), plan.indexed())
    return pd.DataFrame(table, index=part.index, columns=plan.names, copy=False)


def _decode_partition(part, plan, decoding, partition_info=None):
    import pandas as pd

    index = partition_info["number"] if partition_info is not None else 0
    table = _run(_partition.encode, index, part, plan.rules(index), plan.indexed())
    columns = _run(_partition.decode, index, table, decoding)
    labelled = {c for c, vocabulary in enumerate(decoding) if vocabulary is not None}
    return _frame(pd, columns, plan.names, part.index, labelled)


def _shared(dask, value):
    # One node of the graph, which every partition's task depends on: shipped once to each
    # worker, not once per task. A fresh name spares hashing a large vocabulary for a token.
    return dask.delayed(value, name=f"catenc-plan-{uuid.uuid4().hex}", traverse=False)


def encoded_frame(ddf, plan):
    """The lazy result of encode: float64 codes, partitions and index as the input's."""
    import dask
    import numpy as np
    import pandas as pd

    meta = pd.DataFrame(np.empty((0, len(plan.names))), columns=plan.names, index=ddf._meta.index[:0])
    return ddf.map_partitions(_encode_partition, _shared(dask, plan), meta=meta, align_dataframes=False)


def decoded_frame(ddf, names, encoded, label_sets):
    """The lazy result of decode: the labels of the encoded columns (None for missing) by the
    given label sets, and float64 elsewhere."""
    import dask
    import pandas as pd

    _, _, plan = learn(ddf, names)
    decoding = [None] * len(names)
    for c, labels in zip(encoded, label_sets):
        decoding[c] = labels
    labelled = set(encoded)
    meta = _frame(
        pd,
        [pd.array([], dtype=object if c in labelled else "float64") for c in range(len(names))],
        list(names),
        ddf._meta.index[:0],
        labelled,
    )
    return ddf.map_partitions(
        _decode_partition, _shared(dask, plan), _shared(dask, decoding), meta=meta, align_dataframes=False
    )
