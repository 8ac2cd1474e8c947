#include "record/stop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler and by a failing writer; read anywhere.
volatile sig_atomic_t lastSignal = 0;  // the latest stop signal that counted
volatile sig_atomic_t signalCount = 0;
std::atomic<bool> stopRequested{false};
std::atomic<bool> abandonRequested{false};
timespec firstStopAt{};
Wakeups* stopWakeups = nullptr;

double SecondsSince(const timespec& then) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<double>(now.tv_sec - then.tv_sec) +
         static_cast<double>(now.tv_nsec - then.tv_nsec) * 1e-9;
}

void WakeEveryone() {
  if (stopWakeups == nullptr) return;
  Signal(stopWakeups->stop);
  Signal(stopWakeups->main.fd);
  Signal(stopWakeups->writer.fd);
}

void OnStopSignal(int sig) {
  const int savedErrno = errno;
  if (signalCount == 0) {
    clock_gettime(CLOCK_MONOTONIC, &firstStopAt);
    signalCount = 1;
    lastSignal = sig;
    stopRequested.store(true);
    WakeEveryone();
  } else if (sig != SIGHUP && (signalCount > 1 || SecondsSince(firstStopAt) >= kSameStopSeconds)) {
    signalCount = signalCount + 1;
    lastSignal = sig;
    if (signalCount == 2) {
      abandonRequested.store(true);
      WakeEveryone();
    } else {
      signal(sig, SIG_DFL);
      raise(sig);
    }
  }
  errno = savedErrno;
}

}  // namespace

void CatchStopSignals(Wakeups* wake) {
  stopWakeups = wake;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kStopSignals) {
    struct sigaction before {};
    sigaction(sig, nullptr, &before);
    if (before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
  }
}

void RequestStop() {
  stopRequested.store(true);
  WakeEveryone();
}

bool StopRequested() { return stopRequested.load(std::memory_order_relaxed); }
bool StoppedBySignal() { return signalCount != 0; }
bool AbandonRequested() { return abandonRequested.load(); }

void EndBySignal() {
  std::fflush(stdout);
  const int sig = lastSignal;
  signal(sig, SIG_DFL);
  raise(sig);
  std::_Exit(128 + sig);
}
