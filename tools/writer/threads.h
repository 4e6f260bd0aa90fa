// Worker threads for the writer: std::thread where the runtime has it, the
// Win32 API in the Windows build (whose runtime has no std::thread).
#pragma once
#include <functional>

// Runs `work` on `count` threads at once (fewer when the system refuses more;
// on the calling thread when it gives none) and, while they run, calls `tick`
// on the calling thread about every 50 ms. Returns when all have ended.
// `work` must not throw.
void run_threads(unsigned count, const std::function<void()>& work,
                 const std::function<void()>& tick);

// The number of processors the system reports; at least 1.
unsigned processor_count();
