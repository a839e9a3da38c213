#include "vocab/dtype.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "support/packed_word.h"

namespace tarvelon::vocab {

namespace {

constexpr const char* kInvalid = "<invalid-dtype>";

struct NamedDType {
  const char* name;
  DType dtype;
};

constexpr NamedDType kNames[] = {
    {"bool", dtypes::kBool}, {"u8", dtypes::kU8},   {"u16", dtypes::kU16},   {"u32", dtypes::kU32},
    {"u64", dtypes::kU64},   {"i8", dtypes::kI8},   {"i16", dtypes::kI16},   {"i32", dtypes::kI32},
    {"i64", dtypes::kI64},   {"f16", dtypes::kF16}, {"bf16", dtypes::kBF16}, {"f32", dtypes::kF32},
    {"f64", dtypes::kF64},   {"c64", dtypes::kC64}, {"c128", dtypes::kC128},
};

constexpr std::size_t kMaxNameLength = 4;
constexpr std::size_t kNameSlots = 64;

constexpr std::size_t name_slot(std::uint64_t key) {
  return static_cast<std::size_t>((key * 0xBF58476D1CE4E5B9u) >> 58);
}

/// The dtype words by the slot of their packed form; every word has a slot of its own, so a
/// lookup is one probe and one comparison.
struct NameSlot {
  std::uint64_t key = 0;  ///< 0: empty
  DType dtype{};
};
constexpr std::array<NameSlot, kNameSlots> kNameTable = [] {
  std::array<NameSlot, kNameSlots> table{};
  for (const NamedDType& n : kNames) {
    const std::string_view name = n.name;
    NameSlot& slot = table[name_slot(support::pack_short_word(name))];
    // Two words in one slot, or one too long to pack, fail the build here.
    if (slot.key != 0 || name.size() > kMaxNameLength) throw "dtype names collide";
    slot = {support::pack_short_word(name), n.dtype};
  }
  return table;
}();

DType float_of_width(unsigned width) {
  if (width <= 16) return dtypes::kF16;
  if (width <= 32) return dtypes::kF32;
  return dtypes::kF64;
}

/// Width of the float an integer of `bits` needs to be held: 8 -> 16, 16 -> 32, 32/64 -> 64.
unsigned float_width_for_int(unsigned bits) { return std::min(2 * bits, 64u); }

DType complex_for_component(unsigned width) { return width <= 32 ? dtypes::kC64 : dtypes::kC128; }

}  // namespace

const char* DType::to_str() const {
  switch (kind) {
    case DTypeKind::Bool:
      return "bool";
    case DTypeKind::UInt:
    case DTypeKind::Int: {
      const bool u = kind == DTypeKind::UInt;
      switch (bits) {
        case 8:
          return u ? "u8" : "i8";
        case 16:
          return u ? "u16" : "i16";
        case 32:
          return u ? "u32" : "i32";
        case 64:
          return u ? "u64" : "i64";
        default:
          return kInvalid;
      }
    }
    case DTypeKind::Float:
      if (bits == 16) return brain ? "bf16" : "f16";
      if (brain) return kInvalid;
      if (bits == 32) return "f32";
      if (bits == 64) return "f64";
      return kInvalid;
    case DTypeKind::Complex:
      if (brain) return kInvalid;
      if (bits == 64) return "c64";
      if (bits == 128) return "c128";
      return kInvalid;
  }
  return kInvalid;
}

std::expected<DType, std::string> DType::from_str(std::string_view text) {
  if (!text.empty() && text.size() <= kMaxNameLength) {
    const std::uint64_t key = support::pack_short_word(text);
    const NameSlot& slot = kNameTable[name_slot(key)];
    if (slot.key == key) return slot.dtype;
  }
  return std::unexpected(std::string(text));
}

std::ostream& operator<<(std::ostream& os, const DType& d) { return os << d.to_str(); }

std::vector<const char*> all_dtype_names() {
  std::vector<const char*> names;
  names.reserve(std::size(kNames));
  for (const auto& n : kNames) names.push_back(n.name);
  return names;
}

std::int64_t int_max(DType d) {
  int bits = d.kind == DTypeKind::Int ? d.bits - 1 : d.bits;
  return bits >= 63 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << bits) - 1;
}

std::int64_t int_min(DType d) {
  if (d.kind == DTypeKind::UInt) return 0;
  return d.bits >= 64 ? std::numeric_limits<std::int64_t>::min()
                      : -(std::int64_t{1} << (d.bits - 1));
}

std::expected<DType, std::pair<DType, DType>> float_merge(DType a, DType b) {
  if (a.kind != DTypeKind::Float || b.kind != DTypeKind::Float) {
    return std::unexpected(std::pair{a, b});
  }
  const unsigned wa = a.is_bf16() ? 16 : a.bits;
  const unsigned wb = b.is_bf16() ? 16 : b.bits;
  const unsigned widest = std::max(wa, wb);
  if (a.is_bf16() && b.is_bf16()) return dtypes::kBF16;
  if (a.is_bf16() != b.is_bf16() && wa == wb) return dtypes::kF32;
  return float_of_width(widest);
}

std::expected<DType, PromoteError> promote(DType a, DType b) {
  using K = DTypeKind;
  if (a == b) return a;
  if (a.kind == K::Bool) return b;
  if (b.kind == K::Bool) return a;
  const PromoteError fail{a, b};

  if (a.is_integer() && b.is_integer()) {
    if (a.kind == b.kind) return a.bits >= b.bits ? a : b;
    const DType& u = a.kind == K::UInt ? a : b;
    const DType& s = a.kind == K::UInt ? b : a;
    if (s.bits > u.bits) return s;
    return DType::make(K::Int, static_cast<std::uint16_t>(std::min(2 * u.bits, 64)));
  }
  if (a.is_integer() != b.is_integer() && (a.kind == K::Float || b.kind == K::Float)) {
    const DType& i = a.is_integer() ? a : b;
    const DType& f = a.is_integer() ? b : a;
    if (f.is_bf16()) return std::unexpected(fail);
    return float_of_width(std::max<unsigned>(float_width_for_int(i.bits), f.bits));
  }
  if (a.kind == K::Float && b.kind == K::Float) return *float_merge(a, b);
  if (a.kind == K::Complex && b.kind == K::Complex) return a.bits >= b.bits ? a : b;

  const DType& c = a.kind == K::Complex ? a : b;
  const DType& o = a.kind == K::Complex ? b : a;
  if (o.kind == K::Float) {
    if (o.is_bf16()) return std::unexpected(fail);
    return complex_for_component(std::max<unsigned>(c.bits / 2u, o.bits));
  }
  // A complex dtype with an integer.
  return complex_for_component(std::max<unsigned>(float_width_for_int(o.bits), c.bits / 2u));
}

}  // namespace tarvelon::vocab
