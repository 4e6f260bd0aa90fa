#!/usr/bin/env bash
# Assembles the compression-ratio corpus from files of installed Debian
# packages (unicode-data, miscfiles, wine32): text, a word list, x86 code.
# With "large" it grows to about 54 MB in the mix of the extraction benchmark's
# tree: C and C++ headers (concatenated into one file), 32-bit Windows
# programs and libraries, an x86-64 ELF program, noise, and repetitive data
# (a log, a short pattern, zeros).
# Usage: make_corpus.sh DIR [large]
set -euo pipefail
dir=${1:?usage: make_corpus.sh DIR [large]}
size=${2:-}
mkdir -p "$dir"
pick() {  # pick NAME CANDIDATE...: copies the first candidate that exists
  local name=$1
  shift
  for f in "$@"; do
    if [ -f "$f" ]; then
      cp "$f" "$dir/$name"
      return 0
    fi
  done
  echo "make_corpus: none of $* found (skipping $name)" >&2
}
pick UnicodeData.txt /usr/share/unicode/UnicodeData.txt
pick web2.txt /usr/share/dict/web2 /usr/share/dict/words
# A 32-bit Windows program (wine's own build, not its cabinet or setup code).
pick wordpad.exe /usr/lib/i386-linux-gnu/wine/i386-windows/wordpad.exe \
  /usr/lib/wine/i386-windows/wordpad.exe
if [ "$size" = large ]; then
  # Wine's programs and user-interface libraries only: none of its cabinet,
  # setup or extraction code.
  for f in notepad.exe regedit.exe winemine.exe winefile.exe comctl32.dll gdi32.dll user32.dll; do
    pick "$f" "/usr/lib/i386-linux-gnu/wine/i386-windows/$f" "/usr/lib/wine/i386-windows/$f"
  done
  pick cmake.elf /usr/bin/cmake
  # 12 MB of headers in a fixed order (head ends the pipe early).
  { find /usr/include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.tcc' \) -size -1000k -print0 |
    LC_ALL=C sort -z | xargs -0 cat 2>/dev/null | head -c 12000000 >"$dir/include.txt"; } || true
  python3 - "$dir" <<'PY'
import random, sys
d = sys.argv[1]
rng = random.Random(20261208)
open(f"{d}/noise.bin", "wb").write(rng.randbytes(6 << 20))
log = b"".join(b"2026-12-08 07:%02d:%02d INFO worker %d: copied block %d of 3200 (ok)\r\n"
               % (i // 60 % 60, i % 60, i % 4, i) for i in range(40000))
open(f"{d}/service.log", "wb").write(log[: 5 << 19])
open(f"{d}/pattern.dat", "wb").write((b"CABSFX\x00\x01" * (1 << 17))[: 5 << 18])
open(f"{d}/zeros.img", "wb").write(bytes(5 << 18))
PY
fi
ls -l "$dir"
