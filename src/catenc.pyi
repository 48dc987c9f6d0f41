from typing import Any, TypeVar

import numpy as np

__all__ = ["Encoder"]

_T = TypeVar("_T")

class Encoder:
    """Label-encodes the categorical columns of 2-D NumPy arrays and pandas DataFrames."""

    def __new__(cls, encoding: str | None = None) -> "Encoder": ...
    def encode(self, obj: Any) -> Any:
        """Codes for every label column, as float64, in the caller's container kind."""
    def decode(self, obj: Any) -> Any:
        """Labels back in place of the codes of the columns the last encode learned."""
