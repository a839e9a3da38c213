#!/usr/bin/env bash
# Builds everything and runs every C++ and Python test.
#   tools/test.sh             optimised build in build/
#   tools/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/install_deps.sh"

if [ "${1:-}" = "--sanitize" ]; then
  build="$root/build-asan"
  flags=(-DTARVELON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  build="$root/build"
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 "${flags[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure
