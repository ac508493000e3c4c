// Issuing a Python warning from a routine's binding.
#pragma once

namespace quellmar::py {

// warnings.warn(message): UserWarning at stack level 1.  Unwinds when the
// warning machinery raises (for example under an "error" filter).
void warn(const char* message);

}  // namespace quellmar::py
