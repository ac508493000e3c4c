// The `reservoir_utils` submodule: the rating curves and the outlet kinds,
// and the conversion of an outlet object into a DischargeInfo.
#include <optional>
#include <type_traits>
#include <variant>

#include "reservoir/reservoir_utils/py_reservoir_utils.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// ---------------------------------------------------------------------------
// ElevationDischarge

using ElevationDischargeNew = Constructor<"ElevationDischarge",
                                          Param<"elevation", std::vector<double>>,
                                          Param<"discharge", std::vector<double>>>;

ElevationDischarge elevation_discharge_new(ElevationDischargeNew::Values& a) {
    return unwrap(ElevationDischarge::create(std::move(arg<"elevation">(a)), std::move(arg<"discharge">(a))));
}

constexpr auto elevation_of_rating = [](const ElevationDischarge& c) -> const auto& { return c.elevation(); };
constexpr auto discharge_of_rating = [](const ElevationDischarge& c) -> const auto& { return c.discharge(); };

PyGetSetDef elevation_discharge_getset[] = {
    computed<ElevationDischarge, elevation_of_rating>("elevation"),
    computed<ElevationDischarge, discharge_of_rating>("discharge"),
    kGetSetEnd,
};

// ---------------------------------------------------------------------------
// ElevationStorage

using ElevationStorageNew = Constructor<"ElevationStorage",
                                        Param<"elevation", std::vector<double>>,
                                        Param<"storage", std::vector<double>>>;

ElevationStorage elevation_storage_new(ElevationStorageNew::Values& a) {
    return unwrap(ElevationStorage::create(std::move(arg<"elevation">(a)), std::move(arg<"storage">(a))));
}

using GetStorage = Method<"ElevationStorage", "get_storage", Param<"elevation", double>>;
using GetElevation = Method<"ElevationStorage", "get_elevation", Param<"storage", double>>;

// A lookup method of ElevationStorage: one float parameter, the curve read
// under a shared borrow.
template <class Table, Expected<double> (ElevationStorage::*Lookup)(double) const>
PyObject* storage_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call<Table>(args, nargs, kwnames, [&](auto& a) -> PyObject* {
        const double x = only_arg(a);
        Expected<double> result =
            read_value<ElevationStorage>(self, [&](const ElevationStorage& c) { return (c.*Lookup)(x); });
        return to_python(unwrap(std::move(result)));
    });
}

constexpr auto elevation_of_curve = [](const ElevationStorage& c) -> const auto& { return c.elevation(); };
constexpr auto storage_of_curve = [](const ElevationStorage& c) -> const auto& { return c.storage(); };

PyGetSetDef elevation_storage_getset[] = {
    computed<ElevationStorage, elevation_of_curve>("elevation"),
    computed<ElevationStorage, storage_of_curve>("storage"),
    kGetSetEnd,
};

constexpr auto kGetStorageDoc = GetStorage::doc(
    "Interpolate the storage for an elevation.\n\n"
    "Returns the interpolated storage. Raises ValueError when ``elevation`` is\n"
    "outside the range of the stored curve.");
constexpr auto kGetElevationDoc = GetElevation::doc(
    "Interpolate the elevation for a storage value.\n\n"
    "Returns the interpolated elevation. Raises ValueError when ``storage`` is\n"
    "outside the range of the stored curve.");

PyMethodDef elevation_storage_methods[] = {
    fastcall_def<GetStorage, storage_lookup<GetStorage, &ElevationStorage::get_storage>>(kGetStorageDoc.c_str()),
    fastcall_def<GetElevation, storage_lookup<GetElevation, &ElevationStorage::get_elevation>>(
        kGetElevationDoc.c_str()),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Outlets

constexpr const char* kMinimumElevationDoc = "Elevation below which no discharge occurs.";
constexpr const char* kMaximumElevationDoc = "Elevation above which no discharge occurs.";
constexpr const char* kRatingCurveDoc = "Rating curve mapping elevation to discharge.";

template <FixedString Name>
using OptionalDouble = Param<Name, std::optional<double>, DefaultNone>;

using ControlledNew = Constructor<"ControlledDischargeInfo",
                                  Param<"elevation_discharge", ElevationDischarge>,
                                  OptionalDouble<"minimum_elevation">,
                                  OptionalDouble<"maximum_elevation">,
                                  OptionalDouble<"maximum_release">>;

ControlledDischargeInfo controlled_new(ControlledNew::Values& a) {
    return ControlledDischargeInfo::create(std::move(arg<"elevation_discharge">(a)),
                                           arg<"minimum_elevation">(a), arg<"maximum_elevation">(a),
                                           arg<"maximum_release">(a));
}

using Controlled = ControlledDischargeInfo;
PyGetSetDef controlled_getset[] = {
    read_only<Controlled, &Controlled::elevation_discharge>("elevation_discharge", kRatingCurveDoc),
    read_only<Controlled, &Controlled::minimum_elevation>("minimum_elevation", kMinimumElevationDoc),
    read_only<Controlled, &Controlled::maximum_elevation>("maximum_elevation", kMaximumElevationDoc),
    read_only<Controlled, &Controlled::maximum_release>("maximum_release", "Cap on the maximum allowable discharge."),
    kGetSetEnd,
};

using UnControlledNew = Constructor<"UnControlledDischargeInfo",
                                    Param<"elevation_discharge", ElevationDischarge>,
                                    OptionalDouble<"elevation_offset">>;

UnControlledDischargeInfo uncontrolled_new(UnControlledNew::Values& a) {
    return UnControlledDischargeInfo{arg<"elevation_offset">(a), std::move(arg<"elevation_discharge">(a))};
}

using UnControlled = UnControlledDischargeInfo;
PyGetSetDef uncontrolled_getset[] = {
    read_only<UnControlled, &UnControlled::elevation_discharge>("elevation_discharge", kRatingCurveDoc),
    read_only<UnControlled, &UnControlled::elevation_offset>(
        "elevation_offset", "Additive offset applied to the reservoir elevation before curve lookup."),
    kGetSetEnd,
};

using SpecifiedNew = Constructor<"SpecifiedDischargeInfo",
                                 Param<"discharge", ContinuousTimeSeries>,
                                 OptionalDouble<"minimum_elevation">,
                                 OptionalDouble<"maximum_elevation">,
                                 OptionalDouble<"maximum_release">>;

SpecifiedDischargeInfo specified_new(SpecifiedNew::Values& a) {
    return SpecifiedDischargeInfo{arg<"minimum_elevation">(a), arg<"maximum_elevation">(a),
                                  arg<"maximum_release">(a), std::move(arg<"discharge">(a))};
}

using Specified = SpecifiedDischargeInfo;
PyGetSetDef specified_getset[] = {
    read_only<Specified, &Specified::discharge>("discharge",
                                                "Time series of prescribed outflow values (kind=discharge)."),
    read_only<Specified, &Specified::minimum_elevation>("minimum_elevation"),
    read_only<Specified, &Specified::maximum_elevation>("maximum_elevation"),
    read_only<Specified, &Specified::maximum_release>("maximum_release"),
    kGetSetEnd,
};

using ConstantNew = Constructor<"ConstantDischargeInfo",
                                Param<"discharge", double>,
                                OptionalDouble<"minimum_elevation">,
                                OptionalDouble<"maximum_elevation">>;

ConstantDischargeInfo constant_new(ConstantNew::Values& a) {
    return ConstantDischargeInfo{arg<"minimum_elevation">(a), arg<"maximum_elevation">(a), arg<"discharge">(a)};
}

using Constant = ConstantDischargeInfo;
PyGetSetDef constant_getset[] = {
    read_only<Constant, &Constant::discharge>("discharge", "Constant discharge rate (e.g., cfs)."),
    read_only<Constant, &Constant::minimum_elevation>("minimum_elevation", kMinimumElevationDoc),
    read_only<Constant, &Constant::maximum_elevation>("maximum_elevation", kMaximumElevationDoc),
    kGetSetEnd,
};

// One variant of the union: true, with `outlet` set, when `obj` is an
// instance of the variant's class.
template <class Record>
bool take_variant(PyObject* obj, std::optional<DischargeInfo>& outlet) {
    if (!PyObject_TypeCheck(obj, type_of<Record>())) return false;
    outlet.emplace(DischargeInfo{From<Record>::convert(obj)});
    return true;
}

// The first variant whose class `obj` is an instance of, in the union's
// order; else the enum TypeError with every variant's refusal, in that order.
template <class... Records>
DischargeInfo convert_outlet(PyObject* obj, std::type_identity<std::variant<Records...>>) {
    std::optional<DischargeInfo> outlet;
    if ((take_variant<Records>(obj, outlet) || ...)) return std::move(*outlet);
    const VariantRefusal refusals[] = {
        {Records::kVariantName, describe_cast(obj, PyClass<Records>::info().name())}...};
    raise(PyExc_TypeError, enum_extraction_message("DischargeInfo", refusals));
}

constexpr auto kElevationDischargeDoc = ElevationDischargeNew::doc(
    "An elevation-discharge rating curve for a reservoir outlet.\n\n"
    "Stores paired elevation and discharge vectors that the outlet kinds use to\n"
    "look up the flow rate at a water surface elevation by linear interpolation.\n\n"
    "Fields:\n"
    "    elevation: sorted unique elevations in ascending order.\n"
    "    discharge: discharges in ascending order, each paired with its\n"
    "        elevation (for example cfs).");

constexpr auto kElevationStorageDoc = ElevationStorageNew::doc(
    "An elevation-storage rating curve for a reservoir.\n\n"
    "Stores paired elevation and storage vectors and interpolates linearly in\n"
    "both directions. Storage units must agree with the inflow units used in\n"
    "level pool routing (for example cubic feet when inflow is in cfs).\n\n"
    "Fields:\n"
    "    elevation: sorted unique elevations in ascending order.\n"
    "    storage: sorted unique storages in ascending order, each paired with\n"
    "        its elevation.");

constexpr auto kControlledDischargeInfoDoc = ControlledNew::doc(
    "A controlled release outlet such as a gate, valve or conduit.\n\n"
    "The discharge comes from an elevation-discharge rating curve and can be\n"
    "bounded by minimum and maximum elevation gates and by a maximum release\n"
    "cap. Below ``minimum_elevation`` or above ``maximum_elevation`` the outlet\n"
    "releases zero. ``minimum_elevation`` defaults to the lowest elevation of\n"
    "the rating curve, so that no lookup below the curve occurs.");

constexpr auto kUnControlledDischargeInfoDoc = UnControlledNew::doc(
    "An uncontrolled spillway outlet.\n\n"
    "The discharge follows an elevation-discharge rating curve without operator\n"
    "control. The optional ``elevation_offset`` shifts the effective reservoir\n"
    "elevation before the curve lookup, which serves to model a weir crest whose\n"
    "curve sits at another datum than the storage curve. Zero discharge is\n"
    "returned when the offset-adjusted elevation lies below the first entry of\n"
    "the curve.");

constexpr auto kSpecifiedDischargeInfoDoc = SpecifiedNew::doc(
    "A time-varying, specified discharge outlet.\n\n"
    "The discharge is read from a ``ContinuousTimeSeries`` at each simulation\n"
    "time step, optionally gated by elevation bounds and capped by a maximum\n"
    "release.");

constexpr auto kConstantDischargeInfoDoc = ConstantNew::doc(
    "A constant-rate discharge outlet.\n\n"
    "Releases a fixed flow rate at every time step, optionally gated by\n"
    "elevation bounds: when the reservoir elevation is outside the bounds, it\n"
    "releases zero.");

}  // namespace

namespace py {

QUELLMAR_CLASS(ElevationDischarge, .doc = kElevationDischargeDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<ElevationDischargeNew, elevation_discharge_new>, .getset = elevation_discharge_getset)
QUELLMAR_CLASS(ElevationStorage, .doc = kElevationStorageDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<ElevationStorageNew, elevation_storage_new>, .getset = elevation_storage_getset,
               .methods = elevation_storage_methods)
QUELLMAR_CLASS(ControlledDischargeInfo, .doc = kControlledDischargeInfoDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<ControlledNew, controlled_new>, .getset = controlled_getset)
QUELLMAR_CLASS(UnControlledDischargeInfo, .doc = kUnControlledDischargeInfoDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<UnControlledNew, uncontrolled_new>, .getset = uncontrolled_getset)
QUELLMAR_CLASS(SpecifiedDischargeInfo, .doc = kSpecifiedDischargeInfoDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<SpecifiedNew, specified_new>, .getset = specified_getset)
QUELLMAR_CLASS(ConstantDischargeInfo, .doc = kConstantDischargeInfoDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<ConstantNew, constant_new>, .getset = constant_getset)

DischargeInfo From<DischargeInfo>::convert(PyObject* obj) {
    return convert_outlet(obj, std::type_identity<DischargeInfo::Outlet>{});
}

}  // namespace py

void init_reservoir_utils(PyObject* module) {
    py::register_class<ElevationDischarge>(module);
    py::register_class<ElevationStorage>(module);
    py::register_class<ControlledDischargeInfo>(module);
    py::register_class<UnControlledDischargeInfo>(module);
    py::register_class<SpecifiedDischargeInfo>(module);
    py::register_class<ConstantDischargeInfo>(module);
}

}  // namespace quellmar
