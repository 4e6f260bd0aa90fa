// Files a run must not leave behind when a signal ends it (Ctrl-C, SIGTERM,
// SIGHUP, a closed pipe): the file being extracted, which would otherwise
// stay cut short under its real name (and a later --skip-existing or --newer
// run would keep it), a replacement's temporary copy, pack's partial outputs.
// The handler removes what is armed at that moment, then lets the signal end
// the process as it would have. POSIX only; on Windows nothing is armed.
#pragma once
#include <filesystem>
#ifndef _WIN32
#include <signal.h>
#endif

// Installs the handler for each of those signals that is not ignored.
void install_interrupt_cleanup();

// Holds those signals back while it lives (in the calling thread), so that a
// file created under it is armed before a signal can end the run.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

#ifndef _WIN32
 private:
  sigset_t saved_;  // the thread's mask before
#endif
};

struct ArmedName;

// Removal of one name while armed. Arm and disarm from one thread only. The
// folder descriptor must stay open until disarmed (AT_FDCWD for a path).
class RemovalOnInterrupt {
 public:
  RemovalOnInterrupt() = default;
  RemovalOnInterrupt(const RemovalOnInterrupt&) = delete;
  RemovalOnInterrupt& operator=(const RemovalOnInterrupt&) = delete;
  ~RemovalOnInterrupt() { disarm(); }
  void arm(int dir, const char* name);
  void arm(const std::filesystem::path& path);
  void disarm();

 private:
  ArmedName* node_ = nullptr;
};
