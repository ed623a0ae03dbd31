#include "eq_exceptions.h"

#include <string>

namespace quelmar {

Error::Error(const char* message) : std::runtime_error(message) {}

Error::Error(const std::string& message) : std::runtime_error(message) {}

// Defined out of line so that the vtable and type info are emitted (and
// exported) here, once, and a host's catch matches what the library throws.
Error::~Error() = default;

std::string Error::get_message() const { return std::string(what()); }

}  // namespace quelmar
