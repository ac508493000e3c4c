// Python classes of the time series (for every Python-facing part that takes
// or returns a series).
#pragma once

#include "binding/binding.hpp"
#include "utils/time_series.hpp"

namespace quellmar::py {

template <>
struct PyClass<ContinuousTimeSeries> {
    static const ClassInfo& info();
};

template <>
struct PyClass<IncrementalTimeSeries> {
    static const ClassInfo& info();
};

}  // namespace quellmar::py
