#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "cli/cli.h"
#include "record/record.h"

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
  for (float s : {std::numeric_limits<float>::infinity(), FLT_MAX, 1e20f, 3e6f, 22370.0f}) {
    EXPECT_EQ(Quantize(s, 96000), -1) << s;
  }
  // A product that overflows single precision to +inf.
  EXPECT_EQ(Quantize(1e35f, 96000), -1);
}

TEST(Quantize, BoundaryAtLargestPlannableCount) {
  // With a rate of 1, P is the duration itself, so the boundary can be hit
  // exactly. 2147479552 = 2^31 - 4096 is a float; the next float is 128
  // above it and would need one more period.
  const float limit = static_cast<float>(kMaxTotalFrames);
  ASSERT_EQ(static_cast<int64_t>(limit), kMaxTotalFrames);
  EXPECT_EQ(Quantize(limit, 1), kMaxTotalFrames);
  EXPECT_EQ(Quantize(std::nextafter(limit, 0.0f), 1), kMaxTotalFrames);
  EXPECT_EQ(Quantize(std::nextafter(limit, FLT_MAX), 1), -1);
  // The same limit in seconds: 22369 s at 96000 fits, 22370 s does not.
  EXPECT_EQ(Quantize(22369.0f, 96000), 524274LL * 4096);
  EXPECT_EQ(Quantize(22369.57f, 96000), kMaxTotalFrames);
  // The limit holds for other periods too, even where the largest multiple
  // below 2^31 (486957 x 4410 = 2147480370) would still be a valid count.
  EXPECT_EQ(Quantize(2147475968.0f, 1, 4410), 486956LL * 4410);
  EXPECT_EQ(Quantize(limit, 1, 4410), -1);
  // A period longer than the limit cannot be planned at all.
  EXPECT_EQ(Quantize(1.0f, 1, std::numeric_limits<int32_t>::max()), -1);
}

TEST(Quantize, FloatRoundingOfTheCountDecides) {
  // With period 1 every count is a candidate, but float(c) rounds to
  // multiples of 128 near 2^31: the smallest c whose float is not below P
  // lies 64 under P (the tie rounds to P's even mantissa).
  const float limit = static_cast<float>(kMaxTotalFrames);
  EXPECT_EQ(Quantize(limit, 1, 1), kMaxTotalFrames - 64);
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

TEST(UpdateClock, PrintsRemainingSeconds) {
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
      {kMaxTotalFrames, 0, 96000, "\rrem = 22369.58 sec"},
      // The quotient is single precision: 11485184 / 44100 is 260.435011 in
      // double but 260.434998 as a float, so the text shows .43, not .44.
      {11485184, 0, 44100, "\rrem = 260.43 sec"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    UpdateClock(c.total, c.negDone, c.rate);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text);
  }
}

// What the front end tells the user, and which limit decides it.
TEST(DurationLimits, LongestDurationFitsAndOneMoreSecondDoesNot) {
  struct Case {
    uint32_t sampleBytes, rate, channels, longest;
  };
  const Case cases[] = {
      // 16-bit mono runs into the 32-bit frame counter ...
      {2, 44100, 1, 48695},
      {2, 48000, 1, 44739},
      {2, 88200, 1, 24347},
      {2, 96000, 1, 22369},
      // ... everything else into the 4 GiB size fields first.
      {2, 44100, 2, 24347},
      {2, 48000, 2, 22369},
      {2, 88200, 2, 12173},
      {2, 96000, 2, 11184},
      {3, 44100, 1, 32463},
      {3, 48000, 1, 29826},
      {3, 88200, 1, 16231},
      {3, 96000, 1, 14913},
      {3, 44100, 2, 16231},
      {3, 48000, 2, 14913},
      {3, 88200, 2, 8115},
      {3, 96000, 2, 7456},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << 8 * c.sampleBytes << " bit, " << c.rate << " Hz, "
                                    << c.channels << " channel(s)");
    const uint32_t n = LongestDurationSeconds(c.rate, c.sampleBytes, c.channels);
    EXPECT_EQ(n, c.longest);
    EXPECT_TRUE(DurationFits(static_cast<float>(n), c.rate, c.sampleBytes, c.channels));
    EXPECT_FALSE(DurationFits(static_cast<float>(n + 1), c.rate, c.sampleBytes, c.channels));
  }
}

TEST(DurationLimits, SizeFieldsAndCounterDecideSeparately) {
  // 24-bit stereo at 96000: 7456.6 s is well within the frame counter but
  // its 715837440 frames x 6 bytes + 36 pass 2^32.
  EXPECT_EQ(Quantize(7456.6f, 96000), 715837440);
  EXPECT_FALSE(DurationFits(7456.6f, 96000, 3, 2));
  EXPECT_TRUE(DurationFits(7456.6f, 96000, 3, 1));
  // 16-bit mono at 96000: 22369.6 s needs more than 2147479552 frames,
  // though 2 bytes a frame would still fit the size fields.
  EXPECT_EQ(Quantize(22369.6f, 96000), -1);
  EXPECT_FALSE(DurationFits(22369.6f, 96000, 2, 1));
}

TEST(DurationLimits, NonFiniteDurationsNeverFit) {
  for (float s : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_FALSE(DurationFits(s, 44100, 2, 1)) << s;
  }
  EXPECT_TRUE(DurationFits(0.0f, 44100, 2, 1)) << "nothing to plan is not too long";
  EXPECT_TRUE(DurationFits(60.0f, 96000, 3, 2));
}

}  // namespace
