#include "brand.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "tool.h"
#include "writer/codepage.h"
#include "writer/file_io.h"

namespace fs = std::filesystem;

Branding load_branding(const fs::path& icon, const std::vector<std::string>& version_texts) {
  Branding branding;
  for (const std::string& text : version_texts) {
    try {
      parse_version_option(text, branding.version);
    } catch (const PeError& e) {
      throw UsageError(std::string("--version-info: ") + e.what());
    }
  }
  if (icon.empty()) return branding;
  const std::string shown = printable(path_text(icon));
  FilePtr f = open_file(icon, "rb");
  if (!f) throw ToolError("--icon: cannot open " + shown + ": " + std::strerror(errno));
  // One byte past the limit is enough to tell that a file is too large.
  std::vector<uint8_t> bytes(ICON_FILE_MAX + 1);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f.get()));
  if (std::ferror(f.get()))
    throw ToolError("--icon: cannot read " + shown + ": " + std::strerror(errno));
  try {
    branding.icon = parse_icon_file(bytes);
  } catch (const PeError& e) {
    std::string why = e.what();
    if (bytes.size() > ICON_FILE_MAX) why = "the icon is larger than 1 MiB, the most taken";
    throw ToolError("--icon " + shown + ": " + why);
  }
  // The module takes the first cabinet signature in its file for its cabinet.
  const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (all.find(std::string_view("MSCF\0\0\0\0", 8)) != std::string_view::npos)
    throw ToolError("--icon " + shown +
                    ": the icon holds a cabinet signature (MSCF and four zero bytes), which the "
                    "package would take for its cabinet");
  return branding;
}

std::vector<uint8_t> brand_stub(const std::vector<uint8_t>& stub, const Branding& branding,
                                const fs::path& stub_path) {
  try {
    return brand_image(stub, branding);
  } catch (const PeError& e) {
    throw ToolError("cannot put the icon or version text into the stub " +
                    printable(path_text(stub_path)) + ": " + e.what());
  }
}
