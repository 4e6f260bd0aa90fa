#include "interrupt.h"

#ifdef _WIN32

struct ArmedName {};
InterruptsHeld::InterruptsHeld() {}
InterruptsHeld::~InterruptsHeld() {}
void install_interrupt_cleanup() {}
void RemovalOnInterrupt::arm(int, const char*) {}
void RemovalOnInterrupt::arm(const std::filesystem::path&) {}
void RemovalOnInterrupt::disarm() {}

#else

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

// Armed names live in a list that only grows; a disarmed node is reused.
// The handler may run on any thread (pack compresses on several), so it
// reads a node only while it is ARMED, and the arming thread never rewrites
// a node's name once a handler may be reading it: a handler marks the run
// interrupted before it looks at any node, and the arming thread, having
// claimed a free node, waits for the end if the run is interrupted.
struct ArmedName {
  enum : int { FREE, CLAIMED, ARMED };
  std::atomic<int> state{CLAIMED};
  int dir = AT_FDCWD;
  size_t capacity = 0;
  char* name = nullptr;
  ArmedName* next = nullptr;
};

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

std::atomic<ArmedName*> g_armed{nullptr};
std::atomic<int> g_interrupted{0};

void remove_armed(int signal_number) {
  g_interrupted.store(1);
  for (auto* n = g_armed.load(); n; n = n->next)
    if (n->state.load() == ArmedName::ARMED) unlinkat(n->dir, n->name, 0);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);  // delivered, with its default action, once this returns
}

}  // namespace

void install_interrupt_cleanup() {
  static_assert(std::atomic<ArmedName*>::is_always_lock_free);
  for (int s : SIGNALS) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_armed;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(s, &action, nullptr);
  }
}

InterruptsHeld::InterruptsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (int s : SIGNALS) sigaddset(&held, s);
  pthread_sigmask(SIG_BLOCK, &held, &saved_);
}

InterruptsHeld::~InterruptsHeld() {
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void RemovalOnInterrupt::arm(int dir, const char* name) {
  disarm();
  const size_t length = std::strlen(name);
  ArmedName* n = g_armed.load();
  for (; n; n = n->next) {
    int expected = ArmedName::FREE;
    if (n->capacity > length && n->state.compare_exchange_strong(expected, ArmedName::CLAIMED))
      break;
  }
  const bool fresh = !n;
  if (fresh) {
    n = new ArmedName;
    n->capacity = length < 255 ? 256 : length + 1;
    n->name = new char[n->capacity];
  } else {
    while (g_interrupted.load()) pause();
  }
  n->dir = dir;
  std::memcpy(n->name, name, length + 1);
  n->state.store(ArmedName::ARMED);
  if (fresh) {
    n->next = g_armed.load();
    g_armed.store(n);
  }
  node_ = n;
}

void RemovalOnInterrupt::arm(const std::filesystem::path& path) {
  arm(AT_FDCWD, path.c_str());
}

void RemovalOnInterrupt::disarm() {
  if (node_) node_->state.store(ArmedName::FREE);
  node_ = nullptr;
}

#endif
