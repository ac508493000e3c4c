# quellmar.rainfall_transform: the Clark unit hydrograph.
from datetime import timedelta

from quellmar import _Float
from quellmar._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries,
    basin_area: _Float,
    tc: timedelta,
    storage_r: timedelta,
) -> ContinuousTimeSeries:
    """Transform excess rainfall into a runoff hydrograph with the Clark unit
    hydrograph.

    The unit hydrograph has ``ceil(tc / time_step)`` ordinates; the linear
    reservoir's recession beyond them is not carried.

    Args:
        rainfall: The excess rainfall series, in inches per time step.
        basin_area: The drainage area, in acres.
        tc: The time of concentration; it controls the duration and shape of the
            translation hydrograph.
        storage_r: The linear reservoir storage coefficient; it controls the
            attenuation.

    Returns:
        A ``ContinuousTimeSeries`` (kind "discharge", cfs) at the same time step
        as ``rainfall``, with ``len(rainfall.data) + n - 1`` values.

    Raises:
        ValueError: ``tc`` or ``storage_r`` is negative.
    """
