#include <cmath>
#include <cstdint>

#include "cli/cli.h"
#include "record/record.h"

namespace {

// The front end plans with the period it asks the device for; a device that
// grants another size changes the rounding by less than one period.
constexpr int32_t kRequestedPeriodFrames = 4096;

// RIFF size = data size + 36 must stay below 2^32.
constexpr uint64_t kRiffOverhead = 36;
constexpr uint64_t kSizeFieldLimit = uint64_t{1} << 32;

}  // namespace

bool DurationFits(float DurationSeconds, uint32_t SampleRate, uint32_t SampleBytes,
                  uint32_t channelsPerFile) {
  if (!std::isfinite(DurationSeconds)) return false;
  int64_t totalFrames = 0;
  QUANTIZE(kRequestedPeriodFrames, SampleRate, &DurationSeconds, &totalFrames);
  if (totalFrames < 0) return false;
  const uint64_t dataBytes =
      static_cast<uint64_t>(totalFrames) * uint64_t{SampleBytes} * uint64_t{channelsPerFile};
  return dataBytes + kRiffOverhead < kSizeFieldLimit;
}

uint32_t LongestDurationSeconds(uint32_t SampleRate, uint32_t SampleBytes,
                                uint32_t channelsPerFile) {
  const auto fits = [&](uint64_t seconds) {
    return DurationFits(static_cast<float>(seconds), SampleRate, SampleBytes, channelsPerFile);
  };
  uint64_t lo = 0;           // fits: a zero-length take plans no frames
  uint64_t hi = UINT32_MAX;  // fits only for a degenerate rate of 0
  if (fits(hi)) return UINT32_MAX;
  // fits(lo) && !fits(hi) holds throughout; fits is monotonic in seconds.
  while (hi - lo > 1) {
    const uint64_t mid = lo + (hi - lo) / 2;
    (fits(mid) ? lo : hi) = mid;
  }
  return static_cast<uint32_t>(lo);
}
