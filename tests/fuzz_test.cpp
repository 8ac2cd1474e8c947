// Thousands of generated command lines and prompt answers, valid and not:
// zelm must always end by itself with status 0 or 1, without a crash, a
// sanitizer report or a hang. Every device name the generator uses is the
// null device or unknown, and valid durations are short, so each run takes
// milliseconds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "support/zelm_fixture.h"

namespace {

// Split into shards so the runs spread over the test runner's jobs and each
// shard stays well inside its time limit.
constexpr int kShards = 8;
#ifdef __SANITIZE_ADDRESS__
constexpr int kRunsPerShard = 250;
#else
constexpr int kRunsPerShard = 40;
#endif

const std::vector<std::string> kFormats = {"1644", "1648",  "2444", "2448",  "1688", "1696", "2488",
                                           "2496", "16444", "",     "1644 ", "abcd", "2496x"};
const std::vector<std::string> kDurations = {
    "0.01", "0.05",  "0.001", "1e-3", "0x1p-6", " 0.02", "0.02xyz", "0", "-1",
    "abc",  "1e-50", "nan",   "inf",  "-inf",   "1e9",   "9999999", "",  "1e40"};
const std::vector<std::string> kDevices = {
    "d", "default", "nulldev", "D", "nosuch", "", "dd", "plughw:9,9", std::string(300, 'q')};
const std::vector<std::string> kChannels = {"1",  "2", "s",  "S",  "0",  "3",
                                            "-1", "",  "2x", " 2", "+1", "999999999999"};
const std::vector<std::string> kNames = {"a.wav",
                                         "b.wav",
                                         "exists.wav",
                                         "exists2.wav",
                                         "missing/x.wav",
                                         "",
                                         "x\ny.wav",
                                         "folder",
                                         ".",
                                         "/dev/null",
                                         std::string(300, 'n') + ".wav",
                                         "sub/../a.wav"};
const std::vector<std::string> kWords = {
    "o", "x", "O", "X", "yes", "ox", "xo", "", "\n", " ", std::string(5000, 'o')};

template <typename T>
const T& Pick(std::mt19937& gen, const std::vector<T>& pool) {
  return pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(gen)];
}

class Fuzz : public ZelmTest, public ::testing::WithParamInterface<int> {};

TEST_P(Fuzz, NoCommandLineCrashesOrHangs) {
  AddDevices("pcm.nulldev { type null }\n");
  const std::string dir = work();
  mkdir((dir + "/folder").c_str(), 0700);
  mkdir((dir + "/sub").c_str(), 0700);
  std::mt19937 gen(1234 + GetParam());
  int failures = 0;
  for (int i = 0; i < kRunsPerShard && failures < 5; ++i) {
    WriteFile(dir + "/exists.wav", "old");
    WriteFile(dir + "/exists2.wav", "old");
    std::vector<std::string> args;
    const int count = std::uniform_int_distribution<int>(0, 7)(gen);
    const std::vector<std::string>* pools[] = {&kFormats, &kDurations, &kDevices, &kChannels,
                                               &kNames,   &kNames,     &kNames};
    for (int a = 0; a < count; ++a) args.push_back(Pick(gen, *pools[a]));
    std::string input;
    const int words = std::uniform_int_distribution<int>(0, 4)(gen);
    for (int w = 0; w < words; ++w) input += Pick(gen, kWords) + " ";

    RunOptions options;
    options.args = args;
    options.input = input;
    options.cwd = dir;
    options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
    options.timeoutMs = 30000;
    const RunResult r = RunProgram(options);
    const bool bad = r.timedOut || r.termSignal != 0 || (r.status != 0 && r.status != 1) ||
                     r.err.find("Sanitizer") != std::string::npos ||
                     r.err.find("runtime error") != std::string::npos;
    if (bad) {
      ++failures;
      ADD_FAILURE() << "arguments " << ::testing::PrintToString(args) << ", input "
                    << ::testing::PrintToString(input) << ": status " << r.status << ", signal "
                    << r.termSignal << (r.timedOut ? ", hung" : "") << "\n"
                    << r.err.substr(0, 4000);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, Fuzz, ::testing::Range(0, kShards));

}  // namespace
