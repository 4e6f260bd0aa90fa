"""Extraction under Wine: the tree with its bytes, dates and attributes, the
overwrite confirmation and its answers, Cancel and the close button of the
progress window, hostile names, damaged packages and missing continuation
cabinets, and pictures of the two extraction windows in both languages."""
import datetime
import os
import struct
import time
import zlib

import pytest

from harness import (EXIT_CANCELLED, EXIT_FAILED, EXIT_OK, IDCANCEL, IDNO, IDOK, IDYES,
                     WindowFailure, deadline_after)
from package import cab_checksum, dos_datetime, header_block, write_package

PROGRESS_TITLE = {"en": "Decompressing...", "ja": "進捗状況"}
OVERWRITE_TITLE = {"en": "Confirm File Replace", "ja": "ファイル上書きの確認"}
MSG6 = {"en": "invalid filename.(skipped)", "ja": "不正なファイル名の展開をスキップします。"}
MSG13 = {"en": "Cannot extract the archive.\nThe archive may be damaged.",
         "ja": "書庫を展開できません。\n書庫が壊れている可能性があります。"}
MSG14 = {"en": "Cannot write the file\n", "ja": "ファイルを書き込めません。\n"}
MSG16 = {"en": "Cannot start the extraction.", "ja": "展開を開始できません。"}
MSG15 = {"en": "The next cabinet of this archive is not beside it:\n",
         "ja": "この書庫の次のキャビネットが同じフォルダにありません:\n"}
YES_TO_ALL, NEWER, CANCEL_BUTTON = 1003, 1004, 1007
FILE_NAME_CONTROL = 1006
MARKER = "setup-ran.txt"


# ---------------------------------------------------------------- cabinets

class Entry:
    """A file of a cabinet: stored name (str or bytes), data, DOS stamp, attributes."""

    def __init__(self, name, data=b"", when=(2020, 1, 2, 3, 4, 6), attribs=0x20):
        self.name, self.data, self.when, self.attribs = name, data, when, attribs

    def raw_name(self, codepage):
        return self.name if isinstance(self.name, bytes) else self.name.encode(codepage)


def _blocks(stream, compression, block_size=32768):
    """CFDATA blocks of one folder: (header+data bytes) each, real checksums."""
    out = []
    previous = b""
    for start in range(0, len(stream), block_size):
        chunk = stream[start:start + block_size]
        if compression == "mszip":
            # One deflate stream per block, the previous block as its dictionary.
            packer = zlib.compressobj(6, zlib.DEFLATED, -15, zdict=previous) if previous \
                else zlib.compressobj(6, zlib.DEFLATED, -15)
            data = b"CK" + packer.compress(chunk) + packer.flush()
            previous = chunk
        else:
            data = chunk
        head = struct.pack("<HH", len(data), len(chunk))
        out.append(struct.pack("<I", cab_checksum(head, cab_checksum(data))) + head + data)
    return out


def _cabinet(records, blocks, compression, files, set_id=0x6161, index=0, prev=None, next_=None):
    flags = (1 if prev else 0) | (2 if next_ else 0)
    names = b""
    for pair in (prev, next_):
        if pair:
            names += pair[0].encode() + b"\0" + pair[1].encode() + b"\0"
    coff_files = 36 + len(names) + 8
    coff_data = coff_files + len(records)
    body = b"".join(blocks)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, coff_data + len(body), 0, coff_files, 0, 3, 1,
                                   1, files, flags, set_id, index)
    folder = struct.pack("<IHH", coff_data, len(blocks), 1 if compression == "mszip" else 0)
    return header + names + folder + records + body


def _record(entry, offset, folder, codepage):
    date, tm = dos_datetime(*entry.when)
    return struct.pack("<IIHHHH", len(entry.data), offset, folder, date, tm, entry.attribs) + \
        entry.raw_name(codepage) + b"\0"


def make_cabinet(entries, compression="none", codepage="cp1252"):
    records = b""
    offset = 0
    for e in entries:
        records += _record(e, offset, 0, codepage)
        offset += len(e.data)
    blocks = _blocks(b"".join(e.data for e in entries), compression)
    return _cabinet(records, blocks, compression, len(entries))


def make_cabinet_set(first, spanning, next_name="next.cab"):
    """Two stored cabinets: `first` entries and the head of `spanning` in the
    first, the rest of `spanning` in the second (whole blocks on each side)."""
    stream = b"".join(e.data for e in first) + spanning.data
    blocks = _blocks(stream, "none")
    cut = len(blocks) // 2 + 1
    records = b""
    offset = 0
    for e in first:
        records += _record(e, offset, 0, "cp1252")
        offset += len(e.data)
    span_record = _record(spanning, offset, 0xFFFE, "cp1252")
    one = _cabinet(records + span_record, blocks[:cut], "none", len(first) + 1,
                   next_=(next_name, "disk2"))
    two = _cabinet(_record(spanning, offset, 0xFFFD, "cp1252"), blocks[cut:], "none", 1, index=1,
                   prev=("first.cab", "disk1"))
    return one, two


def pseudo_random(size, seed):
    """Bytes that compress poorly, quickly made."""
    out = bytearray()
    block = seed.to_bytes(4, "little")
    while len(out) < size:
        block = zlib.crc32(block).to_bytes(4, "little") + block[:60]
        out += block * 16
    return bytes(out[:size])


# ---------------------------------------------------------------- running

def package(wine, folder, name, cab, destination, **fields):
    fields.setdefault("no_destination_dialog", 1)
    fields.setdefault("open_folder", 0)
    header = header_block(destination=wine.win_path(destination) + "\\", **fields)
    return write_package(os.path.join(folder, name), STUB[0], header=header, cab=cab)


STUB = [None]


@pytest.fixture(autouse=True)
def _stub(stub):
    STUB[0] = stub


def is_progress(seen):
    """The progress window, known by its title: it may close while its
    controls are being read."""
    return seen.title in PROGRESS_TITLE.values() and seen.klass == "#32770"


def is_overwrite(seen):
    ids = {c.id for c in seen.controls}
    return YES_TO_ALL in ids and CANCEL_BUTTON in ids


def drive(run, on_window, timeout=120, exit_code=EXIT_OK):
    """Serves the run's windows until it ends with `exit_code`: the progress
    window is noted (and given to `on_window` too), every other window goes to
    `on_window`, which answers it or raises. Returns the windows seen."""
    deadline = deadline_after(timeout)
    while run.running():
        if time.monotonic() > deadline:
            run.kill()
            raise WindowFailure(f"the run did not end within {timeout} s; windows: "
                                + ", ".join(repr(s.title) for s in run.seen))
        seen = run.next_window(0.5)
        if seen is None:
            continue
        handled = on_window(run.driver, seen)
        # A dialog caught while it was being made (no title yet) and gone
        # before it could be read is the progress window of a short run.
        if not handled and not is_progress(seen) and not run._transient(seen):
            run.kill()
            raise WindowFailure(f"unexpected window {seen.title!r} ({seen.klass}): {seen.text!r}")
    # A window that flashed up just before the end.
    assert run.proc.wait(10) == exit_code & 0xFF
    return run.seen


def no_other_window(driver, seen):
    return False


def message_box_answer(expected_texts, box_log):
    """Accepts message boxes whose text is one of `expected_texts`, presses OK."""
    def handler(driver, seen):
        if is_progress(seen) or 65535 not in {c.id for c in seen.controls}:
            return False
        text = seen.control_text(65535)
        box_log.append((seen.title, text))
        assert any(t in text for t in expected_texts), f"message box {text!r}"
        driver.click(seen.hwnd, IDOK)
        return True
    return handler


def local_stamp(when):
    return time.mktime(datetime.datetime(*when).timetuple())


def tree(root):
    """{relative path: bytes or None for a folder}."""
    result = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            result[os.path.relpath(os.path.join(folder, d), root)] = None
        for f in files:
            with open(os.path.join(folder, f), "rb") as fh:
                result[os.path.relpath(os.path.join(folder, f), root)] = fh.read()
    return result


def dos_attributes(path):
    """Read-only from the permissions, hidden/system/archive from Wine's
    user.DOSATTRIB attribute when the file system keeps it."""
    value = 0 if os.stat(path).st_mode & 0o222 else 0x01
    try:
        text = os.getxattr(path, "user.DOSATTRIB").decode().strip("\0")
        value |= int(text, 16) & 0x26
    except (OSError, ValueError):
        pass
    return value


def setup_marker_entry(marker_folder):
    """A setup script that leaves a marker: proves whether the after-action ran."""
    return Entry("setup.cmd", f"echo ran> \"{marker_folder}\\{MARKER}\"\r\n".encode())


def wait_for(predicate, seconds):
    deadline = deadline_after(seconds)
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


# ---------------------------------------------------------------- tests

def sample_tree():
    return [
        Entry("readme.txt", b"hello, world\r\n", (2003, 1, 2, 4, 5, 6)),
        Entry("empty.dat", b"", (2010, 10, 16, 14, 5, 32), 0x01),
        Entry("docs\\guide\\chapter1.txt", b"chapter one\r\n" * 300, (1999, 12, 31, 23, 59, 58)),
        Entry("docs\\guide\\hidden.cfg", b"secret", (2015, 6, 7, 8, 9, 10), 0x02 | 0x20),
        Entry("docs\\empty folder\\", b"", (2020, 1, 1, 0, 0, 0), 0x10),
        Entry("bin\\big.bin", pseudo_random(24 * 1024 * 1024 + 123, 7), (2021, 2, 3, 4, 5, 6)),
        Entry("bin\\zeros.bin", bytes(3 * 1024 * 1024), (2022, 3, 4, 5, 6, 8), 0x20 | 0x40 | 0x80),
        Entry("bin\\ro.txt", b"read only", (2000, 2, 29, 12, 0, 0), 0x01 | 0x20),
    ]


@pytest.mark.parametrize("compression", ["none", "mszip"])
def test_tree_extracts_with_bytes_dates_and_attributes(any_wine, workdir, start, compression):
    folder = workdir(any_wine)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    entries = sample_tree()
    exe = package(any_wine, folder, "tree.exe", make_cabinet(entries, compression), out)
    drive(start(any_wine, exe), no_other_window)

    got = tree(out)
    expected = {}
    for e in entries:
        path = e.name.replace("\\", "/").rstrip("/")
        expected[path] = None if e.name.endswith("\\") else e.data
        parent = os.path.dirname(path)
        while parent:
            expected[parent] = None
            parent = os.path.dirname(parent)
    assert sorted(got) == sorted(expected)
    for path, data in expected.items():
        assert got[path] == data, path
    for e in entries:
        if e.name.endswith("\\"):
            continue
        path = os.path.join(out, *e.name.split("\\"))
        assert os.stat(path).st_mtime == local_stamp(e.when), e.name
        assert dos_attributes(path) & 0x01 == e.attribs & 0x01, e.name
        if e.attribs & 0x02:
            assert dos_attributes(path) & 0x02, e.name
        os.chmod(path, 0o644)


def test_japanese_names_under_the_japanese_prefix(wine32, workdir, start):
    folder = workdir(wine32)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    entries = [Entry("資料\\表示.txt", b"sjis name"), Entry("ソ\\能.txt", b"0x5C trail bytes")]
    existing(os.path.join(out, "ソ", "能.txt"), b"old", (2019, 1, 1, 0, 0, 0))  # replaced beside it
    exe = package(wine32, folder, "jp.exe", make_cabinet(entries, codepage="cp932"), out,
                  no_confirm=1)
    drive(start(wine32, exe, lang="ja"), no_other_window)
    assert tree(out) == {"資料": None, "資料/表示.txt": b"sjis name", "ソ": None,
                         "ソ/能.txt": b"0x5C trail bytes"}


def overwrite_answers(answers, queries):
    """Answers each overwrite confirmation with the next button of `answers`,
    noting its file line and details."""
    def handler(driver, seen):
        if not is_overwrite(seen):
            return False
        queries.append((seen.control_text(1009), seen.control_text(1005), seen.control_text(1008)))
        answer = answers.pop(0)
        if answer == "close box":
            driver.close(seen.hwnd)
        else:
            driver.click(seen.hwnd, answer)
        return True
    return handler


def existing(path, data, when):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    stamp = local_stamp(when)
    os.utime(path, (stamp, stamp))


NEW_WHEN = (2020, 5, 6, 7, 8, 10)


def test_overwrite_yes_no_and_yes_to_all(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    for name in ("a.txt", "b.txt", "c.txt", "d.txt"):
        existing(os.path.join(out, name), b"old " + name.encode(), (2019, 1, 1, 0, 0, 0))
    entries = [Entry(n, (b"new " + n.encode()) * 200, NEW_WHEN) for n in
               ("a.txt", "b.txt", "c.txt", "d.txt")]
    exe = package(wine64, folder, "ow.exe", make_cabinet(entries), out)
    queries = []
    answers = [IDYES, IDNO, YES_TO_ALL]
    drive(start(wine64, exe), overwrite_answers(answers, queries))
    assert not answers
    assert len(queries) == 3  # d.txt is not asked about after Yes to All
    assert queries[0][0] == "'a.txt'"
    assert queries[0][1] == "9 Bytes\nModified: 01, 01, 2019,  00:00:00"
    assert queries[0][2] == "1,800 Bytes\nModified: 05, 06, 2020,  07:08:10"
    got = tree(out)
    assert got["a.txt"] == entries[0].data
    assert got["b.txt"] == b"old b.txt"
    assert got["c.txt"] == entries[2].data
    assert got["d.txt"] == entries[3].data


def test_overwrite_newer_keeps_newer_existing_files(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    existing(os.path.join(out, "first.txt"), b"old", (2019, 1, 1, 0, 0, 0))   # older: replaced
    existing(os.path.join(out, "newer.txt"), b"keep", (2021, 1, 1, 0, 0, 0))  # newer: kept
    existing(os.path.join(out, "older.txt"), b"old", (2018, 1, 1, 0, 0, 0))   # older: replaced
    entries = [Entry(n, b"new", NEW_WHEN) for n in ("first.txt", "newer.txt", "older.txt")]
    exe = package(wine64, folder, "newer.exe", make_cabinet(entries), out)
    queries = []
    drive(start(wine64, exe), overwrite_answers([NEWER], queries))
    assert len(queries) == 1
    assert tree(out) == {"first.txt": b"new", "newer.txt": b"keep", "older.txt": b"new"}


@pytest.mark.parametrize("answer", [CANCEL_BUTTON, "close box"], ids=["cancel", "close box"])
def test_overwrite_cancel_ends_the_run_without_after_action(wine64, workdir, start, answer):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    existing(os.path.join(out, "b.txt"), b"old", (2019, 1, 1, 0, 0, 0))
    entries = [setup_marker_entry(wine64.win_path(folder)), Entry("b.txt", b"new"),
               Entry("c.txt", b"never")]
    exe = package(wine64, folder, "cancel.exe", make_cabinet(entries), out, setup_file="setup.cmd")
    queries = []
    drive(start(wine64, exe), overwrite_answers([answer], queries), exit_code=EXIT_CANCELLED)
    assert len(queries) == 1
    assert open(os.path.join(out, "b.txt"), "rb").read() == b"old"
    assert not os.path.exists(os.path.join(out, "c.txt"))
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 3)


def test_no_confirm_replaces_read_only_files_and_runs_the_setup(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    path = os.path.join(out, "ro.txt")
    existing(path, b"old", (2019, 1, 1, 0, 0, 0))
    os.chmod(path, 0o444)
    entries = [setup_marker_entry(wine64.win_path(folder)), Entry("ro.txt", b"new", NEW_WHEN, 0x21)]
    exe = package(wine64, folder, "ro.exe", make_cabinet(entries), out, no_confirm=1,
                  setup_file="setup.cmd")
    drive(start(wine64, exe), no_other_window)
    assert open(path, "rb").read() == b"new"
    assert dos_attributes(path) & 0x01
    assert wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 15)
    os.chmod(path, 0o644)


@pytest.mark.parametrize("how", ["cancel button", "escape key", "close button"])
def test_cancel_in_a_large_extraction(wine64, workdir, start, how):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    many = [Entry(f"many\\f{i:05d}.bin", pseudo_random(4096, i)) for i in range(4000)]
    entries = [setup_marker_entry(wine64.win_path(folder))] + many + \
        [Entry("last.bin", pseudo_random(1 << 20, 99))]
    exe = package(wine64, folder, "large.exe", make_cabinet(entries, "mszip"), out,
                  setup_file="setup.cmd")
    pressed = []

    def handler(driver, seen):
        if is_progress(seen) and not pressed:
            pressed.append(seen.title)
            if how == "cancel button":
                driver.click(seen.hwnd, IDCANCEL)
            elif how == "escape key":
                driver.key(seen.hwnd, 0x1B)
            else:
                driver.close(seen.hwnd)
            return True
        return False

    drive(start(wine64, exe), handler, timeout=120, exit_code=EXIT_CANCELLED)
    assert pressed == [PROGRESS_TITLE["en"]]
    written = os.listdir(os.path.join(out, "many")) if os.path.isdir(os.path.join(out, "many")) else []
    assert len(written) < len(many), "the extraction ran to its end"
    # Every file left is whole: the one being written when the run stopped went.
    for name in written:
        index = int(name[1:6])
        assert open(os.path.join(out, "many", name), "rb").read() == many[index].data, name
    assert not os.path.exists(os.path.join(out, "last.bin"))
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 3)


def test_hostile_names_stay_inside_the_destination(any_wine, workdir, start):
    folder = workdir(any_wine)
    out = os.path.join(folder, "deep", "out")
    os.makedirs(out)
    long_name = "n" * (259 - len(any_wine.win_path(out) + "\\") + 1)
    entries = [
        Entry("..\\x1.txt", b"1"), Entry("../x2.txt", b"2"), Entry("a/../../x3.txt", b"3"),
        Entry("\\x4.txt", b"4"), Entry("C:\\x5.txt", b"5"), Entry("a:b", b"6"),
        Entry("sub\\..", b"7"), Entry("....\\\\x8.txt", b"8"), Entry(long_name, b"9"),
        Entry("ok.txt", b"ok"),
    ]
    exe = package(any_wine, folder, "hostile.exe", make_cabinet(entries), out)
    boxes = []
    # Files were left out: the run is no success.
    drive(start(any_wine, exe), message_box_answer([MSG6["en"]], boxes), exit_code=EXIT_FAILED)
    refused = [text.split("\n")[0] for _, text in boxes]
    assert refused == ["C:\\x5.txt", "a:b", "sub\\..", "..\\x8.txt", long_name]
    assert tree(os.path.join(folder, "deep")) == {
        "out": None, "out/x1.txt": b"1", "out/x2.txt": b"2", "out/a": None, "out/a/x3.txt": b"3",
        "out/x4.txt": b"4", "out/ok.txt": b"ok"}
    assert not os.path.exists(any_wine.c_path("x5.txt"))


@pytest.mark.parametrize("lang, replacing", [("en", False), ("ja", False), ("en", True)])
def test_damaged_package_shows_message_13_and_runs_nothing(wine64, workdir, start, lang, replacing):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    if replacing:
        existing(os.path.join(out, "a.bin"), b"old", (2019, 1, 1, 0, 0, 0))
        os.chmod(os.path.join(out, "a.bin"), 0o444)
    entries = [setup_marker_entry(wine64.win_path(folder)), Entry("a.bin", pseudo_random(100000, 3))]
    cab = bytearray(make_cabinet(entries, "mszip"))
    cab[-100] ^= 0x10  # inside the last data block
    exe = package(wine64, folder, "damaged.exe", bytes(cab), out, setup_file="setup.cmd",
                  no_confirm=int(replacing))
    boxes = []
    drive(start(wine64, exe, lang=lang), message_box_answer([MSG13[lang]], boxes),
          exit_code=EXIT_FAILED)
    assert boxes == [("CAB-SFX", MSG13[lang])]
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 3)
    # The file being written when the damage was met is not left truncated,
    # and a file it was to replace stays as it was.
    assert sorted(os.listdir(out)) == (["a.bin", "setup.cmd"] if replacing else ["setup.cmd"])
    assert not replacing or (open(os.path.join(out, "a.bin"), "rb").read() == b"old"
                             and dos_attributes(os.path.join(out, "a.bin")) & 0x01)


def test_cabinet_set_extracts_when_the_next_cabinet_is_there(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    first = [Entry("a.txt", b"first " * 10000)]
    spanning = Entry("span.bin", pseudo_random(200000, 5))
    one, two = make_cabinet_set(first, spanning)
    exe = package(wine64, folder, "set.exe", one, out)
    with open(os.path.join(folder, "next.cab"), "wb") as f:
        f.write(two)
    drive(start(wine64, exe), no_other_window)
    assert tree(out) == {"a.txt": first[0].data, "span.bin": spanning.data}


# A next cabinet named with a path is not beside the package, even when the
# file is there.
@pytest.mark.parametrize("lang,next_name", [("en", "next.cab"), ("ja", "next.cab"),
                                            ("en", "sub\\next.cab")])
def test_missing_continuation_cabinet_is_named(wine64, workdir, start, lang, next_name):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    first = [setup_marker_entry(wine64.win_path(folder)), Entry("a.txt", b"first " * 10000)]
    one, two = make_cabinet_set(first, Entry("span.bin", pseudo_random(200000, 5)), next_name)
    next_path = os.path.join(folder, *next_name.split("\\"))
    if next_name != "next.cab":
        os.makedirs(os.path.dirname(next_path))
        with open(next_path, "wb") as f:
            f.write(two)
    exe = package(wine64, folder, "set.exe", one, out, setup_file="setup.cmd")
    boxes = []
    finished_by = deadline_after(60)
    drive(start(wine64, exe, lang=lang), message_box_answer([MSG15[lang]], boxes), timeout=60,
          exit_code=EXIT_FAILED)
    assert boxes == [("CAB-SFX", MSG15[lang] + wine64.win_path(next_path))]
    assert time.monotonic() < finished_by
    assert open(os.path.join(out, "a.txt"), "rb").read() == b"first " * 10000
    assert not os.path.exists(os.path.join(out, "span.bin"))
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 3)


# ---------------------------------------------------------------- pictures

@pytest.mark.parametrize("lang", ["en", "ja"])
def test_pictures_of_progress_and_overwrite_windows(wine64, workdir, start, lang, pictures):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    existing(os.path.join(out, "report.txt"), b"x" * 1234567, (2003, 1, 2, 4, 5, 6))
    entries = [Entry(f"many\\f{i:04d}.bin", pseudo_random(2048, i)) for i in range(1500)]
    entries.insert(700, Entry("report.txt", b"y" * 2345, (2010, 10, 16, 14, 5, 32)))
    exe = package(wine64, folder, "pics.exe", make_cabinet(entries), out)
    queries = []
    progress = []

    def handler(driver, seen):
        if is_progress(seen):
            progress.append(seen)
            return True
        return overwrite_answers([IDYES], queries)(driver, seen)

    drive(start(wine64, exe, lang=lang), handler)
    assert len(queries) == 1 and progress
    assert progress[0].title == PROGRESS_TITLE[lang]
    # The stored name of the file being written, as the cabinet has it.
    assert progress[0].control_text(FILE_NAME_CONTROL).startswith("many\\f")
    if lang == "en":
        assert queries[0] == ("'report.txt'", "1,234,567 Bytes\nModified: 01, 02, 2003,  04:05:06",
                              "2,345 Bytes\nModified: 10, 16, 2010,  14:05:32")
    else:
        assert "'report.txt'" in queries[0][0]
        assert queries[0][1] == "1,234,567 バイト\n2003年01月02日 木曜日、04:05:06"
        assert queries[0][2] == "2,345 バイト\n2010年10月16日 土曜日、14:05:32"
    pictured = {os.path.basename(p) for p in os.listdir(pictures)}
    assert any(OVERWRITE_TITLE[lang].replace(" ", "-") in name for name in pictured), pictured
    assert any(PROGRESS_TITLE[lang].strip(".") in name for name in pictured), pictured


def test_existing_file_that_cannot_be_read_shows_no_details(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    path = os.path.join(out, "locked.txt")
    existing(path, b"old", (2019, 1, 1, 0, 0, 0))
    exe = package(wine64, folder, "locked.exe",
                  make_cabinet([Entry("locked.txt", b"new", NEW_WHEN), Entry("next.txt", b"n")]),
                  out)
    queries = []
    wine64.driver.hold(wine64.win_path(path))
    try:
        drive(start(wine64, exe), overwrite_answers([IDNO], queries))
    finally:
        wine64.driver.release()
    assert queries == [("'locked.txt'", "", "3 Bytes\nModified: 05, 06, 2020,  07:08:10")]
    assert tree(out) == {"locked.txt": b"old", "next.txt": b"n"}


@pytest.mark.parametrize("lang, blocker", [("en", "folder"), ("ja", "folder"), ("en", "locked")])
def test_output_file_that_cannot_be_written_is_named_with_the_reason(wine64, workdir, start, lang,
                                                                     blocker):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    path = os.path.join(out, "report.txt")
    if blocker == "folder":
        os.makedirs(path)
    else:
        existing(path, b"old", (2019, 1, 1, 0, 0, 0))
        wine64.driver.hold(wine64.win_path(path))
    entries = [setup_marker_entry(wine64.win_path(folder)), Entry("report.txt", b"new"),
               Entry("later.txt", b"later")]
    exe = package(wine64, folder, "blocked.exe", make_cabinet(entries), out, no_confirm=1,
                  setup_file="setup.cmd")
    boxes = []
    try:
        drive(start(wine64, exe, lang=lang), message_box_answer([MSG14[lang]], boxes),
              exit_code=EXIT_FAILED)
    finally:
        if blocker == "locked":
            wine64.driver.release()
    assert len(boxes) == 1
    text = boxes[0][1]
    assert text.startswith(MSG14[lang] + wine64.win_path(path) + "\n\n"), text
    assert len(text) > len(MSG14[lang] + wine64.win_path(path)) + 3, "no reason given"
    assert MSG13[lang] not in text
    assert not os.path.exists(os.path.join(out, "later.txt"))
    assert not wait_for(lambda: os.path.exists(os.path.join(folder, MARKER)), 3)
    if blocker == "locked":
        assert open(path, "rb").read() == b"old"


# A folder level that is a link stops the run; a file name that is a hard
# link gets a new file. The file elsewhere stays as it was either way.
@pytest.mark.parametrize("link", ["folder", "hard"])
def test_a_link_in_the_destination_is_not_written_through(wine64, workdir, start, link):
    folder = workdir(wine64)
    out, outside = os.path.join(folder, "out"), os.path.join(folder, "outside")
    os.makedirs(out)
    os.makedirs(outside)
    target = os.path.join(outside, "report.txt")
    open(target, "wb").write(b"kept")
    if link == "folder":
        os.symlink(outside, os.path.join(out, "sub"))
    else:
        os.link(target, os.path.join(out, "report.txt"))
        os.chmod(target, 0o444)  # read-only: cleared to be replaced, and kept for the other name
    name = "sub\\report.txt" if link == "folder" else "report.txt"
    exe = package(wine64, folder, "linked.exe", make_cabinet([Entry(name, b"new")]), out,
                  no_confirm=1)
    boxes = []
    drive(start(wine64, exe), message_box_answer(["Cannot create a folder."], boxes),
          exit_code=EXIT_FAILED if link == "folder" else EXIT_OK)
    assert open(target, "rb").read() == b"kept" and len(boxes) == (link == "folder")
    assert link == "folder" or (tree(out) == {"report.txt": b"new"} and dos_attributes(target) & 1)


def test_files_listed_for_deletion_go_after_the_setup(wine64, workdir, start):
    folder = workdir(wine64)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    with open(os.path.join(out, "kept.txt"), "wb") as f:
        f.write(b"not from the package")
    entries = [setup_marker_entry(wine64.win_path(folder)), Entry("sub\\one.txt", b"1"),
               Entry("two.txt", b"2")]
    exe = package(wine64, folder, "delete.exe", make_cabinet(entries), out,
                  setup_file="setup.cmd", delete_after_setup=1)
    drive(start(wine64, exe), no_other_window, timeout=60)
    assert os.path.exists(os.path.join(folder, MARKER))
    remaining = tree(out)
    assert remaining.get("kept.txt") == b"not from the package"
    assert "two.txt" not in remaining and "sub/one.txt" not in remaining
    assert "setup.cmd" not in remaining


@pytest.mark.parametrize("lang", ["en", "ja"])
def test_worker_that_cannot_start_is_told(wine32, workdir, start, lang):
    # A stack reservation that a 32-bit process cannot hold: the worker thread
    # (created with the image's default stack) cannot start; the main thread
    # runs on the stack the loader gave it.
    folder = workdir(wine32)
    out = os.path.join(folder, "out")
    os.makedirs(out)
    exe = package(wine32, folder, "nostack.exe", make_cabinet([Entry("a.txt", b"a")]), out)
    with open(exe, "r+b") as f:
        image = f.read(4096)
        pe = struct.unpack_from("<I", image, 60)[0]
        f.seek(pe + 24 + 72)  # SizeOfStackReserve in the PE32 optional header
        f.write(struct.pack("<I", 0x30000000))
    boxes = []
    drive(start(wine32, exe, lang=lang), message_box_answer([MSG16[lang]], boxes), timeout=60,
          exit_code=EXIT_FAILED)
    assert boxes == [("CAB-SFX", MSG16[lang])]
    assert not os.listdir(out)
