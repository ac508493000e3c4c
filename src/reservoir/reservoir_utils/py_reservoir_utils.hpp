// Python classes of the rating curves and outlets, and the conversion of an
// outlet object into a DischargeInfo (for every Python-facing part that takes
// them).
#pragma once

#include "binding/binding.hpp"
#include "reservoir/reservoir_utils/discharge_info.hpp"
#include "reservoir/reservoir_utils/elevation_discharge.hpp"
#include "reservoir/reservoir_utils/elevation_storage.hpp"

namespace quellmar {

// Fills the `reservoir_utils` module with its classes, in registration order.
void init_reservoir_utils(PyObject* module);

QUELLMAR_DECLARE_CLASS(ElevationDischarge);
QUELLMAR_DECLARE_CLASS(ElevationStorage);
QUELLMAR_DECLARE_CLASS(ControlledDischargeInfo);
QUELLMAR_DECLARE_CLASS(UnControlledDischargeInfo);
QUELLMAR_DECLARE_CLASS(SpecifiedDischargeInfo);
QUELLMAR_DECLARE_CLASS(ConstantDischargeInfo);

}  // namespace quellmar

namespace quellmar::py {

// An outlet object of any of the outlet classes (or a Python subclass), tried
// in the order of the union's variants; anything else is refused with the
// enum TypeError that lists every variant's refusal.
QUELLMAR_DECLARE_FROM(DischargeInfo);

}  // namespace quellmar::py
