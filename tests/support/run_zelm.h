// Runs a program (by default the built zelm) as a child process and collects
// what it printed, so tests can check exit statuses and exact output.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Times are in milliseconds from the start of the child.
struct RunOptions {
  std::vector<std::string> args;  // without the program name
  std::string input;              // standard input; closed after it is written
  std::string cwd;                // empty: the test's own working directory
  std::vector<std::pair<std::string, std::string>> env;  // set on top of ours
  int timeoutMs = 20000;
  int signalAfterMs = -1;  // send `signal` this long after the start
  int signal = 0;
  std::vector<std::pair<int, int>> signals;  // {ms after start, signal}, any order
  std::string program;  // empty: the zelm under test, behind $ZELM_TEST_EMULATOR if set
  // Standard output and standard error on one pseudo-terminal instead of two
  // pipes: both land in RunResult::out (err stays empty). The terminal is raw
  // (bytes pass unchanged, no \n -> \r\n), 80x24, and the child's
  // controlling terminal in a session of its own. Standard input stays a pipe.
  bool pty = false;
  // Stops the terminal's output as Ctrl-S does (the child's writes to it
  // block) at ptyPauseAfterMs, and starts it again ptyPauseMs later.
  int ptyPauseAfterMs = -1;
  int ptyPauseMs = 0;
  // Closes the terminal's master, as a terminal window or an ssh connection
  // that goes away does: the terminal hangs up, and what the child writes
  // after that is not collected.
  int ptyCloseAfterMs = -1;
};

struct RunResult {
  int status = -1;     // exit status, or -1 when ended by a signal
  int termSignal = 0;  // the signal that ended it, if any
  bool timedOut = false;
  std::string out;
  std::string err;
  // The child's peak resident memory (wait4). It is never below what the
  // test process itself had resident when it forked: the kernel counts the
  // forked copy's pages until the exec.
  long maxRssKb = 0;
  long elapsedMs = -1;  // from the start to the child's exit
};

RunResult RunProgram(const RunOptions& options);

// Environment for RunOptions::env that preloads the write-stall shim
// (tests/support/stall_shim.c): calls on descriptors whose path contains
// `match` hang during the windows of `at`, "START_MS:DURATION_MS[,...]".
// `every` ("INTERVAL_MS:DURATION_MS") adds a window per interval when not
// empty. Times count from the loading of the shim, which each exec repeats:
// in the program run directly that is the start, give or take a millisecond;
// behind a shell, the exec of zelm. The AddressSanitizer build also gets the
// ASAN_OPTIONS that let a sanitized program run with a library preloaded
// ahead of its runtime.
std::vector<std::pair<std::string, std::string>> StallEnv(const std::string& match,
                                                          const std::string& at,
                                                          const std::string& every = "");

inline RunResult RunZelm(std::vector<std::string> args, std::string input = "",
                         std::string cwd = "",
                         std::vector<std::pair<std::string, std::string>> env = {}) {
  RunOptions options;
  options.args = std::move(args);
  options.input = std::move(input);
  options.cwd = std::move(cwd);
  options.env = std::move(env);
  return RunProgram(options);
}

// A fresh temporary folder, removed with its contents by RemoveTree.
std::string MakeTempDir();
void RemoveTree(const std::string& path);

// Whole-file helpers for checking outputs byte for byte.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
