// The console of a take (private to src/record): one thread writes standard
// output and standard error, so that a paused terminal or a pipe nobody
// reads never holds up the capture or the files.
#pragma once

#include <chrono>
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
  std::chrono::steady_clock::time_point lastKick{};
  std::thread thread;
};

// Meter lines are dropped while this much text waits: the terminal is not
// keeping up, and what matters is what comes after.
constexpr size_t kConsoleBacklogForMeter = 64 * 1024;
// Standard output text is written without a kick once this much waits.
constexpr size_t kConsoleBatchBytes = 16 * 1024;
// Kicks closer together than this are left to the next one: a period lasts
// longer (43 ms at 96000 Hz), so a take paced by real time still shows
// every line as it comes.
constexpr auto kConsoleKickInterval = std::chrono::milliseconds(40);

// Takes over standard output and standard error: nothing else may write to
// them until StopConsole. Throws std::system_error when no thread can be had.
void StartConsole(Console* console);

// Queues text for standard output (fd 1) or standard error (fd 2).
// `droppable` text (the meter line) is dropped when the console is behind;
// nothing else ever is. Never waits for the console. Text for standard
// output is written once KickConsole is called or a few kilobytes wait;
// text for standard error at once.
void Say(Console* console, int fd, const std::string& text, bool droppable = false);

// Has the console write what waits, if anything does: the main thread calls
// it before it sleeps, so a take paced by real time shows each period's
// line as it comes, and one that is not costs a wake-up per batch of lines.
// Only the main thread kicks; `atOnce` ignores kConsoleKickInterval.
void KickConsole(Console* console, bool atOnce = false);

// Waits until everything queued has been written, or for at most
// `timeoutMs` (negative: no limit). True when it was all written.
bool WaitForConsole(Console* console, int timeoutMs);

// Ends the console thread once its queue is empty, giving it at most
// `timeoutMs`; a thread still blocked after that is left behind (the caller
// then ends the process without returning). True when it ended.
bool StopConsole(Console* console, int timeoutMs);
