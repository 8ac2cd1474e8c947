// Everything that ends a take before its planned length (private to
// src/record). The rules, the one place they are written down:
// - A stop signal (SIGINT, SIGTERM) ends the take: the capture
//   thread lets the device go at once, everything captured is written, the
//   files are finished and synced, the summary and "Done" are printed, and
//   the process then ends by that signal.
// - A stop signal within kSameStopSeconds of the first is the same stop:
//   `timeout`, systemd and `kill -TERM -PGID` send one to the process and to
//   its group at once, and Ctrl-C reaches every program of a pipeline. A
//   later SIGINT or SIGTERM abandons the take: the writer writes nothing
//   more than it was given, the files are still finished, and there is no
//   "Done". A third ends the process at once. A signal ignored from the
//   start (nohup) stays ignored.
// - A hang-up (SIGHUP: the terminal closed, an ssh connection dropped) is
//   not a stop: the console is gone, so nothing more is written to it, and
//   the take goes on to its planned end and its own exit status. However
//   often it comes, it changes nothing else.
// - A failed write stops the take as a signal does, but the take ends with
//   status 1; a lost device ends it from the capture thread, with status 1.
// - A stop before the first frame leaves no file of this run behind.
// - The capture thread gets kCaptureGraceMs after a stop; one stuck in a
//   sound server is left behind, and the files are finished from the ring.
//   At the end, letting go of the device, and a console that does not take
//   the last lines of a stopped take, get kShutdownGraceMs each.
// - The take's own threads are started by StartQuietThread, with the stop
//   signals blocked, so the handler runs on the main thread, or on a thread
//   that a sound server's plugin started inside the device before them. It
//   touches nothing but atomics and descriptors, and wakes the main thread
//   through its descriptor, so it works wherever it runs.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>

#include "record/wakeup.h"

constexpr double kSameStopSeconds = 1.0;
constexpr int kCaptureGraceMs = 100;
constexpr int kShutdownGraceMs = 1000;

// From here on a stop signal stops the take through `wake`, until
// ReleaseStopSignals, and a hang-up silences the console.
void CatchStopSignals(Wakeups* wake);
// A stop signal no longer reaches `wake`, which may then be closed. A stop
// is still counted.
void ReleaseStopSignals();

// A stop by signal or by a failed write: the capture thread ends the take.
void RequestStop();
bool StopRequested();
// A stop signal came (the take then ends by it).
bool StoppedBySignal();
// A second stop signal came: what was not yet written is given up.
bool AbandonRequested();
// A hang-up came: the terminal is gone, and nothing more is written to it.
bool ConsoleGone();

// Ends the process the way the stop signal would have ended it.
[[noreturn]] void EndBySignal();

// Starts a thread that never receives a stop signal, so that the handler
// always runs on the main thread. Throws std::system_error as std::thread
// does when no thread can be had.
template <typename F>
std::thread StartQuietThread(F body) {
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  struct Restore {
    sigset_t* mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&before};
  return std::thread(body);
}
