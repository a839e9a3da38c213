// Results written past the caches hold the same bytes, and only those bytes, as results written
// through them, whatever the kernel, dtype, length and placement of the result.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "eval/program.h"
#include "eval_test_util.h"

namespace tarvelon::testing {
namespace {

using eval::kBlock;
using eval::Program;

/// Bytes of a pseudo-random pattern, the same for every run of the test.
std::vector<std::byte> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::byte> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::byte& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::byte>(x >> 24);
  }
  return bytes;
}

enum class Place { Aligned, OneElementIn, EveryOther, OverTheInput };

/// The output buffers, one after another, after running `p` over `n` elements of one input
/// pattern per parameter, each result placed as `place` says in a buffer otherwise filled with
/// 0xAB (the first result over the first input with Place::OverTheInput).
std::vector<std::byte> run(const Program& p, std::size_t n, Place place, bool stream) {
  std::vector<std::vector<std::byte>> inputs;
  std::vector<Program::In> in;
  for (std::size_t k = 0; k < p.params().size(); ++k) {
    const std::size_t size = eval::storage_size(p.params()[k]);
    inputs.push_back(pattern(n * size, static_cast<std::uint32_t>(k)));
    in.push_back({inputs.back().data(), static_cast<std::ptrdiff_t>(size)});
  }
  std::vector<std::vector<std::byte>> buffers;
  std::vector<Program::Out> out;
  std::vector<std::size_t> leads;
  for (std::size_t k = 0; k < p.results().size(); ++k) {
    const std::size_t size = eval::storage_size(p.results()[k]);
    std::vector<std::byte>& buffer = buffers.emplace_back(2 * n * size + 128, std::byte{0xAB});
    // Results start 64-byte aligned, or one element past that.
    const std::size_t lead = (64 - reinterpret_cast<std::uintptr_t>(buffer.data()) % 64) % 64;
    leads.push_back(lead);
    std::byte* at = buffer.data() + lead;
    std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(size);
    if (place == Place::OneElementIn) at += size;
    if (place == Place::EveryOther) stride *= 2;
    if (place == Place::OverTheInput && k == 0) {
      if (n > 0) std::memcpy(at, inputs[0].data(), n * size);
      in[0] = {at, stride};
    }
    out.push_back({at, stride});
  }
  Program::Workspace ws;
  p.run(in, out, n, ws, stream);
  std::vector<std::byte> all;
  for (std::size_t k = 0; k < buffers.size(); ++k) {
    all.insert(all.end(), buffers[k].begin() + static_cast<std::ptrdiff_t>(leads[k]),
               buffers[k].end() - 64 + static_cast<std::ptrdiff_t>(leads[k]));
  }
  return all;
}

TEST(EvalStream, StreamedResultsAreTheBytesCachedStoresWrite) {
  struct Case {
    const char* source;
    bool over_input;  // a result of its input's storage dtype, which may be written over it
  };
  const Case cases[] = {
      {"|x: f32| x", true},
      {"|x: f32| x + 1.0@f32", true},
      {"|x: f64| x * x - 3.0", true},
      {"|x: i8, y: i8| x * y + x", true},
      {"|x: u16| x * 3@u16 + x", true},
      {"|x: c64| x * x + 1.0@c64", true},
      {"|x: bf16| x + x", true},
      {"|x: f64| x@f32", false},
      // Registers wider than storage: stored into a block first, then streamed.
      {"|x: f16| x + x", true},
      {"|x: f16| x * 0.5@f16 - 3.0@f16", true},
      {"|x: f32| x > 0.0@f32", false},
      {"|x: u8, y: u8| x == y", true},
      // Never streamed: more than one result, or a function call.
      {"|x: i16| (x, x * 3@i16)", true},
      {"|x: f32| x * sigmoid(x)", true},
  };
  const std::size_t lengths[] = {0, 1, 3, kBlock, kBlock + 3, 5 * kBlock + 17};
  const Place places[] = {Place::Aligned, Place::OneElementIn, Place::EveryOther,
                          Place::OverTheInput};
  for (const Case& c : cases) {
    auto p = build_program(c.source);
    ASSERT_TRUE(p) << c.source << ": " << p.error().message;
    for (std::size_t n : lengths) {
      for (Place place : places) {
        if (place == Place::OverTheInput && !c.over_input) continue;
        EXPECT_EQ(run(*p, n, place, true), run(*p, n, place, false))
            << c.source << ", " << n << " elements, placement " << static_cast<int>(place);
      }
    }
  }
}

}  // namespace
}  // namespace tarvelon::testing
