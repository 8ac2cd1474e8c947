#include "support/tone_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "support/run_zelm.h"
#include "support/wav_readers.h"

namespace {
constexpr double kLevelToleranceDb = 0.5;
}

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

// A lost, repeated or zeroed stretch would leave a jump, a flat run or a
// crossing out of step.
void ExpectCleanTone(const Signal& x, int bytes, double amplitude, double rate, double toneHz) {
  ASSERT_GT(x.size(), rate / 2);
  const double lsb = bytes == 2 ? 1.0 / 32768 : 1.0 / 8388608;

  double peak = 0;
  for (double v : x) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(20 * std::log10(peak / amplitude), 0.0, kLevelToleranceDb)
      << "peak " << peak << " of full scale";

  // A sine of amplitude A moves at most 2 A sin(pi f / fs) from one sample
  // to the next.
  const double highestAmplitude = amplitude * std::pow(10.0, kLevelToleranceDb / 20);
  const double stepLimit =
      2 * highestAmplitude * std::sin(std::numbers::pi * toneHz / rate) + 4 * lsb;
  size_t zeros = 0, longestZeros = 0;
  for (size_t i = 1; i < x.size(); ++i) {
    ASSERT_LE(std::fabs(x[i] - x[i - 1]), stepLimit)
        << "a jump between samples " << i - 1 << " and " << i << " of " << x.size();
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
  const double cycle = rate / toneHz;
  ASSERT_GE(crossings.size(), 2u);
  EXPECT_NEAR(static_cast<double>(crossings.size()), x.size() / cycle, 1.5);
  for (size_t i = 1; i < crossings.size(); ++i)
    ASSERT_NEAR(crossings[i] - crossings[i - 1], cycle, 0.25)
        << "crossings " << i - 1 << " and " << i << " at sample " << crossings[i - 1];
}

void ExpectWholeTone(const std::string& path, double amplitude) {
  SCOPED_TRACE(path);
  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 44u);
  ExpectWholeWav(file, 2);
  ExpectCleanTone(Channels(file, 1, 2)[0], 2, amplitude);
}
