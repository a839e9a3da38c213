#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
#   tools/install_deps.sh         g++ 12 with libstdc++
#   tools/install_deps.sh clang   also clang 16 with libc++ and the fuzzer runtime
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev python3-dev python3-pytest
          python3-hypothesis python3-numpy unicode-data python3-pip python3-venv
          python3-setuptools python3-wheel python3-mypy libsleef-dev libmpfr-dev
          python3-dask python3-distributed python3-xarray)
if [ "${1:-}" = "clang" ]; then
  packages+=(clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
