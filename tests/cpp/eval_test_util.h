#pragma once
// Runs kernels through the typed evaluator one element at a time, with values written and read
// in each dtype's storage layout.

#include <gtest/gtest.h>

#include <bit>
#include <complex>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string_view>
#include <vector>

#include "api/pipeline.h"
#include "eval/float_format.h"
#include "eval/program.h"

namespace tarvelon::testing {

/// A scalar of any dtype, as a test writes it.
struct Val {
  enum class Kind { Int, UInt, Float, Complex } kind = Kind::Int;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double f = 0;
  std::complex<double> c;

  Val(int v) : kind(Kind::Int), i(v) {}                       // NOLINT: tables of literals
  Val(std::int64_t v) : kind(Kind::Int), i(v) {}              // NOLINT
  Val(std::uint64_t v) : kind(Kind::UInt), u(v) {}            // NOLINT
  Val(double v) : kind(Kind::Float), f(v) {}                  // NOLINT
  Val(std::complex<double> v) : kind(Kind::Complex), c(v) {}  // NOLINT

  /// Bit-exact: NaN equals NaN, and -0.0 differs from 0.0.
  friend bool operator==(const Val& a, const Val& b) {
    const auto same = [](double x, double y) {
      return (x != x && y != y) ||
             std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
    };
    if (a.kind != b.kind) {
      if (a.kind == Kind::Int && b.kind == Kind::UInt) return a.i >= 0 && std::uint64_t(a.i) == b.u;
      if (a.kind == Kind::UInt && b.kind == Kind::Int) return b == a;
      return false;
    }
    switch (a.kind) {
      case Kind::Int:
        return a.i == b.i;
      case Kind::UInt:
        return a.u == b.u;
      case Kind::Float:
        return same(a.f, b.f);
      case Kind::Complex:
        return same(a.c.real(), b.c.real()) && same(a.c.imag(), b.c.imag());
    }
    return false;
  }
  friend std::ostream& operator<<(std::ostream& os, const Val& v) {
    switch (v.kind) {
      case Kind::Int:
        return os << v.i;
      case Kind::UInt:
        return os << v.u << "u";
      case Kind::Float:
        return os << std::hexfloat << v.f << std::defaultfloat;
      case Kind::Complex:
        return os << std::hexfloat << v.c << std::defaultfloat;
    }
    return os;
  }
};

inline double as_double(const Val& v) {
  switch (v.kind) {
    case Val::Kind::Int:
      return static_cast<double>(v.i);
    case Val::Kind::UInt:
      return static_cast<double>(v.u);
    case Val::Kind::Float:
      return v.f;
    case Val::Kind::Complex:
      return v.c.real();
  }
  return 0;
}

template <class T>
void put(std::vector<std::byte>& out, T v) {
  out.resize(sizeof v);
  std::memcpy(out.data(), &v, sizeof v);
}

/// A test value in the storage layout of `d`. Float inputs must be values of the dtype.
inline std::vector<std::byte> to_storage(ir::DType d, const Val& v) {
  using ir::DTypeKind;
  std::vector<std::byte> out;
  const std::int64_t whole = v.kind == Val::Kind::UInt ? static_cast<std::int64_t>(v.u) : v.i;
  switch (d.kind) {
    case DTypeKind::Bool:
      put(out, static_cast<std::uint8_t>(v.kind == Val::Kind::Float ? v.f != 0 : whole != 0));
      break;
    case DTypeKind::UInt:
    case DTypeKind::Int:
      if (d.bits == 8) put(out, static_cast<std::uint8_t>(whole));
      if (d.bits == 16) put(out, static_cast<std::uint16_t>(whole));
      if (d.bits == 32) put(out, static_cast<std::uint32_t>(whole));
      if (d.bits == 64) put(out, static_cast<std::uint64_t>(whole));
      break;
    case DTypeKind::Float:
      if (d.bits == 16 && !d.brain) put(out, eval::f16_bits_from_float(float(as_double(v))));
      if (d.bits == 16 && d.brain) put(out, float(as_double(v)));
      if (d.bits == 32) put(out, float(as_double(v)));
      if (d.bits == 64) put(out, as_double(v));
      break;
    case DTypeKind::Complex: {
      const std::complex<double> c = v.kind == Val::Kind::Complex ? v.c : as_double(v);
      if (d.bits == 64) put(out, std::complex<float>(c));
      if (d.bits == 128) put(out, c);
      break;
    }
  }
  return out;
}

template <class T>
T get(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline Val from_storage(ir::DType d, const std::byte* p) {
  using ir::DTypeKind;
  switch (d.kind) {
    case DTypeKind::Bool:
      return Val(static_cast<int>(get<std::uint8_t>(p)));
    case DTypeKind::UInt:
      if (d.bits == 8) return Val(std::uint64_t{get<std::uint8_t>(p)});
      if (d.bits == 16) return Val(std::uint64_t{get<std::uint16_t>(p)});
      if (d.bits == 32) return Val(std::uint64_t{get<std::uint32_t>(p)});
      return Val(get<std::uint64_t>(p));
    case DTypeKind::Int:
      if (d.bits == 8) return Val(std::int64_t{get<std::int8_t>(p)});
      if (d.bits == 16) return Val(std::int64_t{get<std::int16_t>(p)});
      if (d.bits == 32) return Val(std::int64_t{get<std::int32_t>(p)});
      return Val(get<std::int64_t>(p));
    case DTypeKind::Float:
      if (d.bits == 16 && !d.brain)
        return Val(double(eval::float_from_f16_bits(get<std::uint16_t>(p))));
      if (d.bits == 64) return Val(get<double>(p));
      return Val(double(get<float>(p)));
    case DTypeKind::Complex:
      if (d.bits == 64) return Val(std::complex<double>(get<std::complex<float>>(p)));
      return Val(get<std::complex<double>>(p));
  }
  return Val(0);
}

/// The program of a kernel's source, lowered (or optimized) by the pipeline.
inline std::expected<eval::Program, eval::EvalError> build_program(std::string_view source,
                                                                   bool optimize = false) {
  auto dag = api::lowered_dag(source, optimize);
  if (!dag) return std::unexpected(eval::EvalError{"does not compile: " + dag.error().to_string()});
  return eval::Program::build(*dag);
}

/// The kernel's results for one element of arguments.
inline std::vector<Val> eval_all(const eval::Program& program, const std::vector<Val>& args) {
  std::vector<std::vector<std::byte>> in_bytes;
  std::vector<eval::Program::In> in;
  for (std::size_t k = 0; k < args.size() && k < program.params().size(); ++k) {
    in_bytes.push_back(to_storage(program.params()[k], args[k]));
  }
  for (const auto& b : in_bytes) in.push_back({b.data(), 0});
  std::vector<std::vector<std::byte>> out_bytes;
  std::vector<eval::Program::Out> out;
  for (ir::DType d : program.results()) out_bytes.emplace_back(eval::storage_size(d));
  for (auto& b : out_bytes) out.push_back({b.data(), 0});
  auto ws = program.make_workspace();
  program.run(in, out, 1, ws);
  std::vector<Val> results;
  for (std::size_t k = 0; k < out_bytes.size(); ++k) {
    results.push_back(from_storage(program.results()[k], out_bytes[k].data()));
  }
  return results;
}

/// The single result of a kernel, or a failed expectation naming the build error.
inline Val eval_one(std::string_view source, const std::vector<Val>& args, bool optimize = false) {
  auto program = build_program(source, optimize);
  if (!program) {
    ADD_FAILURE() << source << ": " << program.error().message;
    return Val(0);
  }
  return eval_all(*program, args).at(0);
}

}  // namespace tarvelon::testing
