"""The package's CRC check (dialog 103 and message 8) and the 64-bit gate."""
import os
import subprocess
import time

import pytest

from conftest import BUILD
from harness import EXIT_FAILED, IDOK, deadline_after, message_box
from package import CabFile, cabinet, crc32_of, header_block, pack_with_tool, write_package
from test_extract import tree
from test_extract_tool import run_quietly, source_tree, tool  # noqa: F401 (fixture)

MSG8 = {"en": "CRC check error!", "ja": "CRC チェックエラー"}
MSG12 = "This auto-sfx-module cannot be run in Win32."
FAKE_SETUP = os.path.join(BUILD, "win32", "tests", "e2e", "fake_setup.exe")


def files(big=0):
    result = [CabFile("hello.txt", b"hello, world\r\n"), CabFile("sub\\data.bin", bytes(range(256)) * 40)]
    if big:
        result.append(CabFile("big.bin", os.urandom(big)))
    return result


def extracted_into(folder):
    return (os.path.isfile(os.path.join(folder, "hello.txt"))
            and os.path.isfile(os.path.join(folder, "sub", "data.bin")))


def crc_package(stub, folder, wine, cab=None, damage_cabinet=False, damage_header=False, **fields):
    cab = cab or cabinet(files())
    target = os.path.join(folder, "out")
    fields.setdefault("destination", wine.win_path(target))
    header = bytearray(header_block(crc=crc32_of(cab), no_destination_dialog=1, no_confirm=1, **fields))
    if damage_header:
        header[7] ^= 0x5A               # the reserved byte
        header[420] ^= 0x5A             # the title of a question that has no text
    if damage_cabinet:
        cab = bytearray(cab)
        cab[9] ^= 0x01                  # cbCabinet: covered by the CRC, ignored by the reader
    exe = write_package(os.path.join(folder, "pkg.exe"), stub, header=bytes(header), cab=bytes(cab))
    return exe, target


@pytest.mark.parametrize("damage_header", [False, True], ids=["intact", "header byte changed"])
def test_matching_crc_extracts_without_a_message(wine64, stub, workdir, start, damage_header):
    exe, target = crc_package(stub, workdir(wine64), wine64, damage_header=damage_header,
                              prompt_title="unused title")
    start(wine64, exe).script([])
    assert extracted_into(target)


@pytest.mark.parametrize("lang", ["en", "ja"])
def test_mismatch_warns_and_extracts_without_a_setup_file(wine32, stub, workdir, start, lang):
    exe, target = crc_package(stub, workdir(wine32), wine32, damage_cabinet=True)
    # The files are there, but a package that failed its check is no success.
    start(wine32, exe, lang=lang).script([message_box("Warning", MSG8[lang], answer=IDOK)],
                                         exit_code=EXIT_FAILED)
    assert extracted_into(target)


def test_mismatch_stops_a_package_with_a_setup_file(wine64, stub, workdir, start):
    exe, target = crc_package(stub, workdir(wine64), wine64, damage_cabinet=True,
                              setup_file="hello.txt")
    start(wine64, exe).script([message_box("Warning", MSG8["en"], answer=IDOK)],
                              exit_code=EXIT_FAILED)
    assert not os.path.exists(target)


def test_check_dialog_is_shown_while_a_large_package_is_read(wine64, stub, workdir, start):
    cab = cabinet(files(big=48 << 20))
    exe, target = crc_package(stub, workdir(wine64), wine64, cab=cab)
    run = start(wine64, exe)
    run.script([])
    checks = [s for s in run.seen if s.title == "" and any(c.id == 1004 for c in s.controls)]
    assert checks, f"dialog 103 not seen (windows: {[s.title for s in run.seen]})"
    assert "CRC checking..." in checks[0].text
    assert extracted_into(target)


def signed_package(tool, stub, folder, wine, target):
    """A package packed by the tool with a CRC, then signed by osslsigncode with
    a throwaway certificate; returns (signed package, certificate)."""
    exe = pack_with_tool(tool, stub, os.path.join(folder, "pkg.exe"), [os.path.join(folder, "source")],
                         "--crc", "--no-dialog", "--no-open-folder",
                         "--destination", wine.win_path(target))
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=cabsfx test"],
                   check=True, capture_output=True)
    signed = os.path.join(folder, "signed.exe")
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "cabsfx test",
                    "-in", exe, "-out", signed], check=True, capture_output=True)
    return signed, cert


@pytest.mark.parametrize("damage", [False, True], ids=["intact", "cabinet byte changed"])
def test_signed_package_passes_its_check_and_extracts(wine64, stub, tool, workdir, start, damage):
    folder = workdir(wine64)
    files = source_tree(os.path.join(folder, "source"))
    target = os.path.join(folder, "out")
    os.makedirs(target)
    signed, cert = signed_package(tool, stub, folder, wine64, target)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                              capture_output=True, text=True)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    if damage:
        with open(signed, "r+b") as f:
            data = f.read()
            f.seek(data.index(b"MSCF\0\0\0\0") + 9)   # cbCabinet: read by no one
            f.write(bytes([data[data.index(b"MSCF\0\0\0\0") + 9] ^ 1]))
    boxes = []
    run_quietly(start(wine64, signed), boxes, exit_code=1 if damage else 0)
    assert boxes == ([("Warning", MSG8["en"])] if damage else [])
    got = tree(target)
    assert all(got[name.replace("/", os.sep)] == data for name, data in files.items())


def setup_package(stub, folder, wine, record):
    with open(FAKE_SETUP, "rb") as f:
        program = f.read()
    cab = cabinet(files() + [CabFile("fake_setup.exe", program)])
    target = os.path.join(folder, "out")
    header = header_block(mode=b"6", setup_file="fake_setup.exe /gate", no_destination_dialog=1,
                          no_confirm=1, destination=wine.win_path(target))
    return write_package(os.path.join(folder, "pkg64.exe"), stub, header=header, cab=cab), target


def test_64bit_package_is_refused_on_32bit_windows(wine32, stub, workdir, start, monkeypatch):
    folder = workdir(wine32)
    record = os.path.join(folder, "record.txt")
    monkeypatch.setenv("CABSFX_SETUP_RECORD", wine32.win_path(record))
    exe, target = setup_package(stub, folder, wine32, record)
    start(wine32, exe).script([message_box("CAB-SFX", MSG12, answer=IDOK)], exit_code=EXIT_FAILED)
    assert not os.path.exists(target)
    assert not os.path.exists(record)


def test_64bit_package_runs_on_64bit_windows(wine64, stub, workdir, start, monkeypatch):
    folder = workdir(wine64)
    record = os.path.join(folder, "record.txt")
    monkeypatch.setenv("CABSFX_SETUP_RECORD", wine64.win_path(record))
    exe, target = setup_package(stub, folder, wine64, record)
    start(wine64, exe).script([])
    assert extracted_into(target)
    # Without delete-after-setup the package does not wait for its setup.
    assert wait_for_text(record, "args=/gate")


def wait_for_text(path, text, timeout=20):
    deadline = deadline_after(timeout)
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        time.sleep(0.2)
    return False
