#!/usr/bin/env bash
# Builds the _tarvelon module and compiles every kernel in examples/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/install_deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target _tarvelon
PYTHONPATH="$build/python" /usr/bin/python3 "$root/examples/demo.py" "$root/examples"
