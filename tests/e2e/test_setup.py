"""After extraction: the package's setup (an INF through rundll32 and
setupapi, a program with parameters, a document) and the clean-up of what was
extracted."""
import glob
import os
import shutil
import subprocess
import time

import pytest

from conftest import BUILD
from harness import EXIT_CANCELLED, EXIT_FAILED, IDCANCEL, IDOK, Step, deadline_after, press, type_text
from package import CabFile, cabinet, header_block, write_package

FAKE_SETUP = os.path.join(BUILD, "win32", "tests", "e2e", "fake_setup.exe")
DATA = os.path.join(os.path.dirname(__file__), "data")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_text(path, text, timeout=20):
    deadline = deadline_after(timeout)
    while time.monotonic() < deadline:
        if os.path.exists(path) and text in read(path).decode("utf-8", "replace"):
            return True
        time.sleep(0.2)
    return False


def lines(path):
    return read(path).decode("utf-8", "replace").splitlines() if os.path.exists(path) else []


def make_package(stub, folder, wine, files, name="pkg.exe", destination=None, **fields):
    target = os.path.join(folder, "out")
    fields.setdefault("no_destination_dialog", 1)
    header = header_block(no_confirm=1,
                          destination=destination if destination is not None else wine.win_path(target),
                          **fields)
    exe = write_package(os.path.join(folder, name), stub, header=header, cab=cabinet(files))
    return exe, target


def program_files():
    return [CabFile("fake_setup.exe", read(FAKE_SETUP)), CabFile("docs\\notes.txt", b"notes\r\n"),
            CabFile("docs\\deep\\more.txt", b"more\r\n", attribs=0x21)]


@pytest.fixture
def record(workdir, monkeypatch):
    """record(wine) -> Linux path of the file the stand-in setup writes."""
    def make(wine):
        path = os.path.join(workdir(wine), "record.txt")
        monkeypatch.setenv("CABSFX_SETUP_RECORD", wine.win_path(path))
        return path
    return make


def test_program_gets_its_parameters_and_folder(wine64, stub, workdir, start, record):
    folder = workdir(wine64)
    log = record(wine64)
    exe, target = make_package(stub, folder, wine64, program_files(), setup_file="fake_setup.exe /s")
    start(wine64, exe).script([])
    assert wait_for_text(log, "setup=exit")
    got = lines(log)
    assert f"cwd={wine64.win_path(target)}" in got
    assert "args=/s" in got
    assert os.path.isfile(os.path.join(target, "docs", "deep", "more.txt"))


def test_without_delete_the_package_does_not_wait(wine32, stub, workdir, start, record, monkeypatch):
    folder = workdir(wine32)
    log = record(wine32)
    monkeypatch.setenv("CABSFX_SETUP_LINGER_MS", "30000")
    exe, target = make_package(stub, folder, wine32, program_files(), setup_file="fake_setup.exe")
    run = start(wine32, exe)
    run.script([], end_timeout=25)  # ends well before the setup does
    assert wait_for_text(log, "args=")
    assert "setup=exit" not in lines(log)
    assert wait_for_text(log, "setup=exit", timeout=60)
    assert os.path.isfile(os.path.join(target, "fake_setup.exe"))


@pytest.mark.parametrize("followup", ["InstallShield_Win", "MsiDialogCloseClass", "Setup"])
def test_clean_up_waits_for_the_setup_and_its_installer_window(wine64, stub, workdir, start, record,
                                                               monkeypatch, followup):
    folder = workdir(wine64)
    log = record(wine64)
    monkeypatch.setenv("CABSFX_SETUP_FOLLOWUP", followup)
    monkeypatch.setenv("CABSFX_SETUP_FOLLOWUP_MS", "2500")
    # Its process, started from the destination, outlives the window a while.
    monkeypatch.setenv("CABSFX_SETUP_FOLLOWUP_TAIL_MS", "1500")
    target = os.path.join(folder, "out")
    monkeypatch.setenv("CABSFX_SETUP_WATCH", wine64.win_path(os.path.join(target, "docs", "notes.txt")))
    monkeypatch.setenv("CABSFX_SETUP_EXIT_CODE", "3010")  # passed on: the package waited for it
    exe, _ = make_package(stub, folder, wine64, program_files(), setup_file="fake_setup.exe /quiet",
                          delete_after_setup=1)
    start(wine64, exe).script([], end_timeout=60, exit_code=3010)
    got = lines(log)
    assert "followup=shown" in got
    # The files were still there when the installer window closed...
    assert "watch=present" in got, got
    # ...and are gone now, with the folders they were extracted into.
    assert not os.path.exists(os.path.join(target, "fake_setup.exe"))
    assert not os.path.exists(os.path.join(target, "docs"))


def test_private_temp_folder_is_removed(wine64, stub, workdir, start, record):
    folder = workdir(wine64)
    log = record(wine64)
    exe, _ = make_package(stub, folder, wine64, program_files(), name="tmppkg.exe",
                          destination="%temp%", setup_file="fake_setup.exe", delete_after_setup=1)
    start(wine64, exe).script([], end_timeout=60)
    cwd = [line[4:] for line in lines(log) if line.startswith("cwd=")]
    assert cwd and cwd[0].endswith("\\~tmppkg.exe"), cwd
    temp_private = os.path.join(wine64.drive_c, *cwd[0][3:].split("\\"))
    assert not os.path.exists(temp_private)


@pytest.mark.parametrize("planted", ["link", "folder"])
def test_private_temp_folder_is_always_the_runs_own(wine64, stub, workdir, start, record, planted):
    folder = workdir(wine64)
    log = record(wine64)
    victim = os.path.join(folder, "victim")
    os.makedirs(victim)
    temp, = glob.glob(os.path.join(wine64.drive_c, "users", "*", "[Tt]emp"))
    taken = os.path.join(temp, f"~tmp{planted}.exe")  # there before the run
    if planted == "link":
        os.symlink(victim, taken)
    else:
        os.makedirs(taken)
        open(os.path.join(taken, "version.dll"), "wb").close()
    exe, _ = make_package(stub, folder, wine64, program_files(), name=f"tmp{planted}.exe",
                          destination="%temp%", setup_file="fake_setup.exe", delete_after_setup=1)
    start(wine64, exe).script([], end_timeout=60)
    assert [line for line in lines(log) if line.startswith("cwd=")][0].endswith(f"~tmp{planted}.exe.1")
    assert os.listdir(victim) == [] and not os.path.exists(taken + ".1")
    assert planted == "link" or os.listdir(taken) == ["version.dll"]


def test_folder_with_a_file_of_the_setup_stays(wine64, stub, workdir, start, record, monkeypatch):
    folder = workdir(wine64)
    record(wine64)
    monkeypatch.setenv("CABSFX_SETUP_LEAVE", "docs\\deep\\left-by-setup.txt")
    exe, target = make_package(stub, folder, wine64, program_files(), setup_file="fake_setup.exe",
                               delete_after_setup=1)
    start(wine64, exe).script([], end_timeout=60)
    assert os.path.isfile(os.path.join(target, "docs", "deep", "left-by-setup.txt"))
    assert not os.path.exists(os.path.join(target, "docs", "deep", "more.txt"))
    assert not os.path.exists(os.path.join(target, "docs", "notes.txt"))
    assert not os.path.exists(os.path.join(target, "fake_setup.exe"))


def test_clean_up_removes_only_what_the_run_made_and_follows_no_link(wine64, stub, workdir, start,
                                                                     record, monkeypatch):
    folder = workdir(wine64)
    log = record(wine64)
    monkeypatch.setenv("CABSFX_SETUP_LINGER_MS", "3000")
    target = os.path.join(folder, "out")
    os.makedirs(os.path.join(target, "docs", "empty before"))  # there before the run
    victim = os.path.join(folder, "victim")
    os.makedirs(os.path.join(victim, "empty"))
    with open(os.path.join(victim, "more.txt"), "wb") as f:
        f.write(b"not the package's")
    files = program_files() + [CabFile("docs\\deep\\inner\\x.txt", b"x")]
    exe, _ = make_package(stub, folder, wine64, files, setup_file="fake_setup.exe",
                          delete_after_setup=1)
    run = start(wine64, exe)
    assert wait_for_text(log, "args=")
    # While the setup runs, an extracted folder becomes a link to another one.
    deep = os.path.join(target, "docs", "deep")
    shutil.rmtree(deep)
    os.symlink(victim, deep)
    run.script([], end_timeout=60)
    assert read(os.path.join(victim, "more.txt")) == b"not the package's"
    assert os.path.isdir(os.path.join(victim, "empty"))
    assert os.path.isdir(os.path.join(target, "docs", "empty before"))
    assert not os.path.exists(os.path.join(target, "docs", "notes.txt"))
    assert not os.path.exists(os.path.join(target, "fake_setup.exe"))


def test_folder_picked_in_the_dialog_is_not_taken_for_the_private_one(wine64, stub, workdir, start,
                                                                      record):
    folder = workdir(wine64)
    record(wine64)
    chosen = os.path.join(folder, "chosen")
    os.makedirs(chosen)
    exe, _ = make_package(stub, folder, wine64, program_files(), name="tmppick.exe",
                          destination="%temp%", setup_file="fake_setup.exe", delete_after_setup=1,
                          no_destination_dialog=0)
    start(wine64, exe).script([
        Step(title="Confirm Extracting",
             actions=[type_text(1001, wine64.win_path(chosen)), press(IDOK)])], end_timeout=60)
    assert os.path.isdir(chosen)  # emptied by the clean-up, but the user's own folder
    assert not os.listdir(chosen)


def private_temp_folder(wine, name):
    return glob.glob(os.path.join(wine.drive_c, "users", "*", "[Tt]emp", "~" + name))


@pytest.mark.parametrize("how", ["damaged", "cancelled"])
def test_failed_run_leaves_nothing_of_the_private_temp_folder(wine64, stub, workdir, start, record,
                                                              how):
    folder = workdir(wine64)
    log = record(wine64)
    name = f"tmpfail-{how}.exe"
    for old in private_temp_folder(wine64, name):
        shutil.rmtree(old)
    # Slow enough to cancel: thousands of small files, then a large one.
    files = program_files() + [CabFile(f"data\\f{i:04d}.bin", bytes([i % 256]) * 1024)
                               for i in range(3000)]
    files.append(CabFile("data\\big.bin", bytes(range(256)) * 40000))
    cab = bytearray(cabinet(files))
    if how == "damaged":
        cab[-1000] ^= 0x55
    exe = write_package(os.path.join(folder, name), stub,
                        header=header_block(destination="%temp%", setup_file="fake_setup.exe",
                                            delete_after_setup=1, no_destination_dialog=1,
                                            no_confirm=1, crc=0), cab=bytes(cab))
    run = start(wine64, exe)
    if how == "damaged":
        run.script([Step(title="CAB-SFX", texts=["Cannot extract the archive."],
                         actions=[press(IDOK)])], exit_code=EXIT_FAILED)
    else:
        progress = run.next_window(30)
        assert progress is not None and progress.title == "Decompressing..."
        run.driver.click(progress.hwnd, IDCANCEL)
        run.expect_end(30, exit_code=EXIT_CANCELLED)
    assert not os.path.exists(log)  # no setup ran
    assert private_temp_folder(wine64, name) == []


def reg_query(wine, key, value):
    done = subprocess.run(["wine", "reg", "query", key, "/v", value], capture_output=True, text=True,
                          env=wine.env("en"), timeout=180)
    return done.stdout if done.returncode == 0 else ""


def inf_files():
    return [CabFile("install.inf", read(os.path.join(DATA, "install.inf"))),
            CabFile("payload.txt", read(os.path.join(DATA, "payload.txt")))]


@pytest.fixture
def inf_cleanup():
    touched = []
    yield touched.append
    for wine in touched:
        shutil.rmtree(os.path.join(wine.drive_c, "windows", "cabsfx-inf-test"), ignore_errors=True)
        subprocess.run(["wine", "reg", "delete", r"HKCU\Software\cabsfx-test", "/f"],
                       capture_output=True, env=wine.env("en"), timeout=180)


@pytest.mark.parametrize("delete", [0, 1], ids=["keep", "delete"])
def test_inf_installs_through_rundll32_and_setupapi(any_wine, stub, workdir, start, inf_cleanup, delete):
    inf_cleanup(any_wine)
    folder = workdir(any_wine)
    exe, target = make_package(stub, folder, any_wine, inf_files(), setup_file="install.inf",
                               delete_after_setup=delete)
    start(any_wine, exe).script([], end_timeout=90)
    installed = os.path.join(any_wine.drive_c, "windows", "cabsfx-inf-test", "payload.txt")
    assert os.path.isfile(installed)
    assert "yes" in reg_query(any_wine, r"HKCU\Software\cabsfx-test", "Installed")
    assert os.path.exists(os.path.join(target, "install.inf")) == (not delete)


def test_rundll32_beside_the_package_is_refused(wine64, stub, workdir, start, record, inf_cleanup):
    inf_cleanup(wine64)
    folder = workdir(wine64)
    log = record(wine64)
    shutil.copyfile(FAKE_SETUP, os.path.join(folder, "rundll32.exe"))
    exe, target = make_package(stub, folder, wine64, inf_files(), setup_file="install.inf",
                               delete_after_setup=1)
    start(wine64, exe).script([], end_timeout=60)
    time.sleep(1)
    assert not os.path.exists(log), "the rundll32.exe beside the package was started"
    # The launcher then looks for rundll.exe in the Windows folder (Wine has
    # one, with setupx.dll); whatever it did, the clean-up followed.
    assert not os.path.exists(os.path.join(target, "install.inf"))


def test_document_is_opened_by_the_shell(wine64, stub, workdir, start):
    folder = workdir(wine64)
    exe, target = make_package(stub, folder, wine64, [CabFile("readme.txt", b"read me\r\n")],
                               setup_file="readme.txt")
    start(wine64, exe).script([])
    deadline = deadline_after(20)
    opened = []
    while time.monotonic() < deadline and not opened:
        opened = [w for w in wine64.driver.windows() if "readme" in w.title.lower()]
        time.sleep(0.3)
    wine64.kill_all()  # close what the shell started
    assert opened, "no window shows readme.txt"
