// Keeping the capture thread on time on a busy machine (private to
// src/record): real-time scheduling for that thread alone, and the ring
// locked in memory, each where the system grants it and quietly not where
// it refuses.
#pragma once

#include <cstddef>

// The capture thread's SCHED_FIFO priority: modest, as audio programs
// ask for, above the lowest so a busy loop at priority 1 cannot hold it off.
constexpr int kCapturePriority = 10;

// Puts the calling thread under SCHED_FIFO at kCapturePriority (lower if
// RLIMIT_RTPRIO allows only that) where it is granted: root, or an
// RLIMIT_RTPRIO above zero. Threads it starts get normal scheduling. False
// where it was refused; the thread then goes on as it was.
bool RunInRealTime();

// Back to normal scheduling, for a capture thread whose device turned out
// not to be paced by real time: it would only preempt the threads it waits
// for.
void RunAtNormalPriority();

// Locks `bytes` at `p` into memory where RLIMIT_MEMLOCK (or the privilege
// to pass it) allows; the lock goes with the mapping. False where refused:
// the pages then stay as they were prefaulted.
bool LockInMemory(const void* p, size_t bytes);
