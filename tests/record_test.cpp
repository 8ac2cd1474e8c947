// Whole takes through ALSA's file plugin, which plays back a raw file that the
// test writes: what lands in the WAV files, and what the console shows.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/wav_readers.h"
#include "support/zelm_fixture.h"

namespace {

using Channel = std::vector<int32_t>;

void PutLE(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string Samples(const Channel& c, int bytes) {
  std::string out;
  for (int32_t v : c) PutLE(&out, static_cast<uint32_t>(v), bytes);
  return out;
}

std::string Interleaved(const Channel& left, const Channel& right, int bytes) {
  std::string out;
  for (size_t i = 0; i < left.size(); ++i) {
    PutLE(&out, static_cast<uint32_t>(left[i]), bytes);
    PutLE(&out, static_cast<uint32_t>(right[i]), bytes);
  }
  return out;
}

// The header a player expects, laid out here field by field.
std::string Header(uint32_t rate, uint64_t frames, int bytes, int channels) {
  const uint64_t data = frames * bytes * channels;
  std::string h = "RIFF";
  PutLE(&h, data + 36, 4);
  h += "WAVEfmt ";
  PutLE(&h, 16, 4);
  PutLE(&h, 1, 2);
  PutLE(&h, channels, 2);
  PutLE(&h, rate, 4);
  PutLE(&h, uint64_t{rate} * bytes * channels, 4);
  PutLE(&h, bytes * channels, 2);
  PutLE(&h, bytes * 8, 2);
  h += "data";
  PutLE(&h, data, 4);
  return h;
}

Channel Take(const Channel& c, size_t frames) { return Channel(c.begin(), c.begin() + frames); }

Channel Noise(size_t frames, int bytes, unsigned seed) {
  std::mt19937 gen(seed);
  const int32_t top = bytes == 2 ? 32767 : 8388607;
  std::uniform_int_distribution<int32_t> dist(-top - 1, top);
  Channel c(frames);
  for (auto& v : c) v = dist(gen);
  return c;
}

class Record : public ZelmTest {
 protected:
  void SetUp() override {
    ZelmTest::SetUp();
    AddDevices(FileInputPcm("src", env_.dir + "/input.raw"));
  }

  // The file plugin leaves the buffer as it was once its input runs out, so
  // every take gets at least as much input as it records.
  void Feed(const Channel& left, const Channel& right, int bytes) {
    ASSERT_TRUE(WriteRawInput(env_.dir + "/input.raw", {left, right}, bytes));
  }
};

TEST_F(Record, EveryModeWritesTheInputChannelsExactly) {
  struct Case {
    const char* format;
    uint32_t rate;
    int bytes;
  };
  for (const Case& c : {Case{"1648", 48000, 2}, Case{"2496", 96000, 3}}) {
    SCOPED_TRACE(c.format);
    // 0.1 s rounds up to whole 4096-frame periods.
    const size_t frames = (c.rate / 10 + 4095) / 4096 * 4096;
    const Channel left = Noise(frames + 8192, c.bytes, 1), right = Noise(frames + 8192, c.bytes, 2);
    Feed(left, right, c.bytes);

    const std::string f = c.format;
    RunResult r = Run({c.format, "0.1", "src", "1", f + "mono.wav"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(at(f + "mono.wav")),
              Header(c.rate, frames, c.bytes, 1) + Samples(Take(left, frames), c.bytes));
    ExpectReadersAgree(at(f + "mono.wav"), 1, c.rate, c.bytes * 8, frames);

    r = Run({c.format, "0.1", "src", "2", f + "l.wav", f + "r.wav"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(at(f + "l.wav")),
              Header(c.rate, frames, c.bytes, 1) + Samples(Take(left, frames), c.bytes));
    EXPECT_EQ(ReadFile(at(f + "r.wav")),
              Header(c.rate, frames, c.bytes, 1) + Samples(Take(right, frames), c.bytes));
    ExpectReadersAgree(at(f + "l.wav"), 1, c.rate, c.bytes * 8, frames);
    ExpectReadersAgree(at(f + "r.wav"), 1, c.rate, c.bytes * 8, frames);

    r = Run({c.format, "0.1", "src", "s", f + "st.wav"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, 20), "Recording in Stereo\n");
    EXPECT_EQ(ReadFile(at(f + "st.wav")),
              Header(c.rate, frames, c.bytes, 2) +
                  Interleaved(Take(left, frames), Take(right, frames), c.bytes));
    ExpectReadersAgree(at(f + "st.wav"), 2, c.rate, c.bytes * 8, frames);
  }
}

// A short take's whole console transcript, worked out by hand: 16-bit mono at
// 44100 Hz, 0.3 s = 13230 frames, rounded up to 4 periods (16384 frames).
// Period 0 peaks at half scale, period 1 is silent, period 2 clips, and so
// does period 3, which the meter never shows but the summary counts.
TEST_F(Record, TheConsoleShowsTimeMeterWarningsAndSummary) {
  Channel left(16384 + 4096, 0), right(16384 + 4096, 5);
  left[100] = 16384;
  left[2 * 4096 + 7] = 32767;
  left[3 * 4096 + 1] = -32768;
  Feed(left, right, 2);
  const RunResult r = Run({"1644", "0.3", "src", "1", "take.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string blank(24, ' ');
  const std::string expected =
      "Recording\n"
      "\rrem = 0.28 sec\t -45 dB [" +
      blank +
      "] -144.0 dB   "
      "\rrem = 0.19 sec\t -45 dB [" +
      std::string(21, '|') +
      "   ] -144.0 dB   "
      "\rrem = 0.09 sec\t -45 dB [" +
      std::string(15, '|') + std::string(9, ' ') +
      "] -6.0 dB   "
      "\nInput Channel 1 is Peaking!\n"
      "\rrem = 0.00 sec\t -45 dB [" +
      std::string(24, '|') +
      "] -6.0 dB   "
      "\nInput Channel 1 is Peaking!\n"
      "\nInput Channel Peaks:\n"
      "\tchannel 1: -0.00 dBFS\n"
      "Done\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(ReadFile(at("take.wav")).size(), 44u + 16384 * 2);
  ExpectReadersAgree(at("take.wav"), 1, 44100, 16, 16384);
}

// Splits the console output into the readouts of each pass's meter line.
std::vector<std::string> Readouts(const std::string& out) {
  std::vector<std::string> readouts;
  size_t pos = 0;
  while ((pos = out.find("] ", pos)) != std::string::npos) {
    pos += 2;
    readouts.push_back(out.substr(pos, out.find(" dB", pos) - pos));
  }
  return readouts;
}

TEST_F(Record, HeldPeaksFallBackToThePeriodPeakEveryHoldWindow) {
  // 44100 Hz holds for 32 periods: set back in pass 32, then every 33 passes.
  const size_t periods = 67;
  Channel left(periods * 4096 + 4096, 0);
  for (size_t p = 0; p < periods; ++p) left[p * 4096 + 11] = 1024;  // -30.1 dB
  left[0 * 4096 + 12] = 16384;                                      // -6.0 dB
  left[40 * 4096 + 12] = -8192;                                     // -12.0 dB
  Feed(left, left, 2);
  const double seconds = periods * 4096 / 44100.0;
  const RunResult r = Run({"1644", std::to_string(seconds - 0.001), "src", "s", "st.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> readouts = Readouts(r.out);
  ASSERT_EQ(readouts.size(), periods);
  ExpectReadersAgree(at("st.wav"), 2, 44100, 16, periods * 4096);
  // Pass k shows what passes before it held: period k - 2's peak is the
  // newest in view, as each pass scans the period read before it.
  for (size_t k = 0; k < periods; ++k) {
    SCOPED_TRACE(k);
    std::string want;
    if (k < 2)
      want = "-144.0 / -144.0";
    else if (k <= 32)
      want = "-6.0 / -6.0";
    else if (k <= 41)
      want = "-30.1 / -30.1";
    else if (k <= 65)
      want = "-12.0 / -12.0";
    else
      want = "-30.1 / -30.1";
    EXPECT_EQ(readouts[k], want);
  }
}

// The meter of a one-period take shows nothing yet; the summary is about the
// take, so it has the period's level.
TEST_F(Record, OnePeriodIsInTheSummaryAndShowsNoTimeLeft) {
  Channel loud(8192, 30000);
  Feed(loud, loud, 3);
  const RunResult r = Run({"2444", "0.01", "src", "2", "a.wav", "b.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\rrem = 0.00 sec\t -45 dB [" + std::string(24, ' ') +
                       "] -144.0 / -144.0 dB   \n\nInput Channel Peaks:\n"
                       "\tchannel 1: -48.93 dBFS\n\tchannel 2: -48.93 dBFS\nDone\n"),
            std::string::npos)
      << r.out;
  ExpectReadersAgree(at("a.wav"), 1, 44100, 24, 4096);
  ExpectReadersAgree(at("b.wav"), 1, 44100, 24, 4096);
}

const std::vector<std::pair<std::string, std::string>> kClockAt2024 = {
    {"LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"},
    {"FAKETIME", "@2024-01-01 00:00:00"},
    {"TZ", "UTC"},
    {"ASAN_OPTIONS", "verify_asan_link_order=0"}};

TEST_F(Record, AutomaticNamesComeFromTheClockAndNeverReplaceATake) {
  if (!FileExists(kClockAt2024[0].second)) GTEST_SKIP() << "faketime is not installed";
  Channel c(8192, 0);
  Feed(c, c, 2);
  RunResult r = Run({"1644", "0.05", "src", "2"}, "", kClockAt2024);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(at("rec_chan_1_354181860.wav")).size(), 44u + 4096 * 2);
  EXPECT_EQ(ReadFile(at("rec_chan_2_354181860.wav")).size(), 44u + 4096 * 2);
  ExpectReadersAgree(at("rec_chan_1_354181860.wav"), 1, 44100, 16, 4096);
  ExpectReadersAgree(at("rec_chan_2_354181860.wav"), 1, 44100, 16, 4096);

  // The same second again: both channels move on to the next free number
  // together, and the earlier take stays as it was.
  WriteFile(at("rec_chan_1_354181860.wav"), "earlier take");
  r = Run({"1644", "0.05", "src", "2"}, "", kClockAt2024);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(at("rec_chan_1_354181860.wav")), "earlier take");
  EXPECT_TRUE(FileExists(at("rec_chan_1_354181861.wav")));
  EXPECT_TRUE(FileExists(at("rec_chan_2_354181861.wav")));
  ExpectReadersAgree(at("rec_chan_1_354181861.wav"), 1, 44100, 16, 4096);
  ExpectReadersAgree(at("rec_chan_2_354181861.wav"), 1, 44100, 16, 4096);

  // Interleaved stereo makes one name, channel 1's, with a two-channel header.
  r = Run({"1644", "0.05", "src", "s"}, "", kClockAt2024);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(at("rec_chan_1_354181862.wav")).substr(0, 44), Header(44100, 4096, 2, 2));
  EXPECT_FALSE(FileExists(at("rec_chan_2_354181862.wav")));
  ExpectReadersAgree(at("rec_chan_1_354181862.wav"), 2, 44100, 16, 4096);
}

TEST_F(Record, AnOutputThatCannotBeWrittenStopsTheRunBeforeAnyFileChanges) {
  Channel c(8192, 0);
  Feed(c, c, 2);
  WriteFile(at("keep.wav"), "old take");
  // The second name's folder is missing: the first file is not created.
  RunResult r = Run({"1644", "0.05", "src", "2", "new.wav", "nodir/b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Can't open nodir/b.wav for recording\nNo such file or directory\n");
  EXPECT_FALSE(FileExists(at("new.wav")));
  // Nor is an existing first file truncated.
  r = Run({"1644", "0.05", "src", "2", "keep.wav", "nodir/b.wav"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(at("keep.wav")), "old take");
  // A folder's name cannot take a recording either: refused before the prompt.
  mkdir(at("folder").c_str(), 0700);
  r = Run({"1644", "0.05", "src", "1", "folder"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Can't record into folder: it is a directory\n");
}

TEST_F(Record, AnExistingFileIsReplacedWhole) {
  const size_t frames = 4096;
  const Channel c = Noise(frames * 2, 2, 7);
  Feed(c, c, 2);
  WriteFile(at("old.wav"), std::string(500000, 'z'));
  const RunResult r = Run({"1644", "0.05", "src", "1", "old.wav"}, "o\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(at("old.wav")), Header(44100, frames, 2, 1) + Samples(Take(c, frames), 2));
  ExpectReadersAgree(at("old.wav"), 1, 44100, 16, frames);
}

}  // namespace
