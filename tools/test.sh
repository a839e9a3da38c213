#!/usr/bin/env bash
# Builds everything and runs every C++ and Python test.
#   tools/test.sh             g++ 12 + libstdc++, optimised build in build/
#   tools/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   tools/test.sh --clang     clang 16 + libc++ in build-clang/, running the C++ tests (the
#                             Python tests include checks of the shipped module's behaviour
#                             when memory runs out, which depend on libstdc++'s runtime)
#   tools/test.sh --tsan      ThreadSanitizer build in build-tsan/, running the C++ tests that
#                             use threads (the others run one thread, and their million-deep
#                             recursion switches stacks in ways ThreadSanitizer cannot follow)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tests=()
case "${1:-}" in
  --sanitize)
    build="$root/build-asan"
    flags=(-DTARVELON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  --clang)
    build="$root/build-clang"
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-16
           -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DTARVELON_GTEST_FROM_SOURCE=ON -DTARVELON_BENCH=OFF)
    tests=(-R cpp_unit) ;;
  --tsan)
    build="$root/build-tsan"
    flags=(-DTARVELON_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELON_BENCH=OFF)
    tests=(-R cpp_threads) ;;
  "")
    build="$root/build"
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *)
    echo "usage: tools/test.sh [--sanitize | --clang | --tsan]" >&2
    exit 2 ;;
esac
if [ "${1:-}" = "--clang" ]; then
  bash "$root/tools/install_deps.sh" clang
else
  bash "$root/tools/install_deps.sh"
fi
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 "${flags[@]}" >/dev/null
cmake --build "$build"
# The C++ suite and the Python suite share nothing but the build, so they run side by side.
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "${tests[@]}"
