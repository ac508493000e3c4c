# Type stubs for quellmar, a compiled extension module.
#
# The submodules of quellmar are attributes of the extension module, not
# importable modules: `quellmar.reach` and `from quellmar import reach` work,
# `import quellmar.reach` and `from quellmar.reach import ...` fail at run time
# with ModuleNotFoundError.  The stubs say the same to a type checker: each
# submodule's stub lives in a private file (`_reach.pyi`, ...) and is bound
# here under its public name, so only the attribute form type-checks.
from typing import Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

from typing_extensions import Buffer

from quellmar import _baseflow as baseflow
from quellmar import _metrics as metrics
from quellmar import _rainfall_loss as rainfall_loss
from quellmar import _rainfall_transform as rainfall_transform
from quellmar import _reach as reach
from quellmar import _reservoir as reservoir
from quellmar import _utils as utils

__all__ = [
    "utils",
    "reach",
    "reservoir",
    "rainfall_transform",
    "rainfall_loss",
    "baseflow",
    "metrics",
]

# Helpers for the submodule stubs; they exist for type checkers only.

# A number argument: anything `float()` accepts without parsing text (float,
# int, bool, numpy scalars, objects with __float__ or __index__).
_Float: TypeAlias = SupportsFloat | SupportsIndex

# A series argument: any sequence of numbers (list, tuple, range, bytes,
# array.array, memoryview, a one-dimensional numpy array), but not a str; or
# any object exporting a one-dimensional buffer of float64 values, a series
# included (a buffer of another format is refused at run time).
@type_check_only
class _FloatSequenceOnly(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Float: ...

_FloatSequence: TypeAlias = _FloatSequenceOnly | Buffer

# The quantities a time series may hold.
_Kind: TypeAlias = Literal["discharge", "rainfall", "elevation", "volume"]
