// zelm against a private PipeWire server whose default source is a 440 Hz
// sine, -6.02 dBFS left and -12.04 dBFS right, paced in real time; reached
// through PipeWire's ALSA plugin under its own name and as "default".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/run_zelm.h"
#include "support/tone_checks.h"
#include "support/wav_readers.h"

namespace {

constexpr double kLeft = 0.5;    // the source's channel volumes, of full scale
constexpr double kRight = 0.25;  // -12.04 dBFS
constexpr double kLevelToleranceDb = 0.5;
// The script's status for a machine that lacks what the server needs.
constexpr int kServerUnavailable = 77;

const std::string kServerScript = std::string(ZELM_SOURCE_DIR) + "/scripts/pipewire-test-server";

using Env = std::vector<std::pair<std::string, std::string>>;

// A server of our own under `dir`, and the environment that reaches it.
struct Server {
  std::string dir;
  Env env;
  std::string skip;     // why this machine cannot run one
  std::string failure;  // why it did not start although it could
};

RunResult ServerScript(const std::string& action, const std::string& dir) {
  RunOptions options;
  options.program = kServerScript;
  options.args = {action, dir};
  options.timeoutMs = 120000;  // the first start fetches the ALSA plugin
  return RunProgram(options);
}

Server StartServer(const std::string& dir) {
  Server server;
  server.dir = dir;
  const RunResult r = ServerScript("start", dir);
  if (r.status == kServerUnavailable) {
    server.skip = "no PipeWire test server on this machine (bash dev test installs one):\n" + r.err;
  } else if (r.status != 0) {
    server.failure = "the PipeWire test server did not start:\n" + r.out + r.err;
  } else {
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) server.env.push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
  }
  return server;
}

double ReportedLevel(const std::string& out, int channel) {
  const std::string label = "\tchannel " + std::to_string(channel) + ": ";
  const size_t at = out.find(label);
  return at == std::string::npos ? 0.0 : std::atof(out.c_str() + at + label.size());
}

class PipeWire : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { server_ = new Server(StartServer(MakeTempDir())); }
  static void TearDownTestSuite() {
    ServerScript("stop", server_->dir);
    RemoveTree(server_->dir);
    delete server_;
  }
  void SetUp() override {
    if (!server_->skip.empty()) GTEST_SKIP() << server_->skip;
    ASSERT_TRUE(server_->failure.empty()) << server_->failure;
    work_ = MakeTempDir();
  }
  void TearDown() override {
    if (!work_.empty()) RemoveTree(work_);
  }

  static Server* server_;
  std::string work_;
};

Server* PipeWire::server_ = nullptr;

// Both names of the server record at once, so the case costs one take's time.
TEST_P(PipeWire, StereoFromBothNamesHoldsTheToneWholeAtItsLevel) {
  const int bytes = GetParam();
  const std::string format = bytes == 2 ? "1648" : "2448";
  const std::vector<std::string> devices = {"pipewire", "default"};
  std::vector<RunResult> results(devices.size());
  std::vector<std::thread> takes;
  for (size_t i = 0; i < devices.size(); ++i)
    takes.emplace_back([&, i] {
      RunOptions options;
      options.args = {format, "2", devices[i], "s", devices[i] + ".wav"};
      options.cwd = work_;
      options.env = server_->env;
      results[i] = RunProgram(options);
    });
  for (std::thread& take : takes) take.join();

  for (size_t i = 0; i < devices.size(); ++i) {
    SCOPED_TRACE(devices[i]);
    const RunResult& r = results[i];
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("\nRX"), std::string::npos) << "overruns:\n" << r.out;
    // The summary's levels (the last period is never scanned, so they can
    // only be lower than the file's, never higher).
    EXPECT_NEAR(ReportedLevel(r.out, 1), 20 * std::log10(kLeft), kLevelToleranceDb) << r.out;
    EXPECT_NEAR(ReportedLevel(r.out, 2), 20 * std::log10(kRight), kLevelToleranceDb) << r.out;

    const std::string path = work_ + "/" + devices[i] + ".wav";
    const std::string file = ReadFile(path);
    const size_t frameBytes = 2u * bytes;
    ASSERT_GT(file.size(), 44u);
    ASSERT_EQ((file.size() - 44) % frameBytes, 0u);
    // Two seconds, rounded up to whole periods of whatever size the server grants.
    const uint64_t frames = (file.size() - 44) / frameBytes;
    EXPECT_GE(frames, 96000u);
    EXPECT_LT(frames, 96000u + 32768u);
    ExpectReadersAgree(path, 2, 48000, bytes * 8, frames);
    const std::vector<Signal> channels = Channels(file, 2, bytes);
    {
      SCOPED_TRACE("left");
      ExpectCleanTone(channels[0], bytes, kLeft);
    }
    {
      SCOPED_TRACE("right");
      ExpectCleanTone(channels[1], bytes, kRight);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, PipeWire, ::testing::Values(2, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param * 8) + "bit";
                         });

// The server is ours to stop, so each of these tests starts one of its own.
class PipeWireFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    work_ = dir_ + "/work";
    mkdir(work_.c_str(), 0700);
    server_ = StartServer(dir_ + "/server");
    if (!server_.skip.empty()) GTEST_SKIP() << server_.skip;
    ASSERT_TRUE(server_.failure.empty()) << server_.failure;
  }
  void TearDown() override {
    StopServer();
    RemoveTree(dir_);
  }

  // Stops the daemon, its session manager and their bus by their pids; safe
  // to call while a take runs, and again afterwards.
  void StopServer() { ServerScript("stop", server_.dir); }

  // Runs zelm on the server in the background.
  std::thread StartTake(std::vector<std::string> args, RunResult& result) {
    return std::thread([this, args = std::move(args), &result] {
      RunOptions options;
      options.args = args;
      options.cwd = work_;
      options.env = server_.env;
      options.timeoutMs = 30000;
      result = RunProgram(options);
    });
  }

  std::string dir_, work_;
  Server server_;
};

// A server killed mid-take and started again a second later (as systemd
// restarts one that crashed). Its plugin restarts without complaint, then
// overruns over and over: once nothing has come for three seconds the
// device is lost, opened again, and the take goes on in the same files,
// the time it was away silence and the tone after it.
TEST_F(PipeWireFaults, KilledAndRestartedMidTakeTheTakeGoesOn) {
  RunResult r;
  std::thread take = StartTake({"1648", "8", "pipewire", "s", "s.wav"}, r);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  StopServer();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  server_ = StartServer(dir_ + "/server");
  take.join();
  ASSERT_TRUE(server_.failure.empty()) << server_.failure;
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("\npipewire lost: waiting for it to come back\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\npipewire is back after "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Done\n"), std::string::npos) << r.out;
  const std::string file = ReadFile(work_ + "/s.wav");
  // Eight seconds, rounded up to whole periods of whatever size the server grants.
  const uint64_t frames = (file.size() - 44) / 4;
  EXPECT_GE(frames, 384000u);
  EXPECT_LT(frames, 384000u + 32768u);
  ExpectReadersAgree(work_ + "/s.wav", 2, 48000, 16, frames);
  // The tone before the loss and after the return, each unbroken.
  const std::vector<Signal> channels = Channels(file, 2, 2);
  const Signal& left = channels[0];
  size_t gap = 0;
  while (gap + 1 < left.size() && (left[gap] != 0 || left[gap + 1] != 0)) ++gap;
  size_t back = gap;
  while (back < left.size() && left[back] == 0) ++back;
  ASSERT_GT(gap, 48000u);
  ASSERT_LT(back + 48000, left.size());
  ExpectCleanTone(Signal(left.begin(), left.begin() + static_cast<long>(gap)), 2, kLeft);
  ExpectCleanTone(Signal(left.begin() + static_cast<long>(back), left.end()), 2, kLeft);
}

// The server's plugin drops what does not fit its buffer, or stops the
// clock of a source that makes samples only when asked, without a word: a
// write that stalls for 9 s must make neither happen, even when the machine
// is busy as the take starts (when a device's pace is judged).
TEST_F(PipeWireFaults, AStalledDiskLosesNothing) {
  RunOptions options;
  options.args = {"2496", "13", "pipewire", "s", "s.wav"};
  options.cwd = work_;
  options.env = server_.env;
  options.timeoutMs = 40000;
  for (const auto& v : StallEnv(".wav", "2000:9000")) options.env.push_back(v);
  // Both cores busy for the first 3 s.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::vector<std::thread> hogs;
  for (int i = 0; i < 2; ++i)
    hogs.emplace_back([until] {
      while (std::chrono::steady_clock::now() < until) {
      }
    });
  const RunResult r = RunProgram(options);
  for (std::thread& hog : hogs) hog.join();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
  // 13 s rounded up to whole periods, and the time to start and finish.
  EXPECT_LT(r.elapsedMs, 13000 + 1000);
  const auto channels = Channels(ReadFile(work_ + "/s.wav"), 2, 3);
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_GE(channels[0].size(), 13u * 96000);
  ExpectCleanTone(channels[0], 3, kLeft, 96000);
  ExpectCleanTone(channels[1], 3, kRight, 96000);
}

}  // namespace
