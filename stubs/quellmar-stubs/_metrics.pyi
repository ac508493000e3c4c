# quellmar.metrics: the Kling-Gupta efficiency.
from quellmar import _FloatSequence

__all__ = ["calculate_kge"]

def calculate_kge(sim: _FloatSequence, obs: _FloatSequence, use_log: bool = False) -> float:
    """Calculate the Kling-Gupta Efficiency (KGE) between simulated and observed series.

    KGE decomposes model performance into three components, each measured against
    a perfect score of 1:

    - r: Pearson correlation (timing and shape agreement)
    - beta = mean_sim / mean_obs (bias ratio)
    - gamma = std_sim / std_obs (variability ratio)

    The efficiency is::

        KGE = 1 - sqrt((r - 1)^2 + (beta - 1)^2 + (gamma - 1)^2)

    A KGE of 1 is a perfect match; values above 0 are generally considered
    acceptable. Setting `use_log` to True applies a log transform before computing
    the statistics, which emphasises low-flow performance.

    Arguments:
        sim: simulated series.
        obs: observed series, of the same length as `sim`.
        use_log: if True, transform both series with ln(x + 1e-6) first (a
            numpy boolean is accepted too; an int is not).

    Raises:
        ValueError: if `obs` is empty or `sim` and `obs` differ in length.
    """
