#include "record/realtime.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>

bool RunInRealTime() {
  int priority = kCapturePriority;
  // An unprivileged process may ask for up to its limit; a privileged one
  // is not held to it, so a limit of 0 there changes nothing.
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur > 0)
    priority = std::min<int>(priority, static_cast<int>(limit.rlim_cur));
  sched_param param{};
  param.sched_priority = priority;
  // Only this thread: on Linux 0 names the calling thread. A thread a sound
  // server's plugin might start from here must not inherit the priority.
  return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

void RunAtNormalPriority() {
  sched_param param{};
  sched_setscheduler(0, SCHED_OTHER, &param);
}

bool LockInMemory(const void* p, size_t bytes) { return bytes > 0 && mlock(p, bytes) == 0; }
