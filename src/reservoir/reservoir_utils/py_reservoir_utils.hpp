// Python classes of the rating curves and outlets, and the conversion of an
// outlet object into a DischargeInfo (for every Python-facing part that takes
// them).
#pragma once

#include "binding/binding.hpp"
#include "reservoir/reservoir_utils/discharge_info.hpp"
#include "reservoir/reservoir_utils/elevation_discharge.hpp"
#include "reservoir/reservoir_utils/elevation_storage.hpp"

namespace quellmar {

// Fills the `reservoir_utils` module with its six classes, in registration order.
void init_reservoir_utils(PyObject* module);

}  // namespace quellmar

namespace quellmar::py {

template <>
struct PyClass<ElevationDischarge> {
    static const ClassInfo& info();
};
template <>
struct PyClass<ElevationStorage> {
    static const ClassInfo& info();
};
template <>
struct PyClass<ControlledDischargeInfo> {
    static const ClassInfo& info();
};
template <>
struct PyClass<UnControlledDischargeInfo> {
    static const ClassInfo& info();
};
template <>
struct PyClass<SpecifiedDischargeInfo> {
    static const ClassInfo& info();
};
template <>
struct PyClass<ConstantDischargeInfo> {
    static const ClassInfo& info();
};

// An outlet object of any of the four classes (or a Python subclass), tried
// in the order of the union's variants; anything else is refused with the
// enum TypeError that lists every variant's refusal.
template <>
struct From<DischargeInfo> {
    static DischargeInfo convert(PyObject* obj);
};

}  // namespace quellmar::py
