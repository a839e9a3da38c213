#include "opt/error.h"

namespace tarvelon::opt {

std::string OptError::to_string() const {
  switch (kind) {
    case Kind::MultiOutput:
      return "only single-output DAG is currently supported by optimize";
    case Kind::UnsupportedCall:
      return "unsupported call `" + detail + "` in opt conversion";
    case Kind::InvalidExpr:
      break;
  }
  return "invalid expr during conversion: " + detail;
}

}  // namespace tarvelon::opt
