"""Label encoding of the categorical columns of 2-D NumPy arrays and pandas DataFrames."""

# Installed as the stub-only package catenc-stubs: a .pyi beside a single-file extension module
# is found by neither mypy nor pyright.
#
# Frames are typed by what the module reads of them, not by importing pandas or polars: both are
# optional, and a stub that imports a package the user lacks makes every frame type unknown,
# which strict pyright reports at each use of encode and decode. A pandas DataFrame is read
# through `values`, a polars one through its Arrow stream; either comes back as a frame of its
# own library, which the type variable carries through.
#
# PanicException is left out on purpose: it is no attribute of the module, so naming it here
# would let `from catenc import PanicException` pass a check and fail at run time.

from typing import Any, Protocol, TypeVar, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Encoder"]

# The shape keeps out a pandas Series, whose `__getattr__` answers for any other attribute.
class _Table(Protocol):
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def columns(self) -> object: ...

class _ValuesFrame(_Table, Protocol):
    @property
    def values(self) -> object: ...

class _ArrowFrame(_Table, Protocol):
    def __arrow_c_stream__(self) -> object: ...

_Frame = TypeVar("_Frame", bound=_ValuesFrame | _ArrowFrame)

# A Dask DataFrame: its number of rows is lazy, and what comes back is a lazy frame of its own
# kind. The two-dimensional shape keeps out a pandas Series here too.
class _PartitionedFrame(Protocol):
    @property
    def shape(self) -> tuple[Any, int]: ...
    @property
    def npartitions(self) -> int: ...
    @property
    def columns(self) -> object: ...
    def map_partitions(self, func: Any, *args: Any, **kwargs: Any) -> Any: ...

_Partitioned = TypeVar("_Partitioned", bound=_PartitionedFrame)

@final
class Encoder:
    """Learns the label maps of a table's label columns (encode) and maps codes back (decode).

    Only the "label" strategy exists; `encoding` may be left out or None.
    """

    def __new__(cls, encoding: str | None = None) -> Encoder: ...
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
        """A float64 array or DataFrame like `obj`, with codes in place of every label column's
        labels; the label maps are kept for decode."""
    @overload
    def encode(self, obj: _Partitioned) -> _Partitioned: ...
    @overload
    def encode(self, obj: _Frame) -> _Frame: ...
    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.object_]:
        """`obj` with the codes of the columns that the last encode encoded replaced by their
        labels (an object array, or object columns of a DataFrame). An encoder that has learned
        no label map gives a float64 array back."""
    @overload
    def decode(self, obj: _Partitioned) -> _Partitioned: ...
    @overload
    def decode(self, obj: _Frame) -> _Frame: ...
