# quellmar.rainfall_loss: the deficit-and-constant loss model.
from datetime import timedelta

from typing_extensions import disjoint_base

from quellmar import _Float
from quellmar._utils import IncrementalTimeSeries

__all__ = ["DeficitConstantResult", "run_deficit_and_constant"]

@disjoint_base
class DeficitConstantResult:
    """Results from the deficit-and-constant rainfall loss model.

    Made only by ``run_deficit_and_constant``; it cannot be instantiated.
    """

    @property
    def excess(self) -> IncrementalTimeSeries:
        """Excess rainfall that becomes surface runoff (inches per time step)."""

    @property
    def loss(self) -> IncrementalTimeSeries:
        """Total infiltrated depth per time step (constant loss plus deficit fill, inches)."""

    @property
    def deficit(self) -> IncrementalTimeSeries:
        """Running soil moisture deficit at the end of each time step (inches)."""

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: _Float,
    max_deficit: _Float,
    constant_loss_per_hr: _Float,
    time_to_dry: timedelta,
) -> DeficitConstantResult:
    """Separate gross rainfall into excess runoff and infiltration losses using the
    deficit-and-constant model.

    Each step first recovers part of the deficit, then takes the constant loss,
    then fills the deficit; what is left is excess. No argument is range-checked.

    Arguments:
        rainfall: gross rainfall, an IncrementalTimeSeries in inches per time step.
        initial_deficit: starting soil moisture deficit (inches).
        max_deficit: maximum soil moisture storage capacity (inches).
        constant_loss_per_hr: constant infiltration rate (inches per hour).
        time_to_dry: characteristic drying time for deficit recovery (timedelta;
            zero means the deficit never recovers).

    Returns:
        A DeficitConstantResult with `excess`, `loss` and `deficit` series.

    Raises:
        ValueError: ``time_to_dry`` is negative, or a ``rainfall`` value is NaN
            or infinite (a gap is not read as a dry step; a negative depth is).
    """
