#include "eval/kernels.h"

#include <emmintrin.h>
#include <sleef.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "eval/composite_f64.h"
#include "eval/values.h"
#include "eval/wide_math.h"
#include "eval/wide_select.h"

namespace tarvelon::eval::detail {

namespace {

using vocab::BinaryOp;
using vocab::Builtin;

template <class T>
T* as(std::byte* p) {
  return reinterpret_cast<T*>(p);
}
template <class T>
const T* as(const std::byte* p) {
  return reinterpret_cast<const T*>(p);
}

// ---- Operators ----------------------------------------------------------------------------

template <class Tag>
typename Tag::T neg_value(typename Tag::T a) {
  using T = typename Tag::T;
  if constexpr (Tag::cat == Cat::Int) {
    return static_cast<T>(WrapT<T>(0) - static_cast<WrapT<T>>(a));
  } else if constexpr (Tag::cat == Cat::Bool) {
    return a;  // -1 and 0 are true and false again
  } else {
    return -a;
  }
}

template <class Tag>
void neg_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                std::size_t n) {
  using T = typename Tag::T;
  for (std::size_t i = 0; i < n; ++i) as<T>(d)[i] = neg_value<Tag>(as<T>(a)[i]);
}

void not_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) as<std::uint8_t>(d)[i] = as<std::uint8_t>(a)[i] ^ 1u;
}

constexpr bool is_comparison(BinaryOp op) {
  return op == BinaryOp::Eq || op == BinaryOp::Ne || op == BinaryOp::Lt || op == BinaryOp::Le ||
         op == BinaryOp::Gt || op == BinaryOp::Ge;
}

/// Whether the operator has a typed meaning on operands of this tag. Bool arithmetic is composed
/// by the caller through a wider dtype, so only the boolean operators and equality remain.
template <class Tag, BinaryOp Op>
constexpr bool binary_supported() {
  if constexpr (Op == BinaryOp::And || Op == BinaryOp::Or) return Tag::cat == Cat::Bool;
  if constexpr (Tag::cat == Cat::Bool) return is_comparison(Op);
  if constexpr (Tag::cat == Cat::Complex) {
    return Op == BinaryOp::Add || Op == BinaryOp::Sub || Op == BinaryOp::Mul ||
           Op == BinaryOp::Div || Op == BinaryOp::Pow || Op == BinaryOp::Eq || Op == BinaryOp::Ne;
  }
  if constexpr (Tag::cat == Cat::Int) return Op != BinaryOp::Div;
  return true;
}

template <class Tag, BinaryOp Op>
auto binary_value(typename Tag::T a, typename Tag::T b) {
  using T = typename Tag::T;
  if constexpr (Op == BinaryOp::Eq) {
    return std::uint8_t{a == b};
  } else if constexpr (Op == BinaryOp::Ne) {
    return std::uint8_t{a != b};
  } else if constexpr (Op == BinaryOp::Lt) {
    return std::uint8_t{a < b};
  } else if constexpr (Op == BinaryOp::Le) {
    return std::uint8_t{a <= b};
  } else if constexpr (Op == BinaryOp::Gt) {
    return std::uint8_t{a > b};
  } else if constexpr (Op == BinaryOp::Ge) {
    return std::uint8_t{a >= b};
  } else if constexpr (Op == BinaryOp::And) {
    return static_cast<T>(a & b);
  } else if constexpr (Op == BinaryOp::Or) {
    return static_cast<T>(a | b);
  } else if constexpr (Tag::cat == Cat::Int) {
    using W = WrapT<T>;
    if constexpr (Op == BinaryOp::Add) return static_cast<T>(static_cast<W>(a) + static_cast<W>(b));
    if constexpr (Op == BinaryOp::Sub) return static_cast<T>(static_cast<W>(a) - static_cast<W>(b));
    if constexpr (Op == BinaryOp::Mul) return static_cast<T>(static_cast<W>(a) * static_cast<W>(b));
    if constexpr (Op == BinaryOp::FloorDiv) return int_floor_div<T>(a, b);
    if constexpr (Op == BinaryOp::Rem) return int_rem<T>(a, b);
    if constexpr (Op == BinaryOp::Pow) return int_pow<T>(a, b);
    if constexpr (Op == BinaryOp::Div) return T{};
  } else if constexpr (Tag::cat == Cat::Float) {
    if constexpr (Op == BinaryOp::Add) return a + b;
    if constexpr (Op == BinaryOp::Sub) return a - b;
    if constexpr (Op == BinaryOp::Mul) return a * b;
    if constexpr (Op == BinaryOp::Div) return a / b;
    if constexpr (Op == BinaryOp::FloorDiv) return float_floor_div(a, b);
    if constexpr (Op == BinaryOp::Rem) return float_rem(a, b);
    if constexpr (Op == BinaryOp::Pow) return std::pow(a, b);
  } else if constexpr (Tag::cat == Cat::Complex) {
    if constexpr (Op == BinaryOp::Add) return T(a.real() + b.real(), a.imag() + b.imag());
    if constexpr (Op == BinaryOp::Sub) return T(a.real() - b.real(), a.imag() - b.imag());
    if constexpr (Op == BinaryOp::Mul) return complex_mul(a, b);
    if constexpr (Op == BinaryOp::Div) return complex_div(a, b);
    if constexpr (Op == BinaryOp::Pow) return complex_pow(a, b);
    if constexpr (Op == BinaryOp::FloorDiv || Op == BinaryOp::Rem) return T{};
  } else {
    return T{};
  }
}

template <class Tag, BinaryOp Op>
void binary_kernel(std::byte* d, const std::byte* a, const std::byte* b, const std::byte*,
                   std::size_t n) {
  using T = typename Tag::T;
  using R = decltype(binary_value<Tag, Op>(T{}, T{}));
  for (std::size_t i = 0; i < n; ++i) {
    as<R>(d)[i] = binary_value<Tag, Op>(as<T>(a)[i], as<T>(b)[i]);
  }
  // Narrow floats compute in float and round once, over the whole block.
  if constexpr (Tag::cat == Cat::Float && !is_comparison(Op)) Tag::round_block(as<T>(d), n);
}

template <class Tag, BinaryOp Op>
constexpr OpFn binary_entry() {
  if constexpr (binary_supported<Tag, Op>()) {
    return &binary_kernel<Tag, Op>;
  } else {
    return nullptr;
  }
}

template <class Tag, std::size_t... I>
OpFn binary_lookup(BinaryOp op, std::index_sequence<I...>) {
  constexpr OpFn table[] = {binary_entry<Tag, static_cast<BinaryOp>(I)>()...};
  return table[static_cast<std::size_t>(op)];
}

// ---- Builtins -----------------------------------------------------------------------------

using VecFn = __m128d (*)(__m128d);

// The library's declarations carry attributes a template argument cannot name.
__m128d exp2x(__m128d x) { return Sleef_expd2_u10(x); }
__m128d log2x(__m128d x) { return Sleef_logd2_u10(x); }
__m128d sin2x(__m128d x) { return Sleef_sind2_u10(x); }
__m128d cos2x(__m128d x) { return Sleef_cosd2_u10(x); }
/// tanh of doubles as the wide units compute it: x itself below |x| = 2^-27, 1 - 2 / (1 + e^2|x|)
/// from |x| = 2 on, the library's tanh between (see WideKernels::tanh_double).
__m128d tanh2x(__m128d x) {
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d a = _mm_andnot_pd(sign, x);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d e = Sleef_expd2_u10(_mm_add_pd(a, a));
  const __m128d far = _mm_or_pd(_mm_sub_pd(one, _mm_div_pd(_mm_set1_pd(2.0), _mm_add_pd(one, e))),
                                _mm_and_pd(sign, x));
  const __m128d use_far = _mm_cmpge_pd(a, _mm_set1_pd(2.0));
  const __m128d r =
      _mm_or_pd(_mm_and_pd(use_far, far), _mm_andnot_pd(use_far, Sleef_tanhd2_u10(x)));
  const __m128d tiny = _mm_cmplt_pd(_mm_mul_pd(x, x), _mm_set1_pd(0x1p-54));
  return _mm_or_pd(_mm_and_pd(tiny, x), _mm_andnot_pd(tiny, r));
}

/// The composite functions on two doubles, for arguments of f32 and narrower: the double result
/// is far more accurate than the final rounding needs. Each form keeps e^-|x| <= 1, so nothing
/// overflows on the way.
__m128d sigmoid2x(__m128d x) {
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d e = Sleef_expd2_u10(_mm_or_pd(x, _mm_set1_pd(-0.0)));  // e^-|x|
  const __m128d denom = _mm_add_pd(one, e);
  const __m128d positive = _mm_cmpge_pd(x, _mm_setzero_pd());
  return _mm_div_pd(_mm_or_pd(_mm_and_pd(positive, one), _mm_andnot_pd(positive, e)), denom);
}
__m128d softplus2x(__m128d x) {
  const __m128d e = Sleef_expd2_u10(_mm_or_pd(x, _mm_set1_pd(-0.0)));  // e^-|x|
  const __m128d rest = Sleef_log1pd2_u10(e);
  // max(x, 0), which is x itself for a NaN so that the NaN goes through
  const __m128d positive = _mm_cmpgt_pd(x, _mm_setzero_pd());
  const __m128d unordered = _mm_cmpunord_pd(x, x);
  const __m128d keep = _mm_or_pd(positive, unordered);
  return _mm_add_pd(_mm_and_pd(keep, x), rest);
}
__m128d exp_sigmoid2x(__m128d x) { return sigmoid2x(Sleef_expd2_u10(x)); }
__m128d sigmoid_log2x(__m128d x) {
  const __m128d sign = _mm_set1_pd(-0.0);
  return _mm_xor_pd(softplus2x(_mm_xor_pd(x, sign)), sign);
}

/// The composites of f64 results, whose pair arithmetic keeps them within an ulp.
struct Sse2Vectors {
  using D = __m128d;
  using I = __m128i;
};
using F64Composite = CompositeF64<Sse2Vectors>;
__m128d sigmoid_f64_2x(__m128d x) { return F64Composite::sigmoid(x); }
__m128d softplus_f64_2x(__m128d x) { return F64Composite::softplus(x); }
__m128d exp_sigmoid_f64_2x(__m128d x) { return F64Composite::sigmoid(Sleef_expd2_u10(x)); }
__m128d sigmoid_log_f64_2x(__m128d x) { return F64Composite::sigmoid_log(x); }

/// A function of doubles applied two lanes at a time; the last element of an odd count goes
/// alone in both lanes. Nothing past `n` is read or written: the operand may be the caller's
/// array, read in place, and the result may be written straight into the caller's.
template <VecFn F, class Tag>
void vector_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                   std::size_t n) {
  using T = typename Tag::T;
  const T* x = as<T>(a);
  T* out = as<T>(d);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    if constexpr (std::is_same_v<T, double>) {
      _mm_storeu_pd(out + i, F(_mm_loadu_pd(x + i)));
    } else {
      alignas(16) double wide[2];
      _mm_store_pd(wide, F(_mm_set_pd(x[i + 1], x[i])));
      out[i] = Tag::from_double(wide[0]);
      out[i + 1] = Tag::from_double(wide[1]);
    }
  }
  if (i < n) {
    // Each lane is computed from its own element alone, so the lone one is as in a pair.
    alignas(16) double wide[2];
    _mm_store_pd(wide, F(_mm_set1_pd(static_cast<double>(x[i]))));
    if constexpr (std::is_same_v<T, double>) {
      out[i] = wide[0];
    } else {
      out[i] = Tag::from_double(wide[0]);
    }
  }
}

template <class Tag, Builtin B>
typename Tag::T float_builtin(typename Tag::T x) {
  using T = typename Tag::T;
  if constexpr (B == Builtin::Sqrt) return Tag::round(std::sqrt(x));
  if constexpr (B == Builtin::Abs) return std::fabs(x);
  if constexpr (B == Builtin::Floor) return std::floor(x);
  if constexpr (B == Builtin::Ceil) return std::ceil(x);
  if constexpr (B == Builtin::Relu) return x > 0 ? x : T(0);
  return x;
}

template <class Tag, Builtin B>
void float_builtin_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                          std::size_t n) {
  using T = typename Tag::T;
  for (std::size_t i = 0; i < n; ++i) as<T>(d)[i] = float_builtin<Tag, B>(as<T>(a)[i]);
}

template <class F>
std::complex<F> complex_sigmoid(std::complex<F> z) {
  return complex_div(std::complex<F>(1, 0), std::complex<F>(1, 0) + std::exp(-z));
}

template <class Tag, Builtin B>
typename Tag::T complex_builtin(typename Tag::T z) {
  using T = typename Tag::T;
  if constexpr (B == Builtin::Exp) return std::exp(z);
  if constexpr (B == Builtin::Log) return std::log(z);
  if constexpr (B == Builtin::Sqrt) return complex_sqrt(z);
  if constexpr (B == Builtin::Sin) return std::sin(z);
  if constexpr (B == Builtin::Cos) return std::cos(z);
  if constexpr (B == Builtin::Tanh) return std::tanh(z);
  if constexpr (B == Builtin::Abs) return T(std::abs(z), 0);
  if constexpr (B == Builtin::Sigmoid) return complex_sigmoid(z);
  if constexpr (B == Builtin::Softplus) return std::log(T(1, 0) + std::exp(z));
  if constexpr (B == Builtin::ExpSigmoid) return complex_sigmoid(std::exp(z));
  if constexpr (B == Builtin::SigmoidLog) return std::log(complex_sigmoid(z));
  return z;
}

template <class Tag, Builtin B>
void complex_builtin_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                            std::size_t n) {
  using T = typename Tag::T;
  for (std::size_t i = 0; i < n; ++i) as<T>(d)[i] = complex_builtin<Tag, B>(as<T>(a)[i]);
}

template <class Tag, Builtin B>
typename Tag::T int_builtin(typename Tag::T x) {
  using T = typename Tag::T;
  if constexpr (B == Builtin::Abs && is_signed_int<Tag>()) {
    return x < 0 ? neg_value<Tag>(x) : x;
  } else if constexpr (B == Builtin::Relu && is_signed_int<Tag>()) {
    return x > 0 ? x : T(0);
  } else {
    return x;  // abs and relu of unsigned and bool values, floor and ceil of any integer
  }
}

template <class Tag, Builtin B>
void int_builtin_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                        std::size_t n) {
  using T = typename Tag::T;
  for (std::size_t i = 0; i < n; ++i) as<T>(d)[i] = int_builtin<Tag, B>(as<T>(a)[i]);
}

template <class Tag>
OpFn baseline_float_builtin(Builtin b);

/// An operation of f16 or bf16 registers (floats): the f32 kernel `WideF32()` of the widest unit,
/// then the rounding of the block to the format. For `+ - * /` that is the correctly rounded
/// result; a builtin's f32 result is within an f32 ulp, 2^-13 of an f16 ulp, so the rounded one
/// stays within half an ulp and a hair, as the baseline kernel's does.
template <class Tag, OpFn (*WideF32)()>
void narrow_wide(std::byte* d, const std::byte* a, const std::byte* b, const std::byte* c,
                 std::size_t n) {
  static const OpFn wide = WideF32();
  wide(d, a, b, c, n);
  Tag::round_block(as<float>(d), n);
}
template <Builtin B>
OpFn wide_f32_builtin() {
  return wide_builtin_fn(B, true);
}
template <BinaryOp Op>
OpFn wide_f32_arith() {
  return wide_arith_fn(Op, true);
}

template <class Tag, std::size_t... I>
OpFn narrow_wide_builtin_of(Builtin b, std::index_sequence<I...>) {
  constexpr OpFn table[] = {&narrow_wide<Tag, &wide_f32_builtin<static_cast<Builtin>(I)>>...};
  return wide_builtin_fn(b, true) != nullptr ? table[static_cast<std::size_t>(b)] : nullptr;
}

template <class Tag>
OpFn float_builtin_lookup(Builtin b) {
  if constexpr (std::is_same_v<Tag, F32Tag> || std::is_same_v<Tag, F64Tag>) {
    if (OpFn wide = wide_builtin_fn(b, std::is_same_v<Tag, F32Tag>)) return wide;
  } else {
    if (OpFn narrow =
            narrow_wide_builtin_of<Tag>(b, std::make_index_sequence<vocab::kBuiltinCount>{}))
      return narrow;
  }
  return baseline_float_builtin<Tag>(b);
}

template <class Tag>
OpFn baseline_float_builtin(Builtin b) {
  switch (b) {
    case Builtin::Exp:
      return &vector_kernel<exp2x, Tag>;
    case Builtin::Log:
      return &vector_kernel<log2x, Tag>;
    case Builtin::Sin:
      return &vector_kernel<sin2x, Tag>;
    case Builtin::Cos:
      return &vector_kernel<cos2x, Tag>;
    case Builtin::Tanh:
      return &vector_kernel<tanh2x, Tag>;
    case Builtin::Sigmoid:
      if constexpr (std::is_same_v<Tag, F64Tag>) return &vector_kernel<sigmoid_f64_2x, Tag>;
      return &vector_kernel<sigmoid2x, Tag>;
    case Builtin::Softplus:
      if constexpr (std::is_same_v<Tag, F64Tag>) return &vector_kernel<softplus_f64_2x, Tag>;
      return &vector_kernel<softplus2x, Tag>;
    case Builtin::ExpSigmoid:
      if constexpr (std::is_same_v<Tag, F64Tag>) return &vector_kernel<exp_sigmoid_f64_2x, Tag>;
      return &vector_kernel<exp_sigmoid2x, Tag>;
    case Builtin::SigmoidLog:
      if constexpr (std::is_same_v<Tag, F64Tag>) return &vector_kernel<sigmoid_log_f64_2x, Tag>;
      return &vector_kernel<sigmoid_log2x, Tag>;
#define TARVELON_SCALAR(name) \
  case Builtin::name:         \
    return &float_builtin_kernel<Tag, Builtin::name>;
      TARVELON_SCALAR(Sqrt)
      TARVELON_SCALAR(Abs)
      TARVELON_SCALAR(Floor)
      TARVELON_SCALAR(Ceil)
      TARVELON_SCALAR(Relu)
#undef TARVELON_SCALAR
  }
  return nullptr;
}

template <class Tag>
OpFn complex_builtin_lookup(Builtin b) {
  switch (b) {
    case Builtin::Relu:
    case Builtin::Floor:
    case Builtin::Ceil:
      return nullptr;
#define TARVELON_COMPLEX(name) \
  case Builtin::name:          \
    return &complex_builtin_kernel<Tag, Builtin::name>;
      TARVELON_COMPLEX(Exp)
      TARVELON_COMPLEX(Log)
      TARVELON_COMPLEX(Sqrt)
      TARVELON_COMPLEX(Abs)
      TARVELON_COMPLEX(Sin)
      TARVELON_COMPLEX(Cos)
      TARVELON_COMPLEX(Tanh)
      TARVELON_COMPLEX(Sigmoid)
      TARVELON_COMPLEX(Softplus)
      TARVELON_COMPLEX(ExpSigmoid)
      TARVELON_COMPLEX(SigmoidLog)
#undef TARVELON_COMPLEX
  }
  return nullptr;
}

template <class Tag>
OpFn int_builtin_lookup(Builtin b) {
  switch (b) {
    case Builtin::Abs:
      return &int_builtin_kernel<Tag, Builtin::Abs>;
    case Builtin::Relu:
      return &int_builtin_kernel<Tag, Builtin::Relu>;
    case Builtin::Floor:
    case Builtin::Ceil:
      return &int_builtin_kernel<Tag, Builtin::Floor>;
    default:
      return nullptr;
  }
}

// ---- Casts, selects, loads and stores -------------------------------------------------------

template <class To, class From>
void cast_kernel(std::byte* d, const std::byte* a, const std::byte*, const std::byte*,
                 std::size_t n) {
  using S = typename From::T;
  using R = typename To::T;
  for (std::size_t i = 0; i < n; ++i) as<R>(d)[i] = cast_value<To, From>(as<S>(a)[i]);
}

template <class Tag>
void select_kernel(std::byte* d, const std::byte* c, const std::byte* a, const std::byte* b,
                   std::size_t n) {
  using T = typename Tag::T;
  // Both sides are read before choosing, so the choice is a blend rather than a branch that
  // mispredicts on mixed conditions.
  for (std::size_t i = 0; i < n; ++i) {
    const T x = as<T>(a)[i], y = as<T>(b)[i];
    as<T>(d)[i] = as<std::uint8_t>(c)[i] ? x : y;
  }
}

/// The type a value of the tag takes in storage, when it differs from the register's.
template <class Tag>
struct Stored {
  using T = typename Tag::T;
  /// Whether storage and register hold the same bytes, so a contiguous run is copied whole.
  static constexpr bool same = true;
  static T load(T v) { return v; }
  static T store(T v) { return v; }
};
template <>
struct Stored<BoolTag> {
  static constexpr bool same = false;
  using T = std::uint8_t;
  static std::uint8_t load(std::uint8_t v) { return v != 0; }
  static std::uint8_t store(std::uint8_t v) { return v; }
};
template <>
struct Stored<F16Tag> {
  static constexpr bool same = false;
  using T = std::uint16_t;
  static float load(std::uint16_t v) { return float_from_f16_bits(v); }
  static std::uint16_t store(float v) { return f16_bits_from_float(v); }
};
template <>
struct Stored<BF16Tag> {
  static constexpr bool same = false;
  using T = float;
  static float load(float v) { return round_to_bf16(v); }
  static float store(float v) { return v; }
};

/// Copies a block's bytes front to back, a cache line at a time. The library's copy picks a
/// backward loop when source and destination lie at the same offset in their pages, as an input
/// and a result allocated alike do, and reading memory backwards defeats the prefetcher.
void copy_forward(std::byte* d, const std::byte* s, std::size_t bytes) {
  constexpr std::size_t kLine = 64;
  std::size_t i = 0;
  for (; i + kLine <= bytes; i += kLine) __builtin_memcpy(d + i, s + i, kLine);
  if (i < bytes) std::memcpy(d + i, s + i, bytes - i);
}

template <class Tag>
void load_kernel(std::byte* d, const std::byte* src, std::ptrdiff_t stride, std::size_t n) {
  if constexpr (std::is_same_v<Tag, F16Tag>) {
    if (stride == 2 && reinterpret_cast<std::uintptr_t>(src) % 2 == 0) {
      return f16_block_from_bits(reinterpret_cast<const std::uint16_t*>(src), as<float>(d), n);
    }
    std::uint16_t bits[kMaxBlock];
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(&bits[i], src + static_cast<std::ptrdiff_t>(i) * stride, 2);
    }
    return f16_block_from_bits(bits, as<float>(d), n);
  }
  using S = typename Stored<Tag>::T;
  using T = typename Tag::T;
  if constexpr (Stored<Tag>::same) {
    if (stride == sizeof(S)) return copy_forward(d, src, n * sizeof(S));
  }
  for (std::size_t i = 0; i < n; ++i) {
    S v;
    std::memcpy(&v, src + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
    as<T>(d)[i] = Stored<Tag>::load(v);
  }
}

template <class Tag>
void store_kernel(std::byte* d, std::ptrdiff_t stride, const std::byte* src, std::size_t n) {
  if constexpr (std::is_same_v<Tag, F16Tag>) {
    if (stride == 2 && reinterpret_cast<std::uintptr_t>(d) % 2 == 0) {
      return f16_block_to_bits(as<float>(src), reinterpret_cast<std::uint16_t*>(d), n);
    }
    std::uint16_t bits[kMaxBlock];
    f16_block_to_bits(as<float>(src), bits, n);
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(d + static_cast<std::ptrdiff_t>(i) * stride, &bits[i], 2);
    }
    return;
  }
  using S = typename Stored<Tag>::T;
  using T = typename Tag::T;
  // bf16 stores the float its register holds: only its loads differ from its register layout.
  if constexpr (Stored<Tag>::same || std::is_same_v<Tag, BF16Tag>) {
    // A parameter passed through to a result that is that very input is already in place.
    if (d == src) return;
    if (stride == sizeof(S)) return copy_forward(d, src, n * sizeof(S));
  }
  for (std::size_t i = 0; i < n; ++i) {
    const S v = Stored<Tag>::store(as<T>(src)[i]);
    std::memcpy(d + static_cast<std::ptrdiff_t>(i) * stride, &v, sizeof v);
  }
}

}  // namespace

std::size_t element_size(vocab::DType d) {
  return with_tag(d, [](auto tag) { return sizeof(typename decltype(tag)::T); });
}

OpFn neg_fn(vocab::DType d) {
  return with_tag(d, [](auto tag) -> OpFn { return &neg_kernel<decltype(tag)>; });
}

OpFn not_fn() { return &not_kernel; }

template <class Tag>
OpFn narrow_wide_arith_of(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add:
      return &narrow_wide<Tag, &wide_f32_arith<BinaryOp::Add>>;
    case BinaryOp::Sub:
      return &narrow_wide<Tag, &wide_f32_arith<BinaryOp::Sub>>;
    case BinaryOp::Mul:
      return &narrow_wide<Tag, &wide_f32_arith<BinaryOp::Mul>>;
    case BinaryOp::Div:
      return &narrow_wide<Tag, &wide_f32_arith<BinaryOp::Div>>;
    default:
      return nullptr;
  }
}

OpFn binary_fn(vocab::BinaryOp op, vocab::DType operands) {
  if (operands == vocab::dtypes::kF32 || operands == vocab::dtypes::kF64) {
    const bool single = operands == vocab::dtypes::kF32;
    if (OpFn wide = wide_arith_fn(op, single)) return wide;
    if (OpFn wide = wide_compare_fn(op, single)) return wide;
  }
  if (operands.kind == vocab::DTypeKind::Float && operands.bits == 16 &&
      wide_arith_fn(op, true) != nullptr) {
    if (OpFn narrow =
            operands.brain ? narrow_wide_arith_of<BF16Tag>(op) : narrow_wide_arith_of<F16Tag>(op))
      return narrow;
  }
  return with_tag(operands, [&](auto tag) {
    return binary_lookup<decltype(tag)>(op, std::make_index_sequence<vocab::kBinaryOpCount>{});
  });
}

CpuVectors cpu_vectors_allowed() {
  static const CpuVectors cap = [] {
    const char* text = std::getenv("TARVELON_CPU");
    const std::string_view want = text != nullptr ? text : "";
    if (want == "baseline") return CpuVectors::Baseline;
    if (want == "avx2") return CpuVectors::Avx2;
    return CpuVectors::Avx512;
  }();
  return cap;
}

CpuVectors cpu_vectors() {
  static const CpuVectors level = [] {
    __builtin_cpu_init();
    CpuVectors found = CpuVectors::Baseline;
    if (__builtin_cpu_supports("fma")) {
      if (__builtin_cpu_supports("avx512f")) {
        found = CpuVectors::Avx512;
      } else if (__builtin_cpu_supports("avx2")) {
        found = CpuVectors::Avx2;
      }
    }
    return std::min(found, cpu_vectors_allowed());
  }();
  return level;
}

/// The form of the widest unit the CPU has, for a lookup pair of the wide units.
template <class Key>
OpFn widest(OpFn (*avx2)(Key, bool), OpFn (*avx512)(Key, bool), Key key, bool single) {
  switch (cpu_vectors()) {
    case CpuVectors::Avx512:
      return avx512(key, single);
    case CpuVectors::Avx2:
      return avx2(key, single);
    case CpuVectors::Baseline:
      break;
  }
  return nullptr;
}

OpFn wide_builtin_fn(vocab::Builtin b, bool single) {
  return widest(&avx2_builtin_fn, &avx512_builtin_fn, b, single);
}

OpFn wide_builtin_times_fn(vocab::Builtin b, bool single) {
  return widest(&avx2_builtin_times_fn, &avx512_builtin_times_fn, b, single);
}

OpFn wide_arith_fn(vocab::BinaryOp op, bool single) {
  return widest(&avx2_arith_fn, &avx512_arith_fn, op, single);
}

OpFn wide_compare_fn(vocab::BinaryOp op, bool single) {
  return widest(&avx2_compare_fn, &avx512_compare_fn, op, single);
}

OpFn wide_select_fn(bool single) {
  switch (cpu_vectors()) {
    case CpuVectors::Avx512:
      return avx512_select_fn(single);
    case CpuVectors::Avx2:
      return avx2_select_fn(single);
    case CpuVectors::Baseline:
      break;
  }
  return nullptr;
}

OpFn baseline_builtin_fn(vocab::Builtin b, bool single) {
  return single ? baseline_float_builtin<F32Tag>(b) : baseline_float_builtin<F64Tag>(b);
}

OpFn builtin_fn(vocab::Builtin b, vocab::DType d) {
  return with_tag(d, [&](auto tag) -> OpFn {
    using Tag = decltype(tag);
    if constexpr (Tag::cat == Cat::Float) {
      return float_builtin_lookup<Tag>(b);
    } else if constexpr (Tag::cat == Cat::Complex) {
      return complex_builtin_lookup<Tag>(b);
    } else {
      return int_builtin_lookup<Tag>(b);
    }
  });
}

OpFn cast_fn(vocab::DType from, vocab::DType to) {
  return with_tag(from, [&](auto from_tag) {
    return with_tag(
        to, [](auto to_tag) -> OpFn { return &cast_kernel<decltype(to_tag), decltype(from_tag)>; });
  });
}

OpFn select_fn(vocab::DType d) {
  if (d == vocab::dtypes::kF32 || d == vocab::dtypes::kF64) {
    if (OpFn wide = wide_select_fn(d == vocab::dtypes::kF32)) return wide;
  }
  return with_tag(d, [](auto tag) -> OpFn { return &select_kernel<decltype(tag)>; });
}

LoadFn load_fn(vocab::DType d) {
  return with_tag(d, [](auto tag) -> LoadFn { return &load_kernel<decltype(tag)>; });
}

StoreFn store_fn(vocab::DType d) {
  return with_tag(d, [](auto tag) -> StoreFn { return &store_kernel<decltype(tag)>; });
}

void fill_constant(const ir::Literal& value, vocab::DType d, std::byte* block, std::size_t count) {
  with_tag(d, [&](auto tag) {
    using Tag = decltype(tag);
    using T = typename Tag::T;
    const T v = std::visit(
        [](const auto& x) -> T {
          using L = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<L, bool>) {
            return cast_value<Tag, BoolTag>(x);
          } else if constexpr (std::is_same_v<L, std::int64_t>) {
            return cast_value<Tag, IntTag<std::int64_t>>(x);
          } else if constexpr (std::is_same_v<L, double>) {
            return cast_value<Tag, F64Tag>(x);
          } else {
            return cast_value<Tag, C128Tag>(std::complex<double>(x.re, x.im));
          }
        },
        value);
    for (std::size_t i = 0; i < count; ++i) as<T>(block)[i] = v;
  });
}

}  // namespace tarvelon::eval::detail
