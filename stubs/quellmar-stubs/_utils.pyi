# quellmar.utils: the two uniformly spaced time series types.
#
# Both export their values through the buffer protocol (read-only, one-
# dimensional, format "d"): np.asarray(series) and memoryview(series) see
# them without a copy.
import sys
from datetime import timedelta
from typing import Self, SupportsIndex

from typing_extensions import disjoint_base

from quellmar import _FloatSequence, _Kind

__all__ = ["ContinuousTimeSeries", "IncrementalTimeSeries"]

@disjoint_base
class ContinuousTimeSeries:
    """A uniformly spaced time series in which each value is a quantity at a
    discrete point in time (for example discharge, elevation, storage).

    The total duration spans the first to the last point,
    ``time_step * (len(data) - 1)``. The series supports linear interpolation
    between points.

    ``time_step`` is a ``timedelta`` of at least one second; fractions of a
    second are dropped. ``kind`` is one of "discharge", "rainfall",
    "elevation", "volume". Raises ValueError for another kind, a negative
    time step or one shorter than a second.
    """

    def __new__(cls, data: _FloatSequence, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]:
        """The values in time order (a new list on every read)."""

    @property
    def time_step(self) -> timedelta:
        """The spacing of the values, in whole seconds."""

    @property
    def kind(self) -> _Kind:
        """The quantity that the values measure."""

    def total_duration(self) -> int:
        """Total duration from the first to the last data point, in seconds."""

    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """The values, read-only, without a copy."""

        def __release_buffer__(self, buffer: memoryview, /) -> None: ...

@disjoint_base
class IncrementalTimeSeries:
    """A uniformly spaced time series in which each value is a quantity
    accumulated over one time-step interval (for example rainfall depth,
    volume added).

    The total duration spans all intervals, ``time_step * len(data)``. The
    series supports disaggregation to a finer time step.

    ``time_step`` is a ``timedelta`` of at least one second; fractions of a
    second are dropped. ``kind`` is one of "discharge", "rainfall",
    "elevation", "volume". Raises ValueError for another kind, a negative
    time step or one shorter than a second.
    """

    def __new__(cls, data: _FloatSequence, time_step: timedelta, kind: _Kind) -> Self: ...
    @property
    def data(self) -> list[float]:
        """The depths (or amounts) per interval (a new list on every read)."""

    @property
    def time_step(self) -> timedelta:
        """The length of one interval, in whole seconds."""

    @property
    def kind(self) -> _Kind:
        """The quantity that the values measure."""

    def total_duration(self) -> int:
        """Total duration spanning all time-step intervals, in seconds."""

    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """The values, read-only, without a copy."""

        def __release_buffer__(self, buffer: memoryview, /) -> None: ...

    def disaggregate(self, target_step: SupportsIndex) -> IncrementalTimeSeries:
        """Disaggregate the series to a finer ``target_step``, given in seconds.

        Each interval's value is spread evenly over its sub-intervals, so the total
        depth is preserved. ``target_step`` must be at least 30 seconds and divide
        the series' own time step (ValueError otherwise).
        """
