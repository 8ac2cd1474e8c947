// Runs a program (by default the built zelm) as a child process and collects
// what it printed, so tests can check exit statuses and exact output.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct RunOptions {
  std::vector<std::string> args;  // without the program name
  std::string input;              // standard input; closed after it is written
  std::string cwd;                // empty: the test's own working directory
  std::vector<std::pair<std::string, std::string>> env;  // set on top of ours
  int timeoutMs = 20000;
  int signalAfterMs = -1;  // send `signal` this long after the start
  int signal = 0;
  std::string program;  // empty: the zelm under test
};

struct RunResult {
  int status = -1;     // exit status, or -1 when ended by a signal
  int termSignal = 0;  // the signal that ended it, if any
  bool timedOut = false;
  std::string out;
  std::string err;
};

RunResult RunProgram(const RunOptions& options);

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
