#include "eval/program.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "eval/fused.h"
#include "eval/kernels.h"
#include "eval/wide_math.h"

namespace tarvelon::eval {

namespace {

using detail::OpFn;
using ir::NodeId;
using vocab::DType;

/// Bytes of one register: a block of the widest element (c128).
constexpr std::size_t kRegisterBytes = kBlock * 16;
static_assert(kBlock % 2 == 0, "kernels of doubles work on pairs of elements");
static_assert(kBlock % 8 == 0, "a block keeps every element's alignment up to 8 bytes");
static_assert(kBlock <= detail::kMaxBlock, "kernels hold a block of storage on their stack");

/// Distance between registers in a workspace: a cache line more than a register, so that blocks
/// read together do not all map to the same cache sets (and the same 4 KiB alias).
constexpr std::size_t kRegisterPitch = kRegisterBytes + 64;

/// Constant blocks a program keeps ready (256 KiB at most).
constexpr std::size_t kMaxConstantBlocks = 64;

/// Marks an operand that names a constant block rather than a register.
constexpr std::uint32_t kConstantBit = 0x80000000u;
/// Marks a tree operand that names a constant kept as one element (its offset among the
/// scalars), which the tree reads for every lane.
constexpr std::uint32_t kScalarBit = 0x40000000u;
/// The fewest operators a tree computes besides the builtins it calls.
constexpr std::size_t kFewestOperatorsAroundCalls = 3;
/// Marks a tree operand that names a block kernel the tree calls (its index among the program's
/// tree calls). It carries the scalar bit, so that whatever skips scalars skips it too.
constexpr std::uint32_t kCallBits = kConstantBit | kScalarBit;
constexpr std::uint32_t kNoOperand = 0xffffffffu;

bool compares(vocab::BinaryOp op) {
  using vocab::BinaryOp;
  return op == BinaryOp::Eq || op == BinaryOp::Ne || op == BinaryOp::Lt || op == BinaryOp::Le ||
         op == BinaryOp::Gt || op == BinaryOp::Ge;
}

/// `count` copies of the `size`-byte element at `element` from `block` on: one copy, then the
/// filled part copied after itself, so that a block takes a handful of copies.
void replicate(std::byte* block, const std::byte* element, std::size_t size, std::size_t count) {
  if (count == 0) return;
  std::memcpy(block, element, size);
  const std::size_t total = size * count;
  for (std::size_t done = size; done < total; done *= 2)
    std::memcpy(block + done, block, std::min(done, total - done));
}

/// Whether a result of dtype `d` is stored as its register holds it: a bf16 result is stored as
/// the float its register holds; bool and f16 registers are wider than their storage.
bool stored_as_held(DType d) {
  return d.kind != vocab::DTypeKind::Bool &&
         !(d.kind == vocab::DTypeKind::Float && d.bits == 16 && !d.is_bf16());
}

/// Copies `bytes` from `src` to `dst` with stores that bypass the caches for every whole cache
/// line of `dst`, and ordinary ones for the partial lines at either end: a line written partly
/// past the caches and partly through them would be read from memory after all.
void stream_copy(std::byte* dst, const std::byte* src, std::size_t bytes) {
  // A parameter passed through to a result that is that very input is already in place.
  if (dst == src) return;
  std::size_t i = 0;
#if defined(__SSE2__)
  i = std::min(bytes, (64 - reinterpret_cast<std::uintptr_t>(dst) % 64) % 64);
  std::memcpy(dst, src, i);
  for (; i + 64 <= bytes; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
  }
#endif
  std::memcpy(dst + i, src + i, bytes - i);
}

EvalError cannot(std::string_view op, DType d) {
  return EvalError{"cannot evaluate `" + std::string(op) + "` on " + d.to_str()};
}

}  // namespace

struct Program::Instr {
  enum class Kind : std::uint8_t { Load, Fill, Op, Tree, Store };
  Kind kind = Kind::Op;
  /// Register written (Load, Fill, Op, Tree) or result index (Store).
  std::uint32_t dst = 0;
  /// Operands: registers or constants (kConstantBit); for Load, `a` is the parameter index and
  /// `b` the element size when the block may be read in place (see `Builder::allow_views`), else
  /// 0; for Fill, `a` is the element's offset among the scalar constants and `b` its size; for
  /// Tree, `a` is the first of its `b` operands in the tree operand list and `c` its first step.
  std::uint32_t a = kNoOperand, b = kNoOperand, c = kNoOperand;
  /// Steps of a Tree.
  std::uint32_t steps = 0;
  /// For the last Op or Tree of a kernel of one result whose storage is its register layout: the
  /// element size. A contiguous, aligned result then takes the block in place, and the Store
  /// finds it there.
  std::uint32_t in_place = 0;
  OpFn op = nullptr;
  detail::LoadFn load = nullptr;
  detail::StoreFn store = nullptr;
  detail::FusedFn tree = nullptr;
};

namespace {

/// Lowers the DAG to instructions over virtual values, then gives every value a register that is
/// free again after the value's last use.
class Builder {
 public:
  explicit Builder(const ir::TypedDag& dag) : dag_(dag) {}

  std::expected<void, EvalError> run(std::vector<Program::Instr>& code,
                                     std::vector<std::byte>& constants,
                                     std::vector<std::byte>& scalars,
                                     std::vector<std::uint32_t>& tree_operands,
                                     std::vector<detail::FusedStep>& tree_steps,
                                     std::vector<OpFn>& tree_calls, std::size_t& registers) {
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
    fuse_arithmetic();
    trees_on_f16_storage();
    allow_views();
    write_result_in_place();
    registers = allocate_registers();
    code = std::move(code_);
    constants = std::move(constants_);
    scalars = std::move(scalars_);
    tree_operands = std::move(tree_operands_);
    tree_steps = std::move(tree_steps_);
    tree_calls = std::move(tree_calls_);
    return {};
  }

  /// Whether the kernel calls an elementary function.
  bool calls() const { return calls_; }
  /// Whether the single result's register holds it as its storage does.
  bool result_held_as_stored() const { return result_halves_; }

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
  /// instruction runs here, once, and its result is a constant.
  std::uint32_t emit(OpFn fn, DType d, std::uint32_t a, std::uint32_t b = kNoOperand,
                     std::uint32_t c = kNoOperand) {
    const auto is_const = [&](std::uint32_t v) { return v == kNoOperand || values_[v].constant; };
    if (is_const(a) && is_const(b) && is_const(c)) {
      const std::uint32_t operands[] = {a, b, c};
      const std::byte* blocks[3] = {};
      for (std::size_t k = 0; k < 3; ++k) {
        if (operands[k] == kNoOperand) continue;
        std::byte* block = folding_.data() + k * kRegisterBytes;
        replicate(block, known_.data() + known_at_[operands[k]],
                  detail::element_size(values_[operands[k]].dtype), kBlock);
        blocks[k] = block;
      }
      fn(scratch_.data(), blocks[0], blocks[1], blocks[2], kBlock);
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

  /// The constant of dtype `d` whose value is the scratch block's first element; equal constants
  /// are one value. A constant takes memory in the program only once an instruction that runs
  /// reads it (see `ready`), so a literal that only ever feeds a cast, folded here, costs nothing.
  std::uint32_t constant(DType d) {
    const std::size_t size = detail::element_size(d);
    std::string key(d.to_str());
    key.append(reinterpret_cast<const char*>(scratch_.data()), size);
    if (auto it = shared_.find(key); it != shared_.end()) return it->second;
    const std::uint32_t v = new_value(d, true);
    known_at_.resize(values_.size(), 0);
    known_at_[v] = known_.size();
    known_.insert(known_.end(), scratch_.begin(),
                  scratch_.begin() + static_cast<std::ptrdiff_t>(size));
    shared_.emplace(std::move(key), v);
    return v;
  }

  /// A value ready for an instruction that runs. A constant gets its block on first use, while
  /// the program's quota of blocks lasts; past it the constant is kept as one element and filled
  /// into a register right here, at each use, so that it holds a register only while the using
  /// instruction runs and the program stays small however many literals a kernel has.
  std::uint32_t ready(std::uint32_t v) {
    if (v == kNoOperand || !values_[v].constant) return v;
    const_slot_.resize(values_.size(), kNoSlot);
    if (const_slot_[v] != kNoSlot) return v;
    const DType d = values_[v].dtype;
    const std::size_t size = detail::element_size(d);
    const std::byte* element = known_.data() + known_at_[v];
    if (constants_.size() / kRegisterBytes < kMaxConstantBlocks) {
      const_slot_[v] = constants_.size() / kRegisterBytes;
      constants_.resize(constants_.size() + kRegisterBytes);
      replicate(constants_.data() + const_slot_[v] * kRegisterBytes, element, size, kBlock);
      return v;
    }
    late_.resize(values_.size(), kNoOperand);
    if (late_[v] == kNoOperand) {
      // Aligned, as a tree reads the element where it lies.
      scalars_.resize((scalars_.size() + size - 1) / size * size);
      late_[v] = static_cast<std::uint32_t>(scalars_.size());
      scalars_.insert(scalars_.end(), element, element + size);
    }
    const std::uint32_t filled = new_value(d, false);
    filled_.resize(values_.size(), Filled{});
    filled_[filled] = Filled{late_[v], code_.size()};
    Program::Instr fill;
    fill.kind = Program::Instr::Kind::Fill;
    fill.dst = filled;
    fill.a = late_[v];
    fill.b = static_cast<std::uint32_t>(size);
    code_.push_back(fill);
    return filled;
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
            const std::uint32_t v = emit(detail::neg_fn(d), d, coerce(value_of_[n.arg], d));
            note_arithmetic(v, detail::FusedOp::Add, true);
            return v;
          } else if constexpr (std::is_same_v<N, node::Binary>) {
            return emit_binary(n, d);
          } else if constexpr (std::is_same_v<N, node::If>) {
            const std::uint32_t c = coerce(value_of_[n.cond], vocab::dtypes::kBool);
            return emit(detail::select_fn(d), d, c, coerce(value_of_[n.then_branch], d),
                        coerce(value_of_[n.else_branch], d));
          } else if constexpr (std::is_same_v<N, node::Call>) {
            calls_ = true;
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
    switch (n.op) {
      case BinaryOp::Add:
        note_arithmetic(v, detail::FusedOp::Add, false);
        break;
      case BinaryOp::Sub:
        note_arithmetic(v, detail::FusedOp::Sub, false);
        break;
      case BinaryOp::Mul:
        note_arithmetic(v, detail::FusedOp::Mul, false);
        break;
      case BinaryOp::Div:
        note_arithmetic(v, detail::FusedOp::Div, false);
        break;
      default:
        break;
    }
    return coerce(v, d);
  }

  std::expected<std::uint32_t, EvalError> emit_call(const ir::node::Call& n, DType d) {
    using vocab::Builtin;
    if (n.args.size() != 1)
      return std::unexpected(EvalError{"cannot evaluate a malformed typed DAG"});
    const std::uint32_t arg = coerce(value_of_[n.args[0]], d);
    if (OpFn fn = detail::builtin_fn(n.builtin, d)) {
      const std::uint32_t v = emit(fn, d, arg);
      // A tree calls the builtins of the dtypes whose registers are its lanes as they are.
      if (d == vocab::dtypes::kF32 || d == vocab::dtypes::kF64) {
        note_arithmetic(v, detail::FusedOp::Add, false, fn,
                        detail::wide_builtin_times_fn(n.builtin, d == vocab::dtypes::kF32));
      }
      return v;
    }
    if (d.kind == vocab::DTypeKind::Complex) {
      return std::unexpected(cannot(vocab::builtin_name(n.builtin), d));
    }
    // The remaining builtins of integers and bools compute in f64 from the value, and the result
    // comes back by the float-to-integer (or to-bool) cast.
    const DType f64 = vocab::dtypes::kF64;
    const std::uint32_t wide = emit(detail::builtin_fn(n.builtin, f64), f64, coerce(arg, f64));
    return coerce(wide, d);
  }

  /// Records that value `v`, when computed by the instruction just appended, is an operator of a
  /// dtype that arithmetic trees compute: `op` of its two operands, with `negate` the negation
  /// of its one, or with `call` that block kernel of its one (`times` being x * call(x)'s).
  void note_arithmetic(std::uint32_t v, detail::FusedOp op, bool negate, OpFn call = nullptr,
                       OpFn times = nullptr) {
    if (values_[v].constant || detail::fused_fn(values_[v].dtype) == nullptr) return;
    arithmetic_.resize(values_.size());
    arithmetic_[v] = Arithmetic{true, negate, op, code_.size() - 1, call, times};
  }

  /// The shape of the tree rooted at a value: slots it keeps aside at once, steps, and an upper
  /// bound on its distinct operand blocks.
  struct TreeSize {
    std::size_t slots = 0, steps = 0, leaves = 0;
    /// Leaves computed for this tree alone (a filled constant, a cast, a builtin's value): each
    /// stays live from where it is computed until the tree runs.
    std::size_t temporaries = 0;
    /// Whether it calls a builtin, and whether a call would come while a slot holds a value,
    /// which the kernel does not keep across calls.
    bool calls = false, call_under_slot = false;
  };

  /// Computes each connected run of arithmetic as one Tree instruction where it has more than one
  /// operator: an operator whose value only one operator of its dtype reads is computed inside
  /// that operator's tree, unless the tree would outgrow its slots, steps, operands or its one
  /// temporary.
  void fuse_arithmetic() {
    if (arithmetic_.empty()) return;
    arithmetic_.resize(values_.size());
    std::vector<std::uint32_t> uses(values_.size(), 0);
    for (const Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Op && in.kind != Program::Instr::Kind::Store) continue;
      for (std::uint32_t o : {in.a, in.b, in.c}) {
        if (o != kNoOperand) ++uses[o];
      }
    }
    std::vector<bool> dead(code_.size(), false);
    multiply_by_calls(uses, dead);
    temporary_.assign(values_.size(), false);
    for (const Program::Instr& in : code_) {
      const bool computed =
          in.kind == Program::Instr::Kind::Fill || in.kind == Program::Instr::Kind::Op;
      if (computed && uses[in.dst] == 1) temporary_[in.dst] = true;
    }
    inner_.assign(values_.size(), false);
    sizes_.assign(values_.size(), TreeSize{});
    for (const Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Op || !arithmetic_[in.dst].is) continue;
      std::vector<std::uint32_t> children;
      for (std::uint32_t o : operands_of(in.dst)) {
        if (arithmetic_[o].is && uses[o] == 1 && values_[o].dtype == values_[in.dst].dtype &&
            !calls_a_leaf(o))
          children.push_back(o);
      }
      // The largest subtree stays outside first, until the tree fits.
      std::sort(children.begin(), children.end(), [&](std::uint32_t x, std::uint32_t y) {
        return sizes_[x].steps < sizes_[y].steps;
      });
      for (std::uint32_t o : children) inner_[o] = true;
      while (!children.empty() && !fits(tree_size(in.dst))) {
        inner_[children.back()] = false;
        children.pop_back();
      }
      sizes_[in.dst] = tree_size(in.dst);
    }
    // A call whose value no tree reads is left to its own kernel, its operand a tree of its own,
    // and so are the calls of a tree with few operators: a tree spends about as much around a
    // call as it saves in blocks, and gains only where the call spares the blocks of several
    // operators (over 10^5 f32 elements in cache, tanh(x * x + 1) and exp(x * x) * x took a
    // tenth longer as one tree and tanh(x * 0.5) * 0.5 + 0.5 a tenth less; tanh-GELU takes 4-5 %
    // less over 10^7 elements, whose input it reads once, and 1-3 % more in cache).
    // Last to first, so that an operand made a tree of its own here is looked at after.
    for (auto it = code_.rbegin(); it != code_.rend(); ++it) {
      const Program::Instr& in = *it;
      if (in.kind != Program::Instr::Kind::Op || !arithmetic_[in.dst].is || inner_[in.dst])
        continue;
      if (arithmetic_[in.dst].call != nullptr) {
        inner_[in.a] = false;
      } else if (sizes_[in.dst].calls && operators_inside(in.dst) < kFewestOperatorsAroundCalls) {
        leave_calls_out(in.dst);
      }
    }
    for (Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Op || !arithmetic_[in.dst].is || inner_[in.dst])
        continue;
      const auto operands = operands_of(in.dst);
      if (std::none_of(operands.begin(), operands.end(),
                       [&](std::uint32_t o) { return o != kNoOperand && inner_[o]; }))
        continue;
      std::vector<std::uint32_t> leaves;
      const auto first_step = static_cast<std::uint32_t>(tree_steps_.size());
      emit_tree(in.dst, 0, leaves, dead);
      keep_leaves_in_free_slots(first_step);
      in.kind = Program::Instr::Kind::Tree;
      in.tree = detail::fused_fn(values_[in.dst].dtype);
      in.a = static_cast<std::uint32_t>(tree_operands_.size());
      in.b = static_cast<std::uint32_t>(leaves.size());
      in.c = first_step;
      in.steps = static_cast<std::uint32_t>(tree_steps_.size()) - first_step;
      for (std::uint32_t o : leaves)
        tree_operands_.push_back(filled(o) ? kScalarBit | filled_[o].scalar : o);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < code_.size(); ++i) {
      if (!dead[i]) code_[kept++] = code_[i];
    }
    code_.resize(kept);
  }

  /// Computes x * b(x) as one instruction where only that product reads b(x): the builtin's
  /// kernel multiplies each value by its operand as it leaves, instead of writing a block that
  /// the product reads again (x * sigmoid(x)). Marks the builtin's own instruction dead.
  void multiply_by_calls(std::vector<std::uint32_t>& uses, std::vector<bool>& dead) {
    for (Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Op || !arithmetic_[in.dst].is) continue;
      const Arithmetic& product = arithmetic_[in.dst];
      if (product.negate || product.call != nullptr || product.op != detail::FusedOp::Mul) continue;
      for (const auto& [x, c] : {std::pair{in.a, in.b}, std::pair{in.b, in.a}}) {
        if (arithmetic_[c].times == nullptr || uses[c] != 1) continue;
        Arithmetic& call = arithmetic_[c];
        if (code_[call.instr].a != x) continue;
        dead[call.instr] = true;
        call.is = false;
        arithmetic_[in.dst].is = false;
        --uses[x];
        uses[c] = 0;
        in.op = call.times;
        in.a = x;
        in.b = kNoOperand;
        break;
      }
    }
  }

  /// Whether `v` is a builtin's value whose operand no tree computes. A tree gains by calling a
  /// builtin only on a value it computes itself, which then never goes through a block; the
  /// builtin's own kernel reads a loaded operand where it lies, with less work per element than
  /// a tree spends around its call (x * sigmoid(x) over 10^5 f32 elements took a third longer
  /// as one tree).
  bool calls_a_leaf(std::uint32_t v) const {
    return arithmetic_[v].call != nullptr && !inner_[code_[arithmetic_[v].instr].a];
  }

  /// Operators (calls apart) of the tree rooted at `v`, as `inner_` marks it.
  std::size_t operators_inside(std::uint32_t v) const {
    std::size_t count = arithmetic_[v].call != nullptr ? 0 : 1;
    for (std::uint32_t o : operands_of(v)) {
      if (inner_[o]) count += operators_inside(o);
    }
    return count;
  }

  /// Takes every call of the tree rooted at `v` out of it, each with its operand a tree of its
  /// own.
  void leave_calls_out(std::uint32_t v) {
    for (std::uint32_t o : operands_of(v)) {
      if (!inner_[o]) continue;
      leave_calls_out(o);
      if (arithmetic_[o].call != nullptr) {
        inner_[o] = false;
        inner_[code_[arithmetic_[o].instr].a] = false;
      }
    }
  }

  /// The operands of an arithmetic value's instruction: two, or one for a negation or a call.
  std::vector<std::uint32_t> operands_of(std::uint32_t v) const {
    const Program::Instr& in = code_[arithmetic_[v].instr];
    if (arithmetic_[v].negate || arithmetic_[v].call != nullptr) return {in.a};
    return {in.a, in.b};
  }

  static bool fits(const TreeSize& t) {
    // One temporary at most, so that a tree holds no more registers at once than the single
    // instructions it replaces (a run of many literals, each filled and cast, keeps three).
    return t.slots <= detail::kFusedSlots && t.steps <= detail::kMaxFusedSteps &&
           t.leaves <= detail::kMaxFusedOperands && t.temporaries <= 1 && !t.call_under_slot;
  }

  /// The size of the tree rooted at `v` with its operands marked in `inner_` computed inside.
  TreeSize tree_size(std::uint32_t v) const {
    const auto operands = operands_of(v);
    const auto part = [&](std::uint32_t o) {
      return inner_[o] ? sizes_[o] : TreeSize{0, 0, 1, temporary_[o] && !scalar(o) ? 1u : 0u};
    };
    if (operands.size() == 1) {
      const TreeSize c = part(operands[0]);
      // A call's kernel is one more operand.
      const bool call = arithmetic_[v].call != nullptr;
      return {c.slots,
              std::max<std::size_t>(c.steps, 1) + 1,
              c.leaves + (call ? 1 : 0),
              c.temporaries,
              c.calls || call,
              c.call_under_slot};
    }
    const TreeSize l = part(operands[0]), r = part(operands[1]);
    const bool both = inner_[operands[0]] && inner_[operands[1]];
    // The side that calls goes first (see `emit_tree`), while no slot holds the other.
    const std::size_t slots =
        !both     ? std::max(l.slots, r.slots)
        : l.calls ? std::max(l.slots, r.slots + 1)
        : r.calls ? std::max(r.slots, l.slots + 1)
                  : std::min(std::max(l.slots, r.slots + 1), std::max(r.slots, l.slots + 1));
    // A leaf costs a step only as the first operand loaded; a second subtree costs a push.
    const std::size_t steps = l.steps + r.steps + 1 + (both ? 1 : 0) +
                              (!inner_[operands[0]] && !inner_[operands[1]] ? 1 : 0);
    return {slots,
            steps,
            l.leaves + r.leaves,
            l.temporaries + r.temporaries,
            l.calls || r.calls,
            l.call_under_slot || r.call_under_slot || (both && l.calls && r.calls)};
  }

  /// Whether a tree reads `v` as one element instead of a filled register: a filled constant,
  /// whose Fill the tree then replaces (every use of a constant past the quota has its own).
  bool scalar(std::uint32_t v) const { return values_[v].constant || filled(v); }
  bool filled(std::uint32_t v) const {
    return v < filled_.size() && filled_[v].scalar != kNoOperand;
  }

  std::uint8_t leaf(std::uint32_t v, std::vector<std::uint32_t>& leaves) const {
    auto it = std::find(leaves.begin(), leaves.end(), v);
    if (it == leaves.end()) it = leaves.insert(it, v);
    return static_cast<std::uint8_t>(it - leaves.begin());
  }

  void step(std::uint8_t code, std::uint8_t operand = 0) {
    tree_steps_.push_back(detail::FusedStep{code, operand});
  }

  /// Appends the steps that leave `v` in the accumulator, keeping values aside in the slots from
  /// `depth` on, and marks the instructions of the operators computed inside as dead.
  void emit_tree(std::uint32_t v, std::size_t depth, std::vector<std::uint32_t>& leaves,
                 std::vector<bool>& dead) {
    using detail::FusedSource;
    using detail::FusedStep;
    const Arithmetic& a = arithmetic_[v];
    const auto operands = operands_of(v);
    const auto compute = [&](std::uint32_t o, std::size_t at) {
      if (inner_[o]) {
        dead[arithmetic_[o].instr] = true;
        emit_tree(o, at, leaves, dead);
      } else if (scalar(o)) {
        if (filled(o)) dead[filled_[o].instr] = true;
        step(FusedStep::LoadScalar, leaf(o, leaves));
      } else {
        step(FusedStep::Load, leaf(o, leaves));
      }
    };
    // A leaf operand of an operator: a block, or a filled constant's one element.
    const auto leaf_operator = [&](std::uint32_t o, bool reversed) {
      if (scalar(o)) {
        if (filled(o)) dead[filled_[o].instr] = true;
        step(detail::fused_operator(a.op, FusedSource::Scalar, reversed), leaf(o, leaves));
      } else {
        step(detail::fused_operator(a.op, FusedSource::Leaf, reversed), leaf(o, leaves));
      }
    };
    if (a.negate) {
      compute(operands[0], depth);
      step(FusedStep::Negate);
      return;
    }
    if (a.call != nullptr) {
      compute(operands[0], depth);
      auto known = std::find(tree_calls_.begin(), tree_calls_.end(), a.call);
      if (known == tree_calls_.end()) known = tree_calls_.insert(known, a.call);
      step(FusedStep::Call,
           leaf(kCallBits | static_cast<std::uint32_t>(known - tree_calls_.begin()), leaves));
      return;
    }
    const std::uint32_t l = operands[0], r = operands[1];
    if (!inner_[r]) {
      compute(l, depth);
      leaf_operator(r, false);
    } else if (!inner_[l]) {
      compute(r, depth);
      leaf_operator(l, true);
    } else {
      // The operand that calls a builtin goes first, else the one that needs more slots, while
      // none is kept aside.
      const bool left_first =
          sizes_[l].calls ||
          (!sizes_[r].calls && std::max(sizes_[l].slots, sizes_[r].slots + 1) <=
                                   std::max(sizes_[r].slots, sizes_[l].slots + 1));
      const auto slot = depth == 0 ? FusedSource::Slot0 : FusedSource::Slot1;
      compute(left_first ? l : r, depth);
      step(depth == 0 ? FusedStep::Push0 : FusedStep::Push1);
      compute(left_first ? r : l, depth + 1);
      step(detail::fused_operator(a.op, slot, left_first));
    }
  }

  /// Gives the slots that the tree from step `first` on never keeps a value in to the operand
  /// blocks it reads most often, each loaded once before the other steps. A read from memory
  /// costs as much as the operation that takes it, so a tree that reads `x` five times spends
  /// half its time loading; an operand read once or twice gains nothing worth the extra steps.
  /// Only the steps before the tree's first call count: the slots keep nothing across one.
  void keep_leaves_in_free_slots(std::size_t first) {
    using detail::FusedOp;
    using detail::FusedSource;
    using detail::FusedStep;
    constexpr std::size_t kFewestReads = 3;
    auto steps = std::span(tree_steps_).subspan(first);
    steps = steps.first(static_cast<std::size_t>(
        std::find_if(steps.begin(), steps.end(),
                     [](const FusedStep& s) { return s.code == FusedStep::Call; }) -
        steps.begin()));
    bool free[detail::kFusedSlots] = {true, true};
    std::array<std::size_t, detail::kMaxFusedOperands> reads{};
    for (const FusedStep& s : steps) {
      if (s.code == FusedStep::Push0) free[0] = false;
      if (s.code == FusedStep::Push1) free[1] = false;
      if (detail::reads_block(s.code)) ++reads[s.operand];
    }
    std::vector<FusedStep> prologue;
    for (std::size_t slot = 0; slot < detail::kFusedSlots; ++slot) {
      if (!free[slot]) continue;
      const auto most = std::max_element(reads.begin(), reads.end());
      if (*most < kFewestReads) break;
      *most = 0;
      const auto operand = static_cast<std::uint8_t>(most - reads.begin());
      const auto source = slot == 0 ? FusedSource::Slot0 : FusedSource::Slot1;
      for (FusedStep& s : steps) {
        if (s.operand != operand || !detail::reads_block(s.code)) continue;
        if (s.code == FusedStep::Load) {
          s.code = slot == 0 ? FusedStep::Fetch0 : FusedStep::Fetch1;
        } else {
          const unsigned form = s.code - detail::kFusedFirstOperator;
          s.code = detail::fused_operator(static_cast<FusedOp>(form % detail::kFusedOps), source,
                                          form / detail::kFusedOps % 2 != 0);
        }
        s.operand = 0;
      }
      prologue.push_back({FusedStep::Load, operand});
      prologue.push_back({slot == 0 ? FusedStep::Push0 : FusedStep::Push1, 0});
    }
    tree_steps_.insert(tree_steps_.begin() + static_cast<std::ptrdiff_t>(first), prologue.begin(),
                       prologue.end());
  }

  /// Where the unit's f16 trees convert on load and on store: an f16 input that only trees read
  /// keeps its halves in its register (or is read where it lies), and the single result computed
  /// by a tree last is written as halves, so that no block is widened or narrowed on its own.
  void trees_on_f16_storage() {
    using detail::FusedSource;
    using detail::FusedStep;
    std::vector<std::uint32_t> uses(values_.size(), 0), tree_uses(values_.size(), 0);
    std::vector<std::uint32_t*> fields;
    for (Program::Instr& in : code_) {
      operand_fields(in, fields);
      for (const std::uint32_t* o : fields) {
        if (*o == kNoOperand || (*o & kScalarBit) != 0) continue;
        ++uses[*o];
        if (in.kind == Program::Instr::Kind::Tree &&
            detail::fused_stored_fn(values_[in.dst].dtype) != nullptr)
          ++tree_uses[*o];
      }
    }
    halves_.assign(values_.size(), false);
    for (Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Load || uses[in.dst] == 0 ||
          uses[in.dst] != tree_uses[in.dst])
        continue;
      halves_[in.dst] = true;
      in.load = detail::load_fn(vocab::dtypes::kU16);
    }
    for (Program::Instr& in : code_) {
      if (in.kind != Program::Instr::Kind::Tree) continue;
      for (std::uint32_t k = 0; k < in.b; ++k) {
        const std::uint32_t o = tree_operands_[in.a + k];
        if ((o & kScalarBit) != 0 || !halves_[o]) continue;
        for (FusedStep& s : std::span(tree_steps_).subspan(in.c, in.steps)) {
          if (s.operand != k || !detail::reads_block(s.code)) continue;
          if (s.code == FusedStep::Load) {
            s.code = FusedStep::LoadHalf;
          } else {
            const unsigned form = s.code - detail::kFusedFirstOperator;
            s.code = detail::fused_operator(static_cast<detail::FusedOp>(form % detail::kFusedOps),
                                            FusedSource::Half, form / detail::kFusedOps % 2 != 0);
          }
        }
      }
    }
    if (dag_.outputs.size() != 1 || code_.size() < 2) return;
    Program::Instr& store = code_.back();
    Program::Instr& last = code_[code_.size() - 2];
    if (last.kind != Program::Instr::Kind::Tree || last.dst != store.a || uses[store.a] != 1)
      return;
    const detail::FusedFn stored = detail::fused_stored_fn(values_[last.dst].dtype);
    if (stored == nullptr) return;
    last.tree = stored;
    store.store = detail::store_fn(vocab::dtypes::kU16);
    halves_[last.dst] = true;
    result_halves_ = true;
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
      const std::size_t size = halves_[in.dst] ? 2 : detail::element_size(d);
      in.b = (same_layout || halves_[in.dst]) && !stored[in.dst] ? static_cast<std::uint32_t>(size)
                                                                 : 0;
    }
  }

  /// Lets the last computing instruction write the single result's block where the Store would
  /// copy it to. Nothing runs after it but the Store, so no input it may write over is read again.
  void write_result_in_place() {
    if (dag_.outputs.size() != 1 || code_.size() < 2) return;
    const Program::Instr& store = code_.back();
    Program::Instr& last = code_[code_.size() - 2];
    if (last.kind != Program::Instr::Kind::Op && last.kind != Program::Instr::Kind::Tree) return;
    if (last.dst != store.a) return;
    const DType d = values_[store.a].dtype;
    if (result_halves_) {
      last.in_place = 2;
    } else if (stored_as_held(d)) {
      last.in_place = static_cast<std::uint32_t>(detail::element_size(d));
    }
  }

  /// The operand fields of an instruction (a Tree's in the tree operand list), each a value.
  void operand_fields(Program::Instr& in, std::vector<std::uint32_t*>& fields) {
    fields.clear();
    switch (in.kind) {
      case Program::Instr::Kind::Load:
      case Program::Instr::Kind::Fill:
        break;
      case Program::Instr::Kind::Tree:
        for (std::uint32_t k = 0; k < in.b; ++k) fields.push_back(&tree_operands_[in.a + k]);
        break;
      case Program::Instr::Kind::Op:
        fields = {&in.a, &in.b, &in.c};
        break;
      case Program::Instr::Kind::Store:
        fields = {&in.a};
        break;
    }
  }

  std::size_t allocate_registers() {
    const std::size_t none = static_cast<std::size_t>(-1);
    std::vector<std::size_t> last_use(values_.size(), none);
    std::vector<std::uint32_t*> fields;
    for (std::size_t i = 0; i < code_.size(); ++i) {
      operand_fields(code_[i], fields);
      for (const std::uint32_t* o : fields) {
        if (*o != kNoOperand && (*o & kScalarBit) == 0) last_use[*o] = i;
      }
    }
    std::vector<std::uint32_t> reg(values_.size(), kNoOperand);
    std::vector<std::uint32_t> free;
    std::vector<std::uint32_t> seen, dying;
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < code_.size(); ++i) {
      Program::Instr& in = code_[i];
      seen.clear();
      dying.clear();
      operand_fields(in, fields);
      for (std::uint32_t* o : fields) {
        if (*o == kNoOperand || (*o & kScalarBit) != 0) continue;
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
          dying.push_back(reg[v]);
        }
        seen.push_back(v);
      }
      const auto release_dying = [&] { free.insert(free.end(), dying.begin(), dying.end()); };
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
  bool calls_ = false;
  /// By value: its register holds f16 storage (halves) rather than floats.
  std::vector<bool> halves_;
  bool result_halves_ = false;
  std::vector<Value> values_;
  /// For constants with a block: its slot, else kNoSlot.
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  std::vector<std::size_t> const_slot_;
  std::vector<std::uint32_t> value_of_;
  std::vector<Program::Instr> code_;
  std::vector<std::byte> constants_;
  std::vector<std::byte> scalars_;
  std::vector<std::byte> scratch_ = std::vector<std::byte>(kRegisterBytes);
  /// The operands of an instruction run while building, one block each.
  std::vector<std::byte> folding_ = std::vector<std::byte>(3 * kRegisterBytes);
  std::unordered_map<std::string, std::uint32_t> shared_;
  /// Every constant's value, one element each, at `known_at_` of the value.
  std::vector<std::byte> known_;
  std::vector<std::size_t> known_at_;
  /// For constants kept as one element past the quota: their offset among the scalars, else
  /// kNoOperand.
  std::vector<std::uint32_t> late_;
  /// A register filled with a constant's one element: the element's offset among the scalars
  /// (kNoOperand for other values) and the Fill instruction.
  struct Filled {
    std::uint32_t scalar = kNoOperand;
    std::size_t instr = 0;
  };
  std::vector<Filled> filled_;

  /// An operator value that an arithmetic tree may compute, and the instruction computing it.
  struct Arithmetic {
    bool is = false;
    bool negate = false;
    detail::FusedOp op = detail::FusedOp::Add;
    std::size_t instr = 0;
    /// For a builtin's value: its block kernel, which a tree calls on its one operand, and the
    /// kernel of its operand times it, where a wide unit has one.
    OpFn call = nullptr;
    OpFn times = nullptr;
  };
  /// By value; shorter than `values_` where no later value is one.
  std::vector<Arithmetic> arithmetic_;
  /// By value: computed inside the tree of the operator that reads it.
  std::vector<bool> inner_;
  /// By value: computed by an instruction other than a Load and read once.
  std::vector<bool> temporary_;
  std::vector<TreeSize> sizes_;
  std::vector<std::uint32_t> tree_operands_;
  std::vector<detail::FusedStep> tree_steps_;
  std::vector<OpFn> tree_calls_;
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
  if (auto ok = builder.run(p.code_, p.constants_, p.scalars_, p.tree_operands_, p.tree_steps_,
                            p.tree_calls_, p.registers_);
      !ok) {
    return std::unexpected(ok.error());
  }
  // A kernel that calls an elementary function is bound by its computing, which stores that
  // must drain to memory before the next block starts would only hold up.
  if (p.results_.size() == 1 && !builder.calls()) {
    p.stream_size_ = static_cast<std::uint32_t>(storage_size(p.results_[0]));
    p.stream_held_ = stored_as_held(p.results_[0]) || builder.result_held_as_stored();
  }
  return p;
}

std::size_t Program::constant_blocks() const { return constants_.size() / kRegisterBytes; }

Program::Workspace Program::make_workspace() const {
  Workspace ws;
  ws.bytes_.resize(registers_ * kRegisterPitch);
  ws.views_.resize(registers_);
  ws.direct_.resize(code_.size());
  return ws;
}

void Program::run(std::span<const In> in, std::span<const Out> out, std::size_t n, Workspace& ws,
                  bool stream) const {
  if (ws.bytes_.size() < registers_ * kRegisterPitch) ws.bytes_.resize(registers_ * kRegisterPitch);
  if (ws.views_.size() < registers_) ws.views_.resize(registers_);
  std::byte* regs = ws.bytes_.data();
  // Where each register's current block is read from: the register itself, or the input it was
  // loaded from in place. Writes always go to the register.
  const std::byte** views = ws.views_.data();
  const std::byte* consts = constants_.data();
  const auto operand = [&](std::uint32_t o) -> const std::byte* {
    if (o == kNoOperand) return nullptr;
    if ((o & kCallBits) == kCallBits)
      return reinterpret_cast<const std::byte*>(tree_calls_.data() + (o & ~kCallBits));
    if (o & kConstantBit) return consts + (o & ~kConstantBit) * kRegisterBytes;
    if (o & kScalarBit) return scalars_.data() + (o & ~kScalarBit);
    return views[o];
  };
  const auto reg = [&](std::uint32_t r) {
    views[r] = regs + r * kRegisterPitch;
    return regs + r * kRegisterPitch;
  };
#if defined(__SSE2__)
  const bool streamed = stream && stream_size_ != 0 && n > 0 &&
                        out[0].stride == static_cast<std::ptrdiff_t>(stream_size_);
#else
  const bool streamed = false;
  (void)stream;
#endif
  // Which Loads read their input where it lies, and which instruction writes the result where
  // it lies, decided once for the run: a block starts kBlock elements past the one before, which
  // keeps an element's alignment for every stride the decision allows.
  if (ws.direct_.size() < code_.size()) ws.direct_.resize(code_.size());
  std::uint8_t* direct = ws.direct_.data();
  const auto aligned = [](const std::byte* p, std::size_t size) {
    return reinterpret_cast<std::uintptr_t>(p) % std::min<std::size_t>(size, 8) == 0;
  };
  for (std::size_t i = 0; i < code_.size(); ++i) {
    const Instr& ins = code_[i];
    if (ins.kind == Instr::Kind::Load) {
      const In& src = in[ins.a];
      direct[i] = ins.b != 0 && src.stride == static_cast<std::ptrdiff_t>(ins.b) &&
                  aligned(src.data, ins.b);
    } else {
      // Never when the result is streamed from the register.
      direct[i] = ins.in_place != 0 && !streamed &&
                  out[0].stride == static_cast<std::ptrdiff_t>(ins.in_place) &&
                  aligned(out[0].data, ins.in_place);
    }
  }
  /// Where an instruction writes its block: the result itself where it may, else its register.
  const auto target = [&](const Instr& ins, bool in_place, std::ptrdiff_t offset) {
    if (in_place) {
      std::byte* at = out[0].data + offset * out[0].stride;
      views[ins.dst] = at;
      return at;
    }
    return reg(ins.dst);
  };
  // Held in locals: the kernels called through pointers could, for all the compiler knows,
  // change the vector.
  const Instr* const code = code_.data();
  const std::size_t count = code_.size();
  // One operation reading an input where it lies and writing the result where it lies, which
  // the store then finds there: the commonest kernel, a builtin over a contiguous array, runs
  // block after block with nothing left to decide per block.
  if (count == 3 && code[0].kind == Instr::Kind::Load && direct[0] != 0 &&
      code[1].kind == Instr::Kind::Op && direct[1] != 0 && code[1].a == code[0].dst &&
      code[1].b == kNoOperand && code[1].c == kNoOperand && code[2].kind == Instr::Kind::Store &&
      code[2].a == code[1].dst && code[2].dst == 0) {
    const In& src = in[code[0].a];
    const OpFn op = code[1].op;
    for (std::size_t start = 0; start < n; start += kBlock) {
      const auto offset = static_cast<std::ptrdiff_t>(start);
      op(out[0].data + offset * out[0].stride, src.data + offset * src.stride, nullptr, nullptr,
         std::min(kBlock, n - start));
    }
    return;
  }
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    const auto offset = static_cast<std::ptrdiff_t>(start);
    for (std::size_t i = 0; i < count; ++i) {
      const Instr& ins = code[i];
      switch (ins.kind) {
        case Instr::Kind::Load: {
          const In& src = in[ins.a];
          const std::byte* at = src.data + offset * src.stride;
          if (direct[i] != 0) {
            views[ins.dst] = at;
          } else {
            ins.load(reg(ins.dst), at, src.stride, len);
          }
          break;
        }
        case Instr::Kind::Fill:
          replicate(reg(ins.dst), scalars_.data() + ins.a, ins.b, len);
          break;
        case Instr::Kind::Op: {
          // The operands are looked up before the destination is its register again: an
          // instruction may write over its own operand, which may be a view.
          const std::byte* a = operand(ins.a);
          const std::byte* b = operand(ins.b);
          const std::byte* c = operand(ins.c);
          ins.op(target(ins, direct[i] != 0, offset), a, b, c, len);
        } break;
        case Instr::Kind::Tree: {
          const std::byte* blocks[detail::kMaxFusedOperands];
          for (std::uint32_t k = 0; k < ins.b; ++k) blocks[k] = operand(tree_operands_[ins.a + k]);
          ins.tree(target(ins, direct[i] != 0, offset), blocks, ins.b, tree_steps_.data() + ins.c,
                   ins.steps, len);
        } break;
        case Instr::Kind::Store: {
          const Out& dst = out[ins.dst];
          if (streamed) {
            const std::byte* from = operand(ins.a);
            alignas(64) std::byte stored[kRegisterBytes];
            if (!stream_held_) {
              ins.store(stored, stream_size_, from, len);
              from = stored;
            }
            stream_copy(dst.data + offset * dst.stride, from, len * stream_size_);
          } else if (const std::byte* from = operand(ins.a);
                     from != dst.data + offset * dst.stride) {
            // Not when the result was computed in place, or is the input it was loaded from.
            ins.store(dst.data + offset * dst.stride, dst.stride, from, len);
          }
          break;
        }
      }
    }
  }
#if defined(__SSE2__)
  // Streamed stores are ordered only by a fence: whoever is told the run ended sees them all.
  if (streamed) _mm_sfence();
#endif
}

}  // namespace tarvelon::eval
