// How the threads of a take wake each other (private to src/record).
//
// A thread with nothing to do sleeps on its own Wakeup; a thread that hands
// it work notifies it. The sleeper first says that it is about to sleep,
// then looks once more at what it waits for, and sleeps only if there is
// still nothing; the notifier first publishes the work, then takes the
// sleeper's word back. Both change `sleeping` with an exchange, so the two
// are ordered: if the notifier's comes first, the sleeper's exchange reads
// what it wrote and sees the work published before it; if the sleeper's
// comes first, the notifier finds it sleeping and writes to its descriptor.
// (A plain store and load on each side would let both miss, and a sleep
// with nothing to end it but a time-out would follow.)
#pragma once

#include <poll.h>

#include <atomic>

struct Wakeup {
  int fd = -1;  // an eventfd, read to nothing by its sleeper
  std::atomic<bool> sleeping{false};
};

// The descriptors of a take's threads, all opened before the take.
struct Wakeups {
  Wakeup main;    // the main thread: periods to pass, a failure, a stop, a finished writer
  Wakeup room;    // the capture thread, waiting for the writer to free slots
  Wakeup writer;  // the file writer: periods to write, or the take's end
  int stop = -1;  // written once by a stop and never read: every poller sees it from then on
  int go = -1;    // written once the files are ready: the capture thread may start the device
};

// False, errno set, when a descriptor cannot be had.
bool OpenWakeups(Wakeups* w);
void CloseWakeups(Wakeups* w);

// Makes `fd` readable (a full eventfd counter still is).
void Signal(int fd);

// Reads an eventfd back to nothing.
void DrainWakeup(int fd);

// Wakes the owner of `w` if it sleeps. Call after publishing the work.
void Notify(Wakeup* w);

// Sleeps on `w` until it is notified, `timeoutMs` passes or one of the
// `count` descriptors of `more` is ready, unless `ready()` holds once the
// sleep has been announced. Returns what poll returned (0 without a sleep).
template <typename Ready>
int SleepUnless(Wakeup* w, Ready ready, int timeoutMs, pollfd* more = nullptr, int count = 0) {
  w->sleeping.exchange(true, std::memory_order_acq_rel);
  if (ready()) {
    w->sleeping.store(false, std::memory_order_relaxed);
    return 0;
  }
  int got = 0;
  if (count > 0) {
    more[count] = {w->fd, POLLIN, 0};
    got = poll(more, static_cast<nfds_t>(count + 1), timeoutMs);
  } else {
    pollfd p{w->fd, POLLIN, 0};
    got = poll(&p, 1, timeoutMs);
  }
  w->sleeping.store(false, std::memory_order_relaxed);
  DrainWakeup(w->fd);
  return got;
}
