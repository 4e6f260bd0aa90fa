// Helpers for the extraction tests: private temporary folders, small files,
// one file sent through the notification handler, and a stored
// (uncompressed) cabinet built in memory.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet/cab.h"
#include "extract/extract.h"

namespace test_support {

inline void remove_tree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

// A fresh folder under the temporary folder, removed with its contents.
class TempFolder {
 public:
  TempFolder() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static int counter;
    for (;;) {
      path_ = std::string(base) + "cabsfx_test_" + std::to_string(GetCurrentProcessId()) + "_" +
              std::to_string(++counter);
      if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    }
  }
  ~TempFolder() { remove_tree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // With a trailing backslash, as the destination is kept.
  std::string slash() const { return path_ + "\\"; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool write_file(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

inline bool read_file(const std::string& path, std::string* bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes->append(buffer, got);
  CloseHandle(file);
  return true;
}

inline bool exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One stored file as the library hands it over: FILE_BEGIN, its data through
// the returned handle, FILE_END. Returns FILE_BEGIN's answer.
inline int32_t send_file(const std::string& name, const std::string& data, uint16_t date,
                         uint16_t time, uint16_t attribs) {
  std::vector<char> text(name.begin(), name.end());
  text.push_back('\0');
  CabNotification record = {};
  record.text1 = text.data();
  record.size = static_cast<uint32_t>(data.size());
  record.date = date;
  record.time = time;
  record.attribs = attribs;
  const int32_t handle = on_cab_notification(CAB_NOTIFY_FILE_BEGIN, &record);
  if (handle > 0) {
    EXPECT_EQ(cab_write(handle, data.data(), static_cast<uint32_t>(data.size())),
              static_cast<int32_t>(data.size()));
    record.handle = handle;
    EXPECT_EQ(on_cab_notification(CAB_NOTIFY_FILE_END, &record), 1);
  }
  return handle;
}

struct StoredFile {
  std::string name;
  std::string data;
  uint16_t date;
  uint16_t time;
  uint16_t attribs;
};

inline void put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
inline void put32(std::string& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v & 0xFFFF));
  put16(out, static_cast<uint16_t>(v >> 16));
}

// One folder of stored data, blocks of at most 32 KiB with real checksums.
inline std::string stored_cabinet(const std::vector<StoredFile>& files) {
  std::string stream;
  for (const StoredFile& f : files) stream += f.data;
  const uint32_t block = 32768;
  const uint32_t blocks = static_cast<uint32_t>((stream.size() + block - 1) / block);
  std::string records;
  uint32_t offset = 0;
  for (const StoredFile& f : files) {
    put32(records, static_cast<uint32_t>(f.data.size()));
    put32(records, offset);
    put16(records, 0);
    put16(records, f.date);
    put16(records, f.time);
    put16(records, f.attribs);
    records += f.name;
    records.push_back('\0');
    offset += static_cast<uint32_t>(f.data.size());
  }
  const uint32_t coff_files = 36 + 8;
  const uint32_t data_start = coff_files + static_cast<uint32_t>(records.size());
  std::string data;
  for (uint32_t i = 0; i < blocks; ++i) {
    const std::string piece = stream.substr(i * block, block);
    std::string header;
    put16(header, static_cast<uint16_t>(piece.size()));
    put16(header, static_cast<uint16_t>(piece.size()));
    uint32_t sum = CabChecksum(piece.data(), static_cast<uint32_t>(piece.size()), 0);
    sum = CabChecksum(header.data(), 4, sum);
    put32(data, sum);
    data += header;
    data += piece;
  }
  std::string cab = "MSCF";
  put32(cab, 0);
  put32(cab, data_start + static_cast<uint32_t>(data.size()));
  put32(cab, 0);
  put32(cab, coff_files);
  put32(cab, 0);
  cab.push_back(3);
  cab.push_back(1);
  put16(cab, 1);
  put16(cab, static_cast<uint16_t>(files.size()));
  put16(cab, 0);
  put16(cab, 0x1234);
  put16(cab, 0);
  put32(cab, data_start);
  put16(cab, static_cast<uint16_t>(blocks));
  put16(cab, 0);  // stored
  return cab + records + data;
}

}  // namespace test_support
