#!/usr/bin/env bash
# Packing on several cores: `cabsfx-tool pack -j N` for N = 1, 2 (and the
# machine's core count when larger) with mszip and lzx:21, its speedup as a
# ratio to one job measured in the same run (medians of 3; MB/s and speedup
# from the critical path, which a machine shared with other work does not
# blur), with the outputs compared byte for byte; then what cutting the input into folders costs
# lzx:21 in size: --folder-size 4M, 8M, 16M (the default) and 32M against one
# folder for the whole tree.
#
#   bash tests/bench/pack_jobs.sh TOOL [MIB]
#
# TOOL is a natively built cabsfx-tool (a Release build is the one to time:
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
#   cmake --build build/release --target cabsfx-tool).
# The input is a MIB MiB tree (default 64) picked in sorted order from this
# machine: headers, documentation, programs and libraries, seeded noise and a
# repetitive log. Set BENCH_METHODS to change the methods timed.
set -euo pipefail
tool=${1:?usage: pack_jobs.sh TOOL [MIB]}
mib=${2:-64}
methods=(${BENCH_METHODS:-mszip lzx:21})
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
work=$(mktemp -d "${TMPDIR:-/tmp}/cabsfx-pack.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work/tree" "$mib" <<'EOF'
import os, random, re, shutil, sys

tree, mib = sys.argv[1], int(sys.argv[2])
total, used, count = mib << 20, 0, 0
# (folder in the tree, source, share of the total); files of at most 4 MiB.
for folder, source, share in [("include", "/usr/include", 0.30), ("doc", "/usr/share/doc", 0.15),
                              ("bin", "/usr/bin", 0.25), ("lib", "/usr/lib/x86_64-linux-gnu", 0.15)]:
    budget, taken = int(total * share), 0
    for top, dirs, files in os.walk(source):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(top, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            size = os.path.getsize(path)
            if size > 4 << 20 or taken + size > budget:
                continue
            # Numbered names in the walk's order: no two alike in case, none
            # that Windows refuses.
            safe = re.sub(r"[^A-Za-z0-9._-]", "_", name)[:60].rstrip(". ")
            target = os.path.join(tree, folder, f"{count:05d}-{safe}")
            try:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(path, target)
            except OSError:
                continue
            taken += size
            count += 1
    used += taken
rng = random.Random(20261208)
os.makedirs(os.path.join(tree, "misc"), exist_ok=True)
for name, data in [("noise.bin", rng.randbytes((total - used) * 2 // 3)),
                   ("service.log", b"".join(b"07:%02d:%02d worker %d copied block %d (ok)\n"
                                            % (i // 60 % 60, i % 60, i % 4, i)
                                            for i in range((total - used) // 90 + 1))[:(total - used) // 3])]:
    with open(os.path.join(tree, "misc", name), "wb") as f:
        f.write(data)
    used += len(data)
    count += 1
print(f"input: {count} files, {used} bytes")
EOF

here=$(cd "$(dirname "$0")" && pwd)
run_timed() {  # run_timed OUT COMMAND...: "wall cpu path" seconds of one run
  rm -f "$1"
  shift
  python3 "$here/thread_times.py" "$@"
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

cores=$(nproc)
jobs=(1 2)
((cores > 2)) && jobs+=("$cores")
input=$(du -sb "$work/tree" | cut -f1)
echo "cores: $cores"
# The machine may be shared: beside the wall time, the CPU seconds of all
# threads and the critical path (main thread plus busiest worker, see
# thread_times.py), whose ratio to one job's is the speedup on free cores.
printf '%-8s %4s %8s %8s %8s %8s %8s  %s\n' method jobs wall-s cpu-s path-s MB/s speedup output
for method in "${methods[@]}"; do
  base=""
  for n in "${jobs[@]}"; do
    walls=()
    cpus=()
    paths=()
    for _ in 1 2 3; do
      read -r wall cpu path < <(run_timed "$work/j$n.cab" "$tool" pack --cabinet-only \
        --compress "$method" -j "$n" -o "$work/j$n.cab" "$work/tree")
      [[ -f "$work/j$n.cab" ]] || { echo "pack_jobs: pack -j $n failed" >&2; exit 1; }
      walls+=("$wall")
      cpus+=("$cpu")
      paths+=("$path")
    done
    p=$(median "${paths[@]}")
    [[ -z "$base" ]] && base=$p
    same="same as 1 job"
    cmp -s "$work/j1.cab" "$work/j$n.cab" || same="DIFFERS from 1 job"
    printf '%-8s %4s %8.2f %8.2f %8.2f %8.2f %8.2f  %s\n' "$method" "$n" "$(median "${walls[@]}")" \
      "$(median "${cpus[@]}")" "$p" "$(echo "$input / $p / 1000000" | bc -l)" \
      "$(echo "$base / $p" | bc -l)" "$same"
  done
  "$tool" verify -q "$work/j1.cab"
done
# How well the default cut spreads over more cores than this machine has:
# folders handed out in order to the first free job, each taking time in
# proportion to its size (the serial rest of a pack, all but compression, is
# the time of --compress none, shown beside).
"$tool" list "$work/j1.cab" | python3 -c '
import sys
sizes = [int(f[5]) for f in (l.split() for l in sys.stdin) if len(f) == 7 and f[6].endswith("%")]
print(f"{len(sizes)} folders at the default --folder-size; bound on the speedup from the cut:")
for jobs in (2, 4, 8):
    ends = [0] * jobs
    for s in sizes:
        ends[ends.index(min(ends))] += s
    print(f"  {jobs} jobs: {sum(sizes) / max(ends):.2f}")
'
read -r wall _ _ < <(run_timed "$work/none.cab" "$tool" pack --cabinet-only --compress none \
  -o "$work/none.cab" "$work/tree")
echo "serial rest: --compress none packs the tree in $wall s"

echo
echo "lzx:21 size against one folder (--folder-size 2G)"
"$tool" pack --cabinet-only --compress lzx:21 --folder-size 2G -o "$work/one.cab" "$work/tree" \
  >/dev/null
one=$(stat -c %s "$work/one.cab")
printf '%-12s %12s %8s %8s\n' folder-size bytes folders cost
printf '%-12s %12s %8s %8s\n' whole "$one" 1 -
for size in 4M 8M 16M 32M; do
  "$tool" pack --cabinet-only --compress lzx:21 --folder-size "$size" -o "$work/f.cab" \
    "$work/tree" >/dev/null
  bytes=$(stat -c %s "$work/f.cab")
  folders=$("$tool" list "$work/f.cab" | sed -n 's/^Cabinet .*, \([0-9]*\) folder(s).*/\1/p')
  printf '%-12s %12s %8s %7.3f%%\n' "$size" "$bytes" "$folders" \
    "$(echo "($bytes - $one) * 100 / $one" | bc -l)"
done
