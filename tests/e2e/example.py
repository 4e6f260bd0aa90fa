"""Runs one package under Wine the way a user would: OK on the destination
dialog, Yes or OK on questions, Yes to All on file replacement; pictures every
window and prints where the files went. Used by scripts/run-example.sh.

    python3 example.py PACKAGE.exe PICTURES_DIR
(needs the environment of wineenv.sh: CABSFX_PREFIX64, DISPLAY, CABSFX_BUILD)
"""
import os
import sys
import time

from harness import IDOK, IDYES, Wine

TIMEOUT = 180


def main():
    package, pictures = sys.argv[1], sys.argv[2]
    build = os.environ["CABSFX_BUILD"]
    wine = Wine(os.environ["CABSFX_PREFIX64"], "win64", build,
                os.path.join(build, "win32", "tests", "e2e", "uidriver.exe"))
    run = wine.start(package, pictures=pictures)
    destination = None
    deadline = time.monotonic() + TIMEOUT
    try:
        while run.running() and time.monotonic() < deadline:
            seen = run.next_window(timeout=1)
            if seen is None:
                continue
            ids = {c.id for c in seen.controls}
            print(f"window: '{seen.title}'  picture: {seen.picture}")
            if 1001 in ids and 1000 in ids:  # destination dialog
                destination = seen.control_text(1001)
                print(f"  destination: {destination}  -> OK")
                wine.driver.click(seen.hwnd, IDOK)
            elif 1003 in ids and 1007 in ids:  # file replacement
                print("  replace existing files -> Yes to All")
                wine.driver.click(seen.hwnd, 1003)
            elif 1004 in ids and 1006 in ids:  # progress window: it closes itself
                print("  extracting...")
            elif 65535 in ids:  # message box
                text = seen.control_text(65535).replace("\n", " / ")
                answer = IDYES if IDYES in ids else IDOK
                print(f"  message: {text}  -> {'Yes' if answer == IDYES else 'OK'}")
                wine.driver.click(seen.hwnd, answer)
            else:
                print("  (not one of the module's windows) -> closed")
                wine.driver.close(seen.hwnd)
        if run.running():
            print(f"example: the package did not finish within {TIMEOUT} s", file=sys.stderr)
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
    if linux and os.path.isdir(linux):
        for root, _, names in sorted(os.walk(linux)):
            for name in sorted(names):
                path = os.path.join(root, name)
                print(f"  {os.path.relpath(path, linux)}  {os.path.getsize(path)} bytes")
    return 0


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
