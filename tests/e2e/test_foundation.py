"""What a run does before extraction: finding the package and the cabinet,
the opening question, the destination checks, the command-line modes, and the
messages in English and Japanese."""
import os
import time

import pytest

from harness import (EXIT_CANCELLED, EXIT_FAILED, EXIT_OK, IDCANCEL, IDNO, IDOK, IDYES, Step,
                     deadline_after, message_box, press)
from package import CabFile, cabinet, copy_stub, header_block, write_package

DESTINATION_TITLE = {"en": "Confirm Extracting", "ja": "展開先の指定"}
MSG2 = {"en": "Cannot open arhive.", "ja": "書庫を開けません。"}
MSG3 = {"en": "not supported archive format.", "ja": "対応していない書庫形式です。"}
MSG7 = "Cannot create a folder.\nThis archive forbids writing."


def sample_cab():
    return cabinet([CabFile("hello.txt", b"hello, world\r\n"),
                    CabFile("sub\\data.bin", bytes(range(256)) * 40)])


def destination_dialog(folder, lang="en"):
    """The destination dialog showing `folder`, cancelled."""
    def shows_folder(driver, hwnd, seen):
        assert seen.control_text(1001) == folder, "destination field"
    return Step(title=DESTINATION_TITLE[lang], actions=[press(IDCANCEL)], check=shows_folder)


def exact_text(expected):
    def check(driver, hwnd, seen):
        assert seen.control_text(65535) == expected
    return check


def assert_nothing_extracted(folder):
    assert not os.path.exists(os.path.join(folder, "hello.txt"))
    assert not os.path.exists(os.path.join(folder, "sub"))


def test_nothing_appended_ends_silently(any_wine, stub, workdir, start):
    exe = copy_stub(stub, os.path.join(workdir(any_wine), "plain.exe"))
    start(any_wine, exe).script([], exit_code=EXIT_FAILED)  # nothing was extracted


def shell_windows(wine, title):
    return [w for w in wine.driver.windows()
            if w.image.lower() == "explorer.exe" and w.title == title]


@pytest.mark.parametrize("block", ["no header", "zeroed header"])
def test_defaults_open_the_folder_and_a_zeroed_header_does_not(wine64, stub, workdir, start, block):
    folder = workdir(wine64)
    header = b"NOTKESTRA".ljust(512, b"\0") if block == "no header" else header_block()
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header, cab=sample_cab())
    dialog = destination_dialog(wine64.win_path(folder) + "\\")
    dialog.actions = [press(IDOK)]
    start(wine64, exe).script([dialog])
    with open(os.path.join(folder, "hello.txt"), "rb") as f:
        assert f.read() == b"hello, world\r\n"
    # Without a header block open_folder keeps its default (1); the zeroed
    # header's 0 replaces it.
    title = os.path.basename(folder)
    deadline = deadline_after(15 if block == "no header" else 4)
    while time.monotonic() < deadline and not shell_windows(wine64, title):
        time.sleep(0.2)
    opened = shell_windows(wine64, title)
    for w in opened:
        wine64.driver.close(w.hwnd)
    assert bool(opened) == (block == "no header")


@pytest.mark.parametrize("lang", ["en", "ja"])
def test_no_cabinet_shows_message_3(any_wine, stub, workdir, start, lang):
    folder = workdir(any_wine)
    exe = write_package(os.path.join(folder, "nocab.exe"), stub, header=header_block(),
                        raw=b"MSCF\1\0\0\0 no cabinet here" * 100)
    box = message_box("CAB-SFX", MSG3[lang])
    box.check = exact_text(MSG3[lang])
    start(any_wine, exe, lang=lang).script([box], exit_code=EXIT_FAILED)


@pytest.mark.parametrize("lang", ["en", "ja"])
def test_archive_that_cannot_be_opened_shows_message_2(wine64, stub, workdir, start, lang):
    folder = workdir(wine64)
    exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    archive = os.path.join(folder, "locked.cab")
    with open(archive, "wb") as f:
        f.write(sample_cab())
    wine64.driver.hold(wine64.win_path(archive))
    try:
        box = message_box("CAB-SFX", MSG2[lang])
        box.check = exact_text(MSG2[lang])
        start(wine64, exe, [wine64.win_path(archive)], lang=lang).script([box],
                                                                          exit_code=EXIT_FAILED)
    finally:
        wine64.driver.release()


@pytest.mark.parametrize("argument", ["missing", "folder"])
def test_archive_argument_that_is_no_file_does_nothing(wine64, stub, workdir, start, argument):
    folder = workdir(wine64)
    exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    target = os.path.join(folder, "missing.cab" if argument == "missing" else "afolder")
    if argument == "folder":
        os.makedirs(target)
    start(wine64, exe, [wine64.win_path(target)]).script([], exit_code=EXIT_FAILED)


@pytest.mark.parametrize("answer", [IDNO, IDYES], ids=["no", "yes"])
def test_opening_question(wine64, stub, workdir, start, answer):
    folder = workdir(wine64)
    header = header_block(prompt_title="Demo Setup", prompt_text="Install the demo files?")
    exe = write_package(os.path.join(folder, "ask.exe"), stub, header=header, cab=sample_cab())
    steps = [message_box("Demo Setup", "Install the demo files?", answer=answer)]
    if answer == IDYES:
        steps.append(destination_dialog(wine64.win_path(folder) + "\\"))
    start(wine64, exe).script(steps, exit_code=EXIT_CANCELLED)
    assert_nothing_extracted(folder)


def test_question_title_alone_asks_nothing(wine64, stub, workdir, start):
    folder = workdir(wine64)
    header = header_block(prompt_title="Demo Setup", no_destination_dialog=1,
                          destination=wine64.win_path(folder) + "\\new")
    exe = write_package(os.path.join(folder, "notext.exe"), stub, header=header, cab=sample_cab())
    # No question: the first window is the create-folder question.
    start(wine64, exe).script([message_box("CAB-SFX", "does not exist", answer=IDCANCEL)],
                              exit_code=EXIT_CANCELLED)


@pytest.mark.parametrize("form", ["header", "command line"])
def test_create_folder_question_cancelled(wine64, stub, workdir, start, form):
    folder = workdir(wine64)
    target = os.path.join(folder, "new folder", "deeper")
    win_target = wine64.win_path(target)
    if form == "header":
        header = header_block(destination=win_target, no_destination_dialog=1)
        exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header, cab=sample_cab())
        args = []
    else:
        exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
        archive = os.path.join(folder, "a.cab")
        with open(archive, "wb") as f:
            f.write(sample_cab())
        args = ["/H", f'"{wine64.win_path(archive)}"', f'"{win_target}"']
    expected = f"The Folder '{win_target}\\' does not exist.\nDo you want to create it?"
    box = message_box("CAB-SFX", answer=IDCANCEL)
    box.check = exact_text(expected)
    start(wine64, exe, args).script([box], exit_code=EXIT_CANCELLED)
    assert not os.path.exists(os.path.join(folder, "new folder"))
    assert_nothing_extracted(folder)


@pytest.mark.parametrize("form", ["header", "command line"])
def test_destination_that_cannot_be_created_shows_message_7(wine64, stub, workdir, start, form):
    folder = workdir(wine64)
    with open(os.path.join(folder, "file.txt"), "w") as f:
        f.write("a file, not a folder")
    target = wine64.win_path(os.path.join(folder, "file.txt")) + "\\sub"
    if form == "header":
        header = header_block(destination=target, no_destination_dialog=1, no_confirm=1)
        exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header, cab=sample_cab())
        args = []
    else:
        exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
        archive = os.path.join(folder, "a.cab")
        with open(archive, "wb") as f:
            f.write(sample_cab())
        args = ["/H", "/O", f'"{wine64.win_path(archive)}"', f'"{target}"']
    box = message_box("CAB-SFX", answer=IDOK)
    box.check = exact_text(MSG7)
    start(wine64, exe, args).script([box], exit_code=EXIT_FAILED)
    assert os.path.isfile(os.path.join(folder, "file.txt"))
    assert_nothing_extracted(folder)


@pytest.mark.parametrize("configured_by", ["header", "option /H"])
def test_base_folder_with_semicolon_and_no_dialog_ends_with_message_7(
        wine64, stub, workdir, start, configured_by):
    folder = os.path.join(workdir(wine64), "semi;colon")
    if configured_by == "header":
        block = header_block(no_destination_dialog=1)
        args = []
    else:
        block = b"NOHEADER".ljust(512, b"\0")
        args = ["/H"]
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=block, cab=sample_cab())
    box = message_box("CAB-SFX", answer=IDOK)
    box.check = exact_text(MSG7)
    start(wine64, exe, args).script([box], exit_code=EXIT_FAILED)
    assert_nothing_extracted(folder)


def test_header_replaces_command_line_options(wine64, stub, workdir, start):
    folder = workdir(wine64)
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header_block(),
                        cab=sample_cab())
    # /H on the command line, but the header's no_destination_dialog is 0.
    start(wine64, exe, ["/H", "/O"]).script([destination_dialog(wine64.win_path(folder) + "\\")],
                                            exit_code=EXIT_CANCELLED)


@pytest.mark.parametrize("archive_kind", ["plain cabinet", "other package"])
def test_archive_mode_uses_the_archive_folder(wine64, stub, workdir, start, archive_kind):
    folder = workdir(wine64)
    exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    files = os.path.join(folder, "files")
    if archive_kind == "plain cabinet":
        archive = os.path.join(files, "data.cab")
        os.makedirs(files)
        with open(archive, "wb") as f:
            f.write(sample_cab())
    else:
        # Another self-extracting file: its header block plays no part, so
        # its no_destination_dialog does not hide the dialog.
        archive = write_package(os.path.join(files, "other.exe"), stub,
                                header=header_block(no_destination_dialog=1), cab=sample_cab())
    start(wine64, exe, [wine64.win_path(archive)]).script(
        [destination_dialog(wine64.win_path(files) + "\\")], exit_code=EXIT_CANCELLED)
    assert_nothing_extracted(files)


@pytest.mark.parametrize("mode", ["own executable", "archive mode"])
def test_header_text_holding_the_signature_does_not_hide_the_cabinet(wine64, stub, workdir, start,
                                                                     mode):
    # "MSCF" zero-padded in a text field is the whole 8-byte signature.
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    header = header_block(prompt_title="MSCF", destination=wine64.win_path(out),
                          no_destination_dialog=1, open_folder=0)
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header, cab=sample_cab())
    args = []
    if mode == "archive mode":
        args = ["/H", "/N", f'"{wine64.win_path(exe)}"', f'"{wine64.win_path(out)}"']
        exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    start(wine64, exe, args).script([], exit_code=EXIT_OK)
    with open(os.path.join(out, "hello.txt"), "rb") as f:
        assert f.read() == b"hello, world\r\n"


def test_archive_mode_with_no_cabinet_in_japanese(wine32, stub, workdir, start):
    folder = workdir(wine32)
    exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    archive = os.path.join(folder, "notes.txt")
    with open(archive, "wb") as f:
        f.write(b"just text\r\n" * 10)
    box = message_box("CAB-SFX", MSG3["ja"])
    start(wine32, exe, [wine32.win_path(archive)], lang="ja").script([box], exit_code=EXIT_FAILED)


def test_destination_dialog_in_japanese(wine64, stub, workdir, start):
    folder = workdir(wine64)
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=header_block(),
                        cab=sample_cab())
    start(wine64, exe, lang="ja").script(
        [destination_dialog(wine64.win_path(folder) + "\\", lang="ja")], exit_code=EXIT_CANCELLED)


def test_archive_named_without_a_folder_keeps_an_empty_destination(wine64, stub, workdir, start):
    # "a.cab /N" from the archive's own folder: the base folder is empty, so
    # the dialog offers an empty destination.
    folder = workdir(wine64)
    exe = copy_stub(stub, os.path.join(folder, "plain.exe"))
    with open(os.path.join(folder, "a.cab"), "wb") as f:
        f.write(sample_cab())
    start(wine64, exe, "a.cab /N").script([destination_dialog("")], exit_code=EXIT_CANCELLED)
    assert_nothing_extracted(folder)
