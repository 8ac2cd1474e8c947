#include "meter/meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Warning(int channelNumber) {
  return "\nInput Channel " + std::to_string(channelNumber) + " is Peaking!\n";
}

// Runs CheckPeak with stdout captured; returns what it printed.
std::string Scan(int32_t channel, int32_t count, uint32_t sampleBytes, int64_t* runPeak,
                 const Bytes& area, int64_t* periodPeak) {
  testing::internal::CaptureStdout();
  CheckPeak(channel, count, sampleBytes, runPeak, area.data(), periodPeak);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Little-endian bytes of signed values, 2 or 3 bytes each.
Bytes Pack(const std::vector<int32_t>& values, uint32_t sampleBytes) {
  Bytes out;
  for (int32_t v : values) {
    const auto u = static_cast<uint32_t>(v);
    for (uint32_t b = 0; b < sampleBytes; ++b) {
      out.push_back(static_cast<uint8_t>(u >> (8 * b)));
    }
  }
  return out;
}

TEST(LevelDb, FullScaleSilenceAndOneBit) {
  EXPECT_EQ(FullScale(2), 32768.0);
  EXPECT_EQ(FullScale(3), 8388608.0);
  const double fs = LevelDb(32768, 2);
  EXPECT_EQ(fs, 0.0);
  EXPECT_TRUE(std::signbit(fs)) << "full scale must be -0.0";
  EXPECT_TRUE(std::isinf(LevelDb(0, 3)) && LevelDb(0, 3) < 0);
  EXPECT_NEAR(LevelDb(1, 2), -90.309, 1e-3);
  EXPECT_NEAR(LevelDb(1, 3), -138.474, 1e-3);
  EXPECT_NEAR(LevelDb(16384, 2), -6.0206, 1e-4);
}

struct PeakRow {
  Bytes bytes;
  int64_t sample;
  bool warns;
};

TEST(CheckPeak, EachTellingSampleAloneGivesItsMagnitudeAndWarning) {
  const std::vector<PeakRow> rows = {
      {{0x00, 0x80}, 32768, true},
      {{0x01, 0x80}, 32767, true},
      {{0x02, 0x80}, 32766, false},
      {{0xFF, 0x7F}, 32767, true},
      {{0xFE, 0x7F}, 32766, false},
      {{0xFF, 0xFF}, 1, false},
      {{0x01, 0x00}, 1, false},
      {{0x00, 0xFF}, 256, false},
      {{0xFF, 0x00}, 255, false},
      {{0x00, 0x00, 0x80}, 8388608, true},
      {{0x01, 0x00, 0x80}, 8388607, true},
      {{0x02, 0x00, 0x80}, 8388606, false},
      {{0xFF, 0xFF, 0x7F}, 8388607, true},
      {{0xFE, 0xFF, 0x7F}, 8388606, false},
      {{0xFF, 0xFF, 0xFF}, 1, false},
      {{0x01, 0x00, 0x00}, 1, false},
      {{0x00, 0x80, 0xFF}, 32768, false},
      {{0xFF, 0x7F, 0x00}, 32767, false},
  };
  for (const PeakRow& row : rows) {
    const auto sampleBytes = static_cast<uint32_t>(row.bytes.size());
    for (int32_t channel : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "bytes " << sampleBytes << " sample " << row.sample
                                      << " channel " << channel);
      const int32_t other = 1 - channel;
      int64_t run[2], period[2];
      run[channel] = period[channel] = 0;
      run[other] = 111;
      period[other] = 222;
      const std::string out = Scan(channel, 1, sampleBytes, run, row.bytes, period);
      EXPECT_EQ(run[channel], row.sample);
      EXPECT_EQ(period[channel], row.sample);
      EXPECT_EQ(run[other], 111);
      EXPECT_EQ(period[other], 222);
      EXPECT_EQ(out, row.warns ? Warning(channel + 1) : "");
    }
  }
}

TEST(CheckPeak, WarnsOncePerCallHoweverManySamplesClip) {
  for (uint32_t sampleBytes : {2u, 3u}) {
    const int32_t top = sampleBytes == 2 ? 32767 : 8388607;
    const Bytes area = Pack({-top - 1, top, 5, -top - 1, top, -top, 0}, sampleBytes);
    int64_t run[2] = {0, 0}, period[2] = {0, 0};
    EXPECT_EQ(Scan(1, 7, sampleBytes, run, area, period), Warning(2));
    period[1] = 0;
    EXPECT_EQ(Scan(1, 7, sampleBytes, run, area, period), Warning(2));
    EXPECT_EQ(period[1], top + 1);
    EXPECT_EQ(run[1], top + 1);
  }
}

TEST(CheckPeak, EntriesOnlyRiseAndEachArrayOnItsOwn) {
  const Bytes area = Pack({100, -300, 200}, 2);  // largest magnitude 300
  struct Row {
    int64_t run, period, wantRun, wantPeriod;
  };
  const std::vector<Row> rows = {
      {0, 0, 300, 300},       {299, 301, 300, 301},   {300, 300, 300, 300},
      {40000, 0, 40000, 300}, {0, 40000, 300, 40000},
  };
  for (const Row& r : rows) {
    int64_t run[2] = {r.run, -1}, period[2] = {r.period, -1};
    EXPECT_EQ(Scan(0, 3, 2, run, area, period), "");
    EXPECT_EQ(run[0], r.wantRun) << "run from " << r.run;
    EXPECT_EQ(period[0], r.wantPeriod) << "period from " << r.period;
    EXPECT_EQ(run[1], -1);
    EXPECT_EQ(period[1], -1);
  }
}

TEST(CheckPeak, CountZeroOrNegativeDoesNothing) {
  const Bytes area = Pack({-32768, -32768}, 2);
  for (int32_t count : {0, -1, -4096}) {
    int64_t run[2] = {7, 8}, period[2] = {9, 10};
    EXPECT_EQ(Scan(0, count, 2, run, area, period), "");
    EXPECT_EQ(run[0], 7);
    EXPECT_EQ(run[1], 8);
    EXPECT_EQ(period[0], 9);
    EXPECT_EQ(period[1], 10);
  }
}

// The rule exactly as stated, sample by sample: signed bytes, the low ones made
// unsigned, strictly-less updates, one warning per call.
void ReferenceCheckPeak(int32_t channel, int32_t count, uint32_t sampleBytes, int64_t* runPeak,
                        const uint8_t* area, int64_t* periodPeak, std::string& printed) {
  bool warned = false;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* s = area + static_cast<size_t>(i) * sampleBytes;
    int32_t b0 = static_cast<int8_t>(s[0]), b1 = static_cast<int8_t>(s[1]);
    if (b0 < 0) b0 += 256;
    int64_t value;
    if (sampleBytes == 3) {
      const int32_t b2 = static_cast<int8_t>(s[2]);
      if (b1 < 0) b1 += 256;
      value = b2 * 65536 + b1 * 256 + b0;
    } else {
      value = b1 * 256 + b0;
    }
    const int64_t sample = value < 0 ? -value : value;
    if (runPeak[channel] < sample) runPeak[channel] = sample;
    if (periodPeak[channel] < sample) periodPeak[channel] = sample;
    const bool full = sampleBytes == 3 ? sample > 8388606 : sample > 32766;
    if (full && !warned) {
      printed += Warning(channel + 1);
      warned = true;
    }
  }
}

// The area as one channel of interleaved frames, the same samples backwards
// as the other, scanned as frames against the plain rule on each channel in
// turn.
void ExpectFramesSameAsReference(const Bytes& area, int32_t count, uint32_t sampleBytes,
                                 int32_t channel, int64_t start) {
  const size_t n = static_cast<size_t>(count);
  Bytes backwards(area.size()), frames(2 * area.size());
  for (size_t k = 0; k < n; ++k)
    std::copy_n(area.begin() + static_cast<std::ptrdiff_t>((n - 1 - k) * sampleBytes), sampleBytes,
                backwards.begin() + static_cast<std::ptrdiff_t>(k * sampleBytes));
  const Bytes& first = channel == 0 ? area : backwards;
  const Bytes& second = channel == 0 ? backwards : area;
  for (size_t k = 0; k < n; ++k)
    for (uint32_t b = 0; b < sampleBytes; ++b) {
      frames[2 * k * sampleBytes + b] = first[k * sampleBytes + b];
      frames[(2 * k + 1) * sampleBytes + b] = second[k * sampleBytes + b];
    }
  int64_t run[2] = {start, start / 3}, period[2] = {start / 2, 6};
  int64_t refRun[2] = {start, start / 3}, refPeriod[2] = {start / 2, 6};
  std::string want;
  ReferenceCheckPeak(0, count, sampleBytes, refRun, first.data(), refPeriod, want);
  ReferenceCheckPeak(1, count, sampleBytes, refRun, second.data(), refPeriod, want);
  testing::internal::CaptureStdout();
  CheckPeakFrames(count, sampleBytes, run, frames.data(), period);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), want) << "frames";
  EXPECT_EQ(run[0], refRun[0]) << "frames";
  EXPECT_EQ(run[1], refRun[1]) << "frames";
  EXPECT_EQ(period[0], refPeriod[0]) << "frames";
  EXPECT_EQ(period[1], refPeriod[1]) << "frames";
}

// One channel's area, and the same samples in interleaved frames.
void ExpectSameAsReference(const Bytes& area, int32_t count, uint32_t sampleBytes, int32_t channel,
                           int64_t start) {
  int64_t run[2] = {start, 5}, period[2] = {start / 2, 6};
  int64_t refRun[2] = {start, 5}, refPeriod[2] = {start / 2, 6};
  std::string want;
  ReferenceCheckPeak(channel, count, sampleBytes, refRun, area.data(), refPeriod, want);
  EXPECT_EQ(Scan(channel, count, sampleBytes, run, area, period), want);
  EXPECT_EQ(run[0], refRun[0]);
  EXPECT_EQ(run[1], refRun[1]);
  EXPECT_EQ(period[0], refPeriod[0]);
  EXPECT_EQ(period[1], refPeriod[1]);
  ExpectFramesSameAsReference(area, count, sampleBytes, channel, start);
}

// Guards any faster scan against the plain rule, of one channel's area and of
// interleaved frames: lengths around the blocking of the fast loops, the
// telling values alone at the start, middle and end of otherwise quiet data,
// and noisy data salted with them.
TEST(CheckPeak, MatchesThePlainRuleOnAnyData) {
  const std::vector<int32_t> lengths = {1, 2, 3, 31, 63, 64, 65, 127, 129, 1001, 4095, 4096, 4097};
  std::mt19937 rng(20240601);
  for (uint32_t sampleBytes : {2u, 3u}) {
    const std::vector<int32_t> telling =
        sampleBytes == 2
            ? std::vector<int32_t>{-32768, -32767, 32767, 32766, -1, 0, 1, -256, 255, -32766}
            : std::vector<int32_t>{-8388608, -8388607, 8388607, 8388606,  -1,     0,
                                   1,        -32768,   32767,   -8388606, -65536, 65535};
    const int32_t quiet = 100;
    for (int32_t n : lengths) {
      for (int32_t value : telling) {
        for (int32_t at : {0, n / 2, n - 1}) {
          SCOPED_TRACE(testing::Message() << "bytes " << sampleBytes << " n " << n << " value "
                                          << value << " at " << at);
          std::vector<int32_t> samples(n);
          for (int32_t& s : samples) {
            s = static_cast<int32_t>(rng() % (2 * quiet + 1)) - quiet;
          }
          samples[at] = value;
          ExpectSameAsReference(Pack(samples, sampleBytes), n, sampleBytes, at % 2, 0);
        }
      }
      SCOPED_TRACE(testing::Message() << "noise, bytes " << sampleBytes << " n " << n);
      Bytes area(static_cast<size_t>(n) * sampleBytes);
      for (uint8_t& b : area) {
        b = static_cast<uint8_t>(rng());
      }
      for (int k = 0; k < 3; ++k) {
        const auto at = static_cast<size_t>(rng() % n) * sampleBytes;
        const Bytes v = Pack({telling[rng() % telling.size()]}, sampleBytes);
        std::copy(v.begin(), v.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
      }
      ExpectSameAsReference(area, n, sampleBytes, 0, 0);
      ExpectSameAsReference(area, n, sampleBytes, 1, sampleBytes == 2 ? 30000 : 8000000);
    }
  }
}

// ---- bar meter ------------------------------------------------------------

struct Inputs {
  int64_t period[2];
  int64_t held[2];
};

std::string Meter(const Inputs& in, int32_t sampleBytes, int32_t channels, int32_t* firstCall,
                  float span = 45.0f, float decay = 11.25f) {
  testing::internal::CaptureStdout();
  StereoMeter(in.period, span, firstCall, decay, sampleBytes, channels, in.held);
  return testing::internal::GetCapturedStdout();
}

std::string Line(int bars, const std::string& readouts, const std::string& label = "-45") {
  return "\t " + label + " dB [" + std::string(bars, '|') + std::string(24 - bars, ' ') + "] " +
         readouts + " dB   ";
}

TEST(StereoMeter, MonoSixteenBitSequence) {
  const std::vector<std::pair<Inputs, std::string>> steps = {
      {{{16384, 0}, {0, 0}}, Line(21, "-144.0")},  {{{16384, 0}, {16384, 0}}, Line(15, "-6.0")},
      {{{16384, 0}, {16384, 0}}, Line(9, "-6.0")}, {{{16384, 0}, {16384, 0}}, Line(3, "-6.0")},
      {{{16384, 0}, {16384, 0}}, Line(0, "-6.0")}, {{{32767, 0}, {16384, 0}}, Line(24, "-6.0")},
      {{{0, 0}, {32767, 0}}, Line(18, "-0.0")},
  };
  int32_t first = 1;
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Meter(steps[i].first, 2, 1, &first), steps[i].second) << "call " << i + 1;
    EXPECT_EQ(first, 0);
  }
  EXPECT_EQ(steps[0].second, "\t -45 dB [|||||||||||||||||||||   ] -144.0 dB   ");
}

TEST(StereoMeter, StereoTwentyFourBitSequence) {
  const std::vector<std::pair<Inputs, std::string>> steps = {
      {{{8388608, 4194304}, {0, 0}}, Line(23, "-144.0 / -144.0")},
      {{{8388608, 4194304}, {8388608, 4194304}}, Line(23, "-0.0 / -6.0")},
      {{{838861, 0}, {8388608, 4194304}}, Line(17, "-0.0 / -6.0")},
      {{{0, 0}, {838861, 0}}, Line(11, "-20.0 / -6.0")},
  };
  int32_t first = 1;
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Meter(steps[i].first, 3, 2, &first), steps[i].second) << "call " << i + 1;
  }
}

TEST(StereoMeter, ResetOnlyOnExactlyOne) {
  int32_t first = 1;
  Meter({{16384, 0}, {16384, 0}}, 2, 1, &first);
  // Not 1: no reset, so the steady level decays and the readout is kept.
  first = 2;
  EXPECT_EQ(Meter({{16384, 0}, {0, 0}}, 2, 1, &first), Line(15, "-6.0"));
  EXPECT_EQ(first, 2);
  first = 1;
  EXPECT_EQ(Meter({{16384, 0}, {0, 0}}, 2, 1, &first), Line(21, "-144.0"));
  EXPECT_EQ(first, 0);
}

TEST(StereoMeter, OneBarThresholdsAndFullScale) {
  struct Row {
    int32_t sampleBytes;
    int64_t level;
    int bars;
  };
  const std::vector<Row> rows = {
      {2, 185, 1}, {2, 184, 0}, {3, 47173, 1}, {3, 47172, 0}, {2, 32768, 24}, {3, 8388608, 24},
  };
  for (const Row& r : rows) {
    int32_t first = 1;
    EXPECT_EQ(Meter({{r.level, 0}, {0, 0}}, r.sampleBytes, 1, &first), Line(r.bars, "-144.0"))
        << r.sampleBytes << "-byte level " << r.level;
  }
}

TEST(StereoMeter, HeldPeakReadouts) {
  struct Row {
    int32_t sampleBytes;
    int64_t held;
    std::string text;
  };
  const std::vector<Row> rows = {
      {2, 32768, "-0.0"}, {2, 32767, "-0.0"}, {3, 8388608, "-0.0"},
      {2, 1, "-90.3"},    {3, 1, "-138.5"},   {3, 838861, "-20.0"},
  };
  for (const Row& r : rows) {
    int32_t first = 1;
    EXPECT_EQ(Meter({{0, 0}, {r.held, 0}}, r.sampleBytes, 1, &first), Line(0, r.text))
        << r.sampleBytes << "-byte held " << r.held;
  }
}

TEST(StereoMeter, ZeroHeldPeakKeepsEachReadout) {
  int32_t first = 1;
  EXPECT_EQ(Meter({{0, 0}, {16384, 0}}, 2, 2, &first), Line(0, "-6.0 / -144.0"));
  EXPECT_EQ(Meter({{0, 0}, {0, 1}}, 2, 2, &first), Line(0, "-6.0 / -90.3"));
  EXPECT_EQ(Meter({{0, 0}, {0, 0}}, 2, 2, &first), Line(0, "-6.0 / -90.3"));
}

TEST(StereoMeter, SilenceAfterResetShowsNoBarThenSoundJumps) {
  int32_t first = 1;
  EXPECT_EQ(Meter({{0, 0}, {0, 0}}, 2, 1, &first), Line(0, "-144.0"));
  EXPECT_EQ(Meter({{0, 0}, {0, 0}}, 2, 1, &first), Line(0, "-144.0"));
  EXPECT_EQ(Meter({{16384, 0}, {0, 0}}, 2, 1, &first), Line(21, "-144.0"));
}

// Span and decay are taken from the arguments, label included; the two-channel
// level is the truncated mean (1 and 2 give 1, not 2).
TEST(StereoMeter, OtherSpanDecayAndTruncatedMean) {
  int32_t first = 1;
  EXPECT_EQ(Meter({{16384, 0}, {0, 0}}, 2, 1, &first, 60.0f, 5.0f), Line(22, "-144.0", "-60"));
  EXPECT_EQ(Meter({{16384, 0}, {0, 0}}, 2, 1, &first, 60.0f, 5.0f), Line(20, "-144.0", "-60"));
  first = 1;
  EXPECT_EQ(Meter({{1, 2}, {0, 0}}, 2, 2, &first, 120.0f, 11.25f),
            Line(6, "-144.0 / -144.0", "-120"));
}

}  // namespace
