#!/usr/bin/env bash
# Regenerates the README's pictures of the package's windows: builds the
# module and the tool (Release) into build/ (CABSFX_BUILD_DIR chooses another
# folder), packs examples/ with 1 MiB of noise and then 4000 small files (so
# that the progress window stays up long enough for its picture, its bar
# about half way), runs the package under Wine in
# English and Japanese and writes small PNGs to docs/pictures/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
b=${CABSFX_BUILD_DIR:-build}
bash scripts/setup.sh

cmake -S . -B "$b/host" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCABSFX_SANITIZE=OFF >/dev/null
cmake --build "$b/host" --target cabsfx-tool -j 2
cmake -S . -B "$b/win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$b/win32" --target cabsfx uidriver -j 2

work=$root/$b/readme-pictures
rm -rf "$work"
mkdir -p "$work/payload"
cp -r examples/. "$work/payload/"
python3 - "$work/payload/data" <<'EOF'
import os, random, sys
os.makedirs(sys.argv[1])
noise = random.Random(1)
with open(os.path.join(sys.argv[1], "archive.bin"), "wb") as f:
    f.write(noise.randbytes(1 << 20))
for i in range(4000):
    with open(os.path.join(sys.argv[1], f"page{i:04d}.txt"), "w") as f:
        f.write(noise.randbytes(1000).hex())
EOF
"$b/host/tools/cabsfx-tool" pack -q --stub "$b/win32/cabsfx.exe" -o "$work/setup.exe" \
  "$work/payload"

source tests/e2e/wineenv.sh
wineenv_start "$b" win64
export CABSFX_BUILD=$root/$b
python3 tests/e2e/readme_pictures.py "$work/setup.exe" "$work/shots"

# Palette PNGs without metadata: a few KiB each.
mkdir -p docs/pictures
for shot in "$work"/shots/*.png; do
  convert "$shot" -strip -colors 64 "PNG8:docs/pictures/$(basename "$shot")"
done
ls -l docs/pictures
