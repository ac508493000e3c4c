// Unit factors shared by the routines.  Plain C++.
#pragma once

namespace quellmar {

// Cubic feet per second produced by one inch of depth over one acre in one
// hour (43560 ft^2 * 1/12 ft / 3600 s = 1.0083...), exactly as written: the
// results of the Clark transform and the baseflow run are defined with it.
inline constexpr double kAcreInchPerHourCfs = 1.00833;

}  // namespace quellmar
