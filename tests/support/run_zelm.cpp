#include "support/run_zelm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

[[noreturn]] void ExecChild(const RunOptions& o, int in, int out, int err) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
  for (const auto& [key, value] : o.env) setenv(key.c_str(), value.c_str(), 1);
  // A test runner may ignore SIGPIPE or block signals; the child starts clean.
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const std::string program = o.program.empty() ? ZELM_BINARY : o.program;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : o.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

RunResult RunProgram(const RunOptions& o) {
  signal(SIGPIPE, SIG_IGN);  // the child may exit before reading its input
  int in[2], out[2], err[2];
  SetCloexecPipe(in);
  SetCloexecPipe(out);
  SetCloexecPipe(err);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) ExecChild(o, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);

  RunResult result;
  size_t written = 0;
  int inFd = in[1];
  if (o.input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  const auto start = std::chrono::steady_clock::now();
  bool signalled = false;
  int openOutputs = 2;
  while (openOutputs > 0) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (elapsed >= o.timeoutMs) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (!signalled && o.signalAfterMs >= 0 && elapsed >= o.signalAfterMs) {
      kill(pid, o.signal);
      signalled = true;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    int wait = static_cast<int>(o.timeoutMs - elapsed);
    if (!signalled && o.signalAfterMs >= 0) wait = std::min<int>(wait, o.signalAfterMs - elapsed);
    const int n = poll(fds, inFd >= 0 ? 3 : 2, std::max(wait, 1));
    if (n < 0 && errno != EINTR) break;
    std::string* sinks[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else {
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
  if (inFd >= 0) close(inFd);
  if (out[0] >= 0) close(out[0]);
  if (err[0] >= 0) close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
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
