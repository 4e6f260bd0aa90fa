"""Packages made by cabsfx-tool pack, extracted by the module under Wine: every
compression method, a cabinet set, and a set whose continuation is missing."""
import os
import shutil
import time

import pytest

from conftest import UIDRIVER
from harness import IDOK
from package import find_tool, pack_with_tool
from test_extract import MSG6, MSG13, is_progress, pseudo_random, tree, wait_for

METHODS = ["none", "mszip", "lzx:21", "quantum:21"]


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def tool():
    path = find_tool(os.environ.get("CABSFX_BUILD", ""))
    if not path:
        pytest.fail("cabsfx-tool is missing: build the host tree")
    return path


def source_tree(root):
    """Files of several sizes in nested folders, with even-second times."""
    files = {
        "readme.txt": b"hello from the tool\r\n",
        "empty.dat": b"",
        "docs/guide/text.txt": b"".join(b"line %d of the guide\r\n" % i for i in range(20000)),
        "bin/random.bin": pseudo_random(3 * 1024 * 1024 + 7, 11),
        "bin/zeros.bin": bytes(2 * 1024 * 1024),
        # An x86 program, so that the LZX compressor turns call translation on.
        "bin/driver.exe": read_file(UIDRIVER),
    }
    stamp = time.mktime((2021, 3, 4, 5, 6, 8, 0, 0, -1))
    for number, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (stamp + 86400 * number, stamp + 86400 * number))
    return files


def run_quietly(run, boxes=None, timeout=180):
    """Lets the progress window come and go; message boxes are noted and
    answered with OK when `boxes` is given, otherwise they fail the test."""
    deadline = time.monotonic() + timeout
    while run.running():
        assert time.monotonic() < deadline, "the run did not end"
        seen = run.next_window(0.5)
        if seen is None or is_progress(seen):
            continue
        if boxes is not None and 65535 in {c.id for c in seen.controls}:
            boxes.append((seen.title, seen.control_text(65535)))
            run.driver.click(seen.hwnd, IDOK)
            continue
        run.kill()
        raise AssertionError(f"unexpected window {seen.title!r}: {seen.text!r}")
    assert run.proc.wait(10) == 0


@pytest.mark.parametrize("method", METHODS)
def test_tool_package_extracts_exactly(wine64, stub, tool, workdir, start, method):
    folder = workdir(wine64)
    source = os.path.join(folder, "source")
    files = source_tree(source)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    exe = pack_with_tool(tool, stub, os.path.join(folder, "pkg.exe"), [source], "--compress",
                         method, "--no-dialog", "--no-open-folder",
                         "--destination", wine64.win_path(out))
    run_quietly(start(wine64, exe))
    got = tree(out)
    for name, data in files.items():
        assert got[name] == data, name
        assert os.stat(os.path.join(out, *name.split("/"))).st_mtime == \
            os.stat(os.path.join(source, *name.split("/"))).st_mtime, name


def test_tool_cabinet_set_extracts(wine32, stub, tool, workdir, start):
    folder = workdir(wine32)
    source = os.path.join(folder, "source")
    files = source_tree(source)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    exe = pack_with_tool(tool, stub, os.path.join(folder, "set.exe"), [source], "--compress",
                         "none", "--max-cabinet-size", "1M", "--no-dialog", "--no-open-folder",
                         "--destination", wine32.win_path(out))
    assert os.path.exists(os.path.join(folder, "set2.cab"))
    run_quietly(start(wine32, exe))
    got = tree(out)
    for name, data in files.items():
        assert got[name] == data, name


def test_tool_cabinet_set_with_a_missing_cabinet_shows_message_13(wine64, stub, tool, workdir,
                                                                  start):
    folder = workdir(wine64)
    source = os.path.join(folder, "source")
    source_tree(source)
    with open(os.path.join(source, "setup.cmd"), "wb") as f:
        f.write(f"echo ran> \"{wine64.win_path(folder)}\\setup-ran.txt\"\r\n".encode())
    out = os.path.join(folder, "out")
    os.makedirs(out)
    exe = pack_with_tool(tool, stub, os.path.join(folder, "set.exe"), [source], "--compress",
                         "mszip", "--max-cabinet-size", "64K", "--no-dialog", "--no-open-folder",
                         "--setup", "setup.cmd", "--destination", wine64.win_path(out))
    cabinets = sorted(n for n in os.listdir(folder) if n.endswith(".cab"))
    assert cabinets, "the tool wrote no continuation cabinet"
    shutil.move(os.path.join(folder, cabinets[-1]), os.path.join(folder, "elsewhere.bin"))
    boxes = []
    run_quietly(start(wine64, exe), boxes, timeout=60)
    assert boxes == [("CAB-SFX", MSG13["en"])]
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, "setup-ran.txt")), 3)


@pytest.mark.parametrize("lang", ["en", "ja"])
def test_utf8_flagged_names_extract_where_the_code_page_holds_them(wine64, stub, tool, workdir,
                                                                   start, lang):
    """Names that code page 1252 cannot hold are packed in UTF-8 (attribute
    0x80): the module writes those its ANSI code page holds and refuses the
    others with message 6."""
    folder = workdir(wine64)
    source = os.path.join(folder, "source")
    files = {"plain.txt": b"p", "\u65e5\u672c\u8a9e.txt": b"j",
             "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt": b"g"}
    os.makedirs(source)
    for name, data in files.items():
        with open(os.path.join(source, name), "wb") as f:
            f.write(data)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    exe = pack_with_tool(tool, stub, os.path.join(folder, "names.exe"), [source], "--no-dialog",
                         "--no-open-folder", "--destination", wine64.win_path(out))
    boxes = []
    run_quietly(start(wine64, exe, lang=lang), boxes)
    written = {"en": ["plain.txt"], "ja": ["plain.txt", "\u65e5\u672c\u8a9e.txt"]}[lang]
    assert tree(out) == {name: files[name] for name in written}
    assert len(boxes) == len(files) - len(written)
    assert all(title == "CAB-SFX" and MSG6[lang] in text for title, text in boxes), boxes
