// zelm against a real-time sound server: a private PulseAudio whose default
// source is a 440 Hz sine at half scale, reached the way a desktop reaches
// it, through the system's ALSA configuration and its pulse plugin.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/run_zelm.h"
#include "support/tone_checks.h"
#include "support/wav_readers.h"

namespace {

constexpr double kToneAmplitude = 0.5;  // of full scale: -6.02 dBFS
constexpr double kLevelToleranceDb = 0.5;

const std::string kServerScript = std::string(ZELM_SOURCE_DIR) + "/scripts/pulse-test-server";

using Env = std::vector<std::pair<std::string, std::string>>;

struct Take {
  const char* format;
  int bytes;
  const char* mode;  // zelm's channel argument
  const char* device;
};

void PrintTo(const Take& take, std::ostream* os) {
  *os << take.format << " " << take.device << " " << take.mode;
}

std::string Name(const ::testing::TestParamInfo<Take>& info) {
  std::string device = info.param.device;
  for (char& c : device)
    if (c == ':') c = '_';
  return std::string(info.param.format) + "_mode" + info.param.mode + "_" + device;
}

class Pulse : public ::testing::TestWithParam<Take> {
 protected:
  static void SetUpTestSuite() {
    // The system's configuration must decide what "default" is, and no
    // server but ours may answer.
    unsetenv("ALSA_CONFIG_PATH");
    unsetenv("PULSE_SERVER");
    serverDir_ = new std::string(MakeTempDir());
    serverEnv_ = new Env;
    RunOptions options;
    options.program = kServerScript;
    options.args = {"start", *serverDir_};
    const RunResult r = RunProgram(options);
    startFailure_ = new std::string;
    if (r.status != 0) {
      *startFailure_ = "the PulseAudio test server did not start:\n" + r.out + r.err;
      return;
    }
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) serverEnv_->push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
  }

  static void TearDownTestSuite() {
    RunOptions options;
    options.program = kServerScript;
    options.args = {"stop", *serverDir_};
    RunProgram(options);
    RemoveTree(*serverDir_);
    delete serverDir_;
    delete serverEnv_;
    delete startFailure_;
  }

  void SetUp() override {
    ASSERT_TRUE(startFailure_->empty()) << *startFailure_;
    ASSERT_EQ(serverEnv_->size(), 2u) << "expected XDG_RUNTIME_DIR and HOME";
    work_ = MakeTempDir();
  }
  void TearDown() override { RemoveTree(work_); }

  RunResult Record(std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    options.cwd = work_;
    options.env = *serverEnv_;
    return RunProgram(options);
  }

  static std::string* serverDir_;
  static Env* serverEnv_;
  static std::string* startFailure_;
  std::string work_;
};

std::string* Pulse::serverDir_ = nullptr;
Env* Pulse::serverEnv_ = nullptr;
std::string* Pulse::startFailure_ = nullptr;

TEST_P(Pulse, TheToneArrivesWholeAtItsLevel) {
  const Take& take = GetParam();
  const std::string mode = take.mode;
  const std::vector<std::string> files =
      mode == "2" ? std::vector<std::string>{"a.wav", "b.wav"} : std::vector<std::string>{"a.wav"};
  std::vector<std::string> args = {take.format, "1", take.device, mode};
  args.insert(args.end(), files.begin(), files.end());
  const RunResult r = Record(args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("\nRX"), std::string::npos) << "overruns:\n" << r.out;

  const int channelsPerFile = mode == "s" ? 2 : 1;
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    const std::string file = ReadFile(work_ + "/" + name);
    const size_t frameBytes = static_cast<size_t>(channelsPerFile) * take.bytes;
    ASSERT_GT(file.size(), 44u);
    ASSERT_EQ((file.size() - 44) % frameBytes, 0u);
    // One second, rounded up to whole periods of whatever size the server grants.
    const uint64_t frames = (file.size() - 44) / frameBytes;
    EXPECT_GE(frames, 48000u);
    EXPECT_LT(frames, 48000u + 32768u);
    ExpectReadersAgree(work_ + "/" + name, channelsPerFile, 48000, take.bytes * 8, frames);
    const std::vector<Signal> channels = Channels(file, channelsPerFile, take.bytes);
    for (size_t ch = 0; ch < channels.size(); ++ch) {
      SCOPED_TRACE("channel " + std::to_string(ch + 1));
      ExpectCleanTone(channels[ch], take.bytes, kToneAmplitude);
    }
  }
  // The summary reports the same level as the files hold (the last period
  // is never scanned, so it can only be lower, never higher).
  const size_t at = r.out.find("\tchannel 1: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const double reported = std::atof(r.out.c_str() + at + 12);
  EXPECT_NEAR(reported, 20 * std::log10(kToneAmplitude), kLevelToleranceDb) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Default, Pulse,
    ::testing::Values(Take{"1648", 2, "1", "default"}, Take{"1648", 2, "2", "default"},
                      Take{"1648", 2, "s", "default"}, Take{"2448", 3, "1", "default"},
                      Take{"2448", 3, "2", "default"}, Take{"2448", 3, "s", "default"},
                      Take{"2448", 3, "2", "plug:default"}),
    Name);

// The server is ours to stop or to interrupt, so each of these tests starts
// one of its own.
class PulseFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ALSA_CONFIG_PATH");
    unsetenv("PULSE_SERVER");
    dir_ = MakeTempDir();
    work_ = dir_ + "/work";
    mkdir(work_.c_str(), 0700);
    const RunResult r = Server("start");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) env_.push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
  }
  void TearDown() override {
    Server("stop");
    RemoveTree(dir_);
  }
  RunResult Server(const std::string& action) {
    RunOptions options;
    options.program = kServerScript;
    options.args = {action, dir_ + "/server"};
    return RunProgram(options);
  }
  std::string dir_, work_;
  Env env_;
};

// The sound server ends in the middle of a take and never comes back: zelm
// says so, waits for it to the take's planned end, keeps what it recorded,
// and ends with status 1.
TEST_F(PulseFaults, AServerThatGoesAwayEndsTheTakeWithWholeFiles) {
  RunOptions options;
  options.args = {"1648", "4", "default", "2", "a.wav", "b.wav"};
  options.cwd = work_;
  options.env = env_;
  RunResult r;
  std::thread take([&] { r = RunProgram(options); });
  usleep(1500 * 1000);
  Server("stop");
  take.join();
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("default lost: waiting for it to come back\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Recording from default failed: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("ALSA lib"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos) << r.out;
  ExpectWholeTone(work_ + "/a.wav", kToneAmplitude);
  ExpectWholeTone(work_ + "/b.wav", kToneAmplitude);
}

// Ctrl-C a second into a take of the server's tone: the take is complete up
// to the stop, unbroken, and the process ends by the signal.
TEST_F(PulseFaults, CtrlCKeepsTheToneUpToTheStop) {
  RunOptions options;
  options.args = {"1648", "20", "default", "1", "a.wav"};
  options.cwd = work_;
  options.env = env_;
  options.signalAfterMs = 1000;
  options.signal = SIGINT;
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.termSignal, SIGINT) << r.out << r.err;
  EXPECT_NE(r.out.find("\nDone\n"), std::string::npos) << r.out;
  ExpectWholeTone(work_ + "/a.wav", kToneAmplitude);
}

// A write that stalls for 9 s: the ring holds it, so the reader never falls
// behind the server, which would drop what overflows without a word; the
// tone is unbroken, and the take keeps real time.
TEST_F(PulseFaults, ALongWriteStallLosesNothingAndKeepsRealTime) {
  RunOptions options;
  options.args = {"2496", "13", "default", "s", "s.wav"};
  options.cwd = work_;
  options.env = env_;
  for (const auto& v : StallEnv(".wav", "2000:9000")) options.env.push_back(v);
  options.timeoutMs = 40000;
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
  // 13 s rounded up to whole periods, and the time to start and finish.
  EXPECT_LT(r.elapsedMs, 13000 + 1000);
  const std::vector<Signal> channels = Channels(ReadFile(work_ + "/s.wav"), 2, 3);
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_GE(channels[0].size(), 13u * 96000);
  // The server resamples its 48 kHz source, whose filter starts from rest.
  for (const Signal& channel : channels)
    ExpectCleanTone(Signal(channel.begin() + 256, channel.end()), 3, kToneAmplitude, 96000);
}

}  // namespace
