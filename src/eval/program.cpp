#include "eval/program.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "eval/kernels.h"

namespace tarvelon::eval {

namespace {

using detail::OpFn;
using ir::NodeId;
using vocab::DType;

/// Bytes of one register: a block of the widest element (c128).
constexpr std::size_t kRegisterBytes = kBlock * 16;
static_assert(kBlock % 2 == 0, "kernels of doubles work on pairs of elements");
static_assert(kBlock <= detail::kMaxBlock, "kernels hold a block of storage on their stack");

/// Distance between registers in a workspace: a cache line more than a register, so that blocks
/// read together do not all map to the same cache sets (and the same 4 KiB alias).
constexpr std::size_t kRegisterPitch = kRegisterBytes + 64;

/// Constant blocks a program keeps ready (256 KiB at most).
constexpr std::size_t kMaxConstantBlocks = 64;

/// Marks an operand that names a constant block rather than a register.
constexpr std::uint32_t kConstantBit = 0x80000000u;
constexpr std::uint32_t kNoOperand = 0xffffffffu;

bool compares(vocab::BinaryOp op) {
  using vocab::BinaryOp;
  return op == BinaryOp::Eq || op == BinaryOp::Ne || op == BinaryOp::Lt || op == BinaryOp::Le ||
         op == BinaryOp::Gt || op == BinaryOp::Ge;
}

EvalError cannot(std::string_view op, DType d) {
  return EvalError{"cannot evaluate `" + std::string(op) + "` on " + d.to_str()};
}

}  // namespace

struct Program::Instr {
  enum class Kind : std::uint8_t { Load, Fill, Op, Store };
  Kind kind = Kind::Op;
  /// Register written (Load, Op) or result index (Store).
  std::uint32_t dst = 0;
  /// Operands: registers or constants (kConstantBit); for Load, `a` is the parameter index and
  /// `b` the element size when the block may be read in place (see `Builder::allow_views`), else
  /// 0; for Fill, `a` is the element's offset among the scalar constants and `b` its size.
  std::uint32_t a = kNoOperand, b = kNoOperand, c = kNoOperand;
  OpFn op = nullptr;
  detail::LoadFn load = nullptr;
  detail::StoreFn store = nullptr;
};

namespace {

/// Lowers the DAG to instructions over virtual values, then gives every value a register that is
/// free again after the value's last use.
class Builder {
 public:
  explicit Builder(const ir::TypedDag& dag) : dag_(dag) {}

  std::expected<void, EvalError> run(std::vector<Program::Instr>& code,
                                     std::vector<std::byte>& constants,
                                     std::vector<std::byte>& scalars, std::size_t& registers) {
    auto order = topological_order();
    if (!order) return std::unexpected(order.error());
    value_of_.assign(dag_.nodes.size(), kNoOperand);
    for (NodeId id : *order) {
      auto v = emit_node(id);
      if (!v) return std::unexpected(v.error());
      value_of_[id] = *v;
    }
    for (std::size_t k = 0; k < dag_.outputs.size(); ++k) {
      Program::Instr st;
      st.kind = Program::Instr::Kind::Store;
      st.dst = static_cast<std::uint32_t>(k);
      st.a = ready(value_of_[dag_.outputs[k]]);
      st.store = detail::store_fn(dag_.dtypes[dag_.outputs[k]]);
      code_.push_back(st);
    }
    allow_views();
    registers = allocate_registers();
    code = std::move(code_);
    constants = std::move(constants_);
    scalars = std::move(scalars_);
    return {};
  }

 private:
  struct Value {
    DType dtype;
    bool constant;
  };

  /// Live nodes, operands first. The walk is iterative: a DAG may be a million nodes deep.
  std::expected<std::vector<NodeId>, EvalError> topological_order() const {
    const std::size_t count = dag_.nodes.size();
    std::vector<std::uint8_t> state(count, 0);  // 0 unseen, 1 on the path, 2 placed
    std::vector<NodeId> order;
    std::vector<std::pair<NodeId, bool>> stack;
    const EvalError malformed{"cannot evaluate a malformed typed DAG"};
    for (NodeId root : dag_.outputs) stack.emplace_back(root, false);
    while (!stack.empty()) {
      auto [id, expanded] = stack.back();
      stack.pop_back();
      if (expanded) {
        state[id] = 2;
        order.push_back(id);
        continue;
      }
      if (state[id] == 2) continue;
      if (state[id] == 1) return std::unexpected(malformed);
      state[id] = 1;
      stack.emplace_back(id, true);
      bool bad = false;
      const std::size_t first_child = stack.size();
      ir::for_each_operand(dag_.nodes[id], [&](NodeId child) {
        if (child >= count || state[child] == 1) {
          bad = true;
        } else if (state[child] == 0) {
          stack.emplace_back(child, false);
        }
      });
      // Operands are placed left to right, as the kernel reads.
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_child), stack.end());
      if (const auto* p = std::get_if<ir::node::Param>(&dag_.nodes[id])) {
        bad = bad || p->index >= dag_.params.size();
      }
      if (bad) return std::unexpected(malformed);
    }
    return order;
  }

  std::uint32_t new_value(DType d, bool constant) {
    values_.push_back(Value{d, constant});
    return static_cast<std::uint32_t>(values_.size() - 1);
  }

  /// Appends an instruction computing a value of dtype `d`. When every operand is a constant the
  /// instruction runs here, once, and its result is a constant block.
  std::uint32_t emit(OpFn fn, DType d, std::uint32_t a, std::uint32_t b = kNoOperand,
                     std::uint32_t c = kNoOperand) {
    const auto is_const = [&](std::uint32_t v) { return v == kNoOperand || values_[v].constant; };
    if (is_const(a) && is_const(b) && is_const(c)) {
      fn(scratch_.data(), constant_operand(a), constant_operand(b), constant_operand(c), kBlock);
      return constant(d);
    }
    Program::Instr in;
    in.kind = Program::Instr::Kind::Op;
    in.a = ready(a);
    in.b = ready(b);
    in.c = ready(c);
    const std::uint32_t v = new_value(d, false);
    in.dst = v;
    in.op = fn;
    code_.push_back(in);
    return v;
  }

  /// The constant of dtype `d` held in the scratch block. Equal constants share one block; past
  /// the program's quota of blocks a constant is kept as one element and filled into a register
  /// before use, so that the program stays small however many literals a kernel has.
  std::uint32_t constant(DType d) {
    const std::size_t size = detail::element_size(d);
    std::string key(d.to_str());
    key.append(reinterpret_cast<const char*>(scratch_.data()), size);
    if (auto it = shared_.find(key); it != shared_.end()) return it->second;
    if (constants_.size() / kRegisterBytes < kMaxConstantBlocks) {
      const std::uint32_t v = new_value(d, true);
      const std::size_t slot = constants_.size() / kRegisterBytes;
      constants_.insert(constants_.end(), scratch_.begin(), scratch_.end());
      const_slot_.resize(values_.size(), 0);
      const_slot_[v] = slot;
      shared_.emplace(std::move(key), v);
      return v;
    }
    const std::uint32_t v = new_value(d, false);
    late_.resize(values_.size(), kNoOperand);
    late_[v] = static_cast<std::uint32_t>(scalars_.size());
    scalars_.insert(scalars_.end(), scratch_.begin(),
                    scratch_.begin() + static_cast<std::ptrdiff_t>(size));
    return v;
  }

  /// A value ready in a register: a constant kept as one element is filled in right here, at
  /// each use, so it holds a register only while the using instruction runs.
  std::uint32_t ready(std::uint32_t v) {
    if (v == kNoOperand || v >= late_.size() || late_[v] == kNoOperand) return v;
    const DType d = values_[v].dtype;
    const std::uint32_t filled = new_value(d, false);
    Program::Instr fill;
    fill.kind = Program::Instr::Kind::Fill;
    fill.dst = filled;
    fill.a = late_[v];
    fill.b = static_cast<std::uint32_t>(detail::element_size(d));
    code_.push_back(fill);
    return filled;
  }
  std::byte* constant_block(std::size_t slot) { return constants_.data() + slot * kRegisterBytes; }
  const std::byte* constant_operand(std::uint32_t v) {
    return v == kNoOperand ? nullptr : constant_block(const_slot_[v]);
  }

  /// The value converted to `to` by the cast rules.
  std::uint32_t coerce(std::uint32_t v, DType to) {
    const DType from = values_[v].dtype;
    if (from == to) return v;
    return emit(detail::cast_fn(from, to), to, v);
  }

  std::expected<std::uint32_t, EvalError> emit_node(NodeId id) {
    const DType d = dag_.dtypes[id];
    return std::visit(
        [&](const auto& n) -> std::expected<std::uint32_t, EvalError> {
          using N = std::decay_t<decltype(n)>;
          namespace node = ir::node;
          if constexpr (std::is_same_v<N, node::Param>) {
            const DType p = dag_.params[n.index].dtype;
            const std::uint32_t v = new_value(p, false);
            Program::Instr in;
            in.kind = Program::Instr::Kind::Load;
            in.dst = v;
            in.a = n.index;
            in.load = detail::load_fn(p);
            code_.push_back(in);
            return coerce(v, d);
          } else if constexpr (std::is_same_v<N, node::Const>) {
            detail::fill_constant(n.value, d, scratch_.data(), kBlock);
            return constant(d);
          } else if constexpr (std::is_same_v<N, node::Unary>) {
            if (n.op == vocab::UnaryOp::Not) {
              const std::uint32_t v = emit(detail::not_fn(), vocab::dtypes::kBool,
                                           coerce(value_of_[n.arg], vocab::dtypes::kBool));
              return coerce(v, d);
            }
            return emit(detail::neg_fn(d), d, coerce(value_of_[n.arg], d));
          } else if constexpr (std::is_same_v<N, node::Binary>) {
            return emit_binary(n, d);
          } else if constexpr (std::is_same_v<N, node::If>) {
            const std::uint32_t c = coerce(value_of_[n.cond], vocab::dtypes::kBool);
            return emit(detail::select_fn(d), d, c, coerce(value_of_[n.then_branch], d),
                        coerce(value_of_[n.else_branch], d));
          } else if constexpr (std::is_same_v<N, node::Call>) {
            return emit_call(n, d);
          } else {
            return coerce(value_of_[n.arg], d);
          }
        },
        dag_.nodes[id]);
  }

  std::expected<std::uint32_t, EvalError> emit_binary(const ir::node::Binary& n, DType d) {
    using vocab::BinaryOp;
    std::uint32_t l = value_of_[n.lhs];
    std::uint32_t r = value_of_[n.rhs];
    const std::string_view text = vocab::op_text(n.op);
    DType t = d;
    if (n.op == BinaryOp::And || n.op == BinaryOp::Or) {
      t = vocab::dtypes::kBool;
    } else if (compares(n.op)) {
      auto common = vocab::promote(values_[l].dtype, values_[r].dtype);
      if (!common) return std::unexpected(cannot(text, values_[l].dtype));
      t = *common;
    } else if (d.kind == vocab::DTypeKind::Bool) {
      // Arithmetic on bools counts them as 0 and 1 and converts the result back to bool.
      t = n.op == BinaryOp::Div ? vocab::dtypes::kF64 : vocab::dtypes::kI64;
    }
    const OpFn fn = detail::binary_fn(n.op, t);
    if (fn == nullptr) return std::unexpected(cannot(text, t));
    const bool gives_bool = t == vocab::dtypes::kBool || compares(n.op);
    const std::uint32_t v =
        emit(fn, gives_bool ? vocab::dtypes::kBool : t, coerce(l, t), coerce(r, t));
    return coerce(v, d);
  }

  std::expected<std::uint32_t, EvalError> emit_call(const ir::node::Call& n, DType d) {
    using vocab::Builtin;
    if (n.args.size() != 1)
      return std::unexpected(EvalError{"cannot evaluate a malformed typed DAG"});
    const std::uint32_t arg = coerce(value_of_[n.args[0]], d);
    if (OpFn fn = detail::builtin_fn(n.builtin, d)) return emit(fn, d, arg);
    if (d.kind == vocab::DTypeKind::Complex) {
      return std::unexpected(cannot(vocab::builtin_name(n.builtin), d));
    }
    // The remaining builtins of integers and bools compute in f64 from the value, and the result
    // comes back by the float-to-integer (or to-bool) cast.
    const DType f64 = vocab::dtypes::kF64;
    const std::uint32_t wide = emit(detail::builtin_fn(n.builtin, f64), f64, coerce(arg, f64));
    return coerce(wide, d);
  }

  /// A contiguous input whose storage is its register layout is read where it lies instead of
  /// being copied, unless a result stores it after another result is stored: results are stored
  /// one after another, and an earlier one may be written over that very input. A kernel that
  /// returns its parameter thus copies each block once, straight from the input to the result.
  void allow_views() {
    std::vector<bool> stored(values_.size(), false);
    std::uint32_t first_stored = kNoOperand;
    bool others_stored = false;
    for (const Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Store) continue;
      if (first_stored == kNoOperand) first_stored = in.a;
      // The stores of the first value before any other's write over an input at most the bytes
      // that input already holds.
      others_stored = others_stored || in.a != first_stored;
      if (others_stored) stored[in.a] = true;
    }
    for (Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Load) continue;
      const DType d = values_[in.dst].dtype;
      const bool same_layout =
          d.kind != vocab::DTypeKind::Bool && !(d.kind == vocab::DTypeKind::Float && d.bits == 16);
      in.b =
          same_layout && !stored[in.dst] ? static_cast<std::uint32_t>(detail::element_size(d)) : 0;
    }
  }

  std::size_t allocate_registers() {
    const std::size_t none = static_cast<std::size_t>(-1);
    std::vector<std::size_t> last_use(values_.size(), none);
    const auto operands = [](Program::Instr& in) {
      if (in.kind == Program::Instr::Kind::Load || in.kind == Program::Instr::Kind::Fill) {
        return std::array<std::uint32_t*, 3>{};
      }
      return std::array<std::uint32_t*, 3>{&in.a, &in.b, &in.c};
    };
    for (std::size_t i = 0; i < code_.size(); ++i) {
      for (std::uint32_t* o : operands(code_[i])) {
        if (o != nullptr && *o != kNoOperand) last_use[*o] = i;
      }
    }
    std::vector<std::uint32_t> reg(values_.size(), kNoOperand);
    std::vector<std::uint32_t> free;
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < code_.size(); ++i) {
      Program::Instr& in = code_[i];
      std::array<std::uint32_t, 3> seen{kNoOperand, kNoOperand, kNoOperand};
      std::array<std::uint32_t, 3> dying{kNoOperand, kNoOperand, kNoOperand};
      std::size_t k = 0;
      for (std::uint32_t* o : operands(in)) {
        if (o == nullptr || *o == kNoOperand) continue;
        const std::uint32_t v = *o;
        if (values_[v].constant) {
          *o = kConstantBit | static_cast<std::uint32_t>(const_slot_[v]);
          continue;
        }
        *o = reg[v];
        // Freed only once the result has its register: a kernel whose elements are wider than
        // its operand's (a widening cast, a builtin computed in f64) would overwrite elements
        // of the operand it has not read yet.
        if (last_use[v] == i && std::find(seen.begin(), seen.end(), v) == seen.end()) {
          dying[k] = reg[v];
        }
        seen[k++] = v;
      }
      const auto release_dying = [&] {
        for (std::uint32_t r : dying) {
          if (r != kNoOperand) free.push_back(r);
        }
      };
      if (in.kind == Program::Instr::Kind::Store) {
        release_dying();
        continue;
      }
      const std::uint32_t v = in.dst;
      if (free.empty()) {
        reg[v] = next++;
      } else {
        reg[v] = free.back();
        free.pop_back();
      }
      in.dst = reg[v];
      release_dying();
      if (last_use[v] == none) free.push_back(reg[v]);
    }
    return next;
  }

  const ir::TypedDag& dag_;
  std::vector<Value> values_;
  std::vector<std::size_t> const_slot_;
  std::vector<std::uint32_t> value_of_;
  std::vector<Program::Instr> code_;
  std::vector<std::byte> constants_;
  std::vector<std::byte> scalars_;
  std::vector<std::byte> scratch_ = std::vector<std::byte>(kRegisterBytes);
  std::unordered_map<std::string, std::uint32_t> shared_;
  /// For constants kept as one element: their offset among the scalars, else kNoOperand.
  std::vector<std::uint32_t> late_;
};

}  // namespace

std::size_t storage_size(vocab::DType d) {
  switch (d.kind) {
    case vocab::DTypeKind::Bool:
      return 1;
    case vocab::DTypeKind::Float:
      return d.brain ? 4 : d.bits / 8;
    default:
      return d.bits / 8;
  }
}

Program::Program() = default;
Program::Program(Program&&) noexcept = default;
Program& Program::operator=(Program&&) noexcept = default;
Program::~Program() = default;

std::expected<Program, EvalError> Program::build(const ir::TypedDag& dag) {
  Program p;
  for (const ir::Param& param : dag.params) p.params_.push_back(param.dtype);
  for (NodeId id : dag.outputs) p.results_.push_back(dag.dtypes[id]);
  Builder builder(dag);
  if (auto ok = builder.run(p.code_, p.constants_, p.scalars_, p.registers_); !ok) {
    return std::unexpected(ok.error());
  }
  return p;
}

Program::Workspace Program::make_workspace() const {
  Workspace ws;
  ws.bytes_.resize(registers_ * kRegisterPitch);
  ws.views_.resize(registers_);
  return ws;
}

void Program::run(std::span<const In> in, std::span<const Out> out, std::size_t n,
                  Workspace& ws) const {
  if (ws.bytes_.size() < registers_ * kRegisterPitch) ws.bytes_.resize(registers_ * kRegisterPitch);
  if (ws.views_.size() < registers_) ws.views_.resize(registers_);
  std::byte* regs = ws.bytes_.data();
  // Where each register's current block is read from: the register itself, or the input it was
  // loaded from in place. Writes always go to the register.
  const std::byte** views = ws.views_.data();
  const std::byte* consts = constants_.data();
  const auto operand = [&](std::uint32_t o) -> const std::byte* {
    if (o == kNoOperand) return nullptr;
    if (o & kConstantBit) return consts + (o & ~kConstantBit) * kRegisterBytes;
    return views[o];
  };
  const auto reg = [&](std::uint32_t r) {
    views[r] = regs + r * kRegisterPitch;
    return regs + r * kRegisterPitch;
  };
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    const auto offset = static_cast<std::ptrdiff_t>(start);
    for (const Instr& ins : code_) {
      switch (ins.kind) {
        case Instr::Kind::Load: {
          const In& src = in[ins.a];
          const std::byte* at = src.data + offset * src.stride;
          if (ins.b != 0 && src.stride == static_cast<std::ptrdiff_t>(ins.b) &&
              reinterpret_cast<std::uintptr_t>(at) % std::min<std::size_t>(ins.b, 8) == 0) {
            views[ins.dst] = at;
          } else {
            ins.load(reg(ins.dst), at, src.stride, len);
          }
          break;
        }
        case Instr::Kind::Fill: {
          std::byte* dst = reg(ins.dst);
          for (std::size_t i = 0; i < len; ++i) {
            std::memcpy(dst + i * ins.b, scalars_.data() + ins.a, ins.b);
          }
          break;
        }
        case Instr::Kind::Op: {
          // The operands are looked up before the destination is its register again: an
          // instruction may write over its own operand, which may be a view.
          const std::byte* a = operand(ins.a);
          const std::byte* b = operand(ins.b);
          const std::byte* c = operand(ins.c);
          ins.op(reg(ins.dst), a, b, c, len);
        } break;
        case Instr::Kind::Store: {
          const Out& dst = out[ins.dst];
          ins.store(dst.data + offset * dst.stride, dst.stride, operand(ins.a), len);
          break;
        }
      }
    }
  }
}

}  // namespace tarvelon::eval
