#!/usr/bin/env bash
# Wall time of extracting one MSZIP package with the module under Wine (in
# Xvfb, progress window and worker thread included) against the platform's
# floor, `cabsfx-tool extract` of the same package natively and the Windows
# build of the tool under Wine, all in one run.
#
#   tests/bench/extract_wine.sh [BUILD] [win64|win32]
#
# BUILD (default build) must hold win32/cabsfx.exe, win32/tests/bench/
# extract_floor.exe and host/tools/cabsfx-tool:
#   cmake -S . -B BUILD/host -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build BUILD/host --target cabsfx-tool
#   cmake -S . -B BUILD/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#   cmake --build BUILD/win32 --target cabsfx extract_floor cabsfx-tool
# Without BUILD/win32/tools/cabsfx-tool.exe the Windows tool's row is left out.
#
# The input is a 100 MiB tree picked in sorted order from this machine: text
# (word lists, headers, docs, man pages), programs and libraries, seeded random
# bytes and highly repetitive data. The package has no dialog, no questions, no
# folder to open and no setup, so the module's exit means the extraction is
# done. The floor (extract_floor.exe) is a console program that makes the same
# folders and files, in the package's order, with the same bytes and dates,
# calling only CreateDirectoryA per folder and CreateFileA, one WriteFile,
# SetFileTime and CloseHandle per file: what Wine costs any program that
# extracts this tree. It reads the bytes from a blob made beforehand (one read
# inside its run). Each side runs BENCH_RUNS times (default 5; outputs moved
# aside and the disk synced between runs, the sides interleaved); the medians
# count and every output must equal the input (diff -r). Wine's fixed cost
# (process start-up, progress window, worker) is the median run of a package
# that holds one small file; the ratio to the native tool is given with and
# without it. A package of the same bytes as one file splits the cost into a
# part per byte and a part per file. The wineserver's CPU time is shown beside
# each program's own: most file operations are requests to that server.
#
# Set BENCH_MIB to change the size (default 100). BENCH_BASELINE=STUB adds
# a row for the same tree packed with another build of the module (e.g. the
# main branch's cabsfx.exe), timed in the same runs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
arch=${2:-win64}
mib=${BENCH_MIB:-100}
baseline=${BENCH_BASELINE:-}
runs=${BENCH_RUNS:-5}
[[ "$build" = /* ]] || build=$root/$build
stub=$build/win32/cabsfx.exe
tool=$build/host/tools/cabsfx-tool
floor=$build/win32/tests/bench/extract_floor.exe
for f in "$stub" "$tool" "$floor"; do
  if [[ ! -x "$f" ]]; then
    echo "extract_wine.sh: missing $f; build it first (see the top of this script)" >&2
    exit 2
  fi
done
for cmd in Xvfb wine wineserver bc python3 diff; do
  command -v "$cmd" >/dev/null || { echo "extract_wine.sh: $cmd not found" >&2; exit 2; }
done

# The prefix lives apart from BUILD/wine so that an e2e run in the same build
# directory is not disturbed.
source "$root/tests/e2e/wineenv.sh"
wineenv_bench_start extract_wine.sh "$build/bench-wine" "$arch"
prefix=$CABSFX_WINE_ROOT/$arch
# Packages and the Wine outputs sit on the prefix's C: drive; the native output
# on the same file system.
drive=$WINEENV_DRIVE
work=$WINEENV_WORK
tree=$work/tree

echo "== input tree ($mib MiB)"
python3 - "$tree" "$mib" <<'EOF'
import os, random, re, shutil, sys

tree, mib = sys.argv[1], int(sys.argv[2])
total = mib << 20
MiB = 1 << 20
# (folder in the tree, source folder, share of the total, largest file taken)
sources = [
    ("text/dict", "/usr/share/dict", 0.03, 4 * MiB),
    ("text/include", "/usr/include", 0.14, 1 * MiB),
    ("text/doc", "/usr/share/doc", 0.08, 1 * MiB),
    ("text/man", "/usr/share/man", 0.05, 1 * MiB),
    ("bin/bin", "/usr/bin", 0.22, 8 * MiB),
    ("bin/lib", "/usr/lib", 0.23, 8 * MiB),
]
random_share, repetitive_share = 0.15, 0.10

# Names every Windows file system takes: plain characters, no device names,
# short enough for MAX_PATH under the destination, and no two paths that
# differ only in case.
plain = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]*$")
devices = {"con", "prn", "aux", "nul"} | {f"{d}{i}" for d in ("com", "lpt") for i in range(1, 10)}
seen = {}

def acceptable(rel):
    if len(rel) > 120:
        return False
    parts = rel.split("/")
    for p in parts:
        if not plain.match(p) or p.endswith(".") or p.split(".")[0].lower() in devices:
            return False
    for i in range(1, len(parts) + 1):
        prefix = "/".join(parts[:i])
        if seen.get(prefix.lower(), prefix) != prefix:
            return False
    return True

def take(rel):
    parts = rel.split("/")
    for i in range(1, len(parts) + 1):
        prefix = "/".join(parts[:i])
        seen[prefix.lower()] = prefix

used = 0
count = 0
for folder, source, share, largest in sources:
    budget = int(total * share)
    taken = 0
    for top, dirs, files in os.walk(source):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(top, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            size = os.path.getsize(path)
            if size > largest or taken + size > budget:
                continue
            rel = folder + "/" + os.path.relpath(path, source)
            if not acceptable(rel):
                continue
            try:
                os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
                shutil.copyfile(path, os.path.join(tree, rel))
            except OSError:
                continue
            take(rel)
            taken += size
            count += 1
        if taken >= budget - 4096:
            break
    used += taken

def write(rel, data):
    global used, count
    os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
    with open(os.path.join(tree, rel), "wb") as f:
        f.write(data)
    used += len(data)
    count += 1

rng = random.Random(20261208)
left = int(total * random_share)
index = 0
while left > 0:
    size = min(left, rng.choice([4096, 65536, 300000, 1 << 20, 3 << 20]))
    write(f"random/noise{index:03d}.bin", rng.randbytes(size))
    left -= size
    index += 1

# Repetitive data: a log whose lines differ in a counter, a table of zeros,
# and one short pattern over and over; the rest of the 100 MiB is zeros.
log = b"".join(b"2026-12-08 07:%02d:%02d INFO worker %d: copied block %d of 3200 (ok)\r\n"
               % (i // 60 % 60, i % 60, i % 4, i) for i in range(60000))
rep = int(total * repetitive_share)
write("repetitive/service.log", log[: rep // 2])
write("repetitive/pattern.dat", (b"CABSFX\x00\x01" * (rep // 32 + 1))[: rep // 4])
write("repetitive/zeros.img", bytes(total - used))
print(f"{count} files, {used} bytes")
EOF

win_path() { echo "C:${1#"$prefix/drive_c"}" | tr / '\\'; }
# The same bytes as one file: the difference to the tree is the cost per file.
mkdir -p "$work/tiny" "$work/one"
find "$tree" -type f -print0 | sort -z | xargs -0 cat >"$work/one/all.bin"
echo "one small file" >"$work/tiny/readme.txt"
echo "== packing (MSZIP)"
"$tool" pack --stub "$stub" -o "$drive/pkg.exe" --compress mszip --no-dialog --no-confirm \
  --no-open-folder --destination "$(win_path "$drive/out")" "$tree" >/dev/null
"$tool" pack --stub "$stub" -o "$drive/tiny.exe" --compress mszip --no-dialog --no-confirm \
  --no-open-folder --destination "$(win_path "$drive/tiny-out")" "$work/tiny" >/dev/null
"$tool" pack --stub "$stub" -o "$drive/one.exe" --compress mszip --no-dialog --no-confirm \
  --no-open-folder --destination "$(win_path "$drive/out")" "$work/one" >/dev/null
if [[ -n "$baseline" ]]; then
  "$tool" pack --stub "$baseline" -o "$drive/base.exe" --compress mszip --no-dialog --no-confirm \
    --no-open-folder --destination "$(win_path "$drive/base-out")" "$tree" >/dev/null
fi
pkg_size=$(stat -c %s "$drive/pkg.exe")
files=$(find "$tree" -type f | wc -l)
# The floor's index and blob, in the order of the package's own listing.
"$tool" list --json "$drive/pkg.exe" >"$work/listing.json"
python3 "$here/floor_index.py" "$work/listing.json" "$tree" "$drive/floor.idx" "$drive/floor.bin"
# The floor is a console program (Wine gives it a console host): its own
# start-up is timed with an empty index.
: >"$drive/empty.idx"
: >"$drive/empty.bin"

# The wineserver of this prefix is the one whose working folder is the
# prefix's server folder, named after the device and inode of the prefix
# (under /tmp/.wine-UID, or a private /tmp/wine-XXXXXX in Debian's build).
server_pid() {
  local name p
  name=server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")
  for p in /proc/[0-9]*; do
    [[ "$(readlink "$p/cwd" 2>/dev/null)" == */"$name" ]] || continue
    [[ "$(cat "$p/comm" 2>/dev/null)" == wineserver* ]] && { echo "${p#/proc/}"; return 0; }
  done
  return 1
}
server_ticks() {  # utime + stime of the wineserver, in clock ticks
  [[ -n "$server" ]] && awk '{print $14 + $15}' "/proc/$server/stat" 2>/dev/null || echo 0
}
server=$(server_pid || true)
[[ -n "$server" ]] || echo "(wineserver not found: its CPU time is not shown)"
hz=$(getconf CLK_TCK)

# One timed run: prints "wall user+sys server" in seconds.
timed() {
  local t0 t1 before after status=0
  sync
  before=$(server_ticks)
  t0=$(date +%s.%N)
  /usr/bin/time -o "$work/time" -f '%U %S' "$@" >/dev/null 2>&1 || status=$?
  t1=$(date +%s.%N)
  after=$(server_ticks)
  ((status == 0)) || { echo "extract_wine.sh: '$*' failed ($status)" >&2; return 1; }
  echo "$(echo "$t1 - $t0" | bc -l) $(tail -1 "$work/time" | awk '{print $1 + $2}') $(echo "($after - $before) / $hz" | bc -l)"
}
run_wine() {  # run_wine EXE [ARGUMENTS...]
  local exe=$1
  shift
  timed env WINEPREFIX="$prefix" timeout -k 5 600 wine "$(win_path "$exe")" "$@"
}

# Outputs are moved aside, not deleted, between runs: ext4 passes over inodes
# freed in the last half minute when it allocates new ones, so deleting one
# run's 4480 files would slow the next run's file creation (by about a second
# per run here, growing from run to run). They are deleted with the work folder.
retired=$work/retired
mkdir -p "$retired"
retire() {
  local d
  for d in "$@"; do
    [[ -e "$d" ]] || continue
    mv "$d" "$retired/$(date +%s%N)-$(basename "$d")"
  done
}

# The Windows build of cabsfx-tool, when there is one, extracts the same
# package under Wine: the module's cost beyond it is what its window, worker
# thread and messages add, apart from what Wine costs any program.
wtool=$build/win32/tools/cabsfx-tool.exe
if [[ -f "$wtool" ]]; then
  cp "$wtool" "$drive/cabsfx-tool.exe"
else
  wtool=""
fi

cp "$floor" "$drive/extract_floor.exe"

# Each side's runs, as space-separated lists of wall, CPU and server seconds.
declare -A wall cpu srv
record() {  # record SIDE "wall cpu server"
  local a b c
  read -r a b c <<<"$2"
  wall[$1]+="$a " cpu[$1]+="$b " srv[$1]+="$c "
}
last() { local w=(${wall[$1]}); echo "${w[-1]}"; }
median() { printf '%s\n' $1 | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
same_tree() {  # same_tree SIDE FOLDER RUN
  diff -r "$tree" "$2" >/dev/null || { echo "$1 run $3: output differs from the input" >&2; exit 1; }
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== $runs runs (load average $load_before)"
for ((i = 1; i <= runs; i++)); do
  retire "$drive/out" "$drive/tiny-out" "$work/native" "$drive/tool-out" "$drive/floor-out" \
    "$drive/base-out"
  r=$(run_wine "$drive/pkg.exe") || exit 1
  record module "$r"
  same_tree module "$drive/out" "$i"
  if [[ -n "$baseline" ]]; then
    r=$(run_wine "$drive/base.exe") || exit 1
    record base "$r"
    same_tree baseline "$drive/base-out" "$i"
  fi
  mkdir -p "$drive/floor-out"
  r=$(run_wine "$drive/extract_floor.exe" "$(win_path "$drive/floor.idx")" \
    "$(win_path "$drive/floor.bin")" "$(win_path "$drive/floor-out")") || exit 1
  record floor "$r"
  same_tree floor "$drive/floor-out" "$i"
  r=$(run_wine "$drive/extract_floor.exe" "$(win_path "$drive/empty.idx")" \
    "$(win_path "$drive/empty.bin")" "$(win_path "$drive/floor-out")") || exit 1
  record floor_start "$r"
  r=$(timed "$tool" extract -d "$work/native" "$drive/pkg.exe") || exit 1
  record native "$r"
  same_tree native "$work/native" "$i"
  if [[ -n "$wtool" ]]; then
    r=$(run_wine "$drive/cabsfx-tool.exe" extract -d "$(win_path "$drive/tool-out")" \
      "$(win_path "$drive/pkg.exe")") || exit 1
    record wtool "$r"
    same_tree cabsfx-tool.exe "$drive/tool-out" "$i"
  fi
  r=$(run_wine "$drive/tiny.exe") || exit 1
  record tiny "$r"
  cmp -s "$work/tiny/readme.txt" "$drive/tiny-out/readme.txt" || { echo "tiny package run $i failed" >&2; exit 1; }
  retire "$drive/out" "$work/native"
  r=$(run_wine "$drive/one.exe") || exit 1
  record one "$r"
  cmp -s "$work/one/all.bin" "$drive/out/all.bin" || { echo "one-file package run $i failed" >&2; exit 1; }
  r=$(timed "$tool" extract -d "$work/native" "$drive/one.exe") || exit 1
  record one_native "$r"
  cmp -s "$work/one/all.bin" "$work/native/all.bin" || { echo "native one-file run $i failed" >&2; exit 1; }
  printf '  run %d: module %.2f s, floor %.2f s, native %.2f s, start-up %.2f s\n' "$i" \
    "$(last module)" "$(last floor)" "$(last native)" "$(last tiny)"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

row() {  # row SIDE LABEL: medians and every run's wall time
  local server=-
  [[ $1 == native || $1 == one_native ]] || server=$(printf '%.2f' "$(median "${srv[$1]}")")
  printf '%-34s %7.2f %7.2f %7s  %s\n' "$2" "$(median "${wall[$1]}")" "$(median "${cpu[$1]}")" \
    "$server" "$(printf '%.2f/' ${wall[$1]} | sed 's,/$,,')"
}
ratio() { echo "$(median "${wall[$1]}") / $(median "${wall[$2]}")" | bc -l; }

module=$(median "${wall[module]}")
native=$(median "${wall[native]}")
start=$(median "${wall[tiny]}")
echo
printf 'package: %s bytes (%d MiB in %d files, MSZIP, %d blocks of 32 KiB), prefix %s, %s\n' \
  "$pkg_size" "$mib" "$files" $((mib * 32)) "$arch" "$(wine --version)"
printf '%-34s %7s %7s %7s  %s\n' "median of $runs" "wall s" "cpu s" "server" "runs (wall s)"
row module "module under Wine"
[[ -z "$baseline" ]] || row base "baseline module under Wine"
row floor "floor under Wine"
row native "cabsfx-tool extract (native)"
[[ -z "$wtool" ]] || row wtool "cabsfx-tool.exe under Wine"
row tiny "Wine start-up (one-file package)"
row floor_start "floor start-up (empty index)"
row one "same bytes as one file: module"
row one_native "same bytes as one file: native"
echo
floor_start=$(median "${wall[floor_start]}")
printf 'module / floor: %.2f raw (goal: within 1.25), %.2f without each one'"'"'s start-up\n' \
  "$(ratio module floor)" \
  "$(echo "($module - $start) / ($(median "${wall[floor]}") - $floor_start)" | bc -l)"
[[ -z "$baseline" ]] ||
  printf 'baseline / floor: %.2f; module / baseline: %.2f\n' "$(ratio base floor)" "$(ratio module base)"
printf 'floor / native: %.2f; module / native: %.2f raw, %.2f without the start-up\n' \
  "$(ratio floor native)" "$(ratio module native)" "$(echo "($module - $start) / $native" | bc -l)"
if [[ -n "$wtool" ]]; then
  printf 'cabsfx-tool.exe under Wine / floor: %.2f; module / cabsfx-tool.exe: %.2f\n' \
    "$(ratio wtool floor)" "$(ratio module wtool)"
fi
one=$(median "${wall[one]}")
printf 'one-file package: module / native %.2f raw, %.2f without the start-up\n' \
  "$(ratio one one_native)" "$(echo "($one - $start) / $(median "${wall[one_native]}")" | bc -l)"
printf 'cost per file (tree minus one file, over %d files): module %.3f ms, native %.3f ms\n' \
  "$files" "$(echo "($module - $one) * 1000 / $files" | bc -l)" \
  "$(echo "($native - $(median "${wall[one_native]}")) * 1000 / $files" | bc -l)"
printf 'CPU time with the wineserver: module %.2f s, floor %.2f s, native %.2f s\n' \
  "$(echo "$(median "${cpu[module]}") + $(median "${srv[module]}")" | bc -l)" \
  "$(echo "$(median "${cpu[floor]}") + $(median "${srv[floor]}")" | bc -l)" "$(median "${cpu[native]}")"
printf 'load average before %s, after %s on %s cores (shared machine: wall times include waiting)\n' \
  "$load_before" "$load_after" "$(nproc)"
