#!/usr/bin/env bash
# Runs one libFuzzer target under AddressSanitizer + UndefinedBehaviorSanitizer.
#   tools/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is a file fuzz/TARGET_fuzzer.cpp (kernel, pattern, simplify). The run starts from the
# seed corpus in fuzz/corpus/ and keeps what it learns in build-fuzz/corpus/TARGET; an
# input that breaks a property is saved as build-fuzz/findings/TARGET-* and the script fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ $# -lt 2 ]; then
  echo "usage: tools/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
if [ ! -f "$root/fuzz/${target}_fuzzer.cpp" ]; then
  echo "no fuzz target '$target' (fuzz/${target}_fuzzer.cpp)" >&2
  exit 2
fi
# Both entry points read kernels: they share one seed corpus and dictionary.
inputs=$target
[ "$target" = simplify ] && inputs=kernel
bash "$root/tools/install_deps.sh" clang
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELON_FUZZ=ON >/dev/null
cmake --build "$build" --target "${target}_fuzzer"
mkdir -p "$build/corpus/$target" "$build/findings"
# Inputs of a few KB reach every construct; larger ones only slow the search down. One input
# runs the optimizer up to four times, each within its 5-second limit, and the timeout is on the
# wall clock of a shared machine: a hang is a minute past all of that.
exec "$build/${target}_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=120 -rss_limit_mb=2048 \
     -dict="$root/fuzz/$inputs.dict" -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
     "$@" "$build/corpus/$target" "$root/fuzz/corpus/$inputs"
