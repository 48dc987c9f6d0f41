"""Label encoding of the categorical columns of 2-D NumPy arrays and pandas DataFrames."""

from typing import Any

__all__ = ["Encoder"]

class Encoder:
    """Learns the label maps of a table's label columns (encode) and maps codes back (decode).

    Only the "label" strategy exists; `encoding` may be left out or None.
    """

    def __new__(cls, encoding: str | None = None) -> Encoder: ...
    def encode(self, obj: Any) -> Any:
        """A float64 array or DataFrame like `obj`, with codes in place of every label column's
        labels; the label maps are kept for decode."""
    def decode(self, obj: Any) -> Any:
        """`obj` with the codes of the columns that the last encode encoded replaced by their
        labels (an object array, or object columns of a DataFrame)."""
