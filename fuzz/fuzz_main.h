#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "properties.h"

/// Defines the libFuzzer entry point over one check: a violation is printed and aborts, which
/// the fuzzer reports as a crash and saves the input.
#define TARVELON_FUZZ_TARGET(check)                                                   \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    std::string_view input(reinterpret_cast<const char*>(data), size);                \
    if (auto violation = check(input)) {                                              \
      std::fprintf(stderr, "property violated: %s\n", violation->c_str());            \
      std::abort();                                                                   \
    }                                                                                 \
    return 0;                                                                         \
  }
