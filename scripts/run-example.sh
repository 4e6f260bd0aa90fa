#!/usr/bin/env bash
# The main job: builds the module and cabsfx-tool (Release) into build/, packs
# examples/ into build/example/example.exe, runs it under Wine in a private
# Xvfb (OK on the destination dialog, yes to questions), saves a picture of
# each window to build/pictures/example/ and prints where the files went.
# CABSFX_BUILD_DIR chooses another build folder than build/. On a machine that
# starts no 32-bit programs, the package runs in a virtual machine
# (tests/e2e/vm.sh), which runs this script with --run-only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
b=${CABSFX_BUILD_DIR:-build}
python=/usr/bin/python3
[[ -x $python ]] || python=python3
package=$b/example/example.exe

run_package() {
  source tests/e2e/wineenv.sh
  wineenv_start "$b" win64
  export CABSFX_BUILD=$root/$b
  pictures=$root/$b/pictures/example
  rm -rf "$pictures"
  mkdir -p "$pictures"
  "$python" tests/e2e/example.py "$root/$package" "$pictures" "$root/examples"
  echo "pictures: $pictures"
}
if [[ "${1:-}" = --run-only ]]; then
  run_package
  exit
fi

bash scripts/setup.sh

jobs=$(nproc)
((jobs > 2)) && jobs=2

echo "== host build (Release)"
cmake -S . -B "$b/host" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCABSFX_SANITIZE=OFF >/dev/null
tool=$b/host/tools/cabsfx-tool
if ninja -C "$b/host" -t targets all 2>/dev/null | grep -q '^cabsfx-tool:'; then
  cmake --build "$b/host" --target cabsfx-tool -j "$jobs"
else
  echo "run-example: cabsfx-tool is not part of the build yet"
fi

echo "== win32 build (Release)"
cmake -S . -B "$b/win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$b/win32" --target cabsfx uidriver -j "$jobs"
stub=$b/win32/cabsfx.exe

echo "== packing examples/"
out=$b/example
rm -rf "$out"
mkdir -p "$out"
if [[ -x "$tool" ]]; then
  "$tool" pack --stub "$stub" -o "$package" examples/
else
  # Until the tool exists: the test bench's writer (one stored folder).
  echo "run-example: $tool is missing; packing with the test bench's stored-cabinet writer"
  "$python" - "$stub" "$package" examples <<'EOF'
import os, sys
sys.path.insert(0, "tests/e2e")
from package import CabFile, cabinet, header_block, write_package
stub, out, tree = sys.argv[1:]
files = []
for folder, _, names in sorted(os.walk(tree)):
    for name in sorted(names):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            files.append(CabFile(os.path.relpath(path, tree).replace("/", "\\"), f.read()))
write_package(out, stub, header=header_block(open_folder=0), cab=cabinet(files))
EOF
fi
ls -l "$package"

echo "== running the package under Wine"
source tests/e2e/wineenv.sh
if wineenv_runs_32bit; then
  run_package
elif [[ "${CABSFX_VM:-1}" = 0 ]]; then
  echo "run-example: $WINEENV_NO_32BIT; the package is built, but not run" >&2
  exit 1
else
  echo "run-example: this machine does not start 32-bit programs itself; the package runs in a" \
    "virtual machine (tests/e2e/vm.sh; CABSFX_VM=0 stops after packing instead)"
  bash tests/e2e/vm.sh "$b" env CABSFX_BUILD_DIR="$b" bash scripts/run-example.sh --run-only
fi
