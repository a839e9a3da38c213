#pragma once

#include <expected>
#include <optional>
#include <vector>

#include "egraph/flat_map.h"
#include "egraph/hash.h"
#include "egraph/recexpr.h"
#include "ir/dag.h"
#include "opt/error.h"
#include "opt/lang.h"
#include "vocab/dtype.h"

namespace tarvelon::opt {

/// The dtypes the kernel's live constants had, by value. Extraction may drop, share or reorder
/// nodes, so a constant of the optimized term is typed by what its value was typed as before,
/// never by its position. Only constants the output depends on count (folding leaves dead
/// literals behind, such as the f16 2.5 whose cast to f64 it folded), and only constants of the
/// kernel: the index under a `Param` and the parts under a `Complex` are payload.
///
/// Equal values seen with several dtypes (say 2.5@f32 and 2.5@f64, one class in the e-graph,
/// so one constant in the extracted term) take the dtype that comes first in the canonical
/// order bool, u8 ... u64, i8 ... i64, f16, bf16, f32, f64, c64, c128. The least dtype never
/// widens a user's result beyond its other operand's dtype, and never turns a real computation
/// complex.
class ConstantDtypes {
 public:
  /// Records `dtype` for a `Bool`, `Int` or `Num` leaf; of several, the least is kept.
  void record(const MathLang& leaf, vocab::DType dtype);
  /// Records `dtype` for the complex value (re, im); of several, the least is kept.
  void record_complex(double re, double im, vocab::DType dtype);
  std::optional<vocab::DType> find(const MathLang& leaf) const;
  std::optional<vocab::DType> find_complex(double re, double im) const;

 private:
  struct ComplexKey {
    MathLang re;
    MathLang im;
    std::uint64_t hash() const {
      return egraph::hash_finish(egraph::hash_combine(re.hash(), im.hash()));
    }
    friend bool operator==(const ComplexKey&, const ComplexKey&) = default;
  };
  egraph::FlatHashMap<MathLang, vocab::DType, egraph::MemberHash> leaves_;
  egraph::FlatHashMap<ComplexKey, vocab::DType, egraph::MemberHash> complexes_;
};

/// The dtypes that stripping set aside.
struct TypeMap {
  /// One dtype per node of the stripped expression, at the same index.
  std::vector<vocab::DType> node_dtypes;
  /// The dtypes of the kernel's constants, by value.
  ConstantDtypes constants;
};

/// A DAG in the optimizer's untyped form.
struct StrippedExpr {
  egraph::RecExpr<MathLang> expr;
  TypeMap types;
  /// The entry standing for the DAG's output; not necessarily the last one.
  Id root = 0;
};

/// Translates a single-output DAG node by node into `MathLang`, setting the dtypes aside. A call
/// of other than one argument is `UnsupportedCall`; an operand that does not precede its user is
/// `InvalidExpr`.
std::expected<StrippedExpr, OptError> strip_types(const ir::TypedDag& dag);

}  // namespace tarvelon::opt
