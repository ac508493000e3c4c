# quellmar.baseflow: groundwater layers as chains of linear reservoirs.
from datetime import timedelta
from typing import Self, SupportsIndex, final

from quellmar import _Float
from quellmar._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_linear_reservoir", "LinearReservoir"]

def run_linear_reservoir(
    basin_area: _Float,
    rainfall: IncrementalTimeSeries,
    reservoirs: dict[str, LinearReservoir],
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]:
    """Route infiltrated rainfall through multiple named linear reservoirs to
    produce baseflow.

    The layers are run in the dictionary's order, and ``flows`` is keyed in that
    order.

    Arguments:
        basin_area: drainage area (acres).
        rainfall: infiltrated rainfall, an IncrementalTimeSeries (inches per time step).
        reservoirs: dict of named LinearReservoir configurations.

    Returns:
        A tuple (total, flows): the total baseflow as a ContinuousTimeSeries (cfs) and a
        dict mapping each reservoir name to its own ContinuousTimeSeries.

    Raises:
        ValueError: if the sum of all fractions exceeds 1.0, or if any reservoir
            fails its stability check (``k_duration / num_reservoir`` below half a
            time step).
    """

@final
class LinearReservoir:
    """Configuration for a single linear reservoir groundwater layer.

    A linear reservoir models groundwater storage with the recurrence::

        Q[t] = C * I[t] + (1 - C) * Q[t-1],  where C = dt / (K + 0.5*dt)

    Chaining ``num_reservoir`` reservoirs in series gives a more peaked,
    delayed response.

    Raises ValueError when ``k_duration`` is under one second, ``gw_fraction``
    lies outside [0, 1] or ``num_reservoir`` is 0. The setters store their
    value without these checks.
    """

    def __new__(
        cls,
        k_duration: timedelta,
        gw_fraction: _Float,
        initial_q: _Float,
        num_reservoir: SupportsIndex = 1,
    ) -> Self: ...
    @property
    def k_duration(self) -> timedelta:
        """Returns the storage time constant as a Python ``timedelta``."""

    @property
    def gw_fraction(self) -> float:
        """Fraction of rainfall loss that contributes to this reservoir's baseflow.
        Must be in [0.0, 1.0]."""

    @gw_fraction.setter
    def gw_fraction(self, value: _Float, /) -> None: ...
    @property
    def initial_q(self) -> float:
        """Initial discharge at the start of the simulation (e.g., cfs)."""

    @initial_q.setter
    def initial_q(self, value: _Float, /) -> None: ...
    @property
    def num_reservoir(self) -> int:
        """Number of linear reservoirs chained in series."""

    @num_reservoir.setter
    def num_reservoir(self, value: SupportsIndex, /) -> None: ...
