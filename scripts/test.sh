#!/usr/bin/env bash
# Runs every test: host unit tests (ASan + UBSan), fuzz smoke runs, the
# Windows-side tests and the end-to-end tests under Wine. Builds from scratch
# in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
rm -rf build/host build/fuzz build/win32

echo "== host build (AddressSanitizer, UBSan)"
cmake -S . -B build/host -G Ninja -DCABSFX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/host -j "$jobs"
echo "== host unit tests"
(cd build/host && ctest --output-on-failure -j "$jobs")

if ls tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  echo "== fuzz smoke runs"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCABSFX_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/fuzz -j "$jobs" --target fuzzers
  bash tests/fuzz/smoke.sh build/fuzz "${FUZZ_SECONDS:-30}"
fi

echo "== win32 build"
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32 -j "$jobs"

echo "== Windows-side and end-to-end tests under Wine"
source tests/e2e/wineenv.sh
if wineenv_runs_32bit || [[ "${CABSFX_VM:-1}" = 0 ]]; then
  bash tests/e2e/run.sh build
else
  # run.sh alone would skip everything that needs Wine here.
  echo "test: this machine does not start 32-bit programs itself; the tests under Wine run in a" \
    "virtual machine (tests/e2e/vm.sh; CABSFX_VM=0 skips them instead)"
  bash tests/e2e/vm.sh build bash tests/e2e/run.sh build
fi
