# quellmar.reach: Muskingum routing of a hydrograph through a channel reach.
from datetime import timedelta
from typing import SupportsIndex

from quellmar import _Float
from quellmar._utils import ContinuousTimeSeries

__all__ = ["run_muskingum_routing"]

def run_muskingum_routing(
    inflow: ContinuousTimeSeries,
    k: timedelta,
    x: _Float,
    sub_reaches: SupportsIndex,
    initial_outflow: _Float,
) -> ContinuousTimeSeries:
    """Route an inflow hydrograph through a channel reach with the Muskingum method.

    The reach can be divided into ``sub_reaches`` equal segments; each segment
    is routed in turn with the same coefficients, derived from the per-segment
    ``k / sub_reaches`` and the weighting factor ``x``. A ``UserWarning`` is
    issued when ``x`` lies outside ``[0.0, 0.5]``.

    Args:
        inflow: The upstream inflow hydrograph (cfs).
        k: The storage time constant of the full reach.
        x: The weighting factor, in ``[0.0, 0.5]``: 0 gives pure reservoir
            routing (maximum attenuation), 0.5 approximates kinematic routing.
        sub_reaches: The number of equal sub-reaches, at least 1 (not checked).
        initial_outflow: The first outflow value (cfs).

    Returns:
        A ``ContinuousTimeSeries`` (kind "discharge") of routed outflow, as
        long as ``inflow`` and at the same time step.

    Raises:
        ValueError: ``k`` is negative.
        PanicException: ``inflow`` is empty (derives from BaseException).
    """
