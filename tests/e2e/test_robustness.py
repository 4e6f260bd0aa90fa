"""Robustness of the module under Wine: damaged packages and a cancel storm.

Packages made by `cabsfx-tool pack` (stored, MSZIP, LZX, Quantum and a
two-cabinet set; no dialog, no questions) are cut at every structural
boundary of their cabinets, hit by single-bit flips and by multi-byte
corruptions, and each is run under a time limit. Every run must end with the
source tree extracted byte for byte, or with a message box; nothing may be
written outside the destination and no run may crash. A flip in a field that
no checksum covers (header, folder and file records) may change a name or a
date unseen: such runs are counted apart. The cancel storm cancels a large
extraction at random moments: the run ends cancelled (or complete), and every
file left is whole.

The test command runs a small sample (test_sample). The full sweep:

    python3 tests/e2e/test_robustness.py [BUILD] [--seed N] [--flips N] [--cancels N]
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import time

from harness import IDCANCEL, IDOK, Wine, deadline_after
from package import find_tool

METHODS = ["none", "mszip", "lzx:16", "quantum:12", "set"]
LIMIT = 60  # seconds a run may take


def source_tree(scale=1):
    rnd = random.Random(7)
    return {
        "readme.txt": b"read me first\r\n" * 300,
        "empty.dat": b"",
        "data\\random.bin": bytes(rnd.getrandbits(8) for _ in range(40000 * scale)),
        "data\\zeros.bin": bytes(30000 * scale),
        "docs\\guide.txt": b"".join(b"line %d of the guide\r\n" % i for i in range(1000 * scale)),
    }


def write_tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read_tree(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).replace("/", "\\")] = f.read()
    return found


def pack(tool, stub, folder, method, tree_root):
    """Returns {file name: bytes} of the package (and its following cabinets)."""
    os.makedirs(folder)
    options = ["--compress", "none" if method == "set" else method]
    if method == "set":
        options += ["--max-cabinet-size", "64K"]
    out = os.path.join(folder, "pkg.exe")
    subprocess.run([tool, "pack", "--stub", stub, "-o", out, "--destination", "out",
                    "--no-dialog", "--no-confirm", "--no-open-folder", *options, tree_root],
                   check=True, capture_output=True, timeout=600)
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}


STUB_SIZE = [0]


def cabinet_start(data):
    """Offset of the cabinet in a package: behind the stub and its header block."""
    return STUB_SIZE[0] + 512 if data[:2] == b"MZ" else 0


def boundaries(cab):
    """Offsets where one structure of the cabinet ends and the next begins,
    and the ranges that data-block checksums cover."""
    fields = struct.unpack_from("<4sIIIIIBBHHH", cab)
    coff_files, folders, files, flags = fields[4], fields[8], fields[9], fields[10]
    at, extra_folder, extra_data = 36, 0, 0
    cuts = {0, 36}
    if flags & 4:
        reserve, extra_folder, extra_data = struct.unpack_from("<HBB", cab, 36)
        at += 4 + reserve
        cuts.add(at)
    for present in (flags & 1, flags & 2):
        for _ in range(2 if present else 0):
            at = cab.index(b"\0", at) + 1
            cuts.add(at)
    starts = []
    for _ in range(folders):
        coff_data, blocks, _ = struct.unpack_from("<IHH", cab, at)
        at += 8 + extra_folder
        cuts.add(at)
        starts.append((coff_data, blocks))
    at = coff_files
    for _ in range(files):
        at = cab.index(b"\0", at + 16) + 1
        cuts.add(at)
    covered = []
    for at, blocks in starts:
        for _ in range(blocks):
            size = struct.unpack_from("<H", cab, at + 4)[0]
            covered.append((at, at + 8 + extra_data + size))
            at += 8 + extra_data
            cuts.add(at)
            at += size
            cuts.add(at)
    return sorted(c for c in cuts if c < len(cab)), covered


def mutations(package, rnd, truncations, flips, blocks):
    """(label, {file: bytes}, checksummed) for one package."""
    for name in sorted(package):
        data = package[name]
        start = cabinet_start(data)
        cuts, covered = boundaries(data[start:])
        for cut in (cuts if truncations is None else rnd.sample(cuts, min(truncations, len(cuts)))):
            yield f"{name} cut at {cut}", {**package, name: data[:start + cut]}, True
    names = sorted(package)
    for kind, count in (("flip", flips), ("bytes", blocks)):
        for _ in range(count):
            name = rnd.choice(names)
            data = bytearray(package[name])
            start = cabinet_start(data)
            _, covered = boundaries(bytes(data[start:]))
            # Half of them in the headers and records, which no checksum covers.
            end = start + covered[0][0] if covered and rnd.random() < 0.5 else len(data)
            at = rnd.randrange(start, end)
            if kind == "flip":
                data[at] ^= 1 << rnd.randrange(8)
                hit = [at - start]
            else:
                length = min(rnd.randint(2, 16), len(data) - at)
                data[at:at + length] = bytes(rnd.choice((0, 0xFF, rnd.getrandbits(8)))
                                             for _ in range(length))
                hit = range(at - start, at - start + length)
            checksummed = all(any(a <= h < b for a, b in covered) for h in hit)
            yield f"{name} {kind} at {at - start}", {**package, name: bytes(data)}, checksummed


def run_package(wine, folder, files, on_progress=None):
    """Runs pkg.exe in `folder` until it ends (OK on every message box);
    returns (exit code or 'hang', messages, crash windows)."""
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    run = wine.start(os.path.join(folder, "pkg.exe"))
    messages = []
    deadline = deadline_after(LIMIT)
    while run.running() and time.monotonic() < deadline:
        seen = run.next_window(0.2)
        if seen is None:
            continue
        if seen.title in ("CAB-SFX", "Warning"):
            messages.append(seen.text)
            run.driver.click(seen.hwnd, IDOK)
        elif on_progress and seen.title == "Decompressing...":
            on_progress(run, seen)
    code = run.proc.returncode if not run.running() else "hang"
    if code == "hang":
        run.kill()
    crashes = [w.title for w in wine.driver.windows() if w.image.lower() == "winedbg.exe"]
    if crashes:
        wine.kill_all()
    return code, messages, crashes


def judge(folder, files, source, code, messages, crashes, checksummed):
    """'identical', 'message', 'unseen change' (an unchecked field changed),
    or a text that names the fault."""
    left = set(os.listdir(folder)) - set(files) - {"out"}
    if code == "hang" or crashes or left:
        return f"FAULT: exit {code}, crash windows {crashes}, outside the destination {sorted(left)}"
    got = read_tree(os.path.join(folder, "out"))
    wrong = sorted(n for n, d in got.items() if source.get(n) != d)
    if code == 0 and not messages and got == source:
        return "identical"
    if code == 1 and messages and (not wrong or not checksummed):
        return "message"
    if code == 0 and not messages and not checksummed:
        return "unseen change"
    return f"FAULT: exit {code}, messages {messages!r}, files differing {wrong}"


def cancel_storm(wine, work, tool, stub, runs, mib, rnd, log):
    """Cancels an extraction of `mib` MiB in 40 files per MiB at random
    moments; returns the outcomes, the size and the time of an uncancelled run."""
    tree_root = os.path.join(work, "storm-tree")
    rnd_data = random.Random(11)
    source = {f"part{i // 200}\\file{i:04d}.bin": rnd_data.randbytes(26214)
              for i in range(40 * mib)}
    write_tree(tree_root, source)
    folder = os.path.join(work, "storm")
    files = pack(tool, stub, folder, "mszip", tree_root)
    started = time.monotonic()
    assert run_package(wine, folder, files)[0] == 0
    full = time.monotonic() - started
    assert read_tree(os.path.join(folder, "out")) == source
    outcomes = {}
    for i in range(runs):
        shutil.rmtree(os.path.join(folder, "out"))
        delay = rnd.uniform(0, full)
        how = rnd.choice(("button", "close box"))

        def cancel(run, seen):
            time.sleep(delay)
            try:
                if how == "button":
                    run.driver.click(seen.hwnd, IDCANCEL)
                else:
                    run.driver.close(seen.hwnd)
            except RuntimeError:
                pass  # ended meanwhile
        code, messages, crashes = run_package(wine, folder, files, cancel)
        got = read_tree(os.path.join(folder, "out"))
        broken = sorted(n for n, d in got.items() if source.get(n) != d)
        fine = not crashes and not messages and (code == 1223 & 0xFF or (code == 0 and got == source))
        outcome = "cancelled" if code == 1223 & 0xFF else "complete"
        if not fine or broken:
            outcome = f"FAULT: exit {code}, messages {messages}, crashes {crashes}, partial {broken}"
        log(f"cancel {i + 1} after {delay:.2f} s by {how}: {outcome} ({len(got)} files)")
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcomes, sum(len(d) for d in source.values()), full


def sweep(wine, work, build, rnd, truncations, flips, blocks, cancels, storm_mib, log):
    tool = find_tool(build)
    stub = os.path.join(build, "win32", "cabsfx.exe")
    STUB_SIZE[0] = os.path.getsize(stub)
    tree_root = os.path.join(work, "tree")
    source = source_tree()
    write_tree(tree_root, source)
    outcomes = {}
    count = 0
    started = time.monotonic()
    for method in METHODS:
        package = pack(tool, stub, os.path.join(work, "pack-" + method.replace(":", "")), method,
                       tree_root)
        for label, files, checksummed in mutations(package, rnd, truncations, flips, blocks):
            count += 1
            folder = os.path.join(work, f"run{count:04d}")
            os.makedirs(folder)
            code, messages, crashes = run_package(wine, folder, files)
            verdict = judge(folder, files, source, code, messages, crashes, checksummed)
            log(f"{method} {label}: {verdict}")
            outcomes[verdict] = outcomes.get(verdict, 0) + 1
            shutil.rmtree(folder)
    storm, storm_bytes, full = cancel_storm(wine, work, tool, stub, cancels, storm_mib, rnd, log)
    log(f"{count} damaged runs in {time.monotonic() - started:.0f} s: {outcomes}")
    log(f"cancel storm on {storm_bytes >> 20} MiB ({full:.1f} s uncancelled): {storm}")
    return outcomes, storm


def test_sample(wine64, workdir):
    import pytest
    if not find_tool(wine64.build):
        pytest.skip("cabsfx-tool is not built")
    lines = []
    outcomes, storm = sweep(wine64, workdir(wine64), wine64.build, random.Random(1), 1, 1, 0, 2,
                            4, lines.append)
    print("\n".join(lines))
    faults = [line for line in lines if "FAULT" in line]
    assert not faults, "\n".join(faults)
    assert sum(outcomes.values()) >= 2 * len(METHODS) and sum(storm.values()) == 2


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description="the full robustness sweep under Wine")
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--flips", type=int, default=60, help="per package")
    parser.add_argument("--blocks", type=int, default=20, help="per package")
    parser.add_argument("--cancels", type=int, default=50)
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)
    if "CABSFX_PREFIX64" not in os.environ:  # start the Wine bench first
        here = os.path.dirname(os.path.abspath(__file__))
        script = f'source "{here}/wineenv.sh" && wineenv_start "{build}" win64 && ' \
                 f'/usr/bin/python3 "{__file__}" "$@"'
        return subprocess.call(["bash", "-c", script, "robustness", *argv])
    wine = Wine(os.environ["CABSFX_PREFIX64"], "win64", build,
                os.path.join(build, "win32", "tests", "e2e", "uidriver.exe"))
    work = os.path.join(wine.drive_c, "robustness")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        outcomes, storm = sweep(wine, work, build, random.Random(args.seed), None, args.flips,
                                args.blocks, args.cancels, 50, lambda line: print(line, flush=True))
    finally:
        wine.driver.stop()
        shutil.rmtree(work, ignore_errors=True)
    faults = sum(n for k, n in {**outcomes, **storm}.items() if k.startswith("FAULT"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
