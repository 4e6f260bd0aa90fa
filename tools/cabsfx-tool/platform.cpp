// The few things that differ between Linux and Windows.
#include <chrono>
#include <cstdio>
#include <system_error>

#include "tool.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

fs::path tool_directory() {
#ifdef _WIN32
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  buffer.resize(n);
  return fs::path(buffer).parent_path();
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
#endif
}

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

static bool local_time(std::time_t t, std::tm& out) {
#ifdef _WIN32
  return localtime_s(&out, &t) == 0;
#else
  return localtime_r(&t, &out) != nullptr;
#endif
}

static bool utc_time(std::time_t t, std::tm& out) {
#ifdef _WIN32
  return gmtime_s(&out, &t) == 0;
#else
  return gmtime_r(&t, &out) != nullptr;
#endif
}

bool valid_dos_time(uint16_t date, uint16_t time) {
  static constexpr uint8_t DAYS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned year = 1980u + (date >> 9), month = (date >> 5) & 15u, day = date & 31u;
  // Years 1980 to 2107: every fourth is a leap year, 2100 is not.
  const bool leap = year % 4 == 0 && year != 2100;
  return month >= 1 && month <= 12 && day >= 1 &&
         day <= (month == 2 && !leap ? 28u : DAYS[month - 1]) && (time >> 11) <= 23 &&
         ((time >> 5) & 63) <= 59 && (time & 31) <= 29;
}

bool dos_to_time(uint16_t date, uint16_t time, std::time_t& out) {
  // mktime would carry 30 February into March: a date that is none is not stamped.
  if (!valid_dos_time(date, time)) return false;
  std::tm tm{};
  tm.tm_year = 80 + (date >> 9);
  tm.tm_mon = ((date >> 5) & 15) - 1;
  tm.tm_mday = date & 31;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 63;
  tm.tm_sec = (time & 31) * 2;
  tm.tm_isdst = -1;
  out = std::mktime(&tm);
  return out != std::time_t(-1);
}

int time_to_dos(std::time_t t, uint16_t& date, uint16_t& time, bool utc) {
  std::tm tm{};
  if (!(utc ? utc_time(t, tm) : local_time(t, tm)) || tm.tm_year < 80) {
    date = (1 << 5) | 1;  // 1980-01-01 00:00:00, the earliest a DOS date holds
    time = 0;
    return -1;
  }
  if (tm.tm_year > 80 + 127) {
    date = uint16_t(127 << 9 | 12 << 5 | 31);
    time = uint16_t(23 << 11 | 59 << 5 | 29);
    return 1;
  }
  date = uint16_t((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
  time = uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
  return 0;
}

bool get_file_mtime(const fs::path& path, std::time_t& out) {
  using namespace std::chrono;
  std::error_code ec;
  const auto stamp = fs::last_write_time(path, ec);
  if (ec) return false;
  out = system_clock::to_time_t(time_point_cast<system_clock::duration>(file_clock::to_sys(stamp)));
  return true;
}

void binary_stdout() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

std::vector<fs::path> default_stub_places(const fs::path& tool_dir) {
  const fs::path up = tool_dir.parent_path();
  return {tool_dir / "cabsfx.exe", up / "share" / "cabsfx" / "cabsfx.exe",
          up.parent_path() / "win32" / "cabsfx.exe", up / "cabsfx.exe"};
}

namespace {
constexpr uint64_t PROGRESS_THRESHOLD = uint64_t(4) << 20;
}

ProgressBar::ProgressBar(const char* label, uint64_t total)
    : label_(label), total_(total), active_(total > PROGRESS_THRESHOLD && stderr_is_terminal()) {}

ProgressBar::~ProgressBar() {
  finish();
}

void ProgressBar::update(uint64_t done) {
  if (!active_ || total_ == 0) return;
  const int percent = int(done * 100 / total_);
  if (percent == last_percent_) return;
  last_percent_ = percent;
  char bar[41];
  const int filled = percent * 40 / 100;
  for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
  bar[40] = 0;
  std::fprintf(stderr, "\r%s [%s] %3d%% %.1f/%.1f MiB", label_, bar, percent,
               double(done) / 1048576.0, double(total_) / 1048576.0);
  std::fflush(stderr);
}

void ProgressBar::finish() {
  if (!active_) return;
  if (last_percent_ >= 0) std::fprintf(stderr, "\n");
  active_ = false;
}
