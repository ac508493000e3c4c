// Deficit-and-constant rainfall loss model.  Plain C++.
#pragma once

#include "core/duration.hpp"
#include "core/error.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

// The three series of one run, each with the rainfall's length and time
// step and the kind "rainfall".
struct DeficitConstantResult {
    IncrementalTimeSeries excess;   // rainfall that becomes surface runoff, inches per step
    IncrementalTimeSeries loss;     // constant loss plus deficit fill, inches per step
    IncrementalTimeSeries deficit;  // soil moisture deficit at the end of each step, inches
};

// Splits gross rainfall (inches per step) into excess and loss while
// tracking the soil moisture deficit.  Every step first recovers a share of
// the gap to `max_deficit` (none when `time_to_dry` is zero), then takes the
// constant loss, then fills the deficit.  No argument is range-checked; the
// failures are a negative `time_to_dry` and then a rainfall value that is NaN
// or infinite (a gap would otherwise read as a dry step).  A negative depth
// is a dry step: excess and loss 0.
Expected<DeficitConstantResult> deficit_and_constant(const IncrementalTimeSeries& rainfall, double initial_deficit,
                                                     double max_deficit, double constant_loss_per_hr,
                                                     const Timedelta& time_to_dry);

}  // namespace quellmar
