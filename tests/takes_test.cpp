// What nothing outside the device may break: a disk or a terminal that
// stalls, stop signals that come twice or while the device is silent, a
// crash, a console that goes away, a file renamed or deleted while it
// records. The capture
// device here behaves like a sound card: frames keep arriving in real time,
// and a reader that falls a buffer behind loses them.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/wav_readers.h"
#include "support/zelm_fixture.h"

namespace {

std::string Ramp(uint64_t first, size_t frames, unsigned channel) {
  const std::vector<uint8_t> v = RampBytes(first, frames, channel, 2);
  return std::string(v.begin(), v.end());
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Takes : public ZelmTest {
 protected:
  void SetUp() override {
    ZelmTest::SetUp();
    // The devices that go away keep their state (and clock) across a reopen.
    const auto kept = [this](const std::string& name) {
      return " state_file \"" + env_.dir + "/" + name + ".state\" }\n";
    };
    AddDevices(
        "pcm.card { type zelmtest hardware true }\n"
        "pcm.frozen { type zelmtest hardware true freeze_after 5 }\n"
        "pcm.bursts { type zelmtest hardware true overrun_periods \"3,7,8,20\" }\n"
        "pcm.ov4 { type zelmtest hardware true overrun_periods \"3,4,5,6\" }\n"
        "pcm.asleep { type zelmtest hardware true suspend_after 10 suspend_ms 1500 }\n"
        "pcm.thawed { type zelmtest hardware true freeze_after 10" + kept("thawed") +
        "pcm.away { type zelmtest hardware true lost_after 10 lost_for_ms 1500" + kept("away") +
        "pcm.gone { type zelmtest hardware true lost_after 10" + kept("gone") +
        "pcm.unplugged { type zelmtest hardware true lost_after 10" + kept("unplugged"));
  }

  RunOptions Options(std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    options.cwd = work();
    options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
    return options;
  }

  // A 16-bit stereo take in which every frame is either silence or the
  // device's frame of the same moment: its place in the file is its place in
  // device time, to the frame a clock can tell (one either way for each
  // dropout so far). Returns the runs of silence.
  size_t ExpectEveryFrameInPlace(const std::string& name) {
    const std::string file = ReadFile(at(name));
    ExpectWholeWav(file, 4);
    const auto sample = [&file](size_t frame, unsigned ch) {
      const auto* p = reinterpret_cast<const uint8_t*>(file.data()) + 44 + 4 * frame + 2 * ch;
      return static_cast<int16_t>(p[0] | p[1] << 8);
    };
    size_t runs = 0, misplaced = 0;
    bool silent = false;
    for (size_t p = 0; p < (file.size() - 44) / 4; ++p) {
      const bool quiet = sample(p, 0) == 0 && sample(p, 1) == 0;
      if (quiet && !silent) ++runs;
      silent = quiet;
      if (quiet) continue;
      bool placed = false;
      const auto slack = static_cast<int64_t>(std::max<size_t>(runs, 1));
      for (int64_t n = static_cast<int64_t>(p) - slack; n <= static_cast<int64_t>(p) + slack; ++n)
        placed = placed || (n >= 0 && sample(p, 0) == RampSample(n, 0, 2) &&
                            sample(p, 1) == RampSample(n, 1, 2));
      if (!placed && misplaced++ == 0) ADD_FAILURE() << name << ": frame " << p << " out of place";
    }
    EXPECT_EQ(misplaced, 0u) << name;
    return runs;
  }

  // A mono 16-bit file that holds the device's frames from the start, whole.
  void ExpectExactFrom0(const std::string& name, unsigned channel = 0) {
    const std::string file = ReadFile(at(name));
    ExpectWholeWav(file, 2);
    EXPECT_TRUE(file.substr(44) == Ramp(0, (file.size() - 44) / 2, channel))
        << name << " does not hold the device's frames unbroken";
  }
};

// A write that stalls for 3 s, far longer than the device's buffer: every
// frame is still there, and nothing was reported lost.
TEST_F(Takes, AStalledDiskLosesNothing) {
  RunOptions options = Options({"1648", "6", "card", "2", "a.wav", "b.wav"});
  for (const auto& v : StallEnv(".wav", "1000:3000")) options.env.push_back(v);
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos);
  for (unsigned ch = 0; ch < 2; ++ch) {
    const std::string name = ch == 0 ? "a.wav" : "b.wav";
    EXPECT_EQ(ReadFile(at(name)).size(), 44u + 71 * 4096 * 2);
    ExpectExactFrom0(name, ch);
  }
}

// A stall longer than the ring holds: the periods that did not fit are
// overruns, each reported and written as silence where it belongs, so the
// file keeps its length and every other period its place.
TEST_F(Takes, AStallLongerThanTheRingIsCountedAndKeepsTiming) {
  if (ZELM_SANITIZED) GTEST_SKIP() << "takes over ten seconds; the plain build covers it";
  RunOptions options = Options({"1648", "13", "card", "1", "a.wav"});
  for (const auto& v : StallEnv(".wav", "500:11500")) options.env.push_back(v);
  options.timeoutMs = 40000;
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const size_t rx = Count(r.out, "\nRX\n");
  EXPECT_GT(rx, 0u);
  EXPECT_NE(r.out.find("\nRecord Overruns = " + std::to_string(rx) + "\n"), std::string::npos);
  const std::string file = ReadFile(at("a.wav"));
  const size_t periods = 153;  // 13 s at 48000 Hz in 4096-frame periods
  ASSERT_EQ(file.size(), 44 + periods * 4096 * 2);
  const std::string silence(4096 * 2, '\0');
  size_t silent = 0;
  for (size_t k = 0; k < periods; ++k) {
    const std::string period = file.substr(44 + k * 8192, 8192);
    if (period == silence) {
      ++silent;
      continue;
    }
    EXPECT_TRUE(period == Ramp(k * 4096, 4096, 0)) << "period " << k << " out of place";
  }
  EXPECT_EQ(silent, rx);
}

// Ctrl-S on the terminal for 3 s: the take goes on unharmed, and every line
// arrives once the terminal takes output again.
TEST_F(Takes, APausedTerminalLosesNothing) {
  RunOptions options = Options({"1648", "6", "card", "1", "a.wav"});
  options.pty = true;
  options.ptyPauseAfterMs = 1000;
  options.ptyPauseMs = 3000;
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("RX"), std::string::npos);
  EXPECT_EQ(Count(r.out, "\rrem = "), 71u);
  EXPECT_NE(r.out.find("Done\n"), std::string::npos);
  ExpectExactFrom0("a.wav");
}

// A terminal that goes away (its master closed 1 s in: the kernel hangs it
// up and sends SIGHUP), and a second SIGHUP as a closed window sends: the
// take records its planned length and ends with status 0.
TEST_F(Takes, AHangUpIsNotAStop) {
  RunOptions options = Options({"1648", "3", "card", "1", "a.wav"});
  options.pty = true;
  options.ptyCloseAfterMs = 1000;
  options.signals = {{1020, SIGHUP}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.termSignal, 0);
  ExpectExactFrom0("a.wav");
  EXPECT_EQ(ReadFile(at("a.wav")).size(), 44u + 36 * 4096 * 2);
}

// Ctrl-C twice gives up what was not yet written, but the files stay whole.
// A stop while the device delivers nothing still ends the take at once.
TEST_F(Takes, StopsAlwaysFinishTheFiles) {
  RunOptions options = Options({"1648", "10", "card", "2", "b.wav", "c.wav"});
  options.signals = {{1000, SIGINT}, {1005, SIGINT}};
  RunResult r = RunProgram(options);
  EXPECT_EQ(r.termSignal, SIGINT);
  // Either the second stop came before all was written, and zelm says what
  // it gave up, or it came too late to matter.
  EXPECT_NE(r.out.find("Done\n") == std::string::npos,
            r.err.find("\nStopped again: ") == std::string::npos)
      << r.out << r.err;
  ExpectExactFrom0("b.wav", 0);
  ExpectExactFrom0("c.wav", 1);

  options = Options({"1648", "10", "frozen", "1", "d.wav"});
  options.signals = {{1000, SIGINT}};
  r = RunProgram(options);
  EXPECT_EQ(r.termSignal, SIGINT) << r.out << r.err;
  EXPECT_LT(r.elapsedMs, 3000);
  ExpectExactFrom0("d.wav");
  EXPECT_EQ(ReadFile(at("d.wav")).size(), 44u + 5 * 4096 * 2);
}

// A console that goes away takes nothing with it; a file renamed during the
// take is the one finished, and whatever then has its old name is untouched.
TEST_F(Takes, TheConsoleAndTheNameAreNotTheTake) {
  RunOptions options = Options({"-c", "'" ZELM_BINARY "' 1648 1 card 1 a.wav | true"});
  options.program = "/bin/bash";
  RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(at("a.wav")).size(), 44u + 12 * 4096 * 2);
  ExpectExactFrom0("a.wav");

  options = Options({"1648", "10", "card", "1", "b.wav"});
  options.signals = {{1500, SIGINT}};
  std::thread rename_([&] {
    usleep(700000);
    rename(at("b.wav").c_str(), at("moved.wav").c_str());
    WriteFile(at("b.wav"), "unrelated");
  });
  r = RunProgram(options);
  rename_.join();
  EXPECT_EQ(r.termSignal, SIGINT);
  EXPECT_EQ(ReadFile(at("b.wav")), "unrelated");
  ExpectExactFrom0("moved.wav");
}

// Dropouts: overruns in bursts, four in a row, a process stopped for 2 s
// (Ctrl-Z, then fg), and a device suspended for 1.5 s (the machine slept).
// Each is one RX, and as much silence as the device lost, so every later
// frame keeps its place; the take keeps its planned length.
TEST_F(Takes, DropoutsKeepEveryFrameInItsPlace) {
  struct Case {
    std::string device;
    std::vector<std::pair<int, int>> signals;
    size_t dropouts;
  };
  for (const Case& c : {Case{"bursts", {}, 3}, Case{"ov4", {}, 1},
                        Case{"card", {{1000, SIGSTOP}, {3000, SIGCONT}}, 1},
                        Case{"asleep", {}, 1}}) {
    SCOPED_TRACE(c.device);
    RunOptions options = Options({"1648", "4", c.device, "s", c.device + ".wav"});
    options.signals = c.signals;
    const RunResult r = RunProgram(options);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "\nRX\n"), c.dropouts);
    EXPECT_NE(r.out.find("Silence written in place of lost audio = "), std::string::npos);
    EXPECT_NE(r.out.find("Done\n"), std::string::npos);
    EXPECT_EQ(ReadFile(at(c.device + ".wav")).size(), 44u + 47 * 4096 * 4);
    EXPECT_EQ(ExpectEveryFrameInPlace(c.device + ".wav"), c.dropouts);
  }
}

// `timeout` sends its SIGTERM to zelm and to its process group at once: one
// stop, which writes everything, even through a stalled write.
TEST_F(Takes, OneStopSentTwiceAtOnceIsOneStop) {
  // The ThreadSanitizer build takes 0.1 s or more longer to its first frame;
  // its stop still falls into the stall.
  RunOptions options =
      Options({ZELM_TSAN ? "1.0" : "0.7", ZELM_BINARY, "1648", "10", "card", "s", "t.wav"});
  options.program = "/usr/bin/timeout";
  for (const auto& v : StallEnv(".wav", "500:1000")) options.env.push_back(v);
  const RunResult r = RunProgram(options);
  EXPECT_NE(r.out.find("Done\n"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.err.find("Stopped again"), std::string::npos) << r.err;
  EXPECT_GE(ReadFile(at("t.wav")).size(), 44u + 48000 * 4 * 3 / 10);
  EXPECT_EQ(ExpectEveryFrameInPlace("t.wav"), 0u);
}

// A write that stalls for just under the ten seconds of the ring loses
// nothing, even in the mode with the smallest periods.
TEST_F(Takes, ATenSecondRingHoldsANearlyTenSecondStall) {
  if (ZELM_SANITIZED) GTEST_SKIP() << "takes over ten seconds; the plain build covers it";
  RunOptions options = Options({"1648", "12", "card", "1", "a.wav"});
  for (const auto& v : StallEnv(".wav", "500:9900")) options.env.push_back(v);
  options.timeoutMs = 40000;
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos);
  // The reader kept real time: 141 periods, and the time to start and finish.
  EXPECT_LT(r.elapsedMs, 12030 + 1000);
  EXPECT_EQ(ReadFile(at("a.wav")).size(), 44u + 141 * 4096 * 2);
  ExpectExactFrom0("a.wav");
}

// A device not paced by real time (null) is made to wait for room while a
// write stalls, and so loses nothing: the take is its planned length.
TEST_F(Takes, AnUnpacedDeviceWaitsForRoomAndLosesNothing) {
  RunOptions options = Options({"2496", "120", "null", "s", "n.wav"});
  // The take lasts a fraction of a second: its writes stall again and again.
  for (const auto& v : StallEnv(".wav", "0:0", "50:30")) options.env.push_back(v);
  const RunResult r = RunProgram(options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
  // 120 s at 96000 Hz is 2813 periods of 4096 frames, rounded up.
  const uint64_t frames = 2813u * 4096;
  ExpectReadersAgree(at("n.wav"), 2, 96000, 24, frames);
}

// A device that is lost (unplugged), or stops delivering for the three
// seconds that make it lost (a frozen server), is opened again until it
// comes back: the time it was away is silence, every later frame keeps its
// place, and the take ends as planned. One that never comes back ends the
// take at its planned end, with the files ending at the last audio.
TEST_F(Takes, ADeviceThatGoesAwayIsWaitedFor) {
  for (const std::string device : {"away", "thawed"}) {
    SCOPED_TRACE(device);
    const RunResult r = RunProgram(Options({"1648", "6", device, "s", device + ".wav"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("\n" + device + " lost: waiting for it to come back\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n" + device + " is back after "), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Silence written in place of lost audio = "), std::string::npos);
    EXPECT_NE(r.out.find("Done\n"), std::string::npos);
    EXPECT_EQ(ReadFile(at(device + ".wav")).size(), 44u + 71 * 4096 * 4);
    EXPECT_EQ(ExpectEveryFrameInPlace(device + ".wav"), 1u);
  }

  const RunResult r = RunProgram(Options({"1648", "3", "gone", "1", "g.wav"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("gone lost: waiting for it to come back\n\nRecording from gone failed: "
                       "No such device\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos) << r.out;
  EXPECT_GE(r.elapsedMs, 3000);
  EXPECT_EQ(ReadFile(at("g.wav")).size(), 44u + 10 * 4096 * 2);
  ExpectExactFrom0("g.wav");

  // A stop while it waits finishes the files at once.
  RunOptions options = Options({"1648", "60", "unplugged", "1", "u.wav"});
  options.signals = {{2000, SIGINT}};
  const RunResult u = RunProgram(options);
  EXPECT_EQ(u.termSignal, SIGINT) << u.out << u.err;
  EXPECT_LT(u.elapsedMs, 4000);
  EXPECT_NE(u.out.find("Done\n"), std::string::npos) << u.out;
  EXPECT_EQ(ReadFile(at("u.wav")).size(), 44u + 10 * 4096 * 2);
  ExpectExactFrom0("u.wav");
}

// A crash (kill -9, the OOM killer) right after the start, mid-take or
// around a sync: the header never claims more than the file holds, what it
// claims is the device's audio exactly, and what it does not claim (written
// since the last sync) is at most a sync interval and a period.
TEST_F(Takes, AKilledTakeLeavesAHeaderThatClaimsOnlyWhatIsThere) {
  for (const int ms : {300, 1100, 2050, 2200}) {
    SCOPED_TRACE(ms);
    const std::string name = "killed" + std::to_string(ms) + ".wav";
    RunOptions options = Options({"1648", "10", "card", "1", name});
    options.signals = {{ms, SIGKILL}};
    EXPECT_EQ(RunProgram(options).termSignal, SIGKILL);
    const std::string file = ReadFile(at(name));
    ASSERT_GE(file.size(), 44u);
    const uint32_t declared = Field32(file, 40);
    EXPECT_EQ(Field32(file, 4), declared + 36);
    ASSERT_LE(44 + declared, file.size());
    EXPECT_LE(file.size() - 44 - declared, (2 * 48000 + 4096) * 2u);
    EXPECT_TRUE(file.substr(44, declared) == Ramp(0, declared / 2, 0));
    // soxi takes a header that declares no audio for one of unknown length.
    if (declared > 0) ExpectReadersAgree(at(name), 1, 48000, 16, declared / 2);
  }
}

// A file deleted during the take is gone with its audio: no "Done".
TEST_F(Takes, AFileDeletedDuringTheTakeIsAnError) {
  std::thread remove_([&] {
    usleep(700000);
    unlink(at("gone.wav").c_str());
  });
  const RunResult r = RunProgram(Options({"1648", "1.5", "card", "1", "gone.wav"}));
  remove_.join();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\nCan't finish gone.wav: another program deleted it\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos);
}

// A file another program empties during the take (`: > tr.wav`) is an
// error naming it, though the take's later writes make it whole-sized again.
TEST_F(Takes, AFileCutShortDuringTheTakeIsAnError) {
  std::thread cut([&] {
    struct stat st {};
    while (stat(at("tr.wav").c_str(), &st) != 0 || st.st_size < 44 + 4 * 4096 * 2) usleep(10000);
    truncate(at("tr.wav").c_str(), 0);
  });
  const RunResult r = RunProgram(Options({"1648", "2", "card", "1", "tr.wav"}));
  cut.join();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\nCan't finish tr.wav: another program cut it short during the take\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos);
  ExpectWholeWav(ReadFile(at("tr.wav")), 2);
}

// A take planned past what a WAV file can describe is RF64 from its first
// byte, and stays RF64 when it is stopped early: its ds64 sizes say what it
// holds, and independent readers read it.
TEST_F(Takes, AnOverlongTakeIsWrittenAsRf64) {
  struct statvfs fs {};
  ASSERT_EQ(statvfs(work().c_str(), &fs), 0);
  const uint64_t planned = 7457ULL * 96000 * 6;
  if (static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < planned + (1ULL << 30))
    GTEST_SKIP() << "the planned 4.3 GB do not fit the free space of " << work();
  RunOptions options = Options({"2496", "7457", "card", "s", "long.wav"});
  options.signals = {{1000, SIGINT}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.termSignal, SIGINT) << r.out << r.err;
  const std::string file = ReadFile(at("long.wav"));
  ASSERT_GT(file.size(), 80u);
  EXPECT_EQ(file.substr(0, 4), "RF64");
  EXPECT_EQ(file.substr(72, 4), "data");
  const auto u64 = [&file](size_t at) {
    return static_cast<uint64_t>(Field32(file, at)) | uint64_t{Field32(file, at + 4)} << 32;
  };
  const uint64_t data = file.size() - 80;
  EXPECT_EQ(data % 6, 0u);
  EXPECT_EQ(u64(20), file.size() - 8);
  EXPECT_EQ(u64(28), data);
  EXPECT_EQ(u64(36), data / 6);
  ExpectReadersAgree(at("long.wav"), 2, 96000, 24, data / 6);
}

// Real-time scheduling where the system grants it, here as root: a CPU hog
// on every core at normal priority costs no frame, and the capture thread,
// alone of the take's threads, runs under SCHED_FIFO. The script reports
// the scheduling policy (field 41 of /proc/<pid>/task/<tid>/stat) of each
// of zelm's threads once one of them runs real-time, or zelm has ended.
TEST_F(Takes, ABusyMachineCostsNoFrameUnderRealTimeScheduling) {
  int refused = 0;
  std::thread([&refused] {
    sched_param param{};
    param.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) refused = errno;
  }).join();
  if (refused != 0)
    GTEST_SKIP() << "the system refuses real-time scheduling here: " << std::strerror(refused);

  const std::string script =
      "'" ZELM_BINARY "' 1648 4 card s rt.wav & pid=$!\n"
      "policies() { for f in /proc/$pid/task/*/stat; do read -r line < \"$f\" && "
      "set -- ${line##*) } && echo -n \"${39} \"; done; }\n"
      "while kill -0 $pid 2>/dev/null; do\n"
      "  seen=$(policies 2>/dev/null)\n"
      "  case \" $seen\" in *' 1 '*) break ;; esac\n"
      "  sleep 0.01\n"
      "done\n"
      "echo \"policies: $seen\"\n"
      "wait $pid\n";
  RunOptions options = Options({"-c", script});
  options.program = "/bin/bash";
  std::atomic<bool> done{false};
  std::vector<std::thread> hogs;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
    hogs.emplace_back([&done] {
      while (!done.load(std::memory_order_relaxed)) {
      }
    });
  const RunResult r = RunProgram(options);
  done = true;
  for (std::thread& h : hogs) h.join();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("RX"), std::string::npos) << r.out;
  const size_t from = r.out.find("policies: ");
  ASSERT_NE(from, std::string::npos) << r.out;
  const std::string policies = r.out.substr(from + 10, r.out.find('\n', from) - from - 10);
  EXPECT_EQ(Count(" " + policies, " 1 "), 1u) << "policies of zelm's threads: " << policies;
  EXPECT_EQ(Count(" " + policies, " 0 ") + 1, Count(policies, " ")) << policies;
  EXPECT_EQ(ReadFile(at("rt.wav")).size(), 44u + 47 * 4096 * 4);
  EXPECT_EQ(ExpectEveryFrameInPlace("rt.wav"), 0u);
}

}  // namespace
