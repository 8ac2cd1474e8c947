// What a take survives: a device that offers only interleaved access, a
// device that disappears, a full disk or a file size limit, a stop by signal,
// a device fixed at another rate, and a disk too small from the start or
// filled by another program. Every file left behind must be a valid WAV
// whose header matches its data.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/wav_readers.h"
#include "support/zelm_fixture.h"

namespace {

std::string Ramp(uint64_t first, size_t frames, unsigned channel, unsigned bytes) {
  const std::vector<uint8_t> v = RampBytes(first, frames, channel, bytes);
  return std::string(v.begin(), v.end());
}

std::string RampStereo(size_t frames, unsigned bytes) {
  std::vector<int32_t> left, right;
  for (uint64_t n = 0; n < frames; ++n) {
    left.push_back(RampSample(n, 0, bytes));
    right.push_back(RampSample(n, 1, bytes));
  }
  const std::vector<uint8_t> v = RawInterleaved({left, right}, bytes);
  return std::string(v.begin(), v.end());
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether files in `folder` can have room reserved past their end.
bool CanReserve(const std::string& folder) {
  const std::string probe = folder + "/probe";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT, 0600);
  const bool can = fd >= 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
  if (fd >= 0) close(fd);
  unlink(probe.c_str());
  return can;
}

class Robustness : public ZelmTest {
 protected:
  void SetUp() override {
    ZelmTest::SetUp();
    AddDevices(
        "pcm.ileave { type zelmtest access \"interleaved\" }\n"
        "pcm.nonileave { type zelmtest access \"noninterleaved\" }\n"
        // Lost for good: a new open is refused too.
        "pcm.lost { type zelmtest lost_after 3 state_file \"" + env_.dir + "/lost.state\" }\n"
        "pcm.lost6 { type zelmtest lost_after 6 state_file \"" + env_.dir + "/lost6.state\" }\n"
        "pcm.paced { type zelmtest realtime true }\n"
        "pcm.at48k { type zelmtest rate 48000 }\n");
  }

  // zelm through a shell, for limits that a shell sets for its child.
  RunResult RunInShell(const std::string& setup, const std::vector<std::string>& args,
                       const std::string& input = "") {
    std::string command = setup + "; exec '" ZELM_BINARY "'";
    for (const std::string& a : args) command += " '" + a + "'";
    RunOptions options;
    options.program = "/bin/bash";
    options.args = {"-c", command};
    options.input = input;
    options.cwd = work();
    options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
    return RunProgram(options);
  }
};

// A sound server's device offers interleaved access only, some multichannel
// cards non-interleaved only: either way every mode records the device
// exactly.
TEST_F(Robustness, EveryAccessRecordsEveryModeExactly) {
  for (const std::string device : {"ileave", "nonileave"}) {
    for (unsigned bytes : {2u, 3u}) {
      const std::string format = bytes == 2 ? "1648" : "2448";
      const std::string prefix = device + format;
      SCOPED_TRACE(prefix);
      const size_t frames = 3 * 4096;  // 0.2 s at 48000 Hz, rounded up
      RunResult r = Run({format, "0.2", device, "2", prefix + "a.wav", prefix + "b.wav"});
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_EQ(ReadFile(at(prefix + "a.wav")).substr(44), Ramp(0, frames, 0, bytes));
      EXPECT_EQ(ReadFile(at(prefix + "b.wav")).substr(44), Ramp(0, frames, 1, bytes));
      r = Run({format, "0.2", device, "s", prefix + "s.wav"});
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_EQ(ReadFile(at(prefix + "s.wav")).substr(44), RampStereo(frames, bytes));
    }
  }
}

// The device disappears after three periods of a ten-period take, never to
// come back: the run says so, keeps the three periods in files whose headers
// say three, prints the peaks so far without "Done", and ends with status 1.
TEST_F(Robustness, ALostDeviceEndsTheTakeWithWholeFiles) {
  const RunResult r = Run({"1644", "0.9", "lost", "2", "a.wav", "b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Recording from lost failed: No such device\n"), std::string::npos) << r.err;
  EXPECT_TRUE(EndsWith(r.out,
                       "\n\nInput Channel Peaks:\n\tchannel 1: -0.00 dBFS\n"
                       "\tchannel 2: -0.00 dBFS\n"))
      << r.out;
  for (unsigned ch = 0; ch < 2; ++ch) {
    const std::string file = ReadFile(at(ch == 0 ? "a.wav" : "b.wav"));
    ExpectWholeWav(file, 2);
    EXPECT_EQ(file.substr(44), Ramp(0, 3 * 4096, ch, 2));
  }

  // Lost at a period's end: the files hold every period, and nothing that
  // did not fail is reported as failing.
  const RunResult s = Run({"1644", "0.9", "lost6", "s", "s.wav"});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.err,
            "\nlost6 lost: waiting for it to come back\n\nRecording from lost6 failed: No such "
            "device\n");
  EXPECT_EQ(ReadFile(at("s.wav")).substr(44), RampStereo(6 * 4096, 2));
}

// A file size limit set by another program (prlimit) during the take.
TEST_F(Robustness, AFileSizeLimitEndsTheTakeWithAWholeFile) {
  RunOptions options;
  options.program = "/bin/bash";
  // 500000 bytes: the limit falls inside a period, and inside a 24-bit stereo frame.
  options.args = {"-c", "'" ZELM_BINARY
                        "' 2448 2 paced s big.wav & sleep 0.5; "
                        "prlimit --pid $! --fsize=500000; wait $!"};
  options.cwd = work();
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("Can't write to big.wav: File too large\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos);
  const std::string file = ReadFile(at("big.wav"));
  ExpectWholeWav(file, 6);
  EXPECT_EQ(file.size(), 44 + (500000 - 44) / 6 * 6);
  EXPECT_EQ(file.substr(44), RampStereo((file.size() - 44) / 6, 3));
}

// A limit the planned file would pass is known before the take: the file
// agreed to be replaced is left as it was.
TEST_F(Robustness, AFileSizeLimitBelowThePlannedFileRefusesTheTake) {
  if (ZELM_TSAN) GTEST_SKIP() << "ThreadSanitizer's runtime writes a file before main";
  WriteFile(at("a.wav"), "old take");
  const RunResult r = RunInShell("ulimit -f 0", {"1648", "1", "paced", "1", "a.wav"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Can't record into a.wav: the take makes it 98348 bytes, past the file "
                       "size limit of 0 bytes (ulimit -f)\n"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_EQ(ReadFile(at("a.wav")), "old take");
}

// The planned size is held for the take while it runs; a take stopped early
// gives back what it did not use.
TEST_F(Robustness, ATakeReservesItsRoomAndGivesBackTheRest) {
  if (!CanReserve(work())) GTEST_SKIP() << "the file system of " << work() << " cannot reserve";
  RunOptions options;
  options.args = {"1648", "10", "paced", "1", "r.wav"};
  options.cwd = work();
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  options.signals = {{1500, SIGINT}};
  struct stat during {};
  std::thread look([&] {
    usleep(800000);
    stat(at("r.wav").c_str(), &during);
  });
  const RunResult r = RunProgram(options);
  look.join();
  EXPECT_EQ(r.termSignal, SIGINT) << r.out << r.err;
  EXPECT_GE(during.st_blocks * 512, 44 + 118 * 4096 * 2);  // 10 s in whole periods
  struct stat after {};
  ASSERT_EQ(stat(at("r.wav").c_str(), &after), 0);
  EXPECT_LT(after.st_size, 44 + 40 * 4096 * 2);
  EXPECT_LT(after.st_blocks * 512, after.st_size + after.st_blksize);
}

TEST_F(Robustness, AFullDeviceIsReportedBeforeTheTake) {
  // /dev/full exists, so it is asked about first.
  const RunResult r = Run({"1644", "1", "paced", "1", "/dev/full"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Can't write the header of /dev/full: No space left on device\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Recording"), std::string::npos);
}

// A small file system of our own, where the test is allowed to mount one.
class SmallDisk : public Robustness {
 protected:
  void SetUp() override {
    Robustness::SetUp();
    disk_ = env_.dir + "/disk";
    mkdir(disk_.c_str(), 0700);
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=1m") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
    Robustness::TearDown();
  }
  std::string disk_;
  bool mounted_ = false;
};

TEST_F(SmallDisk, ATakeThatCannotFitIsRefusedBeforeItStarts) {
  // Two 16-bit files of 8 s at 44100 Hz need 1.4 MB; 1 MiB is there.
  RunResult r = Run({"1644", "8", "paced", "2", disk_ + "/a.wav", disk_ + "/b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Not enough free space in " + disk_ + " for this take: 1.4 MB needed, 1.0 MB free\n");
  EXPECT_TRUE(std::filesystem::is_empty(disk_));
  // A shortfall that rounds away in MB shows in kB.
  r = Run({"1644", "5.94", "paced", "2", disk_ + "/a.wav", disk_ + "/b.wav"});
  EXPECT_EQ(r.out, "Not enough free space in " + disk_ +
                       " for this take: 1048.7 kB needed, 1048.6 kB free\n");
  // The space of a file the take replaces counts as free.
  WriteFile(disk_ + "/old.wav", std::string(600000, 'x'));
  r = Run({"1644", "5", "null", "1", disk_ + "/old.wav"}, "o\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ExpectWholeWav(ReadFile(disk_ + "/old.wav"), 2);
}

TEST_F(SmallDisk, ADiskThatFillsDuringTheTakeLeavesWholeFiles) {
  // The take fits when it starts and holds its room; then another program
  // fills the disk, and it is that program that runs out of space.
  RunOptions options;
  options.program = "/bin/bash";
  options.args = {"-c", "sleep 0.5; head -c 900000 /dev/zero > '" + disk_ + "/filler'"};
  RunResult filler;
  std::thread fill([&] { filler = RunProgram(options); });
  const RunResult r = Run({"1648", "3", "paced", "2", disk_ + "/a.wav", disk_ + "/b.wav"});
  fill.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(filler.status, 0) << filler.err;
  for (const char* name : {"/a.wav", "/b.wav"}) {
    const std::string file = ReadFile(disk_ + name);
    ExpectWholeWav(file, 2);
    const unsigned ch = name[1] == 'a' ? 0 : 1;
    EXPECT_EQ(file.substr(44), Ramp(0, 36 * 4096, ch, 2));
  }
}

TEST_F(SmallDisk, ATakeWhoseRoomIsTakenBeforeItStartsLeavesNoFile) {
  // The free space is checked; then the header's write hangs (the stall
  // shim) while another program fills the disk, so the reservation fails.
  std::thread fill([&] {
    usleep(500000);
    WriteFile(disk_ + "/filler", std::string(900000, 'x'));
  });
  const RunResult r =
      Run({"1648", "3", "paced", "1", disk_ + "/a.wav"}, "", StallEnv("a.wav", "0:1500"));
  fill.join();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Not enough free space in " + disk_ + " for this take: 0.3 MB needed, 0.1 MB free\n");
  EXPECT_FALSE(FileExists(disk_ + "/a.wav"));
}

// A small file system of each kind on a loop device, where the test may
// mount one: what a reservation holds and gives back is up to each.
class FileSystems : public Robustness, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    Robustness::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "mounting a loop device needs root";
    disk_ = env_.dir + "/disk";
    mkdir(disk_.c_str(), 0700);
    const std::string image = env_.dir + "/disk.img", type = GetParam();
    // 300 MB is the least xfs takes.
    RunResult r = Shell("truncate -s 320M '" + image + "' && mkfs." + type + " -q " +
                        (type == "ext4" ? "-F '" : "-f '") + image + "'");
    if (r.status != 0) GTEST_SKIP() << "cannot make a " << type << " image here: " << r.err;
    r = Shell("mount -o loop '" + image + "' '" + disk_ + "'");
    if (r.status != 0) GTEST_SKIP() << "cannot mount a loop device here: " << r.err;
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_ && umount2(disk_.c_str(), 0) != 0) umount2(disk_.c_str(), MNT_DETACH);
    Robustness::TearDown();
  }
  RunResult Shell(const std::string& command) {
    RunOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", command};
    return RunProgram(options);
  }
  uint64_t Free() {
    sync();
    struct statvfs fs {};
    statvfs(disk_.c_str(), &fs);
    return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  }
  std::string disk_;
  bool mounted_ = false;
};

// Another program fills the disk during the take: the take records its
// planned length all the same, and its header says so.
TEST_P(FileSystems, ADiskFilledDuringTheTakeLeavesTheWholeTake) {
  const std::string file = disk_ + "/f.wav";
  // Most of the disk is taken at once, so that filling the rest is quick.
  ASSERT_EQ(Shell("fallocate -l " + std::to_string(Free() - (24 << 20)) + " '" + disk_ +
                  "/most'").status, 0);
  RunResult filler;
  std::thread fill([&] {
    struct stat st {};
    while (stat(file.c_str(), &st) != 0 || st.st_size < 44 + 4096 * 6) usleep(10000);
    filler = Shell("dd if=/dev/zero of='" + disk_ + "/fill' bs=1M");
  });
  const RunResult r = Run({"2448", "4", "paced", "s", file});
  fill.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(filler.status, 0) << filler.err;
  const std::string bytes = ReadFile(file);
  EXPECT_EQ(bytes.size(), 44u + 47 * 4096 * 6);
  ExpectWholeWav(bytes, 6);
  ExpectReadersAgree(file, 2, 48000, 24, 47 * 4096);
}

// A 1000 s take stopped after a second gives back what it did not use.
TEST_P(FileSystems, AnEarlyStopGivesTheSpaceBack) {
  const std::string file = disk_ + "/e.wav";
  const uint64_t before = Free();
  RunOptions options;
  options.args = {"1648", "1000", "paced", "1", file};
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  options.signals = {{1000, SIGINT}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.termSignal, SIGINT) << r.out << r.err;
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_LT(st.st_size, 44 + 5 * 48000 * 2);
  // du against ls -l: within a few blocks.
  EXPECT_LE(st.st_blocks * 512, st.st_size + 4 * st.st_blksize);
  // btrfs keeps the piece of the reservation in use whole: 8 MiB at most.
  EXPECT_GE(Free() + static_cast<uint64_t>(st.st_size) + (10 << 20), before);
}

INSTANTIATE_TEST_SUITE_P(LoopMounted, FileSystems, ::testing::Values("ext4", "xfs", "btrfs"),
                         [](const auto& info) { return std::string(info.param); });

// Ctrl-C ends the take at the end of the current period: the files hold what
// was recorded, their headers say so, the summary and "Done" are printed,
// and the process then ends by the signal, as a shell expects.
TEST_F(Robustness, AStopSignalFinishesTheTakeAndEndsByThatSignal) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    RunOptions options;
    options.args = {"1648", "20", "paced", "2", "a.wav", "b.wav"};
    options.input = "o\no\n";
    options.cwd = work();
    options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
    options.signalAfterMs = 1000;
    options.signal = sig;
    const RunResult r = RunProgram(options);
    EXPECT_EQ(r.termSignal, sig) << r.out << r.err;
    EXPECT_TRUE(EndsWith(r.out, "dBFS\nDone\n")) << r.out;
    for (unsigned ch = 0; ch < 2; ++ch) {
      const std::string file = ReadFile(at(ch == 0 ? "a.wav" : "b.wav"));
      ExpectWholeWav(file, 2);
      const size_t frames = (file.size() - 44) / 2;
      // About a second was recorded, not the twenty planned.
      EXPECT_GT(frames, 24000u);
      EXPECT_LT(frames, 5 * 48000u);
      EXPECT_EQ(file.substr(44), Ramp(0, frames, ch, 2));
    }
  }
}

// Under nohup a hangup must not end the take.
TEST_F(Robustness, AnIgnoredHangupStaysIgnored) {
  RunOptions options;
  options.program = "/bin/bash";
  options.args = {"-c", "trap '' HUP; exec '" ZELM_BINARY "' 1648 1 paced 1 a.wav"};
  options.cwd = work();
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  options.signalAfterMs = 400;
  options.signal = SIGHUP;
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(at("a.wav")).size(), 44u + 12 * 4096 * 2);
}

// A device fixed at 48000 Hz, asked for 44100 Hz: the files must say what
// was recorded, or they play at the wrong speed.
TEST_F(Robustness, TheGrantedRateIsTheRateOfTheTake) {
  RunResult r = Run({"1644", "0.5", "at48k", "s", "s.wav"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, 91),
            "at48k records at 48000 Hz, not 44100 Hz: the take is made at 48000 Hz.\n"
            "Recording in Stereo\n");
  // 0.5 s at 48000 Hz is 24000 frames: six periods, the clock counting down
  // from (24576 - 4096) / 48000.
  EXPECT_NE(r.out.find("\rrem = 0.43 sec"), std::string::npos);
  const std::string file = ReadFile(at("s.wav"));
  EXPECT_EQ(Field32(file, 24), 48000u);
  EXPECT_EQ(Field32(file, 28), 48000u * 4);
  EXPECT_EQ(file.size(), 44u + 24576 * 4);
  // The take is planned again for the rate the device runs at: 1500000 s
  // are 2^36 frames or fewer at 44100 Hz, but not at 48000 Hz.
  r = Run({"1644", "1500000", "at48k", "1", "long.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(EndsWith(r.out, "Improper duration request\n")) << r.out;
  EXPECT_FALSE(FileExists(at("long.wav")));
}

// Descriptors 0, 1 and 2 closed by the caller: the console text, the device
// failure included, must not land in the audio file that takes their number.
TEST_F(Robustness, ClosedStandardDescriptorsKeepConsoleTextOutOfTheAudio) {
  const RunResult r = RunInShell("exec <&- >&- 2>&-", {"1644", "0.9", "lost", "1", "a.wav"});
  EXPECT_EQ(r.status, 1);
  const std::string file = ReadFile(at("a.wav"));
  ExpectWholeWav(file, 2);
  EXPECT_EQ(file.substr(44), Ramp(0, 3 * 4096, 0, 2));
}

// A second take naming a file in use is refused before it changes anything,
// and so is a name that another program created after it was found free.
TEST_F(Robustness, AFileInUseOrMadeMeanwhileIsNotWrittenInto) {
  RunResult first;
  std::thread take([&] { first = Run({"1648", "1.5", "paced", "1", "a.wav"}); });
  usleep(500000);
  const RunResult second = Run({"1648", "1", "null", "1", "a.wav"}, "o\n");
  take.join();
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("Can't record into a.wav: it is in use by another take\n"),
            std::string::npos)
      << second.out;
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_EQ(ReadFile(at("a.wav")).substr(44), Ramp(0, 18 * 4096, 0, 2));

  // b.wav appears while the prompt for a.wav waits.
  RunOptions options;
  options.program = "/bin/bash";
  options.args = {"-c", "(sleep 0.3; echo theirs > b.wav; echo o) | '" ZELM_BINARY
                        "' 1648 1 null 2 a.wav b.wav"};
  options.cwd = work();
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Can't record into b.wav: another program created it meanwhile\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(at("b.wav")), "theirs\n");
}

// x.wav is swapped for a link to another file while the prompt waits: the
// answer replaces neither.
TEST_F(Robustness, ANameSwappedForALinkAtThePromptIsNotWrittenInto) {
  WriteFile(at("x.wav"), "asked about");
  WriteFile(at("other.wav"), "theirs");
  RunOptions options;
  options.program = "/bin/bash";
  options.args = {"-c", "coproc Z { exec '" ZELM_BINARY "' 1648 1 null 1 x.wav; }\n"
                        "pid=$Z_PID; exec 3<&${Z[0]} 4>&${Z[1]}\n"
                        "while IFS= read -r line <&3; do echo \"$line\"; "
                        "[[ $line == Enter* ]] && break; done\n"
                        "ln -s other.wav link && mv -T link x.wav\n"
                        "echo o >&4; cat <&3; wait $pid"};
  options.cwd = work();
  options.env = {{"ALSA_CONFIG_PATH", env_.configPath}, {"HOME", env_.home}};
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("Can't record into x.wav: another program replaced it meanwhile\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(at("other.wav")), "theirs");
}

// A take that cannot start leaves the file the user agreed to replace as it was.
TEST_F(Robustness, AFailedStartLeavesAReplacedFileAsItWas) {
  WriteFile(at("a.wav"), "old take");
  const RunResult r = Run({"1644", "1", "paced", "2", "a.wav", "/dev/full"}, "o\no\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Can't write the header of /dev/full: No space left on device\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(at("a.wav")), "old take");

  // No thread for the take: an ordinary user at the limit of processes.
  const std::string shared = work() + "/shared";
  mkdir(shared.c_str(), 0777);
  chmod(shared.c_str(), 0777);
  WriteFile(shared + "/b.wav", "old take");
  chmod((shared + "/b.wav").c_str(), 0666);
  RunOptions options;
  options.program = "/usr/bin/setpriv";
  options.args = {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                  "ulimit -u 1 && exec '" ZELM_BINARY "' 1644 1 null 1 b.wav"};
  options.cwd = shared;
  options.input = "o\n";
  const RunResult t = RunProgram(options);
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.out.find("Can't start the take: no thread could be started for it"),
            std::string::npos)
      << t.out << t.err;
  EXPECT_EQ(ReadFile(shared + "/b.wav"), "old take");
}

}  // namespace
