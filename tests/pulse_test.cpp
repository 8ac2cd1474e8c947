// zelm against a real-time sound server: a private PulseAudio whose default
// source is a 440 Hz sine at half scale, reached the way a desktop reaches
// it, through the system's ALSA configuration and its pulse plugin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/run_zelm.h"
#include "support/wav_readers.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kToneHz = 440.0;
constexpr double kToneAmplitude = 0.5;  // of full scale: -6.02 dBFS
constexpr double kLevelToleranceDb = 0.5;

const std::string kServerScript = std::string(ZELM_SOURCE_DIR) + "/scripts/pulse-test-server";

using Env = std::vector<std::pair<std::string, std::string>>;

// One channel of a WAV file's data, as fractions of full scale.
using Signal = std::vector<double>;

// The channels of a file zelm wrote: its 44-byte header, then interleaved
// little-endian samples.
std::vector<Signal> Channels(const std::string& file, int channels, int bytes) {
  std::vector<Signal> out(channels);
  const double fullScale = bytes == 2 ? 32768.0 : 8388608.0;
  const size_t frameBytes = static_cast<size_t>(channels) * bytes;
  for (size_t at = 44; at + frameBytes <= file.size(); at += frameBytes) {
    for (int ch = 0; ch < channels; ++ch) {
      const auto* p = reinterpret_cast<const unsigned char*>(file.data() + at + ch * bytes);
      uint32_t raw = 0;
      for (int i = 0; i < bytes; ++i) raw |= uint32_t{p[i]} << (8 * i);
      const int shift = 32 - 8 * bytes;  // sign-extend from the sample's top bit
      const int32_t value = static_cast<int32_t>(raw << shift) >> shift;
      out[ch].push_back(value / fullScale);
    }
  }
  return out;
}

// The tone must arrive whole: at its level, and without a seam anywhere, as
// a lost, repeated or zeroed stretch would leave a jump, a flat run or a
// crossing out of step.
void ExpectCleanTone(const Signal& x, int bytes) {
  ASSERT_GT(x.size(), kRate / 2);
  const double lsb = bytes == 2 ? 1.0 / 32768 : 1.0 / 8388608;

  double peak = 0;
  for (double v : x) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(20 * std::log10(peak / kToneAmplitude), 0.0, kLevelToleranceDb)
      << "peak " << peak << " of full scale";

  // A sine of amplitude A moves at most 2 A sin(pi f / fs) from one sample
  // to the next.
  const double highestAmplitude = kToneAmplitude * std::pow(10.0, kLevelToleranceDb / 20);
  const double stepLimit = 2 * highestAmplitude * std::sin(std::numbers::pi * kToneHz / kRate) + 4 * lsb;
  size_t zeros = 0, longestZeros = 0;
  for (size_t i = 1; i < x.size(); ++i) {
    ASSERT_LE(std::fabs(x[i] - x[i - 1]), stepLimit) << "a jump between samples " << i - 1
                                                      << " and " << i << " of " << x.size();
    zeros = x[i] == 0 ? zeros + 1 : 0;
    longestZeros = std::max(longestZeros, zeros);
  }
  // Near a crossing the tone moves hundreds of steps per sample: two zeros
  // in a row are never part of it.
  EXPECT_LE(longestZeros, 1u);

  // Rising zero crossings, placed between samples by linear interpolation,
  // which is exact to a small fraction of a sample where a sine crosses zero.
  std::vector<double> crossings;
  for (size_t i = 1; i < x.size(); ++i)
    if (x[i - 1] < 0 && x[i] >= 0) crossings.push_back(i - 1 + -x[i - 1] / (x[i] - x[i - 1]));
  const double cycle = kRate / kToneHz;
  ASSERT_GE(crossings.size(), 2u);
  EXPECT_NEAR(static_cast<double>(crossings.size()), x.size() / cycle, 1.5);
  for (size_t i = 1; i < crossings.size(); ++i)
    ASSERT_NEAR(crossings[i] - crossings[i - 1], cycle, 0.25)
        << "crossings " << i - 1 << " and " << i << " at sample " << crossings[i - 1];
}

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
      ExpectCleanTone(channels[ch], take.bytes);
    }
  }
  // The summary reports the same level as the files hold (the last period
  // is never scanned, so it can only be lower, never higher).
  const size_t at = r.out.find("\tchannel 1: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const double reported = std::atof(r.out.c_str() + at + 12);
  EXPECT_NEAR(reported, 20 * std::log10(kToneAmplitude), kLevelToleranceDb) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Default, Pulse,
                         ::testing::Values(Take{"1648", 2, "1", "default"},
                                           Take{"1648", 2, "2", "default"},
                                           Take{"1648", 2, "s", "default"},
                                           Take{"2448", 3, "1", "default"},
                                           Take{"2448", 3, "2", "default"},
                                           Take{"2448", 3, "s", "default"},
                                           Take{"2448", 3, "2", "plug:default"}),
                         Name);

}  // namespace
