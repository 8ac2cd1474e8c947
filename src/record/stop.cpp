#include "record/stop.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sched.h>

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM};

// Written by the handler and by a failing writer; read anywhere. The handler
// may run on two threads at once (two signals sent together, one taken by a
// plugin's thread), so its state is lock-free atomics.
std::atomic<int> lastSignal{0};  // the latest stop signal that counted
std::atomic<int> signalCount{0};
std::atomic<int64_t> firstStopNs{0};  // when the first came; 0 while it is being handled
std::atomic<bool> stopRequested{false};
std::atomic<bool> abandonRequested{false};
std::atomic<bool> consoleGone{false};
// The take's descriptors, while they are open; `inHandler` counts handlers
// that may be using them, so they are not closed under one.
std::atomic<Wakeups*> stopWakeups{nullptr};
std::atomic<int> inHandler{0};

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A signal after the first is the same stop while the first is still being
// handled, or within kSameStopSeconds of it.
bool SameStop() {
  const int64_t first = firstStopNs.load();
  return first == 0 || static_cast<double>(NowNs() - first) * 1e-9 < kSameStopSeconds;
}

void WakeEveryone() {
  inHandler.fetch_add(1);
  if (Wakeups* w = stopWakeups.load()) {
    Signal(w->stop);
    Signal(w->main.fd);
    Signal(w->writer.fd);
  }
  inHandler.fetch_sub(1);
}

void OnStopSignal(int sig) {
  const int savedErrno = errno;
  int none = 0;
  if (signalCount.compare_exchange_strong(none, 1)) {
    lastSignal.store(sig);
    firstStopNs.store(NowNs());
    stopRequested.store(true);
    WakeEveryone();
  } else if (signalCount.load() > 1 || !SameStop()) {
    lastSignal.store(sig);
    if (signalCount.fetch_add(1) + 1 == 2) {
      abandonRequested.store(true);
      WakeEveryone();
    } else {
      signal(sig, SIG_DFL);
      raise(sig);
    }
  }
  errno = savedErrno;
}

void OnHangUp(int) { consoleGone.store(true); }

// Takes `sig` with `handler`, unless it was ignored from the start.
void Catch(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  struct sigaction before {};
  sigaction(sig, nullptr, &before);
  if (before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
}

}  // namespace

void CatchStopSignals(Wakeups* wake) {
  stopWakeups.store(wake);
  for (int sig : kStopSignals) Catch(sig, OnStopSignal);
  Catch(SIGHUP, OnHangUp);
}

void ReleaseStopSignals() {
  stopWakeups.store(nullptr);
  // A handler that took the pointer before it was cleared finishes first;
  // one on this thread has already, and one on another takes microseconds.
  while (inHandler.load() != 0) sched_yield();
}

void RequestStop() {
  stopRequested.store(true);
  WakeEveryone();
}

bool StopRequested() { return stopRequested.load(std::memory_order_relaxed); }
bool StoppedBySignal() { return signalCount.load() != 0; }
bool AbandonRequested() { return abandonRequested.load(); }
bool ConsoleGone() { return consoleGone.load(std::memory_order_relaxed); }

void EndBySignal() {
  std::fflush(stdout);
  const int sig = lastSignal.load();
  signal(sig, SIG_DFL);
  raise(sig);
  std::_Exit(128 + sig);
}
