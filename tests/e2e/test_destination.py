"""Destination keywords of the header, the destination dialog's forms, its
check box and folder picker, the create-folder question."""
import glob
import os
import subprocess
import time

import pytest

from harness import (EXIT_CANCELLED, IDCANCEL, IDOK, Step, deadline_after, escape_key, message_box,
                     press, set_check, type_text)
from package import CabFile, cabinet, header_block, write_package

TITLE = {"en": "Confirm Extracting", "ja": "展開先の指定"}
EDIT, BROWSE, CHECKBOX = 1001, 1000, 1012
FILES = [CabFile("hello.txt", b"hello, world\r\n"), CabFile("sub\\data.bin", bytes(range(256)) * 40)]


@pytest.fixture
def package(stub):
    """package(folder, name="pkg.exe", **header fields) -> path of a package
    holding FILES in a stored cabinet."""
    def make(folder, name="pkg.exe", **fields):
        return write_package(os.path.join(folder, name), stub, header=header_block(**fields),
                             cab=cabinet(FILES))
    return make


def extracted_into(folder):
    return (os.path.isfile(os.path.join(folder, "hello.txt"))
            and os.path.isfile(os.path.join(folder, "sub", "data.bin")))


def linux_path(wine, windows_path):
    """drive_c path of a C:\\ Windows path."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(wine.drive_c, *windows_path[3:].replace("\\", "/").split("/"))


def reg_value(wine, key, value):
    done = subprocess.run(["wine", "reg", "query", key, "/v", value], capture_output=True,
                          text=True, env=wine.env("en"), timeout=180)
    for line in done.stdout.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == value:
            return parts[2].strip()
    return None


def dialog(folder_text=None, actions=(), lang="en"):
    def shows(driver, hwnd, seen):
        if folder_text is not None:
            assert seen.control_text(EDIT) == folder_text
    return Step(title=TITLE[lang], actions=list(actions), check=shows)


def create_question(path, answer=IDOK):
    return message_box("CAB-SFX", f"The Folder '{path}' does not exist.", answer=answer)


SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"


@pytest.mark.parametrize("keyword", ["Desktop", "MyDocuments", "ProgramFiles", "SystemDir", "WinDir"])
def test_keyword_resolves_to_the_machines_folder(wine64, workdir, start, package, keyword):
    folder = workdir(wine64)
    leaf = f"cabsfx-keyword-{keyword}"
    exe = package(folder, destination=f"%{keyword}%\\{leaf}", no_destination_dialog=1,
                  no_confirm=1)
    start(wine64, exe).script([])
    drive_c = wine64.drive_c
    if keyword in ("Desktop", "MyDocuments"):
        value = reg_value(wine64, SHELL_FOLDERS, "Desktop" if keyword == "Desktop" else "Personal")
        # Without the registry value the keyword resolves to nothing and the
        # rest is taken below the package's folder.
        expected = [linux_path(wine64, value + "\\" + leaf)] if value else [os.path.join(folder, leaf)]
    elif keyword == "ProgramFiles":
        # A 32-bit process on 64-bit Windows gets the x86 folder.
        expected = [os.path.join(drive_c, "Program Files (x86)", leaf)]
    elif keyword == "SystemDir":
        # system32 of a 32-bit process under WOW64 is redirected to syswow64.
        expected = [os.path.join(drive_c, "windows", "syswow64", leaf)]
    else:
        expected = [os.path.join(drive_c, "windows", leaf)]
    try:
        assert any(extracted_into(p) for p in expected), f"nothing in {expected}"
    finally:
        for p in expected:
            subprocess.run(["rm", "-rf", p])


def landed_in_temp(wine, leaf):
    """Folders named `leaf` inside the user's temporary folder (under
    C:\\users, whatever the profile layout of the Wine version)."""
    return glob.glob(os.path.join(wine.drive_c, "users", "*", "**", "Temp", leaf), recursive=True)


def test_temp_keyword_and_its_case(wine32, workdir, start, package):
    folder = workdir(wine32)
    exe = package(folder, destination="%temp%\\cabsfx-kw", no_destination_dialog=1, no_confirm=1)
    start(wine32, exe).script([])
    found = landed_in_temp(wine32, "cabsfx-kw")
    try:
        assert len(found) == 1 and extracted_into(found[0]), found
    finally:
        for path in found:
            subprocess.run(["rm", "-rf", path])
    # %Temp% is no keyword: the destination is the package's folder.
    exe = package(folder, name="case.exe", destination="%Temp%", no_destination_dialog=1, no_confirm=1)
    start(wine32, exe).script([])
    assert extracted_into(folder)


@pytest.mark.parametrize("typed, where", [
    ("sub", "base/sub"), ("\\sub", "base/sub"), (".\\sub", "base/sub"), ("..\\sub", "parent/sub"),
    ("sub\\dir", "base/sub/dir"), ("a\\b\\c", "base/a/b/c"),
])
def test_relative_forms_typed_in_the_dialog(wine64, workdir, start, package, pictures, typed, where):
    folder = workdir(wine64)
    exe = package(folder)
    base = wine64.win_path(folder) + "\\"
    parent_win = base.rstrip("\\").rsplit("\\", 1)[0] + "\\"
    root, rest = where.split("/", 1)
    target_win = (base if root == "base" else parent_win) + rest.replace("/", "\\") + "\\"
    top = os.path.join(folder if root == "base" else os.path.dirname(folder), rest.split("/")[0])
    target = os.path.join(folder if root == "base" else os.path.dirname(folder), *rest.split("/"))
    subprocess.run(["rm", "-rf", top])
    try:
        start(wine64, exe).script([
            dialog(base, [type_text(EDIT, typed), press(IDOK)]),
            create_question(target_win),
        ])
        assert extracted_into(target)
    finally:
        subprocess.run(["rm", "-rf", top])


def test_a_wine_drive_alone(wine64, workdir, start, package):
    folder = workdir(wine64)
    drive = os.path.join(folder, "drive-d")
    os.makedirs(drive)
    link = os.path.join(wine64.prefix, "dosdevices", "d:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(drive, link)
    try:
        exe = package(folder)
        start(wine64, exe).script([dialog(actions=[type_text(EDIT, "D:"), press(IDOK)])])
        assert extracted_into(drive)
    finally:
        os.remove(link)


@pytest.mark.parametrize("typed", ["..\\..\\..\\..\\sub", "a|b"])
def test_dialog_comes_back_with_the_base_folder(wine64, workdir, start, package, typed):
    folder = workdir(wine64)
    exe = package(folder)
    base = wine64.win_path(folder) + "\\"
    start(wine64, exe).script([
        dialog(base, [type_text(EDIT, typed), press(IDOK)]),
        dialog(base, [press(IDCANCEL)]),  # again, with no message between
    ], exit_code=EXIT_CANCELLED)
    assert not extracted_into(folder)


@pytest.mark.parametrize("how", ["cancel", "escape"])
def test_cancel_and_escape_end_the_run(wine32, workdir, start, package, how):
    folder = workdir(wine32)
    exe = package(folder)
    action = press(IDCANCEL) if how == "cancel" else escape_key()
    start(wine32, exe).script([dialog(actions=[action])], exit_code=EXIT_CANCELLED)
    assert not extracted_into(folder)


@pytest.mark.parametrize("lang, name", [("en", "mysetup"), ("ja", "mysetup"), ("ja", "ソ")],
                         ids=["en", "ja", "ja-0x5C-trail-byte"])
def test_check_box_adds_and_removes_the_archive_name(wine64, workdir, start, package, lang, name):
    # "ソ" is 0x83 0x5C in code page 932: its second byte is no separator.
    folder = workdir(wine64)
    exe = package(folder, name=name + ".exe")
    base = wine64.win_path(folder) + "\\"
    seen = {}

    def record(name, expected):
        # The driver posts the click, so wait for the dialog to act on it.
        def read(driver, hwnd):
            deadline = deadline_after(5)
            while time.monotonic() < deadline:
                seen[name] = driver.text(hwnd, EDIT)
                if seen[name] == expected:
                    return
                time.sleep(0.1)
        return read

    start(wine64, exe, lang=lang).script([dialog(base, [
        set_check(CHECKBOX, True), record("on", base + name + "\\"),
        set_check(CHECKBOX, False), record("off", base),
        set_check(CHECKBOX, True), press(IDOK)], lang=lang),
        Step(title="CAB-SFX", texts=[], actions=[press(IDOK)]),  # create the folder
    ])
    assert seen["on"] == base + name + "\\"
    assert seen["off"] == base
    assert extracted_into(os.path.join(folder, name))


def test_browse_opens_the_folder_picker(wine64, workdir, start, package):
    folder = workdir(wine64)
    exe = package(folder)
    run = start(wine64, exe)
    first = run.next_window(30)
    assert first and first.title == TITLE["en"]
    run.driver.click(first.hwnd, BROWSE)
    picker = run.next_window(30)
    assert picker is not None, "no folder picker"
    assert picker.hwnd != first.hwnd
    run.driver.key(picker.hwnd, 0x1B)  # cancel the picker
    # The dialog keeps its text; cancel it.
    assert run.driver.text(first.hwnd, EDIT) == wine64.win_path(folder) + "\\"
    run.driver.click(first.hwnd, IDCANCEL)
    run.expect_end(exit_code=EXIT_CANCELLED)
    assert not extracted_into(folder)


def test_ok_with_a_folder_that_does_not_exist_creates_it(wine32, workdir, start, package):
    folder = workdir(wine32)
    exe = package(folder)
    target = os.path.join(folder, "brand", "new")
    start(wine32, exe).script([
        dialog(actions=[type_text(EDIT, wine32.win_path(target)), press(IDOK)]),
        create_question(wine32.win_path(target) + "\\"),
    ])
    assert extracted_into(target)
