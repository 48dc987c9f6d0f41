"""Eight threads at once for a few seconds: private encoders encoding and decoding their own
tables, and one shared encoder that all of them decode with (and now and then re-train on the
same table). Every result must equal the one-thread result; the only exceptions allowed are the
documented RuntimeErrors of conflicting calls; no hold may be left behind."""

import os
import threading
import time

import numpy as np
import pandas as pd

from catenc import Encoder

SECONDS = float(os.environ.get("CATENC_STRESS_SECONDS", "3"))
THREADS = 8
CONFLICTS = {"Already borrowed", "Already mutably borrowed"}


def mixed_table(seed, rows=400):
    rng = np.random.default_rng(seed)
    words = np.array([f"w{i}" for i in range(rng.integers(2, 60))] + ["nan", "é", ""], dtype=object)
    table = np.empty((rows, 4), dtype=object)
    table[:, 0] = rng.choice(words, size=rows)
    table[:, 1] = rng.normal(size=rows)
    table[:, 2] = rng.choice(np.array([1, 2.5, None, "x", float("nan")], dtype=object), size=rows)
    table[:, 3] = rng.integers(0, 5, size=rows)
    if seed % 2:
        return pd.DataFrame(table, columns=["a", "b", "c", "d"])
    return table


def snapshot(result):
    values = result.to_numpy() if isinstance(result, pd.DataFrame) else result
    return [[("nan" if isinstance(v, float) and v != v else v) for v in row] for row in values.tolist()]


def test_threads_agree_with_one_thread():
    shared_table = mixed_table(1000, rows=3000)
    shared = Encoder()
    shared_codes = shared.encode(shared_table)
    shared_expected = snapshot(shared.decode(shared_codes))

    expected = {}
    for worker in range(THREADS):
        for k in range(3):
            table = mixed_table(worker * 10 + k)
            enc = Encoder()
            codes = enc.encode(table)
            expected[worker, k] = (table, snapshot(codes), snapshot(enc.decode(codes)))

    calls = [0] * THREADS
    conflicts = [0] * THREADS
    failures = []
    deadline = time.monotonic() + SECONDS
    start = threading.Barrier(THREADS)

    def work(worker):
        enc = Encoder()
        start.wait()
        round_ = 0
        try:
            while time.monotonic() < deadline:
                table, codes_expected, decoded_expected = expected[worker, round_ % 3]
                codes = enc.encode(table)
                assert snapshot(codes) == codes_expected
                assert snapshot(enc.decode(codes)) == decoded_expected
                try:
                    if round_ % 17 == worker:
                        shared.encode(shared_table)  # same table: the same maps again
                    else:
                        assert snapshot(shared.decode(shared_codes)) == shared_expected
                except RuntimeError as error:
                    assert str(error) in CONFLICTS, str(error)
                    conflicts[worker] += 1
                calls[worker] += 3
                round_ += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(w,)) for w in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:3]
    assert all(c > 0 for c in calls)
    print(f"\n{sum(calls)} calls in {SECONDS:.0f} s on {THREADS} threads, {sum(conflicts)} conflicts refused")
    # No hold left behind: the shared encoder takes an exclusive hold and decodes as before.
    shared.encode(shared_table)
    assert snapshot(shared.decode(shared_codes)) == shared_expected
