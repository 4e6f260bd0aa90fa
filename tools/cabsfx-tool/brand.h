// pack --icon and --version-info: the publisher's icon and version text in
// the package's copy of the stub.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/pe_resources.h"

// Reads and checks the icon (when a path is given) and the version texts;
// throws ToolError or UsageError naming the option at fault.
Branding load_branding(const std::filesystem::path& icon,
                       const std::vector<std::string>& version_texts);

// The stub with the branding in its resources; the stub file is not touched.
std::vector<uint8_t> brand_stub(const std::vector<uint8_t>& stub, const Branding& branding,
                                const std::filesystem::path& stub_path);
