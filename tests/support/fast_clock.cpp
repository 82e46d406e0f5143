// SPDX-License-Identifier: MIT
// Preloaded into the tool by the progress-line tests (LD_PRELOAD): a
// monotonic clock that jumps two seconds ahead at every reading. A copy of a
// few MiB then looks long enough to show its progress, and every update draws
// the line, however fast the machine and however the copy is cut into
// chunks. Other clocks are read from the kernel as usual.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts) noexcept {
  if (clock != CLOCK_MONOTONIC)
    return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
  static std::atomic<long> readings{0};
  ts->tv_sec = 1000 + 2 * readings.fetch_add(1);
  ts->tv_nsec = 0;
  return 0;
}
