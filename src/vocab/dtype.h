#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelon::vocab {

enum class DTypeKind : std::uint8_t { Bool = 0, UInt = 1, Int = 2, Float = 3, Complex = 4 };

/// A scalar data type. Only fifteen field combinations are valid (see `all_dtype_names`); no
/// operation creates another, but naming one never fails.
struct DType {
  DTypeKind kind = DTypeKind::Bool;
  /// Set only for bfloat16 (kind Float, 16 bits).
  bool brain = false;
  /// Storage width; for Complex the width of the whole pair; Bool carries 1.
  std::uint16_t bits = 1;

  static constexpr DType make(DTypeKind k, std::uint16_t b, bool brain_float = false) {
    return DType{k, brain_float, b};
  }

  /// The canonical name, or "<invalid-dtype>" for a combination outside the fifteen.
  const char* to_str() const;
  /// Exact, case-sensitive match against the fifteen names; the error is the given text.
  static std::expected<DType, std::string> from_str(std::string_view text);

  bool is_integer() const { return kind == DTypeKind::UInt || kind == DTypeKind::Int; }
  bool is_bf16() const { return kind == DTypeKind::Float && bits == 16 && brain; }

  friend bool operator==(const DType&, const DType&) = default;
};

std::ostream& operator<<(std::ostream& os, const DType& d);

namespace dtypes {
inline constexpr DType kBool = DType::make(DTypeKind::Bool, 1);
inline constexpr DType kU8 = DType::make(DTypeKind::UInt, 8);
inline constexpr DType kU16 = DType::make(DTypeKind::UInt, 16);
inline constexpr DType kU32 = DType::make(DTypeKind::UInt, 32);
inline constexpr DType kU64 = DType::make(DTypeKind::UInt, 64);
inline constexpr DType kI8 = DType::make(DTypeKind::Int, 8);
inline constexpr DType kI16 = DType::make(DTypeKind::Int, 16);
inline constexpr DType kI32 = DType::make(DTypeKind::Int, 32);
inline constexpr DType kI64 = DType::make(DTypeKind::Int, 64);
inline constexpr DType kF16 = DType::make(DTypeKind::Float, 16);
inline constexpr DType kBF16 = DType::make(DTypeKind::Float, 16, true);
inline constexpr DType kF32 = DType::make(DTypeKind::Float, 32);
inline constexpr DType kF64 = DType::make(DTypeKind::Float, 64);
inline constexpr DType kC64 = DType::make(DTypeKind::Complex, 64);
inline constexpr DType kC128 = DType::make(DTypeKind::Complex, 128);

/// The fifteen valid dtypes in canonical order.
inline constexpr DType kAll[] = {kBool, kU8,  kU16,  kU32, kU64, kI8,  kI16, kI32,
                                 kI64,  kF16, kBF16, kF32, kF64, kC64, kC128};
}  // namespace dtypes

/// The fifteen names in canonical order ("bool" ... "c128"), freshly built.
std::vector<const char*> all_dtype_names();

/// The least and greatest value a constant of integer dtype `d` holds. Constants are held as
/// i64, so `u64` ends at i64's maximum.
std::int64_t int_min(DType d);
std::int64_t int_max(DType d);

/// A failed promotion: the operands in argument order.
struct PromoteError {
  DType left;
  DType right;
  friend bool operator==(const PromoteError&, const PromoteError&) = default;
};

/// The common dtype of two operands; fails only when bf16 meets an integer or a complex dtype.
std::expected<DType, PromoteError> promote(DType a, DType b);

/// Joins two floats into their merged float dtype. When either is not a float the pair comes
/// back unchanged as the error, telling the caller the rule does not apply.
std::expected<DType, std::pair<DType, DType>> float_merge(DType a, DType b);

}  // namespace tarvelon::vocab
