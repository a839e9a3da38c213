#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "diag/diag.h"
#include "ir/dag.h"
#include "ir/node.h"
#include "parse/ast.h"
#include "vocab/dtype.h"

namespace tarvelon::ir {

using diag::Diag;
using diag::Span;

/// Which diagnostics a lowering run keeps. A caller that shows only errors asks for `Errors`:
/// the notes and warnings it would drop are then never built, since writing their message and
/// hint texts costs more than the rest of lowering a small kernel.
enum class Keep : std::uint8_t { All, Errors };

/// How lowering treats the diagnostics it meets.
struct DiagMode {
  enum class Kind : std::uint8_t {
    /// Every diagnostic is recorded and lowering always completes.
    Collect,
    /// Notes and warnings are recorded; the first error ends lowering and is returned.
    FailFast,
  };
  Kind kind = Kind::Collect;
  diag::DiagConfig config;
  Keep keep = Keep::All;
  /// Notes and warnings, in walk order; always empty when only errors are kept.
  std::vector<Diag> warnings;
  /// Errors and fatal diagnostics, in walk order; always empty in FailFast mode.
  std::vector<Diag> errors;
};

/// The names bound where lowering stands: the parameters and the assignments around it. A
/// kernel of many assignments keeps all of them bound at once, so a look-up is one probe of an
/// open-addressed table of small slots. A slot holds a short name itself, packed into one
/// integer, so that looking it up touches the slot alone; longer names are kept apart and read
/// only to confirm a match. A name once seen keeps its slot when it is unbound, so the table
/// never deletes.
class Scope {
 public:
  /// Makes room for `names` names, so that binding that many never rebuilds the table.
  void reserve(std::size_t names);
  /// The node `name` is bound to, or null when it is unbound.
  const NodeId* find(std::string_view name) const;
  /// A name's hash, which binding takes to spare computing it again.
  using Hash = std::uint32_t;
  /// Starts bringing into the cache the slot a look-up or binding of `name` will probe first,
  /// and returns the name's hash.
  Hash prefetch(std::string_view name) const noexcept;
  /// Binds `name` to `id` and returns the binding it replaced, if any.
  std::optional<NodeId> bind(std::string_view name, NodeId id);
  /// As above, for the name whose hash `prefetch` returned.
  std::optional<NodeId> bind(std::string_view name, NodeId id, Hash hash);
  /// Puts back the binding `bind` returned: `earlier`, or no binding at all.
  void restore(std::string_view name, std::optional<NodeId> earlier);

  /// Binds `name` unless it is bound already; whether it was.
  bool emplace(std::string_view name, NodeId id);
  /// The node `name` is bound to; `std::out_of_range` when it is unbound.
  NodeId at(std::string_view name) const;
  /// The number of names bound.
  std::size_t size() const { return bound_; }

 private:
  static constexpr NodeId kUnbound = std::numeric_limits<NodeId>::max();
  struct alignas(16) Slot {
    /// A short name: its packed word, which is odd. A longer name: an even key holding its
    /// index in `long_names_` below. 0 marks an empty slot.
    std::uint64_t key = 0;
    std::uint32_t hash = 0;
    NodeId value = kUnbound;
  };
  static constexpr std::uint64_t long_key(std::size_t index) { return (index + 1) << 1; }
  static constexpr bool is_long_key(std::uint64_t key) { return (key & 1) == 0; }
  static constexpr std::size_t long_index(std::uint64_t key) { return (key >> 1) - 1; }
  /// The key of a short name; 0 for a long one.
  static std::uint64_t short_key(std::string_view name) noexcept;
  static Hash name_hash(std::string_view name) noexcept;
  Slot* slot_of(std::string_view name, std::uint32_t hash) const;
  void grow(std::size_t slots);

  std::vector<Slot> slots_;  ///< a power of two in size, at most half full
  std::vector<std::string> long_names_;
  std::size_t names_ = 0;  ///< the names with a slot, bound or not
  std::size_t bound_ = 0;
};

/// The state of one lowering run. Nodes are append-only; `dtypes[i]` is the dtype of `nodes[i]`.
struct Ctx {
  DiagMode mode;
  Scope scope;
  std::vector<Node> nodes;
  std::vector<vocab::DType> dtypes;

  /// Appends a node; equal nodes pushed twice are two nodes.
  NodeId push(Node node, vocab::DType dtype);
  /// As above, building the node in place from one of its forms.
  template <class Form>
  requires(!std::is_same_v<std::decay_t<Form>, Node> &&
           std::is_constructible_v<Node, Form&&>) NodeId push(Form&& form, vocab::DType dtype) {
    const NodeId id = next_id();
    nodes.emplace_back(std::in_place_type<std::decay_t<Form>>, std::forward<Form>(form));
    dtypes.push_back(dtype);
    return id;
  }
  /// `id` itself when it already has dtype `to`, else a fresh implicit cast of it.
  NodeId cast_if_needed(NodeId id, vocab::DType to);
  /// Files `d` by its severity; in FailFast mode an error comes back as the failure.
  std::expected<void, Diag> emit(Diag d);
  /// Whether a diagnostic of `kind` would be filed rather than dropped for its severity.
  bool keeps(diag::DiagKind kind) const;
  /// `emit(make())`, except that a diagnostic that would be dropped is never built.
  template <class Make>
  std::expected<void, Diag> report(diag::DiagKind kind, Make&& make) {
    if (!keeps(kind)) return {};
    return emit(make());
  }
  /// Reports `d` and stands in a placeholder constant of dtype `placeholder` for the faulty
  /// value; in FailFast mode `d` is the failure, whatever its severity.
  std::expected<NodeId, Diag> on_error(Diag d, vocab::DType placeholder);

 private:
  /// The id the next node gets; `std::bad_alloc` when ids are exhausted.
  NodeId next_id() const;
};

using Ids = std::vector<NodeId>;

/// Lowers one expression to its values (several for a tuple).
std::expected<Ids, Diag> lower_expr(Ctx& ctx, const parse::SpannedExpr& e);
/// Lowers an expression that must produce exactly one value.
std::expected<NodeId, Diag> lower_single(Ctx& ctx, const parse::SpannedExpr& e,
                                         vocab::DType placeholder);

/// The outcome of a collecting run: a DAG whatever the errors, and the filed diagnostics.
struct CollectResult {
  TypedDag dag;
  std::vector<Diag> warnings;
  std::vector<Diag> errors;
};

/// Lowers a kernel, recording every diagnostic. An invalid DAG out of the walk is an internal
/// fault ("lower produced invalid TypedDag: ...").
CollectResult lower_with_config_collect(const parse::FuncDef& f, const diag::DiagConfig& config,
                                        Keep keep = Keep::All);

/// The outcome of a fail-fast run that met no error.
struct FailFastResult {
  TypedDag dag;
  std::vector<Diag> warnings;
};

/// Lowers a kernel, stopping at the first error (which includes any kind `config` raises to
/// Error, and every placeholder-producing problem).
std::expected<FailFastResult, Diag> lower_with_config_fail_fast(const parse::FuncDef& f,
                                                                const diag::DiagConfig& config);

// ---- literals and promotion -------------------------------------------------------------------

/// Whether `value` is exactly representable in `dtype`. NaN and the infinities always are; only
/// f16, bf16 and f32 can fail (subnormals count, overflow does not).
bool float_representable_in(vocab::DType dtype, double value);

std::expected<NodeId, Diag> lower_int_literal(Ctx& ctx, std::int64_t value,
                                              std::optional<vocab::DType> suffix, Span span);
std::expected<NodeId, Diag> lower_float_literal(Ctx& ctx, std::optional<vocab::DType> suffix,
                                                Span span, double value);
std::expected<NodeId, Diag> lower_complex_literal(Ctx& ctx, std::optional<vocab::DType> suffix,
                                                  Span span, double re, double im);

/// The common dtype of two operands, reporting a failed promotion (placeholder dtype f64), a u64
/// meeting a signed integer, and any implicit promotion. `operand_spans` is given for binary
/// operators and labels the promotion note.
std::expected<vocab::DType, Diag> promote_with_diags(
    Ctx& ctx, std::string_view context, vocab::DType left, vocab::DType right, Span span,
    std::optional<std::pair<Span, Span>> operand_spans);

}  // namespace tarvelon::ir
