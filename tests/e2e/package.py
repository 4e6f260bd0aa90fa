"""Builds packages for the end-to-end tests: stub + header block + cabinet.

The cabinet writer here makes one stored folder (no compression), enough for
tests that must not depend on cabsfx-tool; `pack_with_tool` runs the real tool
when a test wants its compressors or options.
"""
import os
import shutil
import struct
import subprocess
import zlib
from dataclasses import dataclass, field

HEADER_SIZE = 512
MAGIC = b"KESTRA"

# Field: (offset, width) of the text fields of the header block.
_TEXT_FIELDS = {
    "destination": (8, 260),
    "setup_file": (268, 128),
    "prompt_title": (416, 32),
    "prompt_text": (448, 64),
}
_WORD_FIELDS = ("no_confirm", "open_folder", "delete_after_setup", "no_destination_dialog", "crc")


def header_block(magic=MAGIC, mode=b"3", codepage="cp1252", **fields):
    """The 512-byte header block. Text fields are encoded in `codepage` and
    must leave room for their NUL; integer words default to 0."""
    block = bytearray(HEADER_SIZE)
    block[0:6] = magic[:6].ljust(6, b"\0")
    block[6:7] = mode
    for name, value in fields.items():
        if name in _TEXT_FIELDS:
            offset, width = _TEXT_FIELDS[name]
            raw = value if isinstance(value, bytes) else value.encode(codepage)
            if len(raw) >= width:
                raise ValueError(f"{name} does not fit {width} bytes with its NUL")
            block[offset:offset + len(raw)] = raw
        elif name in _WORD_FIELDS:
            index = _WORD_FIELDS.index(name)
            struct.pack_into("<I" if name == "crc" else "<i", block, 396 + 4 * index, value)
        else:
            raise TypeError(f"no header field {name}")
    return bytes(block)


def cab_checksum(data, seed=0):
    """The cabinet data-block checksum: XOR of the little-endian words, then
    the tail bytes read as a big-endian number."""
    total = seed
    whole = len(data) // 4
    for (word,) in struct.iter_unpack("<I", data[:whole * 4]):
        total ^= word
    tail = data[whole * 4:]
    value = 0
    for b in tail:
        value = (value << 8) | b
    return total ^ value


def dos_datetime(year, month, day, hour, minute, second):
    date = ((year - 1980) << 9) | (month << 5) | day
    time = (hour << 11) | (minute << 5) | (second // 2)
    return date, time


@dataclass
class CabFile:
    name: str
    data: bytes
    when: tuple = (2020, 1, 2, 3, 4, 6)
    attribs: int = 0x20


def cabinet(files, codepage="cp1252", set_id=0x5A5A, block_size=32768):
    """A one-folder stored cabinet holding `files` (CabFile records), with
    real block checksums."""
    records = bytearray()
    offset = 0
    for f in files:
        name = f.name.encode(codepage) + b"\0"
        date, time = dos_datetime(*f.when)
        records += struct.pack("<IIHHHH", len(f.data), offset, 0, date, time, f.attribs) + name
        offset += len(f.data)
    stream = b"".join(f.data for f in files)
    blocks = bytearray()
    count = 0
    for start in range(0, len(stream), block_size):
        chunk = stream[start:start + block_size]
        head = struct.pack("<HH", len(chunk), len(chunk))
        csum = cab_checksum(head, cab_checksum(chunk))
        blocks += struct.pack("<I", csum) + head + chunk
        count += 1
    coff_files = 36 + 8
    coff_data = coff_files + len(records)
    total = coff_data + len(blocks)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, coff_files, 0, 3, 1, 1,
                                   len(files), 0, set_id, 0)
    folder = struct.pack("<IHH", coff_data, count, 0)
    return header + folder + bytes(records) + bytes(blocks)


def crc32_of(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def write_package(path, stub, header=None, cab=None, raw=None):
    """Writes stub + header block (bytes, or None for none) + cabinet bytes
    (or None), then `raw` bytes if given. Returns the path."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(stub, "rb") as f:
        body = f.read()
    with open(path, "wb") as f:
        f.write(body)
        if header is not None:
            f.write(header)
        if cab is not None:
            f.write(cab)
        if raw is not None:
            f.write(raw)
    return path


def find_tool(build):
    """Path of the Linux cabsfx-tool in a build tree, or None."""
    path = os.path.join(build, "host", "tools", "cabsfx-tool")
    return path if os.access(path, os.X_OK) else None


def pack_with_tool(tool, stub, out, inputs, *options):
    """Runs `cabsfx-tool pack --stub STUB -o OUT OPTIONS... INPUTS...`; raises
    with the tool's message when it fails."""
    os.makedirs(os.path.dirname(out), exist_ok=True)
    args = [tool, "pack", "--stub", stub, "-o", out, *options, *inputs]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {done.stderr.strip()}")
    return out


def copy_stub(stub, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copyfile(stub, path)
    return path
