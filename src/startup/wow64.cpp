#include "startup/startup.h"

namespace {

typedef BOOLEAN(WINAPI* EnableRedirectionFn)(BOOLEAN enable);
typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE process, PBOOL result);

// Looked up on the first call only; both functions are missing on older
// systems, so they are never imported directly.
HMODULE kernel;
bool kernel_looked_up;
EnableRedirectionFn enable_redirection;
bool redirection_looked_up;

template <typename Fn>
Fn lookup(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

}  // namespace

int wow64_control(int32_t request) {
  if (!kernel_looked_up) {
    kernel = GetModuleHandleA("kernel32");
    kernel_looked_up = true;
  }
  if (!kernel) return 0;
  if (!redirection_looked_up) {
    enable_redirection = lookup<EnableRedirectionFn>("Wow64EnableWow64FsRedirection");
    redirection_looked_up = true;
  }
  if (request == -1) {
    // A system without the redirection switch counts as 32-bit.
    if (!enable_redirection) return 0;
    const IsWow64ProcessFn is_wow64 = lookup<IsWow64ProcessFn>("IsWow64Process");
    if (!is_wow64) return 0;
    BOOL result = FALSE;
    if (!is_wow64(GetCurrentProcess(), &result)) return 0;
    return result;
  }
  if (!enable_redirection) return 0;
  return enable_redirection(request != 0 ? TRUE : FALSE);
}
