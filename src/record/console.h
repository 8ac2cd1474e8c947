// The console of a take (private to src/record): one thread writes standard
// output and standard error, so that a paused terminal or a pipe nobody
// reads never holds up the capture or the files.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct Console {
  std::mutex lock;
  std::condition_variable changed;
  std::string out, err;  // waiting to be written
  bool closing = false;
  bool busy = false;  // the thread is writing a batch
  bool idle = true;   // the thread waits for text
  std::thread thread;
};

// Meter lines are dropped while this much text waits: the terminal is not
// keeping up, and what matters is what comes after.
constexpr size_t kConsoleBacklogForMeter = 16 * 1024;

// Takes over standard output and standard error: nothing else may write to
// them until StopConsole.
void StartConsole(Console* console);

// Queues text for standard output (fd 1) or standard error (fd 2).
// `droppable` text (the meter line) is dropped when the console is behind;
// nothing else ever is. Never waits for the console.
void Say(Console* console, int fd, const std::string& text, bool droppable = false);

// Waits until everything queued has been written, or for at most
// `timeoutMs` (negative: no limit). True when it was all written.
bool WaitForConsole(Console* console, int timeoutMs);

// Ends the console thread once its queue is empty, giving it at most
// `timeoutMs`; a thread still blocked after that is left behind (the caller
// then ends the process without returning). True when it ended.
bool StopConsole(Console* console, int timeoutMs);
