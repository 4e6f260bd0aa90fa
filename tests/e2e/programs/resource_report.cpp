// Prints what Windows reads from an executable's resources, one fact a line
// (UTF-8): its version text through GetFileVersionInfo, its icon groups 200
// and 205 with a CRC-32 of each image, whether the loader and the shell can make an
// icon of it, and which of the module's own resources it holds.
//   resource_report FILE > report.txt
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

static std::string utf8(const wchar_t* text) {
  char out[1024];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? out : "?";
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const wchar_t* file = argv[1];
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  std::string info(size, '\0');
  if (size && GetFileVersionInfoW(file, 0, size, info.data())) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length))
      std::printf("fixed %d.%d.%d.%d %d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                  LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
                  LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                  LOWORD(fixed->dwProductVersionLS));
    WORD* pairs = nullptr;
    if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pairs),
                       &length)) {
      const UINT count = length / 4;
      for (UINT i = 0; i < count; ++i) {
        static const wchar_t* const keys[] = {
            L"ProductName",    L"FileDescription", L"CompanyName",     L"LegalCopyright",
            L"ProductVersion", L"FileVersion",     L"OriginalFilename"};
        for (const wchar_t* key : keys) {
          wchar_t path[128];
          swprintf(path, 128, L"\\StringFileInfo\\%04X%04X\\%ls", pairs[2 * i], pairs[2 * i + 1],
                   key);
          wchar_t* value = nullptr;
          if (VerQueryValueW(info.data(), path, reinterpret_cast<void**>(&value), &length))
            std::printf("string %04X%04X %s=%s\n", pairs[2 * i], pairs[2 * i + 1],
                        utf8(key).c_str(), utf8(value).c_str());
        }
      }
    }
  }
  HMODULE module = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return 1;
  auto load = [&](LPCWSTR type, LPCWSTR name, WORD language, DWORD& bytes) -> const BYTE* {
    HRSRC found = FindResourceExW(module, type, name, language);
    if (!found) return nullptr;
    bytes = SizeofResource(module, found);
    return static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  };
  DWORD bytes = 0;
  for (int group_id : {200, 205}) {
    const BYTE* group = load(RT_GROUP_ICON, MAKEINTRESOURCEW(group_id), 0, bytes);
    WORD count = 0;
    if (group) memcpy(&count, group + 4, 2);
    for (WORD i = 0; i < count && 6 + 14u * (i + 1) <= bytes; ++i) {
      const BYTE* e = group + 6 + 14 * i;
      WORD planes, bits, id;
      DWORD listed, image_bytes = 0;
      memcpy(&planes, e + 4, 2);
      memcpy(&bits, e + 6, 2);
      memcpy(&listed, e + 8, 4);
      memcpy(&id, e + 12, 2);
      const BYTE* image = load(RT_ICON, MAKEINTRESOURCEW(id), 0, image_bytes);
      std::printf("icon %d %u %u %u %u %lu %lu %08lx\n", group_id, e[0] ? e[0] : 256,
                  e[1] ? e[1] : 256, planes, bits, listed, image ? image_bytes : 0,
                  image ? crc32(0, image, image_bytes) : 0);
    }
  }
  struct Probe {
    const char* label;
    LPCWSTR type;
    int name;
    WORD language;
  };
  static const Probe probes[] = {
      {"dialog-202-en", RT_DIALOG, 202, 0x409},   {"dialog-202-ja", RT_DIALOG, 202, 0x411},
      {"dialog-2008-ja", RT_DIALOG, 2008, 0x411}, {"strings-en", RT_STRING, 1, 0x409},
      {"strings-ja", RT_STRING, 1, 0x411},        {"manifest", RT_MANIFEST, 1, 0}};
  for (const Probe& p : probes)
    if (load(p.type, MAKEINTRESOURCEW(p.name), p.language, bytes)) std::printf("has %s\n", p.label);
  HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(200), IMAGE_ICON, 32, 32, 0));
  std::printf("loader icon %s\n", icon ? "yes" : "no");
  FreeLibrary(module);
  HICON large = nullptr;
  std::printf("shell icons %u\n", ExtractIconExW(file, 0, &large, nullptr, 1));
  return 0;
}
