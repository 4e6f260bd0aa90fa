// cabsfx-tool as a user runs it: the built executable is started with
// arguments, its exit status, output and the files it leaves are checked.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "interrupt.h"
#include "output_tree.h"
#include "package/crc32.h"
#include "package/package.h"
#include "support/sample_data.h"
#include "writer/cab_writer.h"
#include "writer/encoders.h"

namespace fs = std::filesystem;

namespace {

#ifdef CABSFX_TOOL_PATH
const char* const TOOL = CABSFX_TOOL_PATH;
#else
const char* const TOOL = nullptr;
#endif

using Bytes = std::vector<uint8_t>;

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const Bytes& b) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

void write_text(const fs::path& p, const std::string& s) {
  write_file(p, Bytes(s.begin(), s.end()));
}

using sample::random_bytes;

// The smallest image the packer accepts as a stub: DOS header, PE header and
// two sections whose raw data end where the file ends.
Bytes fake_stub() {
  Bytes b(1536, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x40;
  std::memcpy(&b[0x40], "PE\0\0", 4);
  b[0x44] = 0x4C;
  b[0x45] = 0x01;
  b[0x46] = 2;          // NumberOfSections
  b[0x40 + 24] = 0x0B;  // a PE32 optional header with 16 data directories
  b[0x40 + 25] = 0x01;
  b[0x40 + 24 + 92] = 16;
  auto section = [&](size_t at, const char* name, uint32_t raw, uint32_t size) {
    std::memcpy(&b[at], name, std::strlen(name));
    std::memcpy(&b[at + 16], &size, 4);
    std::memcpy(&b[at + 20], &raw, 4);
  };
  section(0x40 + 248, ".text", 512, 512);
  section(0x40 + 248 + 40, ".data", 1024, 512);
  return b;
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TOOL) GTEST_SKIP() << "the tool's path was not given to this test";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("cabsfx_tool_test_") + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    stub_ = root_ / "stub.exe";
    write_file(stub_, fake_stub());
  }
  void TearDown() override {
    if (!root_.empty()) {
      std::error_code ec;
      for (auto& e : fs::recursive_directory_iterator(root_, ec))
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
      fs::remove_all(root_, ec);
    }
  }

  ToolRun tool(const std::vector<std::string>& args) {
    std::string cmd = quote(TOOL);
    for (const auto& a : args) cmd += " " + quote(a);
    const fs::path out = root_ / "stdout.txt", err = root_ / "stderr.txt";
    cmd += " >" + quote(out.string()) + " 2>" + quote(err.string());
    const int rc = std::system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    const Bytes o = read_file(out), e = read_file(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  // Names of everything under a folder, relative, with '/' separators.
  static std::vector<std::string> tree(const fs::path& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::recursive_directory_iterator(dir))
      names.push_back(e.path().lexically_relative(dir).generic_string() +
                      (e.is_directory() && !e.is_symlink() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path write_cabinet(const std::string& file, std::vector<CabEntry> entries) {
    std::vector<CabFolderInput> folders(1);
    folders[0].encoder = make_mszip_encoder(6, 0);
    folders[0].entries = std::move(entries);
    const auto cabs = write_cabinets_to_memory(folders);
    write_file(root_ / file, cabs[0]);
    return root_ / file;
  }

  fs::path root_, stub_;
};

TEST_F(ToolTest, HelpUsageErrorsAndExitStatus) {
  ToolRun r = tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("pack -o OUT"), std::string::npos);
  for (const char* command : {"pack", "list", "verify", "extract"}) {
    r = tool({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find(std::string("usage: cabsfx-tool ") + command), std::string::npos);
  }
  EXPECT_NE(tool({"pack", "--help"}).out.find("--max-cabinet-size"), std::string::npos);
  r = tool({});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage:"), std::string::npos);
  r = tool({"frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos);
  r = tool({"list", "--bogus", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option for list: --bogus"), std::string::npos);
  r = tool({"list"});
  EXPECT_EQ(r.status, 2);
  r = tool({"pack", "-o", (root_ / "o.exe").string(), "--compress", "zip", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--compress"), std::string::npos);
  r = tool({"pack", "-o", (root_ / "o.exe").string(), "--compress", "lzx:22", "x"});
  EXPECT_EQ(r.status, 2);
  r = tool({"list", (root_ / "missing.cab").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.cab: no such file"), std::string::npos);
  r = tool({"list", ""});
  EXPECT_NE(r.err.find("list: '': no such file"), std::string::npos) << r.err;
  r = tool({"verify", stub_.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no cabinet found"), std::string::npos);
  r = tool({"pack", "-o", stub_.string(), "--stub", stub_.string(), root_.string()});
  EXPECT_NE(r.err.find("is the stub it appends to"), std::string::npos) << r.err;
  // Output that cannot be written fails the run, help and listings alike.
  for (const char* args : {"--help", "--version", "list --help", "verify --help"}) {
    const int rc = std::system((quote(TOOL) + " " + args + " >/dev/full 2>/dev/null").c_str());
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1) << args;
  }
}

TEST_F(ToolTest, PackListVerifyExtractRoundTrip) {
  const fs::path in = root_ / "in";
  write_text(in / "readme.txt", "read me\n");
  write_file(in / "bin" / "random.dat", random_bytes(300000, 1));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  write_text(in / "bin" / "deep" / "lines.txt", text);
  write_text(in / "caf\xC3\xA9.txt", "accent");
  write_text(in / "ro.txt", "read only");
  fs::create_directories(in / "empty" / "inner");
  fs::permissions(in / "ro.txt",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  // A local time on an even second: DOS times keep two-second steps.
  std::tm tm{};
  tm.tm_year = 120, tm.tm_mon = 1, tm.tm_mday = 29, tm.tm_hour = 12, tm.tm_min = 34;
  tm.tm_sec = 56, tm.tm_isdst = -1;
  const std::time_t stamp = std::mktime(&tm);
  const auto file_stamp = std::chrono::time_point_cast<fs::file_time_type::duration>(
      std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(stamp)));
  fs::last_write_time(in / "bin" / "deep" / "lines.txt", file_stamp);

  const fs::path out = root_ / "package.exe";
  ToolRun r = tool({"pack", "-o", out.string(), "--stub", stub_.string(), "--crc", in.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("5 file(s) and 1 folder(s)"), std::string::npos) << r.out;

  r = tool({"list", out.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"readme.txt", "bin\\random.dat", "bin\\deep\\lines.txt",
                           "caf\xC3\xA9.txt", "empty\\inner\\", "ro.txt"})
    EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
  EXPECT_NE(r.out.find("2020-02-29 12:34:56"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("R---A--"), std::string::npos) << "ro.txt is read-only";
  EXPECT_NE(r.out.find("MSZIP"), std::string::npos);

  r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("as the header says"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OK: 5 file(s) and 1 folder(s), "), std::string::npos) << r.out;

  const fs::path dest = root_ / "dest";
  r = tool({"extract", out.string(), "-d", dest.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(dest), tree(in));
  for (const char* name :
       {"readme.txt", "bin/random.dat", "bin/deep/lines.txt", "caf\xC3\xA9.txt", "ro.txt"})
    EXPECT_EQ(read_file(dest / name), read_file(in / name)) << name;
  EXPECT_EQ(fs::last_write_time(dest / "bin" / "deep" / "lines.txt"), file_stamp);
  EXPECT_EQ(fs::status(dest / "ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_NE(fs::status(dest / "readme.txt").permissions() & fs::perms::owner_write,
            fs::perms::none);

  // Extracting again: refused before anything is written, every file in the
  // way named; then each way of settling them.
  write_text(dest / "readme.txt", "changed");
  fs::last_write_time(dest / "readme.txt", file_stamp);
  r = tool({"extract", out.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 1);
  for (const char* name : {"readme.txt exists", "ro.txt exists", "nothing extracted: 5 file(s)"})
    EXPECT_NE(r.err.find(name), std::string::npos) << name << "\n" << r.err;
  EXPECT_EQ(read_file(dest / "readme.txt"), Bytes({'c', 'h', 'a', 'n', 'g', 'e', 'd'}));
  r = tool({"extract", "--skip-existing", out.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("5 existing file(s) kept"), std::string::npos) << r.out;
  // --newer: readme.txt (2020) is older than the stored one, the rest equal.
  r = tool({"extract", "--newer", out.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 file(s) extracted"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dest / "readme.txt"), read_file(in / "readme.txt"));
  write_text(dest / "readme.txt", "changed");
  r = tool({"extract", "--overwrite", out.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dest / "readme.txt"), read_file(in / "readme.txt"));
  EXPECT_EQ(fs::status(dest / "ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(tree(dest), tree(in)) << "no temporary file is left";
  // A package holding a file of its own name, extracted beside itself.
  fs::copy_file(out, dest / "readme.txt", fs::copy_options::overwrite_existing);
  r = tool({"extract", "--overwrite", (dest / "readme.txt").string(), "-d", dest.string()});
  EXPECT_NE(r.err.find("readme.txt is a cabinet being read"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dest / "readme.txt"), read_file(out));
  // A pipe in a file's place (as /dev/null would be) is not replaced.
  fs::remove(dest / "readme.txt");
  ASSERT_EQ(mkfifo((dest / "readme.txt").c_str(), 0600), 0);
  r = tool({"extract", "--overwrite", out.string(), "-d", dest.string()});
  EXPECT_TRUE(r.status == 1 && fs::is_fifo(dest / "readme.txt")) << r.err;
  // New files get the umask's permissions.
  const mode_t old_mask = umask(027);
  r = tool({"extract", out.string(), "-d", (root_ / "masked").string()});
  umask(old_mask);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::status(root_ / "masked" / "readme.txt").permissions(), fs::perms(0640));
  EXPECT_EQ(fs::status(root_ / "masked" / "ro.txt").permissions(), fs::perms(0440));
  EXPECT_EQ(fs::status(root_ / "masked" / "bin").permissions(), fs::perms(0750));
}

TEST_F(ToolTest, HeaderBlockFieldsAndTheirLimits) {
  write_text(root_ / "in" / "setup.inf", "[Version]\n");
  const fs::path out = root_ / "setup.exe";
  ToolRun r = tool({"pack",
                    "-o",
                    out.string(),
                    "--stub",
                    stub_.string(),
                    "--destination",
                    "%ProgramFiles%\\App",
                    "--setup",
                    "setup.inf",
                    "--no-confirm",
                    "--no-open-folder",
                    "--delete-after-setup",
                    "--no-dialog",
                    "--require-64bit",
                    "--crc",
                    "--prompt-title",
                    "Install?",
                    "--prompt-text",
                    "Install the app now?",
                    (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("--setup"), std::string::npos) << r.err;
  const Bytes package = read_file(out);
  ASSERT_GT(package.size(), 2048u);
  EXPECT_TRUE(std::equal(package.begin(), package.begin() + 1536, fake_stub().begin()));
  PackageHeader h;
  std::memcpy(&h, package.data() + 1536, sizeof h);
  EXPECT_EQ(std::string(h.magic, 6), "KESTRA");
  EXPECT_EQ(h.mode, '6');
  EXPECT_STREQ(h.destination, "%ProgramFiles%\\App");
  EXPECT_STREQ(h.setup_file, "setup.inf");
  EXPECT_EQ(h.no_confirm, 1);
  EXPECT_EQ(h.open_folder, 0);
  EXPECT_EQ(h.delete_after_setup, 1);
  EXPECT_EQ(h.no_destination_dialog, 1);
  EXPECT_EQ(h.crc, crc32_of(package.data() + 2048, package.size() - 2048));
  EXPECT_STREQ(h.prompt_title, "Install?");
  EXPECT_STREQ(h.prompt_text, "Install the app now?");
  EXPECT_EQ(std::memcmp(package.data() + 2048, "MSCF\0\0\0\0", 8), 0);

  // Defaults: mode '3', the folder opened, nothing else.
  r = tool({"pack", "-o", out.string(), "--stub", stub_.string(), (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::memcpy(&h, read_file(out).data() + 1536, sizeof h);
  EXPECT_EQ(h.mode, '3');
  EXPECT_EQ(h.open_folder, 1);
  EXPECT_EQ(h.no_confirm | h.delete_after_setup | h.no_destination_dialog, 0);
  EXPECT_EQ(h.crc, 0u);
  EXPECT_EQ(h.destination[0] | h.setup_file[0] | h.prompt_title[0] | h.prompt_text[0], 0);

  // A header text holding the cabinet signature is passed over, as the module does.
  r = tool({"pack", "-o", out.string(), "--stub", stub_.string(), "--prompt-title", "MSCF",
            (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 0) << r.err;

  // Texts at their limits fit; one byte more is refused, and the package
  // written before stays as it was, with no temporary file beside it.
  const Bytes before = read_file(out);
  struct Limit {
    const char* option;
    size_t fits;
  };
  for (const Limit& l : {Limit{"--destination", 259}, Limit{"--setup", 127},
                         Limit{"--prompt-title", 31}, Limit{"--prompt-text", 63}}) {
    r = tool({"pack", "-o", (root_ / "fits.exe").string(), "--stub", stub_.string(), l.option,
              std::string(l.fits, 'x'), (root_ / "in").string()});
    EXPECT_EQ(r.status, 0) << l.option << ": " << r.err;
    if (l.option == std::string("--setup")) {  // a setup that is not packed: a warning
      EXPECT_NE(r.err.find("no packed file has that name"), std::string::npos) << r.err;
    }
    r = tool({"pack", "-o", out.string(), "--stub", stub_.string(), l.option,
              std::string(l.fits + 1, 'x'), (root_ / "in").string()});
    EXPECT_EQ(r.status, 1) << l.option;
    EXPECT_NE(r.err.find("at most " + std::to_string(l.fits) + " fit"), std::string::npos) << r.err;
  }
  // In code page 932 a Japanese character takes two bytes of the field.
  std::string japanese;
  for (int i = 0; i < 129; ++i) japanese += "\xE6\x97\xA5";
  r = tool({"pack", "-o", (root_ / "fits.exe").string(), "--stub", stub_.string(), "--codepage",
            "932", "--destination", japanese, (root_ / "in").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::memcpy(&h, read_file(root_ / "fits.exe").data() + 1536, sizeof h);
  EXPECT_EQ(std::strlen(h.destination), 258u);
  EXPECT_EQ(std::memcmp(h.destination, "\x93\xFA", 2), 0);
  r = tool({"pack", "-o", out.string(), "--stub", stub_.string(), "--codepage", "932",
            "--destination", japanese + "\xE6\x97\xA5", (root_ / "in").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("260 bytes in code page 932"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(out), before);
  for (auto& e : fs::directory_iterator(root_))
    EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos) << e.path();

  // Names that cannot fit the self-extractor's paths at a destination given in full.
  write_text(root_ / "long" / std::string(158, 'n'), "fits");
  write_text(root_ / "long" / std::string(159, 'm'), "does not");
  r = tool({"pack", "-o", (root_ / "long.exe").string(), "--stub", stub_.string(), "--destination",
            "C:\\" + std::string(97, 'd'), (root_ / "long").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 name(s) longer than 158 bytes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("'mmm"), std::string::npos) << r.err;
  // A keyword destination is measured at its shortest folder: C:\Program Files.
  r = tool({"pack", "-o", (root_ / "long.exe").string(), "--stub", stub_.string(), "--destination",
            "%ProgramFiles%\\" + std::string(83, 'd'), (root_ / "long").string()});
  EXPECT_NE(r.err.find("1 name(s) longer than 158 bytes"), std::string::npos) << r.err;
}

TEST_F(ToolTest, RefusalsLeaveNothingBehind) {
  write_text(root_ / "in" / "a.txt", "a");
  const fs::path out = root_ / "out.exe";
  const std::string in = (root_ / "in").string();
  ToolRun r =
      tool({"pack", "-o", out.string(), "--stub", stub_.string(), in, (root_ / "nope").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nope does not exist"), std::string::npos) << r.err;
  r = tool({"pack", "-o", out.string(), "--stub", (root_ / "no-stub.exe").string(), in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
  r = tool({"pack", "-o", out.string(), "--stub", in, in});
  EXPECT_NE(r.err.find("stub " + in + " is not a file"), std::string::npos) << r.err;
  write_file(root_ / "bad-stub.exe", random_bytes(5000, 3));
  r = tool({"pack", "-o", out.string(), "--stub", (root_ / "bad-stub.exe").string(), in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a self-extractor image"), std::string::npos) << r.err;
  Bytes stub_with_cab = fake_stub();
  std::memcpy(stub_with_cab.data() + 700, "MSCF\0\0\0\0", 8);
  write_file(root_ / "cab-stub.exe", stub_with_cab);
  r = tool({"pack", "-o", out.string(), "--stub", (root_ / "cab-stub.exe").string(), in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cabinet signature"), std::string::npos) << r.err;
  r = tool({"pack", "-o", out.string(), "--cabinet-only", "--max-cabinet-size", "1000", in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at least 64K"), std::string::npos) << r.err;
  r = tool({"pack", "-o", out.string(), "--cabinet-only", "--crc", in});
  EXPECT_EQ(r.status, 2);
  // An output that is not a file (/dev/null; /dev/stdout, a link to one) is
  // not replaced by one.
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0600), 0);
  fs::create_symlink(root_ / "fifo", root_ / "link");
  r = tool({"pack", "-o", (root_ / "link").string(), "--cabinet-only", in});
  EXPECT_TRUE(r.status == 1 && fs::is_symlink(root_ / "link")) << r.err;
  for (const char* name : {"fifo", "link"}) fs::remove(root_ / name);
  write_text(root_ / "in" / "A.TXT", "clash");
  r = tool({"pack", "-o", out.string(), "--cabinet-only", in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("same name"), std::string::npos) << r.err;
  fs::remove(root_ / "in" / "A.TXT");
  write_text(root_ / "in" / "what?.txt", "?");
  r = tool({"pack", "-o", out.string(), "--cabinet-only", in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("what?.txt"), std::string::npos) << r.err;
  fs::remove(root_ / "in" / "what?.txt");
  // The publisher's icon and version text: refused before anything is written.
  write_text(root_ / "not.ico", "GIF89a");
  Bytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0, 22, 0, 0, 0};
  ico.resize(62, 0);
  ico[22] = 40, ico[26] = 16, ico[30] = 32, ico[34] = 1, ico[36] = 32;
  write_file(root_ / "good.ico", ico);
  const struct {
    std::vector<std::string> options;
    int status;
    const char* why;
  } branding[] = {{{"--icon", (root_ / "not.ico").string()}, 1, "not an icon file"},
                  {{"--icon", (root_ / "none.ico").string()}, 1, "cannot open"},
                  {{"--version-info", "Vendor=Acme"}, 2, "unknown key 'Vendor'"},
                  {{"--version-info", "ProductName=" + std::string(300, 'x')}, 2, "at most 255"},
                  {{"--icon", (root_ / "good.ico").string()}, 1, "cannot put the icon"},
                  {{"--cabinet-only", "--icon", (root_ / "good.ico").string()}, 2, "no stub"}};
  for (const auto& b : branding) {
    std::vector<std::string> args = {"pack", "-o", out.string(), "--stub", stub_.string(), in};
    if (b.options[0] == "--cabinet-only") args.erase(args.begin() + 3, args.begin() + 5);
    args.insert(args.end() - 1, b.options.begin(), b.options.end());
    r = tool(args);
    EXPECT_EQ(r.status, b.status) << b.why;
    EXPECT_NE(r.err.find(b.why), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(out));
  std::vector<std::string> left = tree(root_);
  EXPECT_EQ(left, (std::vector<std::string>{"bad-stub.exe", "cab-stub.exe", "good.ico", "in/",
                                            "in/a.txt", "not.ico", "stub.exe"}));
}

TEST_F(ToolTest, CabinetSetBesideTheOutput) {
  write_file(root_ / "in" / "one.bin", random_bytes(200000, 5));
  write_file(root_ / "in" / "two.bin", random_bytes(150000, 6));
  write_text(root_ / "in" / "three.txt", std::string(100000, 'z'));
  const fs::path out = root_ / "media.cab";
  ToolRun r = tool({"pack", "-o", out.string(), "--cabinet-only", "--max-cabinet-size", "64K",
                    (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(fs::exists(root_ / "media2.cab"));
  ASSERT_TRUE(fs::exists(root_ / "media6.cab"));
  EXPECT_FALSE(fs::exists(root_ / "media7.cab"));
  for (int i = 1; i <= 6; ++i) {
    const fs::path p = i == 1 ? out : root_ / ("media" + std::to_string(i) + ".cab");
    EXPECT_LE(fs::file_size(p), 65536u) << p;
  }
  EXPECT_EQ(read_file(out).size(), 65536u);
  r = tool({"list", out.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("3 file(s), 450000 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("media6.cab at 0"), std::string::npos) << r.out;
  r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  r = tool({"extract", out.string(), "-d", (root_ / "dest").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "dest"), tree(root_ / "in"));
  for (const char* name : {"one.bin", "two.bin", "three.txt"})
    EXPECT_EQ(read_file(root_ / "dest" / name), read_file(root_ / "in" / name)) << name;

  fs::rename(root_ / "media4.cab", root_ / "elsewhere.cab");
  r = tool({"extract", out.string(), "-d", (root_ / "dest2").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'media4.cab' of the set is missing"), std::string::npos) << r.err;
  // Opened in its middle, the set's files begun before are not there to write.
  r = tool({"extract", (root_ / "media5.cab").string(), "-d", (root_ / "dest2").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("media5.cab continues the set from 'media4.cab'"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "dest2"));
  // Its listing takes the method from the folder record, and shows no ratio
  // for a folder whose bytes began before.
  r = tool({"list", (root_ / "media5.cab").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("     0  MSZIP "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('%'), std::string::npos) << r.out;
  // A continuation's name holding another file stops the pack.
  write_text(root_ / "media4.cab", "not ours");
  r = tool({"pack", "-o", out.string(), "--cabinet-only", "--max-cabinet-size", "64K",
            (root_ / "in").string()});
  EXPECT_NE(r.err.find("media4.cab exists and is not a cabinet"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(root_ / "media4.cab").size(), 8u);
  fs::remove(root_ / "media4.cab");

  // Damage where a.bin's folder ends, in the third cabinet: the next folder
  // (b.bin from there on, c.txt listed only in the fourth) is still extracted.
  write_file(root_ / "in2" / "a.bin", random_bytes(150000, 7));
  write_file(root_ / "in2" / "b.bin", random_bytes(100000, 8));
  write_text(root_ / "in2" / "c.txt", "after b");
  ASSERT_EQ(tool({"pack", "-o", out.string(), "--cabinet-only", "--max-cabinet-size", "64K",
                  "--folder-size", "101K", (root_ / "in2").string()})
                .status,
            0);
  Bytes third = read_file(root_ / "media3.cab");
  third[3000] ^= 0x40;
  write_file(root_ / "media3.cab", third);
  r = tool({"extract", out.string(), "-d", (root_ / "dest3").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("wrote 2 of 3 files"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("not reached"), std::string::npos) << r.err;  // b.bin began earlier
  EXPECT_EQ(tree(root_ / "dest3"), (std::vector<std::string>{"b.bin", "c.txt"}));
}

TEST_F(ToolTest, DamageAndFailedWritesAreReported) {
  write_file(root_ / "in" / "data.bin", random_bytes(100000, 9));
  write_text(root_ / "in" / "zz.txt", "after the damage, in its folder");
  fs::create_directory(root_ / "in" / "empty");  // an entry counted as a folder, not a file
  const fs::path out = root_ / "p.exe";
  ASSERT_EQ(
      tool({"pack", "-o", out.string(), "--stub", stub_.string(), "--crc", (root_ / "in").string()})
          .status,
      0);
  Bytes package = read_file(out);
  package[package.size() - 500] ^= 0x40;
  write_file(out, package);
  ToolRun r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("CRC-32 of the cabinet region is"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("checksum mismatch"), std::string::npos) << r.err;
  const std::string unreached =
      "1 file(s) and 1 folder(s) after the damage not reached: 'empty\\', 'zz.txt'\n";
  EXPECT_NE(r.err.find("cabinet damaged (error 4) in 'data.bin'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(unreached), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("decoded 0 of 2 files\n"), std::string::npos) << r.err;
  r = tool({"extract", out.string(), "-d", (root_ / "dest").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cabinet damaged (error 4)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the partly written 'data.bin' is removed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(unreached), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(root_ / "dest" / "data.bin")) << "no partial file is left";
  write_text(root_ / "dest" / "data.bin", "old");
  r = tool({"extract", "--overwrite", out.string(), "-d", (root_ / "dest").string()});
  EXPECT_NE(r.err.find("removed; the existing file is kept as it was"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(root_ / "dest" / "data.bin"), Bytes({'o', 'l', 'd'}));
  // Cut short, as a download that stopped: list reads no data, yet says so.
  package.resize(package.size() - 300);
  write_file(out, package);
  for (const char* form : {"-v", "-q", "--json"}) {
    r = tool({"list", form, out.string()});
    EXPECT_EQ(r.status, 1) << form;
    EXPECT_NE(r.err.find(": cut short"), std::string::npos) << form << r.err;
  }

  // A header text without its NUL would run into the next field.
  ASSERT_EQ(
      tool({"pack", "-o", out.string(), "--stub", stub_.string(), (root_ / "in").string()}).status,
      0);
  package = read_file(out);
  std::memset(package.data() + 1536 + offsetof(PackageHeader, prompt_title), 'T', 32);
  write_file(out, package);
  r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("prompt title has no terminating NUL"), std::string::npos) << r.err;

  // A failed write (past a size limit, as on a full disk) ends the run; the
  // problems before it and what was and was not written still show.
  const fs::path cab = write_cabinet(
      "w.cab", {make_memory_entry("a.txt", {'a'}), make_memory_entry("b\\c.txt", {'c'}),
                make_memory_entry("big.bin", Bytes(200000)), make_memory_entry("z.txt", {'z'})});
  write_text(root_ / "full" / "b", "a file where a folder goes");
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  const rlimit limit{65536, old_limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
  r = tool({"extract", cab.string(), "-d", (root_ / "full").string()});
  setrlimit(RLIMIT_FSIZE, &old_limit);
  EXPECT_EQ(r.status, 1);
  for (const char* line : {"'b\\c.txt': ", "partly written 'big.bin' is removed\n",
                           "1 file(s) not reached: 'z.txt'\n", "wrote 1 of 4 files\n"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << " in " << r.err;
}

// Signing appends a certificate table and points the security directory at
// it: the CRC stops there, as the module's does.
TEST_F(ToolTest, SignedPackagesAreCheckedUpToTheirCertificateTable) {
  write_file(root_ / "in" / "data.bin", random_bytes(100000, 12));
  const fs::path out = root_ / "p.exe";
  ASSERT_EQ(
      tool({"pack", "-o", out.string(), "--stub", stub_.string(), "--crc", (root_ / "in").string()})
          .status,
      0);
  const Bytes unsigned_package = read_file(out);
  ASSERT_EQ(unsigned_package.size() % 8, 0u) << "padded as a signing tool would pad it";
  auto sign = [&](uint32_t table_at, size_t damage_at) {
    Bytes b = unsigned_package;
    const uint32_t end = uint32_t(b.size()), size = 24;
    b.resize(b.size() + size, 0xC5);
    std::memcpy(&b[0x40 + 152], &table_at, 4);
    std::memcpy(&b[0x40 + 156], &size, 4);
    if (damage_at) b[damage_at] ^= 1;
    write_file(out, b);
    return end;
  };
  const uint32_t end = sign(uint32_t(unsigned_package.size()), 0);
  ToolRun r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string note = "Certificate table: 24 bytes at " + std::to_string(end) +
                           " (signed; the CRC region ends there)";
  EXPECT_NE(r.out.find(note), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("as the header says"), std::string::npos) << r.out;
  EXPECT_NE(tool({"list", out.string()}).out.find(note), std::string::npos);
  sign(end, 2048 + 9);  // cbCabinet: read by no one, covered by the CRC
  r = tool({"verify", out.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("CRC-32 of the cabinet region is"), std::string::npos) << r.err;
  r = tool({"extract", out.string(), "-d", (root_ / "dest").string()});
  EXPECT_EQ(r.status, 1) << "the data is intact, the package is not";
  EXPECT_NE(r.err.find("the package was changed or damaged"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(root_ / "dest" / "data.bin"), read_file(root_ / "in" / "data.bin"));
}

// The same inputs give the same bytes: trees made in other orders, at other
// times, packed with any number of jobs, as one cabinet or as a set.
TEST_F(ToolTest, SameInputsGiveTheSameBytes) {
  const std::vector<std::string> names = {"a/one.bin", "a/two.bin", "b/three.bin", "c.bin",
                                          "d/e/f.bin", "old.bin",   "x/empty/",    "y/empty/"};
  const std::time_t epoch = 1700000000;  // 2023-11-14 22:13:20 UTC
  auto at = [](std::time_t t) {
    return std::chrono::time_point_cast<fs::file_time_type::duration>(
        std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(t)));
  };
  // Made in opposite orders, days apart; only old.bin predates the epoch.
  for (int t = 0; t < 2; ++t)
    for (size_t k = 0; k < names.size(); ++k) {
      const size_t i = t ? names.size() - 1 - k : k;
      const fs::path p = root_ / ("t" + std::to_string(t)) / names[i];
      if (names[i].back() == '/') {
        fs::create_directories(p);
        continue;
      }
      write_file(p, random_bytes(70000 - 9000 * i, uint32_t(i)));
      fs::last_write_time(p, at(names[i] == "old.bin" ? epoch - 400 * 86400 : epoch + 86400 * t));
    }
  setenv("SOURCE_DATE_EPOCH", std::to_string(epoch).c_str(), 1);
  const std::vector<std::vector<std::string>> packs = {
      {"--stub", stub_.string(), "--compress", "lzx:21"},
      {"--cabinet-only", "--max-cabinet-size", "64K"}};
  for (size_t n = 0; n < packs.size(); ++n) {
    std::map<std::string, Bytes> first;
    for (const char* run : {"01", "12", "05"}) {  // tree, jobs
      const fs::path dir = root_ / (std::to_string(n) + run);
      fs::create_directories(dir);
      std::vector<std::string> args = {"pack", "-o",    (dir / "p.exe").string(),
                                       "-j",   run + 1, "--folder-size=64K"};
      args.insert(args.end(), packs[n].begin(), packs[n].end());
      args.push_back((root_ / ("t" + std::string(run, 1))).string());
      ASSERT_EQ(tool(args).status, 0);
      std::map<std::string, Bytes> written;
      for (const auto& e : fs::directory_iterator(dir))
        written[e.path().filename().string()] = read_file(e.path());
      if (first.empty()) first = written;
      EXPECT_TRUE(written == first) << n << ": tree " << run[0] << ", " << run + 1 << " jobs";
    }
    EXPECT_EQ(first.size(), n ? 5u : 1u);
  }
  const ToolRun listed = tool({"list", (root_ / "001" / "p.exe").string()});
  EXPECT_NE(listed.out.find("2023-11-14 22:13:20  ----A--  "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("2022-10-10 22:13:20  ----A--  "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\n     4  LZX:21"), std::string::npos) << listed.out;
  setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  const ToolRun r =
      tool({"pack", "-o", (root_ / "bad.cab").string(), "--cabinet-only", (root_ / "t0").string()});
  unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("SOURCE_DATE_EPOCH must be a whole number"), std::string::npos) << r.err;
}

TEST_F(ToolTest, HostileNamesAreRefusedOrMadeSafe) {
  auto entry = [](const std::string& name) {
    return make_memory_entry(name, Bytes(name.begin(), name.end()));
  };
  const fs::path cab = write_cabinet(
      "hostile.cab",
      {entry("..\\evil1.txt"), entry("../evil2.txt"), entry("a/../../evil3.txt"),
       entry("C:\\evil4.txt"), entry("sub\\..\\..\\evil5.txt"), entry("CON"), entry("d:evil7"),
       entry("\\rooted.txt"), entry("rooted.txt"), entry("/abs/slash.txt"), entry("fine\\\\ok.txt"),
       entry("link\\planted.txt"), entry("file_link")});
  const fs::path dest = root_ / "dest";
  fs::create_directories(dest);
  fs::create_directories(root_ / "outside");
  write_text(root_ / "outside" / "target.txt", "untouched");
  fs::create_directory_symlink(root_ / "outside", dest / "link");
  fs::create_symlink(root_ / "outside" / "target.txt", dest / "file_link");

  ToolRun r = tool({"list", cab.string()});
  EXPECT_NE(r.out.find("1 file(s) repeat a name listed before ('rooted.txt')"), std::string::npos);
  EXPECT_NE(r.out.find("7 file(s) cannot be extracted under their names ('..\\evil1.txt', "
                       "'../evil2.txt', 'a/../../evil3.txt' and 4 more); '..\\evil1.txt': the "
                       "name refers to a parent folder"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(tool({"verify", cab.string()}).status, 1) << "verify fails what extract refuses";
  r = tool({"extract", cab.string(), "-d", (root_ / "none").string(), "..\\evil1.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(root_ / "none")) << "only refused names: no folder is made";
  r = tool({"verify", write_cabinet("again.cab", {entry("r.txt"), entry("R.TXT")}).string()});
  EXPECT_NE(r.err.find("1 file(s) repeat a name listed before ('R.TXT')"), std::string::npos);
  r = tool({"extract", cab.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("file_link exists"), std::string::npos) << r.err;
  EXPECT_EQ(tree(dest), (std::vector<std::string>{"file_link", "link"})) << "nothing written";
  r = tool({"extract", "--overwrite", cab.string(), "-d", dest.string()});
  EXPECT_EQ(r.status, 1);
  for (const char* refused : {"..\\evil1.txt", "../evil2.txt", "a/../../evil3.txt", "C:\\evil4.txt",
                              "sub\\..\\..\\evil5.txt", "'CON'", "d:evil7", "link\\planted.txt",
                              "'rooted.txt': the cabinet lists this name again"})
    EXPECT_NE(r.err.find(refused), std::string::npos) << refused << "\n" << r.err;
  EXPECT_EQ(tree(root_ / "outside"), std::vector<std::string>{"target.txt"});
  EXPECT_EQ(read_file(root_ / "outside" / "target.txt"),
            Bytes({'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd'}));
  EXPECT_EQ(tree(dest), (std::vector<std::string>{"abs/", "abs/slash.txt", "file_link", "fine/",
                                                  "fine/ok.txt", "link", "rooted.txt"}));
  EXPECT_FALSE(fs::is_symlink(dest / "file_link")) << "the link was replaced, not followed";
  EXPECT_EQ(read_file(dest / "rooted.txt"),
            Bytes({'\\', 'r', 'o', 'o', 't', 'e', 'd', '.', 't', 'x', 't'}));
  std::vector<std::string> all = tree(root_);
  for (const auto& name : all) EXPECT_EQ(name.find("evil"), std::string::npos) << name;

  // One file under two names (a short name, another case where case is
  // ignored): y bound onto x in a mount namespace of the run's own; the
  // tool's status comes back as 10 + status (1, 99: no namespace or mount).
  const fs::path twice = write_cabinet("twice.cab", {entry("x\\a.txt"), entry("y\\a.txt")});
  const fs::path x = root_ / "bound" / "x", y = root_ / "bound" / "y";
  fs::create_directories(x), fs::create_directories(y);
  const int rc =
      std::system(("unshare -m sh -c 'mount --bind \"$1\" \"$2\" || exit 99; shift 2; "
                   "\"$@\"; exit $((10 + $?))' sh " +
                   quote(x) + " " + quote(y) + " " + quote(TOOL) + " extract --overwrite " +
                   quote(twice) + " -d " + quote(x.parent_path()) + " 2>/dev/null")
                      .c_str());
  if (!WIFEXITED(rc) || WEXITSTATUS(rc) < 10 || WEXITSTATUS(rc) == 99) GTEST_SKIP() << rc;
  EXPECT_EQ(WEXITSTATUS(rc), 11);
  EXPECT_EQ(read_file(x / "a.txt"), Bytes({'x', '\\', 'a', '.', 't', 'x', 't'}));
}

TEST_F(ToolTest, CodePagesForNames) {
  // 表 is 0x95 0x5C in code page 932: its second byte is a backslash.
  const std::string hyou = "\xE8\xA1\xA8", nihongo = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  write_text(root_ / "in" / (hyou + ".txt"), "table");
  write_text(root_ / "in" / nihongo / "a.txt", "folder");
  // Code page 1252 cannot hold them: stored in UTF-8, flagged, read back.
  const fs::path utf = root_ / "utf.cab";
  ToolRun r = tool({"pack", "-o", utf.string(), "--cabinet-only", (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("note: 2 name(s) stored in UTF-8"), std::string::npos) << r.err;
  r = tool({"pack", "-q", "-o", (root_ / "utf.exe").string(), "--stub", stub_.string(),
            (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: 2 name(s) stored in UTF-8"), std::string::npos) << r.err;
  r = tool({"list", utf.string()});
  EXPECT_NE(r.out.find("----A-U  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(nihongo + "\\a.txt"), std::string::npos) << r.out;
  r = tool({"extract", utf.string(), "-d", (root_ / "dest_utf").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "dest_utf"), tree(root_ / "in"));

  const fs::path out = root_ / "jp.cab";
  r = tool(
      {"pack", "-o", out.string(), "--cabinet-only", "--codepage", "932", (root_ / "in").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes cab = read_file(out);
  const std::string bytes(cab.begin(), cab.end());
  EXPECT_NE(bytes.find(std::string("\x95\x5C.txt\0", 7)), std::string::npos);
  EXPECT_NE(bytes.find("\x93\xFA\x96\x7B\x8C\xEA\\a.txt"), std::string::npos);
  // The code page travels in the header reserve: flag 0x0004, then "CSFX".
  EXPECT_EQ(cab[30] & 4, 4);
  EXPECT_EQ(std::string(cab.begin() + 40, cab.begin() + 50),
            std::string("CSFX\1\0\2\0\xA4\x03", 10));
  r = tool({"list", out.string()});
  EXPECT_NE(r.out.find(hyou + ".txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("code page 932 (recorded in the cabinet)"), std::string::npos) << r.out;
  r = tool({"extract", out.string(), "-d", (root_ / "dest").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "dest"), tree(root_ / "in"));

  // Read as code page 1252 on request, the bytes are other, harmless,
  // characters; 0x5C still separates there, so the name becomes a folder.
  r = tool({"extract", "--codepage=1252", out.string(), "-d", (root_ / "dest1252").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(root_ / "dest1252" / "\xE2\x80\xA2" / ".txt"));

  // Western names in 1252, and a name flagged as UTF-8 by attribute 0x80.
  const std::string cafe = "caf\xC3\xA9.txt", euro = "\xE2\x82\xAC-\xC3\xBC.txt";
  const fs::path western = write_cabinet("w.cab", {make_memory_entry("caf\xE9.txt", {1}),
                                                   make_memory_entry(euro, {2}, 0x5A21, 0, 0xA0)});
  r = tool({"extract", western.string(), "-d", (root_ / "w").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "w"), (std::vector<std::string>{cafe, euro}));
  r = tool({"list", western.string()});
  EXPECT_NE(r.out.find("----A-U"), std::string::npos) << r.out;
  // A name flagged UTF-8 that is not valid UTF-8 is refused.
  const fs::path broken = write_cabinet("b.cab", {make_memory_entry("bad\xFF", {3}, 1, 0, 0xA0)});
  r = tool({"extract", broken.string(), "-d", (root_ / "b").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not valid UTF-8"), std::string::npos) << r.err;
}

// LZX and Quantum go through the encoders' factories; a build without them
// says so instead of writing anything.
TEST_F(ToolTest, EveryCompressionMethodOrNotAvailable) {
  write_file(root_ / "in" / "r.bin", random_bytes(70000, 4));
  std::string text;
  for (int i = 0; i < 9000; ++i) text += "entry " + std::to_string(i % 97) + "\n";
  write_text(root_ / "in" / "t.txt", text);
  const bool lzx = make_lzx_encoder(LzxEncoderOptions{}) != nullptr;
  const bool quantum = make_quantum_encoder(QuantumEncoderOptions{}) != nullptr;
  struct Method {
    const char* option;
    bool available;
    const char* listed;
  };
  for (const Method& m :
       {Method{"none", true, "none"}, Method{"mszip:0", true, "MSZIP"},
        Method{"mszip", true, "MSZIP"}, Method{"lzx:15", lzx, "LZX:15"},
        Method{"lzx:21", lzx, "LZX:21"}, Method{"quantum:10", quantum, "Quantum:10"},
        Method{"quantum:21", quantum, "Quantum:21"}}) {
    SCOPED_TRACE(m.option);
    const fs::path out = root_ / "m.cab";
    fs::remove(out);
    ToolRun r = tool({"pack", "-o", out.string(), "--cabinet-only", "--compress", m.option,
                      (root_ / "in").string()});
    if (!m.available) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("not available"), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool({"list", out.string()});
    EXPECT_NE(r.out.find(m.listed), std::string::npos) << r.out;
    EXPECT_EQ(tool({"verify", out.string()}).status, 0);
    const fs::path dest = root_ / "dest";
    fs::remove_all(dest);
    ASSERT_EQ(tool({"extract", out.string(), "-d", dest.string()}).status, 0);
    EXPECT_EQ(read_file(dest / "r.bin"), read_file(root_ / "in" / "r.bin"));
    EXPECT_EQ(read_file(dest / "t.txt"), read_file(root_ / "in" / "t.txt"));
  }
}

TEST_F(ToolTest, PackReportsEverythingItCannotPackInOneRun) {
  const fs::path in = root_ / "in";
  write_text(in / "ok.txt", "ok");
  write_text(root_ / "target.txt", "through a link");
  fs::create_symlink(root_ / "target.txt", in / "file_link.txt");
  fs::create_directory_symlink(root_, in / "folder_link");
  fs::create_symlink(root_ / "nothing", in / "dangling");
  ASSERT_EQ(mkfifo((in / "fifo").c_str(), 0600), 0);
  const char* const bad_names[] = {"what?.txt", "CON.txt", "dot.", "pipe|d", "latin1-\xE9.txt"};
  for (const char* bad : bad_names) write_text(in / bad, "x");
  const fs::path out = root_ / "out.cab";
  ToolRun r = tool({"pack", "-o", out.string(), "--cabinet-only", in.string()});
  EXPECT_EQ(r.status, 1);
  for (const char* named :
       {"folder_link is a link to a folder", "dangling is a link to nothing",
        "fifo is a special file", "what?.txt", "CON.txt", "dot.", "pipe|d",
        "latin1-\\xE9.txt: the name is not valid UTF-8", "nothing written: 8 entries"})
    EXPECT_NE(r.err.find(named), std::string::npos) << named << "\n" << r.err;
  EXPECT_FALSE(fs::exists(out));
  for (const char* bad : bad_names) fs::remove(in / bad);

  // Skipped on request, each one listed; a link to a file is the file.
  r = tool({"pack", "-o", out.string(), "--cabinet-only", "--skip-special", in.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("skipping " + (in / "folder_link").string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("skipping " + (in / "fifo").string()), std::string::npos) << r.err;
  r = tool({"extract", out.string(), "-d", (root_ / "dest").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "dest"), (std::vector<std::string>{"file_link.txt", "ok.txt"}));
  EXPECT_FALSE(fs::is_symlink(root_ / "dest" / "file_link.txt"));
  EXPECT_EQ(read_file(root_ / "dest" / "file_link.txt"), read_file(root_ / "target.txt"));

  // An output that is an input is refused; the output and its set inside an
  // input folder are skipped, saying so.
  fs::remove(in / "fifo");
  r = tool({"pack", "-o", (in / "ok.txt").string(), "--cabinet-only", (in / "ok.txt").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is also an input"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(in / "ok.txt"), Bytes({'o', 'k'}));
  // An output that is a link to an input file: the link is replaced, the file packed.
  const fs::path link = root_ / "link.cab";
  fs::create_symlink(in / "ok.txt", link);
  r = tool({"pack", "-o", link.string(), "--cabinet-only", "--skip-special", in.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(tool({"list", "-q", link.string()}).out.find("ok.txt"), std::string::npos);
  EXPECT_EQ(read_file(in / "ok.txt"), Bytes({'o', 'k'}));
  write_file(in / "big.bin", random_bytes(150000, 8));
  const std::vector<std::string> again = {"pack",
                                          "-o",
                                          (in / "self.cab").string(),
                                          "--cabinet-only",
                                          "--skip-special",
                                          "--max-cabinet-size=64K",
                                          in.string()};
  ASSERT_EQ(tool(again).status, 0);
  ASSERT_TRUE(fs::exists(in / "self3.cab"));
  r = tool(again);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* skipped :
       {"self.cab: an output", "self2.cab: an output", "self3.cab: an output"})
    EXPECT_NE(r.err.find(skipped), std::string::npos) << skipped << "\n" << r.err;
  EXPECT_NE(r.out.find("3 file(s)"), std::string::npos) << r.out;
  fs::remove(in / "big.bin");  // now one cabinet: the old set's others are named
  r = tool(again);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("self2.cab ... self3.cab beside the output are not part of this set"),
            std::string::npos)
      << r.err;

  // Dates outside 1980..2107 are clamped, with a warning.
  fs::remove_all(in);
  write_text(in / "old.txt", "old");
  const auto epoch = std::chrono::time_point_cast<fs::file_time_type::duration>(
      std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(86400)));
  fs::last_write_time(in / "old.txt", epoch);
  r = tool({"pack", "-o", out.string(), "--cabinet-only", in.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: " + (in / "old.txt").string() + ": its date lies before 1980"),
            std::string::npos)
      << r.err;
  EXPECT_NE(tool({"list", out.string()}).out.find("1980-01-01 00:00:00"), std::string::npos);

  // Payloads the format cannot hold are refused before any work (sparse
  // files: nothing is read).
  const fs::path huge = root_ / "huge.cab";
  write_text(in / "huge.bin", "");
  fs::resize_file(in / "huge.bin", uint64_t(4) << 30);
  r = tool({"pack", "-o", huge.string(), "--cabinet-only", in.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("huge.bin is 4294967296 bytes; a cabinet holds files of less than 4 GiB"),
            std::string::npos)
      << r.err;
  fs::resize_file(in / "huge.bin", uint64_t(5) << 29);
  for (const char* method : {"mszip", "none"}) {
    r = tool({"pack", "-o", huge.string(), "--cabinet-only", "--compress", method, in.string()});
    EXPECT_EQ(r.status, 1) << method;
    EXPECT_NE(r.err.find("cannot fit one cabinet"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--max-cabinet-size 1G (about 3 cabinets"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(huge));
  // More entries than one cabinet (or folder) lists: refused, or a set holds them.
  const fs::path many = root_ / "many";
  fs::create_directories(many);
  for (int i = 0; i <= 0xFFFF; ++i) std::ofstream(many / std::to_string(i));
  r = tool({"pack", "-o", huge.string(), "--cabinet-only", many.string()});
  EXPECT_NE(r.err.find("65536 entries; one cabinet lists at most 65535; write a cabinet set"),
            std::string::npos);
  r = tool(
      {"pack", "-o", huge.string(), "--cabinet-only", "--max-cabinet-size", "1G", many.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  fs::remove_all(many);
  if (geteuid() != 0) {  // root reads everything
    fs::remove(in / "huge.bin");
    fs::create_directories(in / "locked");
    write_text(in / "locked" / "inside.txt", "x");
    fs::permissions(in / "locked", fs::perms::none);
    r = tool({"pack", "-o", out.string(), "--cabinet-only", in.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("cannot read the folder " + (in / "locked").string() + ": Permission denied"),
        std::string::npos)
        << r.err;
  }
}

// The output tree driven step by step, with links planted between the steps
// as another process could: nothing is ever written through one.
TEST_F(ToolTest, LinksPlantedBetweenStepsAreNeverFollowed) {
  const fs::path dest = root_ / "dest", outside = root_ / "outside";
  fs::create_directories(outside);
  write_text(outside / "victim.txt", "untouched");
  OutputTree output(dest);

  // A folder swapped for a link before it is entered.
  fs::create_directory_symlink(outside, dest / "a");
  EXPECT_THROW(output.enter({"a"}, true), ToolError);
  fs::remove(dest / "a");

  // A folder swapped for a link after it was entered: the open folder is
  // used, wherever it now is; the link is not.
  ASSERT_TRUE(output.enter({"b", "c"}, true));
  fs::rename(dest / "b", dest / "b-moved");
  fs::create_directory_symlink(outside, dest / "b");
  auto file = output.create("new.txt", false);
  ASSERT_TRUE(file->write("new", 3));
  file->finish(1000000000, 0x20);
  EXPECT_EQ(read_file(dest / "b-moved" / "c" / "new.txt"), Bytes({'n', 'e', 'w'}));
  EXPECT_FALSE(fs::exists(outside / "c"));

  // A link planted at the file's name after the check: a new file is not
  // given its name; a replacement renames over the link itself.
  ASSERT_TRUE(output.enter({}, true));
  EXPECT_EQ(output.existing("victim.txt").kind, ExistingEntry::MISSING);
  file = output.create("victim.txt", false);
  ASSERT_TRUE(file->write("new", 3));
  fs::create_symlink(outside / "victim.txt", dest / "victim.txt");
  EXPECT_THROW(file->finish(1000000000, 0x20), FileExists);
  EXPECT_EQ(output.existing("victim.txt").kind, ExistingEntry::OTHER);
  file = output.create("victim.txt", true);
  ASSERT_TRUE(file->write("replaced", 8));
  file->finish(1000000000, 0x21);
  EXPECT_FALSE(fs::is_symlink(dest / "victim.txt"));
  EXPECT_EQ(read_file(dest / "victim.txt").size(), 8u);
  EXPECT_EQ(read_file(outside / "victim.txt").size(), 9u);
  EXPECT_EQ(
      fs::last_write_time(dest / "victim.txt"),
      std::chrono::time_point_cast<fs::file_time_type::duration>(
          std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(1000000000))));
  EXPECT_EQ(fs::status(dest / "victim.txt").permissions() & fs::perms::owner_write,
            fs::perms::none);

  // An abandoned file leaves nothing behind, a replacement nothing either.
  output.create("gone.txt", false)->write("x", 1);
  output.create("victim.txt", true)->write("x", 1);
  EXPECT_EQ(output.existing("gone.txt").kind, ExistingEntry::MISSING);
  EXPECT_EQ(read_file(dest / "victim.txt").size(), 8u);
  EXPECT_EQ(tree(dest), (std::vector<std::string>{"b", "b-moved/", "b-moved/c/",
                                                  "b-moved/c/new.txt", "victim.txt"}));

  // Nor does a run that a signal ends while a new file and a replacement are
  // half written; the signal still ends it.
  // A run killed where nothing can clean up leaves the half-written file
  // under its temporary name only.
  for (const int signal : {SIGTERM, SIGKILL}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      install_interrupt_cleanup();
      auto cut = output.create("cut.txt", false);
      auto replacement = output.create("victim.txt", true);
      if (cut->write("x", 1) && replacement->write("x", 1)) std::raise(signal);
      _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(read_file(dest / "victim.txt").size(), 8u);
    std::vector<std::string> left = tree(dest);
    EXPECT_EQ(std::erase_if(left, [](const std::string& n) { return n.starts_with(".cabsfx-"); }),
              signal == SIGKILL ? 2u : 0u);
    EXPECT_EQ(left, (std::vector<std::string>{"b", "b-moved/", "b-moved/c/", "b-moved/c/new.txt",
                                              "victim.txt"}));
  }
}

TEST_F(ToolTest, ListingsEscapeNamesCountFilesAndSelectByPattern) {
  const fs::path cab =
      write_cabinet("names.cab", {make_memory_entry("docs\\a.txt", {'a'}),
                                  make_memory_entry("docs\\b.TXT", {'b', 'b'}),
                                  make_memory_entry("docs\\sub\\", {}, 0x5821, 0x6000, 0x10),
                                  make_memory_entry("line\nforged  0  MSZIP  x\x1b[31m", {'c'}),
                                  make_memory_entry("c1\xC2\x85"
                                                    "del\x7F",
                                                    {'d'}, 0x505E, 0x6000, 0xA0),  // 30 Feb 2020
                                  make_memory_entry("bad\xFF\xFE"
                                                    "",
                                                    {'e'}, 0x505D, 0x6000, 0xA0)});
  ToolRun r = tool({"list", cab.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_NE(r.out.find("line\\x0Aforged  0  MSZIP  x\\x1B[31m"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("c1\\u{0085}del\\x7F"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bad\\xFF\\xFE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("5 file(s), 6 bytes, 1 folder(s); packed "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     0  MSZIP             1       5"), std::string::npos) << r.out;

  // One JSON record per line; the forged newline stays inside its string.
  r = tool({"list", "--json", cab.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 6);
  EXPECT_NE(r.out.find("{\"name\": \"docs\\\\b.TXT\", \"name_decoded\": true, \"folder_entry\": "
                       "false, \"size\": 2, \"modified\": \"2024-01-01T12:00:00\", "
                       "\"attributes\": \"----A--\", \"folder\": 0, \"method\": \"MSZIP\"}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"name_decoded\": false"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"modified\": null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"modified\": \"2020-02-29T12:00:00\""), std::string::npos) << r.out;

  // Patterns in list, verify and extract, quiet and to standard output.
  r = tool({"list", "-q", cab.string(), "DOCS/*.txt"});
  EXPECT_EQ(r.out, "docs\\a.txt\ndocs\\b.TXT\n");
  r = tool({"list", "-q", cab.string(), "docs"});
  EXPECT_EQ(r.out, "docs\\a.txt\ndocs\\b.TXT\ndocs\\sub\\\n");
  r = tool({"verify", "-q", cab.string(), "docs\\?.txt", "nomatch*"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cabsfx-tool: verify: no file matches 'nomatch*'\n");
  r = tool({"extract", "--stdout", cab.string(), "docs\\*"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "abb");
  const fs::path dest = root_ / "dest";
  r = tool({"extract", "-d", dest.string(), cab.string(), "nomatch*"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dest)) << r.out;
  r = tool({"extract", "-q", "--directory=" + dest.string(), cab.string(), "--", "*.TXT"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree(dest), (std::vector<std::string>{"docs/", "docs/a.txt", "docs/b.TXT"}));
  // Fewer files written than selected: exit 1, the refused names escaped.
  r = tool({"extract", cab.string(), "-d", (root_ / "all").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refusing 'line\\x0Aforged"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_NE(r.out.find("2 file(s) extracted"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("wrote 2 of 5 files"), std::string::npos) << r.err;

  r = tool({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("cabsfx-tool ", 0), 0u) << r.out;
  for (const char* command : {"pack", "list", "verify", "extract"})
    EXPECT_NE(tool({command, "--help"}).out.find("Exit status: 0"), std::string::npos) << command;
  r = tool({"list", "--json=yes", cab.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--json takes no value"), std::string::npos) << r.err;
  r = tool({"list", "-qv", cab.string()});  // short options are not bundled
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("option -qv takes no value"), std::string::npos) << r.err;
  // A short option's value may be joined to it.
  r = tool({"extract", "--overwrite", cab.string(), "-d" + (root_ / "joined").string(), "docs*"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree(root_ / "joined"),
            (std::vector<std::string>{"docs/", "docs/a.txt", "docs/b.TXT", "docs/sub/"}));
  r = tool({"extract", "--stdout", "--overwrite", cab.string()});
  EXPECT_EQ(r.status, 2);
}

// Without --stub the tool looks beside itself, in the installed layout and
// in the build layout; the error names the places and --cabinet-only.
TEST_F(ToolTest, DefaultStubIsFoundInTheInstalledLayout) {
  write_text(root_ / "in" / "a.txt", "a");
  const fs::path bin = root_ / "prefix" / "bin" / "cabsfx-tool";
  fs::create_directories(bin.parent_path());
  fs::copy_file(TOOL, bin);
  auto run_copy = [&](const std::vector<std::string>& args) {
    std::string cmd = quote(bin.string());
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >/dev/null 2>" + quote((root_ / "err.txt").string());
    const int rc = std::system(cmd.c_str());
    const Bytes e = read_file(root_ / "err.txt");
    return std::make_pair(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, std::string(e.begin(), e.end()));
  };
  const fs::path out = root_ / "p.exe";
  auto [status, err] = run_copy({"pack", "-o", out.string(), (root_ / "in").string()});
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find((root_ / "prefix" / "share" / "cabsfx" / "cabsfx.exe").string()),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("--cabinet-only"), std::string::npos) << err;
  write_file(root_ / "prefix" / "share" / "cabsfx" / "cabsfx.exe", fake_stub());
  std::tie(status, err) = run_copy({"pack", "-o", out.string(), (root_ / "in").string()});
  EXPECT_EQ(status, 0) << err;
  const Bytes package = read_file(out);
  EXPECT_TRUE(std::equal(package.begin(), package.begin() + 1536, fake_stub().begin()));
}

}  // namespace
