# quellmar.reservoir.reservoir_utils: rating curves and the four outlet kinds.
from typing import Self

from typing_extensions import disjoint_base

from quellmar import _Float, _FloatSequence
from quellmar._utils import ContinuousTimeSeries

__all__ = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]

@disjoint_base
class ElevationDischarge:
    """An elevation-discharge rating curve for a reservoir outlet.

    Stores paired elevation and discharge vectors that the outlet kinds use to
    look up the flow rate at a water surface elevation by linear interpolation.

    Fields:
        elevation: sorted unique elevations in ascending order.
        discharge: discharges in ascending order, each paired with its
            elevation (for example cfs).

    Raises ValueError when the lengths differ, a curve has fewer than 2 points,
    elevations are not strictly increasing or discharges decrease.
    """

    def __new__(cls, elevation: _FloatSequence, discharge: _FloatSequence) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def discharge(self) -> list[float]: ...

@disjoint_base
class ElevationStorage:
    """An elevation-storage rating curve for a reservoir.

    Stores paired elevation and storage vectors and interpolates linearly in
    both directions. Storage units must agree with the inflow units used in
    level pool routing (for example cubic feet when inflow is in cfs).

    Fields:
        elevation: sorted unique elevations in ascending order.
        storage: sorted unique storages in ascending order, each paired with
            its elevation.

    Raises ValueError when the lengths differ or either vector is not strictly
    increasing. A curve of fewer than 2 points is accepted, but every lookup on
    it raises PanicException.
    """

    def __new__(cls, elevation: _FloatSequence, storage: _FloatSequence) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def storage(self) -> list[float]: ...
    def get_storage(self, elevation: _Float) -> float:
        """Interpolate the storage for an elevation.

        Returns the interpolated storage. Raises ValueError when ``elevation`` is
        outside the range of the stored curve (PanicException when it is NaN).
        """

    def get_elevation(self, storage: _Float) -> float:
        """Interpolate the elevation for a storage value.

        Returns the interpolated elevation. Raises ValueError when ``storage`` is
        outside the range of the stored curve (PanicException when it is NaN).
        """

@disjoint_base
class ControlledDischargeInfo:
    """A controlled release outlet such as a gate, valve or conduit.

    The discharge comes from an elevation-discharge rating curve and can be
    bounded by minimum and maximum elevation gates and by a maximum release
    cap. Below ``minimum_elevation`` or above ``maximum_elevation`` the outlet
    releases zero. ``minimum_elevation`` defaults to the lowest elevation of
    the rating curve, so that no lookup below the curve occurs.
    """

    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
        maximum_release: _Float | None = None,
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge:
        """Rating curve mapping elevation to discharge."""

    @property
    def minimum_elevation(self) -> float:
        """Elevation below which no discharge occurs (never below the curve)."""

    @property
    def maximum_elevation(self) -> float | None:
        """Elevation above which no discharge occurs (never above the curve)."""

    @property
    def maximum_release(self) -> float | None:
        """Cap on the maximum allowable discharge."""

@disjoint_base
class UnControlledDischargeInfo:
    """An uncontrolled spillway outlet.

    The discharge follows an elevation-discharge rating curve without operator
    control. The optional ``elevation_offset`` shifts the effective reservoir
    elevation before the curve lookup, which serves to model a weir crest whose
    curve sits at another datum than the storage curve. Zero discharge is
    returned when the offset-adjusted elevation lies below the first entry of
    the curve; above its last entry the routing fails with ValueError.
    """

    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        elevation_offset: _Float | None = None,
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge:
        """Rating curve mapping elevation to discharge."""

    @property
    def elevation_offset(self) -> float | None:
        """Additive offset applied to the reservoir elevation before curve lookup."""

@disjoint_base
class SpecifiedDischargeInfo:
    """A time-varying, specified discharge outlet.

    The discharge is read from a ``ContinuousTimeSeries`` at each simulation
    time step, optionally gated by elevation bounds and capped by a maximum
    release. The routing fails with ValueError once the simulation runs past
    the end of the series.
    """

    def __new__(
        cls,
        discharge: ContinuousTimeSeries,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
        maximum_release: _Float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> ContinuousTimeSeries:
        """Time series of prescribed outflow values (kind=discharge)."""

    @property
    def minimum_elevation(self) -> float | None:
        """Elevation below which no discharge occurs."""

    @property
    def maximum_elevation(self) -> float | None:
        """Elevation above which no discharge occurs."""

    @property
    def maximum_release(self) -> float | None:
        """Cap on the maximum allowable discharge."""

@disjoint_base
class ConstantDischargeInfo:
    """A constant-rate discharge outlet.

    Releases a fixed flow rate at every time step, optionally gated by
    elevation bounds: when the reservoir elevation is outside the bounds, it
    releases zero.
    """

    def __new__(
        cls,
        discharge: _Float,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> float:
        """Constant discharge rate (e.g., cfs)."""

    @property
    def minimum_elevation(self) -> float | None:
        """Elevation below which no discharge occurs."""

    @property
    def maximum_elevation(self) -> float | None:
        """Elevation above which no discharge occurs."""
