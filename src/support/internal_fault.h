#pragma once

#include <stdexcept>
#include <string>

namespace tarvelon::support {

/// A broken internal invariant. The message is the fixed text the fault is known by; the
/// module boundary turns it into the module's internal-fault exception, so a fault ends the
/// call and never the interpreter.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Throws `InternalFault` with `message`.
[[noreturn]] void internal_fault(const std::string& message);

}  // namespace tarvelon::support
