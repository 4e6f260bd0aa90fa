"""Packages made by cabsfx-tool pack, extracted by the module under Wine: every
compression method, a cabinet set, and a set whose continuation is missing;
the publisher's icon and version text as Windows reads them; the Windows
build of the tool on its own in a fresh prefix."""
import os
import re
import shutil
import struct
import subprocess
import time
import zlib

import pytest

from conftest import BUILD, STUB, UIDRIVER
from harness import IDOK, deadline_after
from package import find_tool, pack_with_tool
from test_extract import MSG6, is_progress, pseudo_random, tree, wait_for

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


def run_quietly(run, boxes=None, timeout=180, exit_code=0):
    """Lets the progress window come and go; message boxes are noted and
    answered with OK when `boxes` is given, otherwise they fail the test.
    Wine hands the exit code on in 8 bits."""
    deadline = deadline_after(timeout)
    while run.running():
        assert time.monotonic() < deadline, "the run did not end"
        seen = run.next_window(0.5)
        # The progress window, and the integrity check's when --crc asks for
        # it, may close before they are read.
        if seen is None or is_progress(seen) or run._transient(seen):
            continue
        if boxes is not None and 65535 in {c.id for c in seen.controls}:
            boxes.append((seen.title, seen.control_text(65535)))
            run.driver.click(seen.hwnd, IDOK)
            continue
        run.kill()
        raise AssertionError(f"unexpected window {seen.title!r} ({seen.klass}): {seen.controls}")
    assert run.proc.wait(10) == exit_code & 0xFF


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


def test_tool_cabinet_set_with_a_missing_cabinet_names_it(wine64, stub, tool, workdir, start):
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
    run_quietly(start(wine64, exe), boxes, timeout=60, exit_code=1)
    missing = wine64.win_path(os.path.join(folder, cabinets[-1]))
    assert boxes == [("CAB-SFX", "The next cabinet of this archive is not beside it:\n" + missing)]
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
    run_quietly(start(wine64, exe, lang=lang), boxes, exit_code=1)  # a name was refused
    written = {"en": ["plain.txt"], "ja": ["plain.txt", "\u65e5\u672c\u8a9e.txt"]}[lang]
    assert tree(out) == {name: files[name] for name in written}
    assert len(boxes) == len(files) - len(written)
    assert all(title == "CAB-SFX" and MSG6[lang] in text for title, text in boxes), boxes


RESOURCE_REPORT = os.path.join(BUILD, "win32", "tests", "e2e", "resource_report.exe")
WINDOWS_TOOL = os.path.join(BUILD, "win32", "tools", "cabsfx-tool.exe")
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll"}
VERSION = {"ProductName": "Acme Widget", "CompanyName": "Acme, Inc.",
           "LegalCopyright": "\u00a9 2024 Acme", "FileVersion": "2.5.0.17",
           "FileDescription": "\u30a6\u30a3\u30b8\u30a7\u30c3\u30c8", "ProductVersion": "2.5"}


def icon_images():
    """(side, bits, bytes): bitmaps of 4, 8 and 32 bits and a 256-pixel PNG."""
    def dib(side, bits):
        colours = 1 << bits if bits <= 8 else 0
        row, mask = (side * bits + 31) // 32 * 4, (side + 31) // 32 * 4
        return struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, colours, 0) \
            + pseudo_random(4 * colours + row * side, side) + bytes(mask * side)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + pseudo_random(4 * 256, y) for y in range(256))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 256, 256, 8, 6, 0, 0, 0)) \
        + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
    return [(16, 4, dib(16, 4)), (32, 8, dib(32, 8)), (48, 32, dib(48, 32)), (256, 32, png)]


def write_icon(path, images):
    entries, body = b"", b""
    for side, bits, data in images:
        entries += struct.pack("<BBBBHHII", side % 256, side % 256, 0, 0, 1, bits, len(data),
                               6 + 16 * len(images) + len(body))
        body += data
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)) + entries + body)
    return path


def run_windows(wine, exe, args, folder):
    """Runs a console program under Wine with its output in files; returns
    (exit code, stdout, stderr)."""
    out, err = os.path.join(folder, "stdout.txt"), os.path.join(folder, "stderr.txt")
    with open(out, "wb") as o, open(err, "wb") as e:
        rc = subprocess.run(["wine", exe, *args], env=wine.env("en"), stdout=o, stderr=e,
                            cwd=folder, timeout=600).returncode
    return rc, read_file(out).decode("utf-8", "replace"), read_file(err).decode("utf-8", "replace")


def check_branding(wine, exe, folder, images):
    """The version text, the icon group and the module's own resources as
    Windows reads them from `exe`."""
    reports = []
    for path in (exe, STUB):
        rc, out, err = run_windows(wine, RESOURCE_REPORT, [wine.win_path(path)], folder)
        assert rc == 0, err
        reports.append(out)
    out, lines, ours = reports[0], reports[0].splitlines(), reports[1].splitlines()
    assert "fixed 2.5.0.17 2.5.0.0" in lines, out
    for table in ("040904B0", "041104B0"):  # the stub's two languages
        assert [ln for ln in lines if ln.startswith(f"string {table} ")] == \
            [f"string {table} {key}={VERSION[key]}" for key in
             ("ProductName", "FileDescription", "CompanyName", "LegalCopyright", "ProductVersion",
              "FileVersion")], out
    assert [ln for ln in lines if ln.startswith("icon 200 ")] == \
        [f"icon 200 {side} {side} 1 {bits} {len(data)} {len(data)} {zlib.crc32(data):08x}"
         for side, bits, data in images]
    replace_icon = [ln for ln in ours if ln.startswith("icon 205 ")]
    assert replace_icon and [ln for ln in lines if ln.startswith("icon 205 ")] == replace_icon
    for kept in ("dialog-202-en", "dialog-202-ja", "dialog-2008-ja", "strings-en", "strings-ja",
                 "manifest"):
        assert f"has {kept}" in lines, out
    assert "loader icon yes" in lines and "shell icons 1" in lines, out


def version_options():
    keys = list(VERSION)
    return ["--version-info", ",".join(f"{k}={VERSION[k]}" for k in keys[:3]),
            "--version-info", ",".join(f"{k.lower()}={VERSION[k]}" for k in keys[3:])]


def test_branded_package_extracts_and_shows_the_publishers_icon_and_version(
        wine64, stub, tool, workdir, start):
    folder = workdir(wine64)
    source = os.path.join(folder, "source")
    files = source_tree(source)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    images = icon_images()
    stub_bytes = read_file(stub)
    exe = pack_with_tool(tool, stub, os.path.join(folder, "pkg.exe"), [source], "--crc",
                         "--no-dialog", "--no-open-folder", "--destination", wine64.win_path(out),
                         "--icon", write_icon(os.path.join(folder, "app.ico"), images),
                         *version_options())
    assert read_file(stub) == stub_bytes
    run_quietly(start(wine64, exe))
    assert {name: data for name, data in tree(out).items() if data is not None} == files
    check_branding(wine64, exe, folder, images)


def test_windows_tool_alone_packs_lists_verifies_and_extracts(wine64, stub, tool, workdir):
    """cabsfx-tool.exe imports system DLLs only and works alone in its folder."""
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", WINDOWS_TOOL], capture_output=True,
                          text=True, check=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert imported and imported <= SYSTEM_DLLS, imported
    pe = open(WINDOWS_TOOL, "rb").read()
    assert struct.unpack_from("<I", pe, struct.unpack_from("<I", pe, 0x3C)[0] + 8) == (0,), "time"
    folder = workdir(wine64)
    exe = shutil.copy(WINDOWS_TOOL, folder)
    assert os.listdir(folder) == ["cabsfx-tool.exe"]
    files = source_tree(os.path.join(folder, "source"))
    images = icon_images()
    write_icon(os.path.join(folder, "app.ico"), images)
    rc, out, err = run_windows(wine64, exe, ["pack", "-o", "pkg.exe", "--stub",
                                             wine64.win_path(stub), "--crc", "--icon", "app.ico",
                                             *version_options(), "source"], folder)
    assert rc == 0, err
    rc, out, err = run_windows(wine64, exe, ["list", "-q", "pkg.exe"], folder)
    assert rc == 0 and sorted(out.split()) == sorted(n.replace("/", "\\") for n in files), err
    rc, out, err = run_windows(wine64, exe, ["verify", "pkg.exe"], folder)
    assert rc == 0 and f"\nOK: {len(files)} file(s)" in out, out + err
    rc, out, err = run_windows(wine64, exe, ["extract", "-d", "out", "pkg.exe"], folder)
    assert rc == 0, err
    got = tree(os.path.join(folder, "out"))
    assert {name: data for name, data in got.items() if data is not None} == files
    for name in files:
        assert os.stat(os.path.join(folder, "out", *name.split("/"))).st_mtime == \
            os.stat(os.path.join(folder, "source", *name.split("/"))).st_mtime, name
    # A replaced file with another name (read-only) keeps its bytes and bit there.
    name = sorted(files)[0]
    replaced, other = os.path.join(folder, "out", *name.split("/")), os.path.join(folder, "other")
    os.remove(replaced)
    open(other, "wb").write(b"old")
    os.link(other, replaced)
    os.chmod(other, 0o444)
    rc, out, err = run_windows(wine64, exe, ["extract", "--overwrite", "-d", "out", "pkg.exe"], folder)
    assert rc == 0 and read_file(replaced) == files[name], err
    assert read_file(other) == b"old" and not os.stat(other).st_mode & 0o222
    check_branding(wine64, os.path.join(folder, "pkg.exe"), folder, images)
    # The 32-bit Windows build on two threads packs the bytes of the 64-bit host build on one.
    for method in ("lzx:21", "quantum:21"):
        rc, out, err = run_windows(wine64, exe, ["pack", "--cabinet-only", "--compress", method,
                                                 "-j", "2", "-o", "win.cab", "source"], folder)
        assert rc == 0, err
        subprocess.run([tool, "pack", "-q", "--cabinet-only", "--compress", method, "-j", "1",
                        "-o", "host.cab", "source"], cwd=folder, check=True)
        assert read_file(os.path.join(folder, "win.cab")) == \
            read_file(os.path.join(folder, "host.cab")), method
