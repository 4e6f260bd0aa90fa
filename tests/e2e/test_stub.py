"""Properties of the built self-extractor stub, read from the file itself."""
import struct

import pytest

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "comctl32.dll", "advapi32.dll",
               "ole32.dll", "msvcrt.dll", "gdi32.dll"}


class Pe:
    def __init__(self, data):
        self.data = data
        self.lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[self.lfanew:self.lfanew + 4] == b"PE\0\0", "no PE signature"
        (self.machine, self.nsections, self.time_stamp, _, _, self.opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.lfanew + 4)
        self.opt = self.lfanew + 24
        self.magic, = struct.unpack_from("<H", data, self.opt)
        self.subsystem, = struct.unpack_from("<H", data, self.opt + 68)
        self.sections = []
        first = self.opt + self.opt_size
        for i in range(self.nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, first + 40 * i)
            self.sections.append((name.rstrip(b"\0"), vsize, va, rawsize, rawptr))

    def offset(self, rva):
        for _, vsize, va, rawsize, rawptr in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise ValueError(f"RVA {rva:#x} in no section")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, size = struct.unpack_from("<II", self.data, self.opt + 96 + 8 * 1)
        names = []
        pos = self.offset(rva)
        while True:
            desc = struct.unpack_from("<IIIII", self.data, pos)
            if desc == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(desc[3]))
            pos += 20


def image_end_walk(data):
    """The module's own walk: e_lfanew's low 16 bits, headers from +248,
    counting section names that begin with '.', never past the last header."""
    lfanew = struct.unpack_from("<H", data, 0x3C)[0]
    nsections = struct.unpack_from("<H", data, lfanew + 6)[0]
    pos = lfanew + 248
    count, walked = 1, 1
    while count < nsections:
        pos += 40
        walked += 1
        assert walked <= nsections, "the walk passes the last section header"
        if data[pos:pos + 1] == b".":
            count += 1
    rawsize, rawptr = struct.unpack_from("<II", data, pos + 16)
    return rawptr + rawsize


@pytest.fixture(scope="module")
def stub_bytes(stub):
    with open(stub, "rb") as f:
        return f.read()


def test_stub_is_a_32_bit_gui_program_whose_image_ends_at_its_file_size(stub_bytes, capsys):
    pe = Pe(stub_bytes)
    assert pe.machine == 0x14C, "not i386"
    assert pe.magic == 0x10B, "not PE32"
    assert pe.opt_size == 224, "the walk assumes a 224-byte optional header"
    assert pe.subsystem == 2, f"subsystem {pe.subsystem}, not GUI"
    assert pe.nsections >= 2
    names = [s[0] for s in pe.sections]
    assert all(n.startswith(b".") for n in names[1:]), f"section names {names}"
    assert image_end_walk(stub_bytes) == len(stub_bytes), "data after the last section"
    assert len(stub_bytes) <= 72 * 1024, "the module outgrew its 72 KiB budget"
    assert pe.time_stamp == 0, "a build time in the stub: two builds of one commit would differ"
    with capsys.disabled():
        print(f"\nstub: {len(stub_bytes)} bytes ({len(stub_bytes) / 1024:.1f} KiB), "
              f"sections {[n.decode() for n in names]}")


def test_stub_holds_no_cabinet_signature(stub_bytes):
    at = stub_bytes.find(b"MSCF\0\0\0\0")
    assert at == -1, f"cabinet signature at offset {at}: packages would be searched from there"


def test_stub_imports_only_system_dlls(stub_bytes):
    imports = {name.lower() for name in Pe(stub_bytes).imports()}
    assert imports, "no import table"
    assert imports <= SYSTEM_DLLS, f"non-system imports: {sorted(imports - SYSTEM_DLLS)}"
    assert {"kernel32.dll", "user32.dll"} <= imports
