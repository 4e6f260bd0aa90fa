#!/usr/bin/env bash
# Assembles the compression-ratio corpus from files of installed Debian
# packages (unicode-data, miscfiles, wine32): text, a word list, x86 code.
# Usage: make_corpus.sh DIR
set -euo pipefail
dir=${1:?usage: make_corpus.sh DIR}
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
ls -l "$dir"
