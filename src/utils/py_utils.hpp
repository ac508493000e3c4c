// Python classes of the time series (for every Python-facing part that takes
// or returns a series).
#pragma once

#include "binding/binding.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

QUELLMAR_DECLARE_CLASS(ContinuousTimeSeries);
QUELLMAR_DECLARE_CLASS(IncrementalTimeSeries);

}  // namespace quellmar
