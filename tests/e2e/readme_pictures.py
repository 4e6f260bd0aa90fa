"""Pictures of the package's windows for the README, in English and Japanese:
the destination dialog, the progress window and the overwrite question. Each
language runs the package twice into the same folder (the second run finds
the files there); windows are answered as example.py answers them.

    python3 readme_pictures.py PACKAGE.exe OUTPUT_DIR
(needs the environment of wineenv.sh: CABSFX_PREFIX64, DISPLAY, CABSFX_BUILD)
Writes OUTPUT_DIR/{destination,progress,overwrite}-{en,ja}.png.
"""
import os
import shutil
import sys
import tempfile
import time

from example import PROGRESS_TITLES, answer
from harness import Wine, deadline_after


def kind_of(seen):
    ids = {c.id for c in seen.controls}
    if seen.title in PROGRESS_TITLES:
        return "progress"
    if 1001 in ids and 1000 in ids:
        return "destination"
    if 1003 in ids and 1007 in ids:
        return "overwrite"
    return None


def run_once(wine, package, lang, pictures, found):
    run = wine.start(package, lang=lang, pictures=pictures)
    deadline = deadline_after(180)
    try:
        while run.running() and time.monotonic() < deadline:
            seen = run.next_window(timeout=1)
            if seen is None:
                continue
            kind = kind_of(seen)
            if kind and seen.picture and kind not in found:
                found[kind] = seen.picture
            try:
                answer(wine.driver, seen, {c.id for c in seen.controls})
            except RuntimeError:  # it closed by itself meanwhile
                pass
        return not run.running()
    finally:
        run.kill()


def main():
    package, output = sys.argv[1], sys.argv[2]
    build = os.environ["CABSFX_BUILD"]
    wine = Wine(os.environ["CABSFX_PREFIX64"], "win64", build,
                os.path.join(build, "win32", "tests", "e2e", "uidriver.exe"))
    os.makedirs(output, exist_ok=True)
    missing = []
    try:
        for lang in ("en", "ja"):
            # A folder of its own under C:, so that the dialogs show a short path.
            folder = wine.c_path("Setup")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            exe = shutil.copy(package, os.path.join(folder, "setup.exe"))
            found = {}
            with tempfile.TemporaryDirectory() as pictures:
                for _ in range(2):
                    if not run_once(wine, exe, lang, pictures, found):
                        print(f"readme_pictures: the package did not finish ({lang})",
                              file=sys.stderr)
                        return 1
                for kind in ("destination", "progress", "overwrite"):
                    if kind in found:
                        shutil.copyfile(found[kind], os.path.join(output, f"{kind}-{lang}.png"))
                        print(f"{kind}-{lang}.png")
                    else:
                        missing.append(f"{kind}-{lang}")
            shutil.rmtree(folder, ignore_errors=True)
    finally:
        wine.driver.stop()
    if missing:
        print(f"readme_pictures: no picture of {', '.join(missing)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
