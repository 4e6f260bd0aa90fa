// Where the image ends and where the cabinet begins: the walk over mapped
// section headers, the built module itself, and the cabinet search in files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "startup/globals.h"
#include "startup/startup.h"

namespace {

std::string test_temp_path(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  return std::string(temp) + "pkg" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void put_u16(uint8_t* at, uint16_t value) {
  std::memcpy(at, &value, 2);
}
void put_u32(uint8_t* at, uint32_t value) {
  std::memcpy(at, &value, 4);
}

// One committed page, the page after it never committed: a read past the
// headers' span faults instead of passing unnoticed.
class HeaderPage : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(page_, nullptr);
    put_u32(page_ + 60, PE);
    std::memcpy(page_ + PE, "PE\0\0", 4);
  }
  void TearDown() override { VirtualFree(page_, 0, MEM_RELEASE); }
  void section(int index, const char* name, uint32_t raw_size, uint32_t raw_pointer) {
    uint8_t* header = page_ + PE + 248 + 40 * index;
    std::memcpy(header, name, std::strlen(name));
    put_u32(header + 16, raw_size);
    put_u32(header + 20, raw_pointer);
  }
  uint32_t image_end(uint16_t sections) {
    put_u16(page_ + PE + 6, sections);
    return image_end_offset(reinterpret_cast<HINSTANCE>(page_));
  }
  static constexpr uint32_t PE = 0x80;
  uint8_t* page_ = nullptr;
};

TEST_F(HeaderPage, WalkEndsAtTheLastDottedSection) {
  section(0, "CODE", 0x1000, 0x400);
  section(1, ".data", 0x200, 0x1400);
  section(2, ".rsrc", 0x600, 0x1600);
  EXPECT_EQ(image_end(3), 0x1C00u);
  EXPECT_EQ(image_end(2), 0x1600u);
}

TEST_F(HeaderPage, ImagesOutsideTheWalkGiveZero) {
  section(0, ".text", 0x1000, 0x400);
  section(1, "rsrc", 0x600, 0x1400);  // no '.': the walk would pass the table
  EXPECT_EQ(image_end(2), 0u);
  EXPECT_EQ(image_end(1), 0u);
  EXPECT_EQ(image_end(200), 0u);  // a table reaching past the header page
  EXPECT_EQ(image_end_offset(nullptr), 0u);
}

// The module as built, mapped as an image: the walk ends at the file's end,
// the file holds no cabinet signature, and it imports system DLLs only.
TEST(BuiltModule, ImageEndSignatureAndImports) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string module = self;
  for (int up = 0; up < 3; ++up) module.resize(module.find_last_of('\\'));
  module += "\\cabsfx.exe";
  const std::vector<uint8_t> file = read_file(module);
  if (file.empty()) GTEST_SKIP() << "cabsfx.exe is not built beside the tests";

  const uint8_t signature[8] = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
  EXPECT_EQ(std::search(file.begin(), file.end(), signature, signature + 8), file.end());

  constexpr DWORD AS_IMAGE_RESOURCE = 0x20;
  HMODULE mapped = LoadLibraryExA(module.c_str(), nullptr, AS_IMAGE_RESOURCE);
  if (!mapped) mapped = LoadLibraryExA(module.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(mapped, nullptr);
  const uint8_t* base = reinterpret_cast<const uint8_t*>(uintptr_t(mapped) & ~uintptr_t(0xFFFF));
  EXPECT_EQ(image_end_offset(reinterpret_cast<HINSTANCE>(const_cast<uint8_t*>(base))), file.size());

  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  const IMAGE_DATA_DIRECTORY imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(imports.VirtualAddress, 0u);
  int count = 0;
  for (const auto* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry, ++count) {
    const char* name = reinterpret_cast<const char*>(base + entry->Name);
    bool system = false;
    for (const char* allowed : {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll",
                                "shell32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll"}) {
      if (lstrcmpiA(name, allowed) == 0) system = true;
    }
    EXPECT_TRUE(system) << name;
  }
  EXPECT_GT(count, 0);
  FreeLibrary(mapped);
}

class CabinetSearch : public ::testing::Test {
 protected:
  void TearDown() override { DeleteFileA(path_.c_str()); }
  int32_t search(const std::vector<uint8_t>& bytes) {
    write_file(path_, bytes);
    cabinet_offset = 12345;
    return find_cabinet(path_.c_str(), -1);
  }
  static void put_signature(std::vector<uint8_t>& bytes, size_t at, uint8_t reserved = 0) {
    const uint8_t head[4] = {'M', 'S', 'C', 'F'};
    std::memcpy(bytes.data() + at, head, 4);
    std::memset(bytes.data() + at + 4, 0, 4);
    bytes[at + 4] = reserved;
  }
  std::string path_ = test_temp_path("search.bin");
};

TEST_F(CabinetSearch, SignatureSpanningTwoBlocks) {
  std::vector<uint8_t> bytes(70000, 0xAA);
  put_signature(bytes, 32765);
  EXPECT_EQ(search(bytes), 70000);
  EXPECT_EQ(cabinet_offset, 32765);
}

TEST_F(CabinetSearch, PlainCabinetAtTheStart) {
  std::vector<uint8_t> bytes(100, 0x11);
  put_signature(bytes, 0);
  EXPECT_EQ(search(bytes), 100);
  EXPECT_EQ(cabinet_offset, 0);
}

TEST_F(CabinetSearch, SignatureWithoutZerosIsPassedOver) {
  std::vector<uint8_t> bytes(40000, 0x00);
  put_signature(bytes, 100, 1);
  put_signature(bytes, 32767, 0x80);
  put_signature(bytes, 39000);
  EXPECT_EQ(search(bytes), 40000);
  EXPECT_EQ(cabinet_offset, 39000);
}

TEST_F(CabinetSearch, NoSignatureAndShortFiles) {
  EXPECT_EQ(search(std::vector<uint8_t>(50000, 'M')), 50000);
  EXPECT_EQ(cabinet_offset, -1);
  EXPECT_EQ(search({'M', 'S', 'C', 'F', 0, 0, 0}), 7);  // cut short
  EXPECT_EQ(cabinet_offset, -1);
  EXPECT_EQ(search({}), 0);
  EXPECT_EQ(cabinet_offset, -1);
}

TEST_F(CabinetSearch, PackageLargerThan2GiB) {
  std::vector<uint8_t> bytes(1000, 0);
  put_signature(bytes, 100);
  write_file(path_, bytes);
  HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = 3LL << 30;  // sparse
  ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
  CloseHandle(file);
  cabinet_offset = 12345;
  EXPECT_EQ(find_cabinet(path_.c_str(), -1), 3LL << 30);
  EXPECT_EQ(cabinet_offset, 100);
}

// A set of three: the first behind 300 bytes of stub, each header naming the
// next; the chain stops at a missing cabinet or one of another set or index.
TEST_F(CabinetSearch, SetLengthFollowsTheNamedCabinets) {
  auto header = [](uint32_t length, uint16_t index, uint16_t flags, const std::string& names) {
    const size_t reserve = (flags & 4) ? 7 : 0;  // sizes, then three bytes of header reserve
    std::vector<uint8_t> bytes(36 + reserve + 40, 0);
    put_signature(bytes, 0);
    put_u32(bytes.data() + 8, length);
    put_u16(bytes.data() + 30, flags);
    put_u16(bytes.data() + 32, 0x1234);
    put_u16(bytes.data() + 34, index);
    if (reserve) std::memcpy(bytes.data() + 36, "\3\0\0\0res", reserve);
    std::memcpy(bytes.data() + 36 + reserve, names.data(), std::min<size_t>(names.size(), 40));
    return bytes;
  };
  const std::string second = test_temp_path("second.cab");
  const std::string third = test_temp_path("third.cab");
  const std::string name2 = second.substr(second.rfind('\\') + 1);
  const std::string name3 = third.substr(third.rfind('\\') + 1);
  std::vector<uint8_t> first(300, 'S');
  const std::vector<uint8_t> head = header(500, 0, 2 | 4, name2 + '\0' + "disk2");
  first.insert(first.end(), head.begin(), head.end());
  first.resize(800);
  write_file(path_, first);
  write_file(second, header(7000, 1, 1 | 2, std::string("a.cab\0d1\0", 9) + name3));
  write_file(third, header(90000, 2, 1, std::string("b.cab\0d2", 8)));
  cabinet_offset = 300;
  EXPECT_EQ(cabinet_set_length(path_.c_str(), 500), 97500u);
  write_file(third, header(90000, 3, 1, std::string("b.cab\0d2", 8)));  // not the next index
  EXPECT_EQ(cabinet_set_length(path_.c_str(), 500), 7500u);
  DeleteFileA(second.c_str());
  EXPECT_EQ(cabinet_set_length(path_.c_str(), 500), 500u);
  DeleteFileA(third.c_str());
}

TEST_F(CabinetSearch, MissingFile) {
  cabinet_offset = 7;
  EXPECT_EQ(find_cabinet(test_temp_path("missing.bin").c_str(), -1), -1);
  EXPECT_EQ(cabinet_offset, -1);
}

TEST_F(CabinetSearch, OpenDescriptorIsSearchedFromTheStartAndClosed) {
  std::vector<uint8_t> bytes(1000, 0);
  put_signature(bytes, 10);
  write_file(path_, bytes);
  const int file = _open(path_.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_NE(file, -1);
  ASSERT_EQ(_lseek(file, 500, SEEK_SET), 500);
  EXPECT_EQ(find_cabinet(path_.c_str(), file), 1000);
  EXPECT_EQ(cabinet_offset, 10);
  EXPECT_EQ(_close(file), -1);  // already closed
}

}  // namespace
