"""Encodes and decodes a mixed table with catenc and shows what it learned.

    python scripts/demo.py              a generated table of orders (1,000,000 rows)
    python scripts/demo.py FILE.csv     the CSV file you name
    python scripts/demo.py --rows N     a generated table of N rows
"""

import argparse
import importlib.metadata
import sys
import time

import numpy as np
import pandas as pd

import catenc


def generated_orders(rows, seed=7):
    rng = np.random.default_rng(seed)
    cities = np.array(["Amsterdam", "Berlin", "København", "Lisboa", "Paris", "São Paulo", "Zürich", "東京"], dtype=object)
    city = rng.choice(cities, size=rows)
    city[rng.random(rows) < 0.04] = np.nan
    products = np.array([f"SKU-{i:05d}" for i in range(5000)], dtype=object)
    payment = rng.choice(np.array(["card", "cash", "invoice", None], dtype=object), size=rows, p=[0.6, 0.2, 0.15, 0.05])
    coupon = pd.array(rng.integers(100, 120, size=rows), dtype="Int64")
    coupon[rng.random(rows) < 0.7] = pd.NA
    return pd.DataFrame(
        {
            "order_id": np.arange(1, rows + 1),
            "city": city,
            "product": rng.choice(products, size=rows),
            "payment": payment,
            "quantity": rng.integers(1, 10, size=rows),
            "unit_price": np.round(rng.gamma(2.0, 12.5, size=rows), 2),
            "member": rng.random(rows) < 0.3,
            "coupon": coupon,
        }
    )


def read_csv(path):
    """The table in the CSV file at `path`; a file that cannot be read or parsed ends the demo
    with one line on stderr, since a traceback from inside pandas hides which file and why."""
    try:
        return pd.read_csv(path)
    except (OSError, ValueError) as error:  # pandas' parser errors and UnicodeDecodeError are ValueErrors
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        lines = reason.strip().splitlines() or [type(error).__name__]
        sys.exit(f"demo: cannot read {path}: {lines[0]}")


def learned_maps(encoder, encoded, columns, shown=5):
    """Asks the encoder what its first codes mean, by decoding a small table of codes."""
    probe = pd.DataFrame(np.zeros((shown, encoded.shape[1])), columns=encoded.columns)
    for name in columns:
        probe[name] = np.arange(shown, dtype=float)
    decoded = encoder.decode(probe)
    return {name: [(code, label) for code, label in enumerate(decoded[name]) if label is not None] for name in columns}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("csv", nargs="?", help="a CSV file to encode instead of the generated table")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the generated table")
    args = parser.parse_args()

    if args.csv:
        table = read_csv(args.csv)
        source = args.csv
    else:
        table = generated_orders(args.rows)
        source = f"generated orders, {args.rows:,} rows"
    print(f"catenc {importlib.metadata.version('catenc')}, NumPy {np.__version__}, pandas {pd.__version__}")
    print(f"Input: {source}; {table.shape[0]:,} rows x {table.shape[1]} columns")
    print(table.head().to_string(), end="\n\n")

    encoder = catenc.Encoder()
    start = time.perf_counter()
    encoded = encoder.encode(table)
    encode_seconds = time.perf_counter() - start
    print("Encoded (float64):")
    print(encoded.head().to_string(), end="\n\n")

    start = time.perf_counter()
    decoded = encoder.decode(encoded)
    decode_seconds = time.perf_counter() - start
    encoded_columns = [name for name in decoded.columns if decoded[name].dtype == object]
    print(f"Learned label maps ({len(encoded_columns)} encoded columns: {', '.join(encoded_columns)}):")
    for name, pairs in learned_maps(encoder, encoded, encoded_columns[:3]).items():
        distinct = int(np.nanmax(encoded[name].to_numpy())) + 1 if encoded[name].notna().any() else 0
        print(f"  {name}: {distinct:,} labels; " + ", ".join(f"{code} -> {label!r}" for code, label in pairs) + ", ...")
    print()
    print("Decoded:")
    print(decoded.head().to_string(), end="\n\n")

    cells = differing = 0
    for position, name in enumerate(decoded.columns):
        if decoded[name].dtype != object:
            continue
        original = table.iloc[:, position]
        expected = [None if pd.isna(value) else str(value) for value in original]
        cells += len(expected)
        differing += sum(a != b for a, b in zip(decoded.iloc[:, position], expected))
    print(f"Round trip: {cells - differing:,} of {cells:,} label cells came back as their input text"
          + ("" if not differing else " (the others are numbers written before the column's first label)"))
    rate = table.shape[0] * table.shape[1] / encode_seconds
    rate_text = f"{rate / 1e6:.1f} M" if rate >= 1e5 else f"{rate:,.0f}"
    print(f"encode: {encode_seconds:.3f} s   decode: {decode_seconds:.3f} s   ({rate_text} cells/s encoded)")


if __name__ == "__main__":
    main()
