#include "support/run_zelm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void SetCloexecPipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

// A raw 80x24 terminal. The parent keeps the slave open: that is where
// tcflow acts, and the master then never reports end of file, so the
// child's exit is watched separately.
void OpenTerminal(int& master, int& slave) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0)
    throw std::runtime_error("no pseudo-terminal");
  slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) throw std::runtime_error("cannot open the terminal's slave");
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  const winsize size{24, 80, 0, 0};
  ioctl(slave, TIOCSWINSZ, &size);
  fcntl(master, F_SETFL, O_NONBLOCK);
}

[[noreturn]] void ExecChild(const RunOptions& o, int in, int out, int err) {
  if (o.pty) {
    setsid();
    ioctl(out, TIOCSCTTY, 0);
  }
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
  if (ZELM_TSAN) {
    // A race ends the child at its first report with a status no test
    // expects. Options the caller set come after ours, so they win.
    const char* options = getenv("TSAN_OPTIONS");
    const std::string mine = "halt_on_error=1:exitcode=66:suppressions=" ZELM_TSAN_SUPPRESSIONS;
    setenv("TSAN_OPTIONS", options ? (mine + ":" + options).c_str() : mine.c_str(), 1);
  }
  // A zelm built for another machine runs through qemu-user, named with its
  // arguments in ZELM_TEST_EMULATOR ("qemu-aarch64"). A library to preload is
  // meant for zelm, so it goes through qemu's -E: qemu itself is a host program.
  std::vector<std::string> words;
  const char* emulator = std::getenv("ZELM_TEST_EMULATOR");
  if (o.program.empty() && emulator != nullptr) {
    std::istringstream split(emulator);
    for (std::string word; split >> word;) words.push_back(word);
  }
  for (const auto& [key, value] : o.env) {
    if (!words.empty() && key == "LD_PRELOAD") {
      words.push_back("-E");
      words.push_back(key + "=" + value);
    } else {
      setenv(key.c_str(), value.c_str(), 1);
    }
  }
  // A test runner may ignore SIGPIPE or block signals; the child starts clean.
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  words.push_back(o.program.empty() ? ZELM_BINARY : o.program);
  for (const auto& a : o.args) words.push_back(a);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Something the parent does to the child at a set time.
struct Event {
  long atMs;
  bool isFlow;  // a terminal flow change (`flow`) instead of `signal`
  int signal;
  int flow;  // TCOOFF or TCOON, or kHangUp: the master is closed
};

constexpr int kHangUp = -1;

std::vector<Event> Schedule(const RunOptions& o) {
  std::vector<Event> events;
  if (o.signalAfterMs >= 0) events.push_back({o.signalAfterMs, false, o.signal, 0});
  for (const auto& [ms, sig] : o.signals) events.push_back({ms, false, sig, 0});
  if (o.pty && o.ptyPauseAfterMs >= 0) {
    events.push_back({o.ptyPauseAfterMs, true, 0, TCOOFF});
    events.push_back({static_cast<long>(o.ptyPauseAfterMs) + o.ptyPauseMs, true, 0, TCOON});
  }
  if (o.pty && o.ptyCloseAfterMs >= 0) events.push_back({o.ptyCloseAfterMs, true, 0, kHangUp});
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
  return events;
}

bool HasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

RunResult RunProgram(const RunOptions& o) {
  signal(SIGPIPE, SIG_IGN);  // the child may exit before reading its input
  int in[2], out[2] = {-1, -1}, err[2] = {-1, -1};
  int slave = -1;
  SetCloexecPipe(in);
  if (o.pty) {
    OpenTerminal(out[0], slave);
  } else {
    SetCloexecPipe(out);
    SetCloexecPipe(err);
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) ExecChild(o, in[0], o.pty ? slave : out[1], o.pty ? slave : err[1]);
  close(in[0]);
  if (!o.pty) {
    close(out[1]);
    close(err[1]);
  }
  // Without a pidfd (old kernels) the exit is checked at short intervals.
  int exitFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

  RunResult result;
  size_t written = 0;
  int inFd = in[1];
  if (o.input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  const std::vector<Event> events = Schedule(o);
  size_t nextEvent = 0;
  bool paused = false;
  bool exited = false;
  auto sinceStart = [&] {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
  };
  // With pipes the run ends when both are closed, as a grandchild holding
  // them keeps the output going; a terminal ends with the child.
  int openOutputs = o.pty ? 1 : 2;
  while (o.pty ? !exited : openOutputs > 0) {
    const long elapsed = sinceStart();
    if (elapsed >= o.timeoutMs) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    for (; nextEvent < events.size() && events[nextEvent].atMs <= elapsed; ++nextEvent) {
      const Event& e = events[nextEvent];
      if (e.isFlow && e.flow == kHangUp) {
        if (out[0] >= 0) close(out[0]);
        out[0] = -1;
      } else if (e.isFlow) {
        tcflow(slave, e.flow);
        paused = e.flow == TCOOFF;
      } else {
        kill(pid, e.signal);
      }
    }
    long wait = o.timeoutMs - elapsed;
    if (nextEvent < events.size()) wait = std::min(wait, events[nextEvent].atMs - elapsed);
    if (exitFd < 0 && !exited) wait = std::min(wait, 10L);
    pollfd fds[4] = {{out[0], POLLIN, 0},
                     {err[0], POLLIN, 0},
                     {inFd, POLLOUT, 0},
                     {exited ? -1 : exitFd, POLLIN, 0}};
    const int n = poll(fds, 4, static_cast<int>(std::max(wait, 1L)));
    if (n < 0 && errno != EINTR) break;
    if (!exited && (exitFd >= 0 ? (fds[3].revents & POLLIN) != 0 : HasExited(pid))) {
      exited = true;
      result.elapsedMs = sinceStart();
    }
    std::string* sinks[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EAGAIN) {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --openOutputs;
      }
    }
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t put = write(inFd, o.input.data() + written, o.input.size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      if (put < 0 && errno != EAGAIN) written = o.input.size();
      if (written == o.input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (paused) tcflow(slave, TCOON);
  if (o.pty && out[0] >= 0) {
    // What the child wrote just before it exited is still in the terminal.
    char buf[65536];
    for (ssize_t got; (got = read(out[0], buf, sizeof buf)) > 0;)
      result.out.append(buf, static_cast<size_t>(got));
  }
  for (int fd : {inFd, out[0], err[0], slave, exitFd})
    if (fd >= 0) close(fd);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (result.elapsedMs < 0) result.elapsedMs = sinceStart();
  result.maxRssKb = usage.ru_maxrss;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  // Also for a test that looks at neither the status nor the output.
  if (ZELM_TSAN) {
    for (const std::string* text : {&result.out, &result.err})
      if (text->find("WARNING: ThreadSanitizer") != std::string::npos)
        ADD_FAILURE() << "ThreadSanitizer reported in the child:\n" << *text;
  }
  return result;
}

std::vector<std::pair<std::string, std::string>> StallEnv(const std::string& match,
                                                          const std::string& at,
                                                          const std::string& every) {
  std::vector<std::pair<std::string, std::string>> env = {
      {"LD_PRELOAD", ZELM_STALL_SHIM}, {"ZELM_STALL_MATCH", match}, {"ZELM_STALL_AT", at}};
  if (!every.empty()) env.push_back({"ZELM_STALL_EVERY", every});
  if (ZELM_SANITIZED && !ZELM_TSAN) {
    // AddressSanitizer's runtime insists on coming first among the libraries.
    const char* options = std::getenv("ASAN_OPTIONS");
    std::string value = options != nullptr && *options != '\0' ? std::string(options) + ":" : "";
    env.push_back({"ASAN_OPTIONS", value + "verify_asan_link_order=0"});
  }
  return env;
}

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelm-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }
