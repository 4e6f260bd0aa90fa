#include "writer/threads.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>

namespace {
DWORD WINAPI thread_entry(void* work) {
  (*static_cast<const std::function<void()>*>(work))();
  return 0;
}
}  // namespace

void run_threads(unsigned count, const std::function<void()>& work,
                 const std::function<void()>& tick) {
  std::vector<HANDLE> threads;
  for (unsigned i = 0; i < count && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    HANDLE h = CreateThread(nullptr, 0, thread_entry, const_cast<std::function<void()>*>(&work), 0,
                            nullptr);
    if (!h) break;
    threads.push_back(h);
  }
  if (threads.empty()) {
    work();
    tick();
    return;
  }
  while (WaitForMultipleObjects(DWORD(threads.size()), threads.data(), TRUE, 50) == WAIT_TIMEOUT)
    tick();
  for (HANDLE h : threads) CloseHandle(h);
  tick();
}

unsigned processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors ? unsigned(info.dwNumberOfProcessors) : 1;
}

#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

void run_threads(unsigned count, const std::function<void()>& work,
                 const std::function<void()>& tick) {
  std::mutex mutex;
  std::condition_variable ended_one;
  unsigned ended = 0;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < count; ++i) {
    try {
      threads.emplace_back([&] {
        work();
        std::lock_guard<std::mutex> lock(mutex);
        ++ended;
        ended_one.notify_all();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads.empty()) {
    work();
    tick();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex);
  while (!ended_one.wait_for(lock, std::chrono::milliseconds(50),
                             [&] { return ended == threads.size(); })) {
    lock.unlock();
    tick();
    lock.lock();
  }
  lock.unlock();
  for (std::thread& t : threads) t.join();
  tick();
}

unsigned processor_count() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}
#endif
