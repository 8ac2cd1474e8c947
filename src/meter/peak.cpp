#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "meter/meter.h"

namespace {

// Samples are little-endian as captured, whatever the host's byte order.
int16_t LoadLe16(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    int16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
  }
}

int32_t LoadLe32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
  }
}

// Largest magnitude among `count` 16-bit samples. Tracking the signed extremes
// instead of magnitudes keeps the work in 16-bit lanes (32768, the magnitude of
// -32768, does not fit one). The main loop walks two halves side by side so the
// two pairs of extremes form independent chains, and its length is a multiple
// of 32 so the vectoriser takes it whole, without a scalar epilogue, even under
// GCC's cheap -O2 cost model. Starting the extremes at 0 is harmless: the
// result is a magnitude, never below 0.
int64_t MaxMagnitude16(const uint8_t* p, size_t count) {
  const size_t half = (count / 2) & ~static_cast<size_t>(31);
  const uint8_t* upper = p + 2 * half;
  int16_t lo0 = 0, hi0 = 0, lo1 = 0, hi1 = 0;
  for (size_t i = 0; i < half; ++i) {
    const int16_t a = LoadLe16(p + 2 * i);
    const int16_t b = LoadLe16(upper + 2 * i);
    lo0 = std::min(lo0, a);
    hi0 = std::max(hi0, a);
    lo1 = std::min(lo1, b);
    hi1 = std::max(hi1, b);
  }
  int16_t lo = std::min(lo0, lo1), hi = std::max(hi0, hi1);
  for (size_t i = 2 * half; i < count; ++i) {
    const int16_t v = LoadLe16(p + 2 * i);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  return std::max<int64_t>(hi, -static_cast<int64_t>(lo));
}

// Largest magnitude among `count` (> 0) packed 24-bit samples.
//
// Sample k (k >= 1) is read as the 32-bit word starting one byte early, at
// 3k - 1: its top three bytes are the sample and its low byte belongs to the
// previous sample. As a signed value that word is sample * 256 + (0..255), so
// an arithmetic shift by 8 recovers the sample exactly and the extremes of the
// words give the extremes of the samples. Sample 0 has no byte before it and
// is assembled with a zero low byte.
//
// Three-byte samples defeat the vectoriser on baseline x86-64 (no byte
// shuffles), so the scan stays scalar and does the least per sample: one load
// and one unsigned range test, which fails only when a sample lies outside the
// extremes seen so far.
int64_t MaxMagnitude24(const uint8_t* p, size_t count) {
  const int32_t first =
      static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                           static_cast<uint32_t>(p[2]) << 24);
  int32_t lo = std::min(0, first), hi = std::max(0, first);
  for (size_t k = 1; k < count; ++k) {
    const int32_t w = LoadLe32(p + 3 * k - 1);
    if (static_cast<uint32_t>(w) - static_cast<uint32_t>(lo) >
        static_cast<uint32_t>(hi) - static_cast<uint32_t>(lo)) [[unlikely]] {
      lo = std::min(lo, w);
      hi = std::max(hi, w);
    }
  }
  return std::max<int64_t>(hi >> 8, -static_cast<int64_t>(lo >> 8));
}

}  // namespace

// Equivalent to raising both entries sample by sample and warning at the first
// full-scale sample: the entries end at max(entry, largest magnitude), and a
// full-scale sample exists exactly when the largest magnitude is full scale.
void CheckPeak(int32_t channel, int32_t count, uint32_t SampleBytes, int64_t* RunPeak,
               const void* area, int64_t* PeriodPeak) {
  if (count <= 0) {
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(area);
  const size_t n = static_cast<size_t>(count);
  const int64_t sample = SampleBytes == 3 ? MaxMagnitude24(bytes, n) : MaxMagnitude16(bytes, n);

  if (RunPeak[channel] < sample) {
    RunPeak[channel] = sample;
  }
  if (PeriodPeak[channel] < sample) {
    PeriodPeak[channel] = sample;
  }
  // Full scale: either of the two largest magnitudes, so +max counts as well as -max.
  const int64_t belowFullScale = SampleBytes == 3 ? 8388606 : 32766;
  if (sample > belowFullScale) {
    std::printf("\nInput Channel %i is Peaking!\n", channel + 1);
  }
}
