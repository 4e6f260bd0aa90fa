#include "writer/file_io.h"

FilePtr open_file(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
  std::wstring wide_mode;
  for (const char* p = mode; *p; ++p) wide_mode.push_back(wchar_t(*p));
  return FilePtr(_wfopen(path.c_str(), wide_mode.c_str()));
#else
  return FilePtr(std::fopen(path.c_str(), mode));
#endif
}

bool seek_file(std::FILE* file, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

int64_t tell_file(std::FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return int64_t(ftello(file));
#endif
}

std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path path_from_utf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
