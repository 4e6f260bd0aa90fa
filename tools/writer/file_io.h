// Small portable file helpers shared by the writer and cabsfx-tool: stdio
// streams opened from std::filesystem paths (wide names on Windows), closed by
// RAII.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen with a path; `mode` is a plain ASCII stdio mode such as "rb".
FilePtr open_file(const std::filesystem::path& path, const char* mode);

// Absolute seek and tell with 64-bit offsets.
bool seek_file(std::FILE* file, int64_t offset);
int64_t tell_file(std::FILE* file);

// The path as UTF-8 text, for messages.
std::string path_text(const std::filesystem::path& path);

// A path from UTF-8 bytes.
std::filesystem::path path_from_utf8(const std::string& text);
