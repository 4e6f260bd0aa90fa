// uidriver: drives the windows of another process for the end-to-end tests.
//
// Commands (one per invocation, or one per line after `serve`, fields
// separated by tabs):
//   windows                         visible top-level windows
//   wait [--title T] [--class C] [--image NAME] [--timeout MS]
//   list HWND                       child controls
//   text HWND ID                    a control's text (65535: message box text)
//   settext HWND ID TEXT
//   click HWND ID                   WM_COMMAND as a button click
//   check HWND ID 0|1               set a check box, then notify the dialog
//   key HWND VK                     key press to the window's focus
//   close HWND                      WM_SYSCOMMAND SC_CLOSE
//   rect HWND                       window rectangle
//   shot HWND FILE.png              picture of the window ("desktop": the screen)
//   hold PATH                       open a file with no sharing (until release)
//   release                         close the held files
//   exec COMMAND_LINE               start a program with exactly this command
//                                   line, wait for it, exit with its exit code
// Output is UTF-8. In `serve` mode every answer ends with a line "=ok" or
// "=err MESSAGE"; text fields escape backslash, tab, CR and LF as \\ \t \r \n.
#include <windows.h>
// windows.h first
#include <shellapi.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string out;  // answer being built

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string result(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n,
                      nullptr, nullptr);
  return result;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
  return result;
}

std::string escape(const std::string& text) {
  std::string result;
  for (char c : text) {
    switch (c) {
      case '\\':
        result += "\\\\";
        break;
      case '\t':
        result += "\\t";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\r':
        result += "\\r";
        break;
      default:
        result += c;
    }
  }
  return result;
}

std::string unescape(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      result += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      result += text[i];
    }
  }
  return result;
}

void emit(const std::string& line) {
  out += line;
  out += '\n';
}

std::string hex_handle(HWND hwnd) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "0x%lx",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hwnd)));
  return buffer;
}

bool parse_handle(const std::string& text, HWND* hwnd) {
  if (text == "desktop") {  // the whole screen, for pictures of a failure
    *hwnd = GetDesktopWindow();
    return true;
  }
  char* end = nullptr;
  unsigned long value = strtoul(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0') return false;
  *hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  return IsWindow(*hwnd) != FALSE;
}

bool parse_int(const std::string& text, long* value) {
  char* end = nullptr;
  *value = strtol(text.c_str(), &end, 0);
  return end != text.c_str() && *end == '\0';
}

// Text of a window of another process: WM_GETTEXT is marshalled across
// processes, GetWindowText is not for controls.
std::wstring window_text(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &length))
    return {};
  std::vector<wchar_t> buffer(length + 2, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                      SMTO_ABORTIFHUNG, 1000, &copied);
  return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

// Title of a top-level window without sending it a message, so that a window
// whose thread is busy or gone does not stall the listing.
std::wstring title_text(HWND hwnd) {
  wchar_t buffer[512] = {};
  InternalGetWindowText(hwnd, buffer, 511);
  return buffer;
}

std::wstring class_name(HWND hwnd) {
  wchar_t buffer[256] = {};
  GetClassNameW(hwnd, buffer, 255);
  return buffer;
}

std::wstring image_name(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return {};
  wchar_t path[MAX_PATH * 2] = {};
  DWORD size = MAX_PATH * 2;
  std::wstring name;
  if (QueryFullProcessImageNameW(process, 0, path, &size)) {
    name = path;
    size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name = name.substr(slash + 1);
  }
  CloseHandle(process);
  return name;
}

struct TopWindow {
  HWND hwnd;
  DWORD pid;
};

BOOL CALLBACK collect_top(HWND hwnd, LPARAM param) {
  if (IsWindowVisible(hwnd)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    reinterpret_cast<std::vector<TopWindow>*>(param)->push_back({hwnd, pid});
  }
  return TRUE;
}

std::vector<TopWindow> top_windows() {
  std::vector<TopWindow> windows;
  EnumWindows(collect_top, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

BOOL CALLBACK collect_child(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> children(HWND parent) {
  std::vector<HWND> result;
  EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&result));
  return result;
}

// A control by its 16-bit id; message boxes give their text the id 0xFFFF,
// as do unnamed statics, so a text-bearing one is preferred.
HWND find_control(HWND parent, long id) {
  unsigned want = static_cast<unsigned>(id) & 0xFFFF;
  HWND first = nullptr;
  for (HWND child : children(parent)) {
    if (GetParent(child) != parent) continue;
    unsigned child_id = static_cast<unsigned>(GetWindowLongPtrW(child, GWLP_ID)) & 0xFFFF;
    if (child_id != want) continue;
    if (want != 0xFFFF) return child;
    if (!first) first = child;
    if (!window_text(child).empty()) return child;
  }
  return first;
}

bool fail(const std::string& message) {
  out += "=err " + message + "\n";
  return false;
}

bool cmd_windows() {
  for (const TopWindow& w : top_windows()) {
    emit(hex_handle(w.hwnd) + "\t" + std::to_string(w.pid) + "\t" +
         escape(utf8(image_name(w.pid))) + "\t" + escape(utf8(class_name(w.hwnd))) + "\t" +
         escape(utf8(title_text(w.hwnd))));
  }
  return true;
}

bool cmd_wait(const std::vector<std::string>& args) {
  std::wstring title, klass, image;
  bool has_title = false, has_class = false, has_image = false;
  long timeout = 10000;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--title")
      title = wide(args[i + 1]), has_title = true;
    else if (args[i] == "--class")
      klass = wide(args[i + 1]), has_class = true;
    else if (args[i] == "--image")
      image = wide(args[i + 1]), has_image = true;
    else if (args[i] == "--timeout") {
      if (!parse_int(args[i + 1], &timeout)) return fail("bad timeout");
    } else {
      return fail("unknown option " + args[i]);
    }
  }
  DWORD start = GetTickCount();
  for (;;) {
    for (const TopWindow& w : top_windows()) {
      if (has_title && title_text(w.hwnd) != title) continue;
      if (has_class && class_name(w.hwnd) != klass) continue;
      if (has_image && _wcsicmp(image_name(w.pid).c_str(), image.c_str()) != 0) continue;
      emit(hex_handle(w.hwnd));
      return true;
    }
    if (static_cast<long>(GetTickCount() - start) >= timeout) return fail("timeout");
    Sleep(50);
  }
}

bool cmd_list(HWND hwnd) {
  for (HWND child : children(hwnd)) {
    unsigned id = static_cast<unsigned>(GetWindowLongPtrW(child, GWLP_ID)) & 0xFFFF;
    char style[16];
    snprintf(style, sizeof style, "0x%08lx",
             static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)));
    emit(std::to_string(id) + "\t" + escape(utf8(class_name(child))) + "\t" + style + "\t" +
         (IsWindowVisible(child) ? "1" : "0") + "\t" + escape(utf8(window_text(child))));
  }
  return true;
}

bool cmd_key(HWND hwnd, long vk) {
  DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  HWND target = hwnd;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) target = info.hwndFocus;
  UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), 0);
  PostMessageW(target, WM_KEYDOWN, static_cast<WPARAM>(vk), 1 | (scan << 16));
  PostMessageW(target, WM_KEYUP, static_cast<WPARAM>(vk), 1 | (scan << 16) | 0xC0000000u);
  return true;
}

// PNG writer: 8-bit RGB, filter 0 on every row, zlib from the static library.
void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int shift = 24; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(x >> shift));
}

void put_chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
  put32(png, static_cast<uint32_t>(data.size()));
  size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  uLong crc = crc32(0, png.data() + start, static_cast<uInt>(png.size() - start));
  put32(png, static_cast<uint32_t>(crc));
}

bool write_png(const std::wstring& path, int width, int height, const uint8_t* bgra) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (1 + width * 3));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    const uint8_t* row = bgra + static_cast<size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      raw.push_back(row[x * 4 + 2]);
      raw.push_back(row[x * 4 + 1]);
      raw.push_back(row[x * 4 + 0]);
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
    return false;
  packed.resize(packed_size);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  put32(header, static_cast<uint32_t>(width));
  put32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});
  put_chunk(png, "IHDR", header);
  put_chunk(png, "IDAT", packed);
  put_chunk(png, "IEND", {});
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == png.size();
}

// The window is raised (without activation) and copied from the screen, which
// shows exactly what a user sees, child controls included.
bool cmd_shot(HWND hwnd, const std::wstring& path) {
  SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  RedrawWindow(hwnd, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
  Sleep(150);
  RECT rect;
  if (!GetWindowRect(hwnd, &rect)) return fail("no window rectangle");
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0 || width > 8192 || height > 8192) return fail("bad window size");
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    GdiFlush();
    if (ok) ok = write_png(path, width, height, static_cast<const uint8_t*>(bits));
    SelectObject(memory, old);
  }
  if (bitmap) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok ? true : fail("capture failed");
}

std::vector<HANDLE> held_files;  // serve mode: files kept open without sharing

bool run(const std::vector<std::string>& args) {
  if (args.empty()) return fail("no command");
  const std::string& cmd = args[0];
  if (cmd == "windows") return cmd_windows();
  if (cmd == "hold" && args.size() == 2) {
    HANDLE file = CreateFileW(wide(args[1]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("cannot open " + args[1]);
    held_files.push_back(file);
    return true;
  }
  if (cmd == "release") {
    for (HANDLE file : held_files) CloseHandle(file);
    held_files.clear();
    return true;
  }
  if (cmd == "wait") return cmd_wait(args);
  HWND hwnd = nullptr;
  if (args.size() < 2 || !parse_handle(args[1], &hwnd)) return fail("no such window");
  long id = 0;
  auto need = [&](size_t count) { return args.size() >= count; };
  if (cmd == "list") return cmd_list(hwnd);
  if (cmd == "close")
    return PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0) ? true : fail("post failed");
  if (cmd == "rect") {
    RECT r;
    if (!GetWindowRect(hwnd, &r)) return fail("no rectangle");
    emit(std::to_string(r.left) + "\t" + std::to_string(r.top) + "\t" + std::to_string(r.right) +
         "\t" + std::to_string(r.bottom));
    return true;
  }
  if (cmd == "shot") return need(3) ? cmd_shot(hwnd, wide(args[2])) : fail("usage: shot HWND FILE");
  if (!need(3) || !parse_int(args[2], &id)) return fail("usage: " + cmd + " HWND ID ...");
  if (cmd == "key") return cmd_key(hwnd, id);
  HWND control = find_control(hwnd, id);
  if (!control) return fail("no control " + args[2]);
  if (cmd == "text") {
    emit(escape(utf8(window_text(control))));
    return true;
  }
  if (cmd == "settext") {
    if (!need(4)) return fail("usage: settext HWND ID TEXT");
    std::wstring text = wide(args[3]);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, 2000, &result))
      return fail("WM_SETTEXT failed");
    return true;
  }
  WPARAM command = MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED);
  if (cmd == "click") {
    // Posted, so that a click which opens a modal loop does not block us.
    return PostMessageW(hwnd, WM_COMMAND, command, reinterpret_cast<LPARAM>(control))
               ? true
               : fail("post failed");
  }
  if (cmd == "check") {
    long state = 0;
    if (!need(4) || !parse_int(args[3], &state)) return fail("usage: check HWND ID 0|1");
    DWORD_PTR result = 0;
    SendMessageTimeoutW(control, BM_SETCHECK, state ? BST_CHECKED : BST_UNCHECKED, 0,
                        SMTO_ABORTIFHUNG, 2000, &result);
    return PostMessageW(hwnd, WM_COMMAND, command, reinterpret_cast<LPARAM>(control))
               ? true
               : fail("post failed");
  }
  return fail("unknown command " + cmd);
}

void flush_out() {
  HANDLE stdout_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (!out.empty())
    WriteFile(stdout_handle, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  out.clear();
}

bool read_line(std::string* line) {
  HANDLE stdin_handle = GetStdHandle(STD_INPUT_HANDLE);
  line->clear();
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(stdin_handle, &c, 1, &got, nullptr) || got == 0) return !line->empty();
    if (c == '\n') return true;
    if (c != '\r') *line += c;
  }
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(unescape(line.substr(start, tab == std::string::npos ? tab : tab - start)));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

// The command line reaches the program untouched (wine would quote and escape
// arguments given to it one by one).
int exec_command_line(const std::string& text) {
  std::wstring line = wide(text);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "cannot start: error %lu\n", GetLastError());
    return 255;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.push_back(utf8(argv[i]));
  if (argv) LocalFree(argv);
  if (!args.empty() && args[0] == "serve") {
    std::string line;
    while (read_line(&line)) {
      if (line.empty()) continue;
      if (line == "quit") break;
      if (run(split_fields(line))) out += "=ok\n";
      flush_out();
    }
    return 0;
  }
  if (args.size() == 2 && args[0] == "exec") return exec_command_line(args[1]);
  bool ok = run(args);
  if (!ok) {
    // Plain mode: the error goes to stderr.
    std::string message = out.substr(out.rfind("=err ") + 5);
    out.erase(out.rfind("=err "));
    flush_out();
    HANDLE stderr_handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    WriteFile(stderr_handle, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  }
  flush_out();
  return ok ? 0 : 1;
}
