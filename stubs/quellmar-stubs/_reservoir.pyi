# quellmar.reservoir: level pool routing.
from typing import TypeAlias, TypeVar, overload

from typing_extensions import disjoint_base

from quellmar import _Float
from quellmar import _reservoir_utils as reservoir_utils
from quellmar._reservoir_utils import (
    ConstantDischargeInfo,
    ControlledDischargeInfo,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
)
from quellmar._utils import ContinuousTimeSeries

__all__ = ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]

# Any of the four outlet kinds.
_Outlet: TypeAlias = (
    UnControlledDischargeInfo | ControlledDischargeInfo | SpecifiedDischargeInfo | ConstantDischargeInfo
)
_OutletT = TypeVar("_OutletT", bound=_Outlet)

# Two forms, because a dict is invariant in its values: the first takes a dict
# display that mixes outlet kinds, the second a dict of one kind (or of an
# annotated union of kinds) built beforehand.
@overload
def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: _Float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, _Outlet],
) -> LevelPoolResult:
    """Level pool (modified Puls) routing of an inflow hydrograph through a reservoir.

    Integrates the mass balance ``dS/dt = I - O`` with a one-second step over the
    duration of the inflow hydrograph. The outlets in ``discharge_info`` (a dict
    from outlet name to outlet object) are evaluated at the elevation reached at
    the start of each step, in the dictionary's order. Output series are
    recorded at the inflow's own time step, from one step on: for n inflow
    values (n >= 2) every series holds n - 1 values, value k standing at
    time (k + 1) * time_step, the first storage and elevation being the
    initial state. The inflow before the first step enters only through the
    first inflow value.

    Raises ValueError when an outlet's discharge calculation fails, when the
    initial elevation lies outside the range of the elevation-storage curve or
    when the storage leaves it, and when an inflow value or an outlet's
    discharge is NaN or infinite; PanicException for an empty inflow, a NaN
    initial elevation or a curve of fewer than 2 points.
    """

@overload
def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: _Float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, _OutletT],
) -> LevelPoolResult: ...

@disjoint_base
class LevelPoolResult:
    """Results of a level pool routing simulation.

    Made only by ``run_level_pool_routing``; it cannot be instantiated.
    """

    @property
    def reservoir_storage(self) -> ContinuousTimeSeries:
        """Reservoir storage volume at each output time step."""

    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries:
        """Water surface elevation at each output time step."""

    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries:
        """Combined outflow from all outlets at each output time step."""

    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]:
        """Per-outlet outflow time series keyed by outlet name."""
