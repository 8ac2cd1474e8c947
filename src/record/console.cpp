#include "record/console.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "record/stop.h"

namespace {

// Writes all of `text`, or gives up on the first failure: a closed pipe or a
// hung-up terminal takes nothing more, and the take does not care.
bool WriteAllOrGiveUp(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void RunConsole(Console* c) {
  std::string out, err;
  out.reserve(64 * 1024);
  err.reserve(4 * 1024);
  bool outOpen = true, errOpen = true;
  std::unique_lock<std::mutex> hold(c->lock);
  for (;;) {
    c->idle = c->out.empty() && c->err.empty();
    if (c->idle) c->changed.notify_all();
    c->changed.wait(hold, [c] { return !c->out.empty() || !c->err.empty() || c->closing; });
    if (c->out.empty() && c->err.empty()) break;  // closing, and all written
    out.swap(c->out);
    err.swap(c->err);
    c->busy = true;
    hold.unlock();
    // After a hang-up the descriptors may lead to whatever took over the
    // terminal: nothing more goes there.
    if (ConsoleGone()) outOpen = errOpen = false;
    if (outOpen && !out.empty()) outOpen = WriteAllOrGiveUp(1, out);
    if (errOpen && !err.empty()) errOpen = WriteAllOrGiveUp(2, err);
    out.clear();
    err.clear();
    hold.lock();
    c->busy = false;
  }
  c->idle = true;
  c->changed.notify_all();
}

}  // namespace

void StartConsole(Console* console) {
  console->out.reserve(64 * 1024);
  console->err.reserve(4 * 1024);
  console->thread = StartQuietThread([console] { RunConsole(console); });
}

void Say(Console* console, int fd, const std::string& text, bool droppable) {
  bool wake;
  {
    std::lock_guard<std::mutex> hold(console->lock);
    std::string& queue = fd == 2 ? console->err : console->out;
    if (ConsoleGone()) return;
    if (droppable && console->out.size() + console->err.size() >= kConsoleBacklogForMeter) return;
    queue += text;
    wake = console->idle && (fd == 2 || console->out.size() >= kConsoleBatchBytes);
    if (wake) console->idle = false;
  }
  if (wake) console->changed.notify_all();
}

void KickConsole(Console* console, bool atOnce) {
  const auto now = std::chrono::steady_clock::now();
  if (!atOnce && now - console->lastKick < kConsoleKickInterval) return;
  bool wake;
  {
    std::lock_guard<std::mutex> hold(console->lock);
    wake = console->idle && (!console->out.empty() || !console->err.empty());
    if (wake) console->idle = false;
  }
  if (wake) {
    console->lastKick = now;
    console->changed.notify_all();
  }
}

bool WaitForConsole(Console* console, int timeoutMs) {
  std::unique_lock<std::mutex> hold(console->lock);
  const auto done = [console] {
    return console->out.empty() && console->err.empty() && !console->busy;
  };
  if (timeoutMs < 0) {
    console->changed.wait(hold, done);
    return true;
  }
  return console->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), done);
}

bool StopConsole(Console* console, int timeoutMs) {
  {
    std::lock_guard<std::mutex> hold(console->lock);
    console->closing = true;
  }
  console->changed.notify_all();
  if (!WaitForConsole(console, timeoutMs)) {
    console->thread.detach();
    return false;
  }
  console->thread.join();
  return true;
}
