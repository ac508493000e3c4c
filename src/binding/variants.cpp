// Refusing an argument that may be an instance of any of several classes (a
// tagged union): the message lists every variant's reason.
#include "binding/variants.hpp"

#include "binding/errors.hpp"
#include "core/compat_strings.hpp"

namespace quellmar::py {

std::string enum_extraction_message(const char* enum_name, std::span<const VariantRefusal> refusals) {
    std::string names;
    for (std::size_t i = 0; i < refusals.size(); ++i) {
        if (i > 0) names += " | ";
        names += refusals[i].variant;
    }
    std::string message = std::string(compat::kEnumExtractHead) + enum_name + " ('" + names + "')";
    for (const auto& r : refusals) {
        message += std::string(compat::kEnumVariantLine) + r.variant + " (" + r.variant + compat::kEnumFieldExtract +
                   enum_name + "::" + r.variant + compat::kEnumCausedBy + r.reason;
    }
    return message;
}

std::string describe_cast(PyObject* obj, const char* target) { return "TypeError: " + cast_message(obj, target); }

}  // namespace quellmar::py
