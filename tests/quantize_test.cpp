#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "record/record.h"
#include "wav/wav.h"

namespace {

int64_t Quantize(float seconds, uint32_t rate, int32_t period = 4096) {
  int64_t total = 12345;  // must be overwritten on every path
  QUANTIZE(period, rate, &seconds, &total);
  return total;
}

// The rounding as a plain period-by-period count, -1 once past the limit.
// Only for cases small enough to count through.
int64_t CountPeriods(float seconds, uint32_t rate, int32_t period) {
  const float P = seconds * static_cast<float>(rate);
  if (!(P > 0)) return 0;
  int64_t c = period;
  while (P > static_cast<float>(c)) {
    c += period;
    if (c > kMaxTotalFrames) return -1;
  }
  return c;
}

TEST(Quantize, RoundsUpToWholePeriods) {
  struct Case {
    float seconds;
    uint32_t rate;
    int64_t frames;
  };
  const Case cases[] = {
      {1.0f, 44100, 45056},      {60.0f, 44100, 2646016},
      {0.5f, 44100, 24576},      {32.0f, 48000, 1536000},     // exact multiple: not extended
      {32.001f, 48000, 1540096}, {1024.0f, 44100, 45158400},  // exact
      {0.001f, 96000, 4096},                                  // P = 96.00001: at least one period
      {1e-30f, 44100, 4096},                                  // tiny but positive
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Quantize(c.seconds, c.rate), c.frames) << c.seconds << " s at " << c.rate;
  }
}

TEST(Quantize, NonPositiveProductPlansNothing) {
  for (float s : {0.0f, -0.0f, -1.0f, -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_EQ(Quantize(s, 48000), 0) << s;
  }
  EXPECT_EQ(Quantize(10.0f, 0), 0) << "a rate of 0 makes P = 0";
}

TEST(Quantize, BeyondTheFrameCounterIsRefused) {
  for (float s : {std::numeric_limits<float>::infinity(), FLT_MAX, 1e20f, 3e7f, 715828.0f}) {
    EXPECT_EQ(Quantize(s, 96000), -1) << s;
  }
  // A product that overflows single precision to +inf.
  EXPECT_EQ(Quantize(1e35f, 96000), -1);
}

TEST(Quantize, BoundaryAtLargestPlannableCount) {
  // With a rate of 1, P is the duration itself, so the boundary can be hit
  // exactly. 2^36 is a float; the float below it is a period less, the one
  // above it two periods more.
  const float limit = static_cast<float>(kMaxTotalFrames);
  ASSERT_EQ(static_cast<int64_t>(limit), kMaxTotalFrames);
  EXPECT_EQ(Quantize(limit, 1), kMaxTotalFrames);
  EXPECT_EQ(Quantize(std::nextafter(limit, 0.0f), 1), kMaxTotalFrames - 4096);
  EXPECT_EQ(Quantize(std::nextafter(limit, FLT_MAX), 1), -1);
  // The same limit in seconds: 715827 s at 96000 fits, 715828 s does not.
  // (The product rounds to a float that is a whole number of periods.)
  EXPECT_EQ(Quantize(715827.0f, 96000), 16777195LL * 4096);
  EXPECT_TRUE(DurationPlannable(715827.0f, 96000));
  EXPECT_FALSE(DurationPlannable(715828.0f, 96000));
  // The limit holds for other periods too.
  EXPECT_EQ(Quantize(limit, 1, 4410), -1);
}

TEST(Quantize, FloatRoundingOfTheCountDecides) {
  // With period 1 every count is a candidate, but float(c) rounds to
  // multiples of 4096 just below 2^36: the smallest c whose float is not
  // below P lies 2048 under P (the tie rounds to P's even mantissa).
  const float limit = static_cast<float>(kMaxTotalFrames);
  EXPECT_EQ(Quantize(limit, 1, 1), kMaxTotalFrames - 2048);
  // A period whose multiples are not all floats: P = float(k x 4410) is
  // above k x 4410, so the answer is k x 4410 although P / 4410 > k.
  int64_t c = 400000LL * 4410;
  while (static_cast<double>(static_cast<float>(c)) <= static_cast<double>(c)) c += 4410;
  EXPECT_EQ(Quantize(static_cast<float>(c), 1, 4410), c) << c;
}

TEST(Quantize, InvalidPeriodIsRefused) {
  EXPECT_EQ(Quantize(1.0f, 44100, 0), -1);
  EXPECT_EQ(Quantize(1.0f, 44100, -4096), -1);
}

TEST(Quantize, AgreesWithCountingPeriodByPeriod) {
  std::mt19937 rng(20240101);
  const uint32_t rates[] = {44100, 48000, 88200, 96000};
  struct Range {
    int32_t period;
    float maxSeconds;  // keeps the reference count short
  };
  const Range ranges[] = {{1, 2.0f},       {7, 10.0f},      {1024, 600.0f},
                          {4096, 3000.0f}, {4410, 3000.0f}, {1000000, 22000.0f}};
  for (const Range& r : ranges) {
    std::uniform_real_distribution<float> seconds(0.0f, r.maxSeconds);
    for (int i = 0; i < 200; ++i) {
      const float s = seconds(rng);
      const uint32_t rate = rates[i % 4];
      ASSERT_EQ(Quantize(s, rate, r.period), CountPeriods(s, rate, r.period))
          << s << " s at " << rate << ", period " << r.period;
    }
  }
}

TEST(NewTime, SecondsSinceNameEpoch) {
  const int64_t before = static_cast<int64_t>(std::time(nullptr)) - 1349885340;
  const int64_t now = NewTime();
  const int64_t after = static_cast<int64_t>(std::time(nullptr)) - 1349885340;
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

TEST(FormatRemaining, ShowsRemainingSeconds) {
  struct Case {
    int64_t total, negDone;
    uint32_t rate;
    const char* text;
  };
  const Case cases[] = {
      {45056, -4096, 44100, "\rrem = 0.93 sec"},
      {45056, -45056, 44100, "\rrem = 0.00 sec"},
      {2646016, 0, 44100, "\rrem = 60.00 sec"},
      {1536000, -4096, 48000, "\rrem = 31.91 sec"},
      {kMaxTotalFrames, 0, 96000, "\rrem = 715827.88 sec"},
      // The quotient is single precision: 11485184 / 44100 is 260.435011 in
      // double but 260.434998 as a float, so the text shows .43, not .44.
      {11485184, 0, 44100, "\rrem = 260.43 sec"},
  };
  for (const Case& c : cases) {
    std::string text;
    FormatRemaining(c.total, c.negDone, c.rate, &text);
    EXPECT_EQ(text, c.text);
  }
}

// A file whose sizes fit the 32-bit fields keeps the 44-byte header; one
// planned a period longer is RF64. 24-bit stereo at 96000 Hz: 7456 s fits.
TEST(HeaderKind, TheLongestWavTakeKeepsTheWavHeader) {
  struct Case {
    uint32_t rate, blockAlign;
    float longest;
  };
  const Case cases[] = {{96000, 6, 7456.0f}, {44100, 2, 48695.0f}, {48000, 3, 29826.0f}};
  for (const Case& c : cases) {
    EXPECT_EQ(HeaderBytesFor(Quantize(c.longest, c.rate), c.blockAlign), kWavHeaderBytes)
        << c.rate << " " << c.blockAlign;
    EXPECT_EQ(HeaderBytesFor(Quantize(c.longest + 1, c.rate), c.blockAlign), kRf64HeaderBytes)
        << c.rate << " " << c.blockAlign;
  }
  // Exactly at the 32-bit limit: RIFF size = data + 36 = 2^32 - 1 still fits.
  EXPECT_EQ(HeaderBytesFor(0xFFFFFFFFLL - 36, 1), kWavHeaderBytes);
  EXPECT_EQ(HeaderBytesFor(0xFFFFFFFFLL - 35, 1), kRf64HeaderBytes);
}

}  // namespace
