#!/usr/bin/env bash
# Wall time of extracting one MSZIP package with the module under Wine (in
# Xvfb, progress window and worker thread included) against `cabsfx-tool
# extract` of the same package natively.
#
#   tests/bench/extract_wine.sh [BUILD] [win64|win32]
#
# BUILD (default build) must hold win32/cabsfx.exe and host/tools/cabsfx-tool:
#   cmake -S . -B BUILD/host -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build BUILD/host --target cabsfx-tool
#   cmake -S . -B BUILD/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#   cmake --build BUILD/win32 --target cabsfx
# With BUILD/win32/tools/cabsfx-tool.exe (target cabsfx-tool there) the Windows
# build of the tool extracts the package under Wine too.
#
# The input is a 100 MiB tree picked in sorted order from this machine: text
# (word lists, headers, docs, man pages), programs and libraries, seeded random
# bytes and highly repetitive data. The package has no dialog, no questions, no
# folder to open and no setup, so the module's exit means the extraction is
# done. Each side runs three times (outputs moved aside and the disk synced
# between runs, the sides interleaved); the medians count and both outputs must
# equal the input (diff -r). Wine's fixed cost (process start-up, progress
# window, worker) is the median run of a package that holds one small file; the
# ratio is given with and without it. A package of the same bytes as one file
# splits the cost into a part per byte and a part per file. The wineserver's
# CPU time is shown beside the module's own: most file operations of the module
# are requests to that server.
#
# Set BENCH_MIB to change the size (default 100).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
arch=${2:-win64}
mib=${BENCH_MIB:-100}
[[ "$build" = /* ]] || build=$root/$build
stub=$build/win32/cabsfx.exe
tool=$build/host/tools/cabsfx-tool
for f in "$stub" "$tool"; do
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
bench=$build/bench-wine
source "$root/tests/e2e/wineenv.sh"
work=""
cleanup() {
  wineenv_stop
  [[ -n "$work" ]] && rm -rf "$work"
  # The prefix (over a GiB of system files) is made afresh by every run.
  rm -rf "$bench/wine"
  return 0
}
mkdir -p "$bench"
wineenv_start "$bench" "$arch" || { echo "extract_wine.sh: no Wine environment" >&2; exit 2; }
trap cleanup EXIT
prefix=$CABSFX_WINE_ROOT/$arch
# Packages and the Wine outputs sit on the prefix's C: drive; the native output
# on the same file system.
drive=$prefix/drive_c/bench
rm -rf "$drive"
mkdir -p "$drive"
work=$(mktemp -d "$bench/work.XXXXXX")
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
pkg_size=$(stat -c %s "$drive/pkg.exe")
files=$(find "$tree" -type f | wc -l)

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

declare -a w_wall w_cpu w_srv n_wall n_cpu s_wall s_cpu s_srv o_wall o_cpu o_srv p_wall p_cpu
declare -a t_wall t_cpu t_srv
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== runs (load average $load_before)"
for i in 1 2 3; do
  retire "$drive/out" "$drive/tiny-out" "$work/native" "$drive/tool-out"
  r=$(run_wine "$drive/pkg.exe") || exit 1
  read -r a b c <<<"$r"
  w_wall+=("$a") w_cpu+=("$b") w_srv+=("$c")
  diff -r "$tree" "$drive/out" >/dev/null || { echo "Wine run $i: output differs from the input" >&2; exit 1; }
  r=$(timed "$tool" extract -d "$work/native" "$drive/pkg.exe") || exit 1
  read -r a b c <<<"$r"
  n_wall+=("$a") n_cpu+=("$b")
  diff -r "$tree" "$work/native" >/dev/null || { echo "native run $i: output differs from the input" >&2; exit 1; }
  if [[ -n "$wtool" ]]; then
    r=$(run_wine "$drive/cabsfx-tool.exe" extract -d "$(win_path "$drive/tool-out")" \
      "$(win_path "$drive/pkg.exe")") || exit 1
    read -r a b c <<<"$r"
    t_wall+=("$a") t_cpu+=("$b") t_srv+=("$c")
    diff -r "$tree" "$drive/tool-out" >/dev/null ||
      { echo "cabsfx-tool.exe run $i: output differs from the input" >&2; exit 1; }
  fi
  r=$(run_wine "$drive/tiny.exe") || exit 1
  read -r a b c <<<"$r"
  s_wall+=("$a") s_cpu+=("$b") s_srv+=("$c")
  cmp -s "$work/tiny/readme.txt" "$drive/tiny-out/readme.txt" || { echo "tiny package run $i failed" >&2; exit 1; }
  retire "$drive/out" "$work/native"
  r=$(run_wine "$drive/one.exe") || exit 1
  read -r a b c <<<"$r"
  o_wall+=("$a") o_cpu+=("$b") o_srv+=("$c")
  cmp -s "$work/one/all.bin" "$drive/out/all.bin" || { echo "one-file package run $i failed" >&2; exit 1; }
  r=$(timed "$tool" extract -d "$work/native" "$drive/one.exe") || exit 1
  read -r a b c <<<"$r"
  p_wall+=("$a") p_cpu+=("$b")
  cmp -s "$work/one/all.bin" "$work/native/all.bin" || { echo "native one-file run $i failed" >&2; exit 1; }
  printf '  run %d: wine %.2f s, native %.2f s, wine start-up %.2f s\n' "$i" "${w_wall[-1]}" "${n_wall[-1]}" "${s_wall[-1]}"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
wall=$(median "${w_wall[@]}")
native=$(median "${n_wall[@]}")
start=$(median "${s_wall[@]}")
ratio=$(echo "$wall / $native" | bc -l)
net=$(echo "($wall - $start) / $native" | bc -l)

echo
printf 'package: %s bytes (%d MiB in %d files, MSZIP, %d blocks of 32 KiB), prefix %s, %s\n' \
  "$pkg_size" "$mib" "$files" $((mib * 32)) "$arch" "$(wine --version)"
printf '%-32s %9s %9s %9s %11s\n' "median of 3" "wall s" "cpu s" "server s" "runs (wall)"
printf '%-32s %9.2f %9.2f %9.2f %11s\n' "module under Wine" "$wall" "$(median "${w_cpu[@]}")" \
  "$(median "${w_srv[@]}")" "$(printf '%.2f/' "${w_wall[@]}" | sed 's,/$,,')"
printf '%-32s %9.2f %9.2f %9s %11s\n' "cabsfx-tool extract (native)" "$native" "$(median "${n_cpu[@]}")" \
  "-" "$(printf '%.2f/' "${n_wall[@]}" | sed 's,/$,,')"
if [[ -n "$wtool" ]]; then
  printf '%-32s %9.2f %9.2f %9.2f %11s\n' "cabsfx-tool.exe under Wine" "$(median "${t_wall[@]}")" \
    "$(median "${t_cpu[@]}")" "$(median "${t_srv[@]}")" "$(printf '%.2f/' "${t_wall[@]}" | sed 's,/$,,')"
fi
printf '%-32s %9.2f %9.2f %9.2f %11s\n' "Wine start-up (one-file package)" "$start" \
  "$(median "${s_cpu[@]}")" "$(median "${s_srv[@]}")" "$(printf '%.2f/' "${s_wall[@]}" | sed 's,/$,,')"
printf '%-32s %9.2f %9.2f %9.2f %11s\n' "same bytes as one file: Wine" "$(median "${o_wall[@]}")" \
  "$(median "${o_cpu[@]}")" "$(median "${o_srv[@]}")" "$(printf '%.2f/' "${o_wall[@]}" | sed 's,/$,,')"
printf '%-32s %9.2f %9.2f %9s %11s\n' "same bytes as one file: native" "$(median "${p_wall[@]}")" \
  "$(median "${p_cpu[@]}")" "-" "$(printf '%.2f/' "${p_wall[@]}" | sed 's,/$,,')"
printf 'ratio wine/native: %.2f raw, %.2f without Wine start-up (goal: under 1.5)\n' "$ratio" "$net"
if [[ -n "$wtool" ]]; then
  printf 'module / cabsfx-tool.exe, both under Wine: %.2f (the window, worker and messages)\n' \
    "$(echo "$wall / $(median "${t_wall[@]}")" | bc -l)"
fi
one_w=$(median "${o_wall[@]}")
one_n=$(median "${p_wall[@]}")
printf 'one-file package: ratio %.2f raw, %.2f without Wine start-up\n' "$(echo "$one_w / $one_n" | bc -l)" \
  "$(echo "($one_w - $start) / $one_n" | bc -l)"
printf 'cost per file (tree minus one file, over %d files): Wine %.2f ms, native %.2f ms\n' "$files" \
  "$(echo "($wall - $one_w) * 1000 / $files" | bc -l)" "$(echo "($native - $one_n) * 1000 / $files" | bc -l)"
printf 'CPU time (module + wineserver) / native: %.2f\n' \
  "$(echo "($(median "${w_cpu[@]}") + $(median "${w_srv[@]}")) / $(median "${n_cpu[@]}")" | bc -l)"
printf 'load average before %s, after %s on %s cores (shared machine: wall times include waiting)\n' \
  "$load_before" "$load_after" "$(nproc)"
