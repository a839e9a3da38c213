#include "eval/program.h"

namespace tarvelon::eval {

struct Program::Instr {};

std::size_t storage_size(ir::DType d) {
  switch (d.kind) {
    case ir::DTypeKind::Bool:
      return 1;
    case ir::DTypeKind::Float:
      return d.brain ? 4 : d.bits / 8;
    default:
      return d.bits / 8;
  }
}

Program::Program() = default;
Program::Program(Program&&) noexcept = default;
Program& Program::operator=(Program&&) noexcept = default;
Program::~Program() = default;

std::expected<Program, EvalError> Program::build(const ir::TypedDag&) {
  return std::unexpected(EvalError{"typed evaluation is not built yet"});
}

Program::Workspace Program::make_workspace() const { return Workspace{}; }

void Program::run(std::span<const In>, std::span<const Out>, std::size_t, Workspace&) const {}

}  // namespace tarvelon::eval
