#include "support/internal_fault.h"

namespace tarvelon::support {

void internal_fault(const std::string& message) { throw InternalFault(message); }

}  // namespace tarvelon::support
