"""Runs one package under Wine the way a user would: a "files" folder beside
the package and OK on the destination dialog, Yes or OK on questions, Yes to All on file replacement; pictures every
window and prints where the files went. Used by scripts/run-example.sh.

    python3 example.py PACKAGE.exe PICTURES_DIR [SOURCE_TREE]
(with SOURCE_TREE, the extracted files are compared with it byte for byte)
(needs the environment of wineenv.sh: CABSFX_PREFIX64, DISPLAY, CABSFX_BUILD)
"""
import os
import sys
import time

from harness import IDOK, IDYES, Wine, deadline_after

TIMEOUT = 180
PROGRESS_TITLES = ("Decompressing...", "進捗状況")


def main():
    package, pictures = sys.argv[1], sys.argv[2]
    build = os.environ["CABSFX_BUILD"]
    wine = Wine(os.environ["CABSFX_PREFIX64"], "win64", build,
                os.path.join(build, "win32", "tests", "e2e", "uidriver.exe"))
    run = wine.start(package, pictures=pictures)
    destination = None
    deadline = deadline_after(TIMEOUT)
    try:
        while run.running() and time.monotonic() < deadline:
            seen = run.next_window(timeout=1)
            if seen is None:
                continue
            ids = {c.id for c in seen.controls}
            print(f"window: '{seen.title}'" + (f"  picture: {seen.picture}" if seen.picture else ""))
            try:
                destination = answer(wine.driver, seen, ids) or destination
            except RuntimeError:  # it closed by itself meanwhile
                print("  (closed by itself)")
        if run.running():
            print(f"example: the package did not finish within {TIMEOUT} s", file=sys.stderr)
            return 1
        # 0: everything extracted; 1: a failure; 1223 (seen as 199): cancelled.
        print(f"exit code {run.proc.returncode}")
        if run.proc.returncode != 0:
            print("example: the package did not extract everything", file=sys.stderr)
            return 1
    finally:
        run.kill()
        wine.driver.stop()
    if destination is None:
        print("example: no destination dialog was shown", file=sys.stderr)
        return 1
    folder = destination.rstrip("\\")
    linux = to_linux(wine, folder)
    print(f"files went to {folder}" + (f"  (on Linux: {linux})" if linux else ""))
    if not linux or not os.path.isdir(linux):
        print("example: the destination folder is not there", file=sys.stderr)
        return 1
    extracted = {}
    for root, _, names in sorted(os.walk(linux)):
        for name in sorted(names):
            path = os.path.join(root, name)
            extracted[os.path.relpath(path, linux)] = path
            print(f"  {os.path.relpath(path, linux)}  {os.path.getsize(path)} bytes")
    if len(sys.argv) > 3:
        return compare(sys.argv[3], extracted)
    return 0


def compare(tree, extracted):
    source = {}
    for root, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(root, name)
            source[os.path.relpath(path, tree)] = path
    bad = sorted(set(source) ^ set(extracted))
    for name in sorted(set(source) & set(extracted)):
        with open(source[name], "rb") as a, open(extracted[name], "rb") as b:
            if a.read() != b.read():
                bad.append(name)
    if bad:
        print(f"example: differs from {tree}: {', '.join(bad)}", file=sys.stderr)
        return 1
    print(f"all {len(source)} files are identical to {tree}")
    return 0


def answer(driver, seen, ids):
    """Answers one window as a user would; returns the destination when the
    window was the destination dialog."""
    if seen.title in PROGRESS_TITLES or (1004 in ids and 1006 in ids):
        print("  extracting...")  # the worker closes it
    elif 1001 in ids and 1000 in ids:  # destination dialog
        # A folder of their own beside the package, so that the files are
        # easy to find (the module asks before it creates it).
        offered = seen.control_text(1001)
        destination = offered.rstrip("\\") + "\\files"
        print(f"  offered: {offered}  typed: {destination}  -> OK")
        driver.settext(seen.hwnd, 1001, destination)
        driver.click(seen.hwnd, IDOK)
        return destination
    elif 1003 in ids and 1007 in ids:  # file replacement
        print("  replace existing files -> Yes to All")
        driver.click(seen.hwnd, 1003)
    elif 65535 in ids:  # message box
        text = seen.control_text(65535).replace("\n", " / ")
        yes = IDYES in ids
        print(f"  message: {text}  -> {'Yes' if yes else 'OK'}")
        driver.click(seen.hwnd, IDYES if yes else IDOK)
    elif not ids:
        print("  (closed by itself)")
    else:
        print("  (not one of the module's windows) -> closed")
        driver.close(seen.hwnd)
    return None


def to_linux(wine, windows_path):
    """C:\\x -> prefix/drive_c/x, Z:\\x -> /x."""
    if len(windows_path) < 2 or windows_path[1] != ":":
        return None
    rest = windows_path[2:].replace("\\", "/").lstrip("/")
    drive = windows_path[0].upper()
    if drive == "C":
        return os.path.join(wine.drive_c, rest)
    if drive == "Z":
        return "/" + rest
    return None


if __name__ == "__main__":
    sys.exit(main())
