// The `reservoir_utils` submodule: the rating curves and the four outlet
// kinds, and the conversion of an outlet object into a DischargeInfo.
#include "reservoir_routing/reservoir_utils/py_reservoir_utils.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// ---------------------------------------------------------------------------
// ElevationDischarge

PyObject* elevation_discharge_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"elevation", "discharge"};
    static const Signature sig{"ElevationDischarge.__new__", names, 2};
    return construct<ElevationDischarge>(sig, subtype, args, kwargs, [](Args& a) {
        std::vector<double> elevation = a.get<std::vector<double>>(0);
        std::vector<double> discharge = a.get<std::vector<double>>(1);
        return unwrap(ElevationDischarge::create(std::move(elevation), std::move(discharge)));
    });
}

PyGetSetDef elevation_discharge_getset[] = {
    {"elevation", getter<ElevationDischarge, [](const ElevationDischarge& c) -> const auto& { return c.elevation(); }>,
     nullptr, nullptr, nullptr},
    {"discharge", getter<ElevationDischarge, [](const ElevationDischarge& c) -> const auto& { return c.discharge(); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// ElevationStorage

PyObject* elevation_storage_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"elevation", "storage"};
    static const Signature sig{"ElevationStorage.__new__", names, 2};
    return construct<ElevationStorage>(sig, subtype, args, kwargs, [](Args& a) {
        std::vector<double> elevation = a.get<std::vector<double>>(0);
        std::vector<double> storage = a.get<std::vector<double>>(1);
        return unwrap(ElevationStorage::create(std::move(elevation), std::move(storage)));
    });
}

// A lookup method of ElevationStorage: one float parameter, the curve read
// under a shared borrow.
template <Expected<double> (ElevationStorage::*Lookup)(double) const>
PyObject* storage_lookup(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return call(sig, args, nargs, kwnames, [&](Args& a) -> PyObject* {
        const double x = a.get<double>(0);
        auto* inst = instance_of<ElevationStorage>(self);
        Expected<double> result = [&] {
            SharedBorrow b(inst->borrow);
            return (inst->value.*Lookup)(x);
        }();
        return to_python(unwrap(std::move(result)));
    });
}

PyObject* get_storage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"elevation"};
    static const Signature sig{"ElevationStorage.get_storage", names, 1};
    return storage_lookup<&ElevationStorage::get_storage>(sig, self, args, nargs, kwnames);
}

PyObject* get_elevation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"storage"};
    static const Signature sig{"ElevationStorage.get_elevation", names, 1};
    return storage_lookup<&ElevationStorage::get_elevation>(sig, self, args, nargs, kwnames);
}

PyGetSetDef elevation_storage_getset[] = {
    {"elevation", getter<ElevationStorage, [](const ElevationStorage& c) -> const auto& { return c.elevation(); }>,
     nullptr, nullptr, nullptr},
    {"storage", getter<ElevationStorage, [](const ElevationStorage& c) -> const auto& { return c.storage(); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef elevation_storage_methods[] = {
    {"get_storage", fastcall<get_storage>(), METH_FASTCALL | METH_KEYWORDS,
     "get_storage($self, elevation)\n--\n\n"
     "Interpolate the storage for an elevation.\n\n"
     "Returns the interpolated storage. Raises ValueError when ``elevation`` is\n"
     "outside the range of the stored curve."},
    {"get_elevation", fastcall<get_elevation>(), METH_FASTCALL | METH_KEYWORDS,
     "get_elevation($self, storage)\n--\n\n"
     "Interpolate the elevation for a storage value.\n\n"
     "Returns the interpolated elevation. Raises ValueError when ``storage`` is\n"
     "outside the range of the stored curve."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Outlets

constexpr const char* kMinimumElevationDoc = "Elevation below which no discharge occurs.";
constexpr const char* kMaximumElevationDoc = "Elevation above which no discharge occurs.";
constexpr const char* kRatingCurveDoc = "Rating curve mapping elevation to discharge.";

PyObject* controlled_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"elevation_discharge", "minimum_elevation", "maximum_elevation",
                                            "maximum_release"};
    static const Signature sig{"ControlledDischargeInfo.__new__", names, 1};
    return construct<ControlledDischargeInfo>(sig, subtype, args, kwargs, [](Args& a) {
        ElevationDischarge curve = a.get<ElevationDischarge>(0);
        const std::optional<double> minimum = a.get<std::optional<double>>(1);
        const std::optional<double> maximum = a.get<std::optional<double>>(2);
        const std::optional<double> release = a.get<std::optional<double>>(3);
        return ControlledDischargeInfo::create(std::move(curve), minimum, maximum, release);
    });
}

PyGetSetDef controlled_getset[] = {
    {"elevation_discharge", member_getter<ControlledDischargeInfo, &ControlledDischargeInfo::elevation_discharge>,
     nullptr, kRatingCurveDoc, nullptr},
    {"minimum_elevation", member_getter<ControlledDischargeInfo, &ControlledDischargeInfo::minimum_elevation>, nullptr,
     kMinimumElevationDoc, nullptr},
    {"maximum_elevation", member_getter<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_elevation>, nullptr,
     kMaximumElevationDoc, nullptr},
    {"maximum_release", member_getter<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_release>, nullptr,
     "Cap on the maximum allowable discharge.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* uncontrolled_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"elevation_discharge", "elevation_offset"};
    static const Signature sig{"UnControlledDischargeInfo.__new__", names, 1};
    return construct<UnControlledDischargeInfo>(sig, subtype, args, kwargs, [](Args& a) {
        ElevationDischarge curve = a.get<ElevationDischarge>(0);
        const std::optional<double> offset = a.get<std::optional<double>>(1);
        return UnControlledDischargeInfo{offset, std::move(curve)};
    });
}

PyGetSetDef uncontrolled_getset[] = {
    {"elevation_discharge", member_getter<UnControlledDischargeInfo, &UnControlledDischargeInfo::elevation_discharge>,
     nullptr, kRatingCurveDoc, nullptr},
    {"elevation_offset", member_getter<UnControlledDischargeInfo, &UnControlledDischargeInfo::elevation_offset>, nullptr,
     "Additive offset applied to the reservoir elevation before curve lookup.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* specified_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"discharge", "minimum_elevation", "maximum_elevation", "maximum_release"};
    static const Signature sig{"SpecifiedDischargeInfo.__new__", names, 1};
    return construct<SpecifiedDischargeInfo>(sig, subtype, args, kwargs, [](Args& a) {
        ContinuousTimeSeries series = a.get<ContinuousTimeSeries>(0);
        const std::optional<double> minimum = a.get<std::optional<double>>(1);
        const std::optional<double> maximum = a.get<std::optional<double>>(2);
        const std::optional<double> release = a.get<std::optional<double>>(3);
        return SpecifiedDischargeInfo{minimum, maximum, release, std::move(series)};
    });
}

PyGetSetDef specified_getset[] = {
    {"discharge", member_getter<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::discharge>, nullptr,
     "Time series of prescribed outflow values (kind=discharge).", nullptr},
    {"minimum_elevation", member_getter<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::minimum_elevation>, nullptr,
     nullptr, nullptr},
    {"maximum_elevation", member_getter<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_elevation>, nullptr,
     nullptr, nullptr},
    {"maximum_release", member_getter<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_release>, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* constant_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"discharge", "minimum_elevation", "maximum_elevation"};
    static const Signature sig{"ConstantDischargeInfo.__new__", names, 1};
    return construct<ConstantDischargeInfo>(sig, subtype, args, kwargs, [](Args& a) {
        const double discharge = a.get<double>(0);
        const std::optional<double> minimum = a.get<std::optional<double>>(1);
        const std::optional<double> maximum = a.get<std::optional<double>>(2);
        return ConstantDischargeInfo{minimum, maximum, discharge};
    });
}

PyGetSetDef constant_getset[] = {
    {"discharge", member_getter<ConstantDischargeInfo, &ConstantDischargeInfo::discharge>, nullptr,
     "Constant discharge rate (e.g., cfs).", nullptr},
    {"minimum_elevation", member_getter<ConstantDischargeInfo, &ConstantDischargeInfo::minimum_elevation>, nullptr,
     kMinimumElevationDoc, nullptr},
    {"maximum_elevation", member_getter<ConstantDischargeInfo, &ConstantDischargeInfo::maximum_elevation>, nullptr,
     kMaximumElevationDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One variant of the union: the value becomes that variant when it is an
// instance of the variant's class.
template <class Record>
bool try_variant(PyObject* obj, DischargeInfo& out) {
    if (!PyObject_TypeCheck(obj, type_of<Record>())) return false;
    out.outlet = From<Record>::convert(obj);
    return true;
}

}  // namespace

namespace py {

const ClassInfo& PyClass<ElevationDischarge>::info() {
    static const ClassInfo info{
        "builtins.ElevationDischarge",
        "ElevationDischarge(elevation, discharge)\n--\n\n"
        "An elevation-discharge rating curve for a reservoir outlet.\n\n"
        "Stores paired elevation and discharge vectors that the outlet kinds use to\n"
        "look up the flow rate at a water surface elevation by linear interpolation.\n\n"
        "Fields:\n"
        "    elevation: sorted unique elevations in ascending order.\n"
        "    discharge: discharges in ascending order, each paired with its\n"
        "        elevation (for example cfs).",
        Py_TPFLAGS_BASETYPE,
        elevation_discharge_new,
        elevation_discharge_getset,
        nullptr,
    };
    return info;
}

const ClassInfo& PyClass<ElevationStorage>::info() {
    static const ClassInfo info{
        "builtins.ElevationStorage",
        "ElevationStorage(elevation, storage)\n--\n\n"
        "An elevation-storage rating curve for a reservoir.\n\n"
        "Stores paired elevation and storage vectors and interpolates linearly in\n"
        "both directions. Storage units must agree with the inflow units used in\n"
        "level pool routing (for example cubic feet when inflow is in cfs).\n\n"
        "Fields:\n"
        "    elevation: sorted unique elevations in ascending order.\n"
        "    storage: sorted unique storages in ascending order, each paired with\n"
        "        its elevation.",
        Py_TPFLAGS_BASETYPE,
        elevation_storage_new,
        elevation_storage_getset,
        elevation_storage_methods,
    };
    return info;
}

const ClassInfo& PyClass<ControlledDischargeInfo>::info() {
    static const ClassInfo info{
        "builtins.ControlledDischargeInfo",
        "ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, maximum_elevation=None, "
        "maximum_release=None)\n--\n\n"
        "A controlled release outlet such as a gate, valve or conduit.\n\n"
        "The discharge comes from an elevation-discharge rating curve and can be\n"
        "bounded by minimum and maximum elevation gates and by a maximum release\n"
        "cap. Below ``minimum_elevation`` or above ``maximum_elevation`` the outlet\n"
        "releases zero. ``minimum_elevation`` defaults to the lowest elevation of\n"
        "the rating curve, so that no lookup below the curve occurs.",
        Py_TPFLAGS_BASETYPE,
        controlled_new,
        controlled_getset,
        nullptr,
    };
    return info;
}

const ClassInfo& PyClass<UnControlledDischargeInfo>::info() {
    static const ClassInfo info{
        "builtins.UnControlledDischargeInfo",
        "UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)\n--\n\n"
        "An uncontrolled spillway outlet.\n\n"
        "The discharge follows an elevation-discharge rating curve without operator\n"
        "control. The optional ``elevation_offset`` shifts the effective reservoir\n"
        "elevation before the curve lookup, which serves to model a weir crest whose\n"
        "curve sits at another datum than the storage curve. Zero discharge is\n"
        "returned when the offset-adjusted elevation lies below the first entry of\n"
        "the curve.",
        Py_TPFLAGS_BASETYPE,
        uncontrolled_new,
        uncontrolled_getset,
        nullptr,
    };
    return info;
}

const ClassInfo& PyClass<SpecifiedDischargeInfo>::info() {
    static const ClassInfo info{
        "builtins.SpecifiedDischargeInfo",
        "SpecifiedDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None, "
        "maximum_release=None)\n--\n\n"
        "A time-varying, specified discharge outlet.\n\n"
        "The discharge is read from a ``ContinuousTimeSeries`` at each simulation\n"
        "time step, optionally gated by elevation bounds and capped by a maximum\n"
        "release.",
        Py_TPFLAGS_BASETYPE,
        specified_new,
        specified_getset,
        nullptr,
    };
    return info;
}

const ClassInfo& PyClass<ConstantDischargeInfo>::info() {
    static const ClassInfo info{
        "builtins.ConstantDischargeInfo",
        "ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)\n--\n\n"
        "A constant-rate discharge outlet.\n\n"
        "Releases a fixed flow rate at every time step, optionally gated by\n"
        "elevation bounds: when the reservoir elevation is outside the bounds, it\n"
        "releases zero.",
        Py_TPFLAGS_BASETYPE,
        constant_new,
        constant_getset,
        nullptr,
    };
    return info;
}

DischargeInfo From<DischargeInfo>::convert(PyObject* obj) {
    DischargeInfo out{ConstantDischargeInfo{}};
    if (try_variant<UnControlledDischargeInfo>(obj, out) || try_variant<ControlledDischargeInfo>(obj, out) ||
        try_variant<SpecifiedDischargeInfo>(obj, out) || try_variant<ConstantDischargeInfo>(obj, out)) {
        return out;
    }
    const VariantRefusal refusals[] = {
        {"Uncontrolled", describe_cast(obj, PyClass<UnControlledDischargeInfo>::info().name())},
        {"Controlled", describe_cast(obj, PyClass<ControlledDischargeInfo>::info().name())},
        {"Specified", describe_cast(obj, PyClass<SpecifiedDischargeInfo>::info().name())},
        {"Constant", describe_cast(obj, PyClass<ConstantDischargeInfo>::info().name())},
    };
    raise(PyExc_TypeError, enum_extraction_message("DischargeInfo", refusals));
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
