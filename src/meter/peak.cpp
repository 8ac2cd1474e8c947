#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "meter/meter.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZELM_X86_DISPATCH 1
#endif

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

// The largest magnitude of each channel: `Channels` (1 or 2) samples a frame,
// channel c's at the frame's c-th place.
template <size_t Channels>
using Peaks = std::array<int64_t, Channels>;

// Eight 16-bit lanes in one of GCC's generic vectors, which become the
// target's own (SSE2 on x86-64, NEON on arm64).
using Lanes16 = int16_t __attribute__((vector_size(16)));
using Lanes16u = uint16_t __attribute__((vector_size(16)));

Lanes16 LoadLanesLe16(const uint8_t* p) {
  Lanes16u v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != std::endian::little) v = v << 8 | v >> 8;
  return reinterpret_cast<Lanes16&>(v);
}

Lanes16 Min(Lanes16 a, Lanes16 b) { return a < b ? a : b; }
Lanes16 Max(Lanes16 a, Lanes16 b) { return a > b ? a : b; }

// Largest magnitudes among `count` 16-bit samples (whole frames). Tracking
// the signed extremes instead of magnitudes keeps the work in 16-bit lanes
// (32768, the magnitude of -32768, does not fit one). A step takes 32
// samples into two pairs of extremes, independent chains; each vector starts
// on a frame, so lane l holds channel l mod Channels throughout. Starting the
// extremes at 0 is harmless: the result is a magnitude, never below 0.
template <size_t Channels>
Peaks<Channels> MaxMagnitude16(const uint8_t* p, size_t count) {
  const size_t whole = count & ~static_cast<size_t>(31);
  Lanes16 lo0{}, hi0{}, lo1{}, hi1{};
  for (size_t i = 0; i < whole; i += 32) {
    const uint8_t* s = p + 2 * i;
    const Lanes16 a = LoadLanesLe16(s), b = LoadLanesLe16(s + 16);
    const Lanes16 c = LoadLanesLe16(s + 32), d = LoadLanesLe16(s + 48);
    lo0 = Min(lo0, Min(a, c));
    hi0 = Max(hi0, Max(a, c));
    lo1 = Min(lo1, Min(b, d));
    hi1 = Max(hi1, Max(b, d));
  }
  const Lanes16 lanesLo = Min(lo0, lo1), lanesHi = Max(hi0, hi1);
  Peaks<Channels> peaks;
  for (size_t c = 0; c < Channels; ++c) {
    int16_t lo = 0, hi = 0;
    for (size_t l = c; l < 8; l += Channels) {
      lo = std::min<int16_t>(lo, lanesLo[l]);
      hi = std::max<int16_t>(hi, lanesHi[l]);
    }
    for (size_t k = whole + c; k < count; k += Channels) {
      const int16_t v = LoadLe16(p + 2 * k);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    peaks[c] = std::max<int64_t>(hi, -static_cast<int64_t>(lo));
  }
  return peaks;
}

// Largest magnitudes among `count` (> 0) packed 24-bit samples (whole frames).
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
template <size_t Channels>
Peaks<Channels> MaxMagnitude24(const uint8_t* p, size_t count) {
  const int32_t first =
      static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                           static_cast<uint32_t>(p[2]) << 24);
  std::array<int32_t, Channels> lo{}, hi{};
  lo[0] = std::min(0, first);
  hi[0] = std::max(0, first);
  const auto take = [p, &lo, &hi](size_t k, size_t c) {
    const int32_t w = LoadLe32(p + 3 * k - 1);
    if (static_cast<uint32_t>(w) - static_cast<uint32_t>(lo[c]) >
        static_cast<uint32_t>(hi[c]) - static_cast<uint32_t>(lo[c])) [[unlikely]] {
      lo[c] = std::min(lo[c], w);
      hi[c] = std::max(hi[c], w);
    }
  };
  for (size_t c = 1; c < Channels; ++c) take(c, c);
  for (size_t frame = Channels; frame < count; frame += Channels)
    for (size_t c = 0; c < Channels; ++c) take(frame + c, c);
  Peaks<Channels> peaks;
  for (size_t c = 0; c < Channels; ++c)
    peaks[c] = std::max<int64_t>(hi[c] >> 8, -static_cast<int64_t>(lo[c] >> 8));
  return peaks;
}

#ifdef ZELM_X86_DISPATCH
// Wider 24-bit scans for CPUs with byte shuffles. Each is compiled for its
// own instruction set through a target attribute and only ever called after
// the CPU has said it runs it (ChooseMaxMagnitude24), so the program still
// runs on any x86-64. A shuffle spreads four packed samples into the top
// three bytes of four 32-bit lanes with a zero low byte: sample x 256, whose
// extremes are the samples' extremes, as in the scalar scan. Every vector
// starts on a frame and holds whole frames, so its lane l holds channel
// l mod Channels throughout.

// Byte shuffle for the four samples at bytes base .. base+11 of a 16-byte vector.
constexpr std::array<int8_t, 16> SpreadMask(int base) {
  std::array<int8_t, 16> m{};
  for (int lane = 0; lane < 4; ++lane) {
    m[4 * lane] = -128;  // shuffles a zero in
    for (int b = 0; b < 3; ++b) m[4 * lane + 1 + b] = static_cast<int8_t>(base + 3 * lane + b);
  }
  return m;
}
constexpr std::array<int8_t, 16> kSpreadAt0 = SpreadMask(0);
constexpr std::array<int8_t, 16> kSpreadAt4 = SpreadMask(4);

__m128i Load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

int32_t Word24(const uint8_t* s) {
  return static_cast<int32_t>(static_cast<uint32_t>(s[0]) << 8 | static_cast<uint32_t>(s[1]) << 16 |
                              static_cast<uint32_t>(s[2]) << 24);
}

// The vector lanes' extremes, and the samples from `from` (a frame) on.
template <size_t Channels>
Peaks<Channels> FinishScan(const int32_t* lanesLo, const int32_t* lanesHi, size_t lanes,
                           const uint8_t* p, size_t from, size_t count) {
  Peaks<Channels> peaks;
  for (size_t c = 0; c < Channels; ++c) {
    int32_t lo = 0, hi = 0;
    for (size_t l = c; l < lanes; l += Channels) {
      lo = std::min(lo, lanesLo[l]);
      hi = std::max(hi, lanesHi[l]);
    }
    for (size_t k = from + c; k < count; k += Channels) {
      lo = std::min(lo, Word24(p + 3 * k));
      hi = std::max(hi, Word24(p + 3 * k));
    }
    peaks[c] = std::max<int64_t>(hi >> 8, -static_cast<int64_t>(lo >> 8));
  }
  return peaks;
}

// 16 samples (48 bytes) a step, from four 16-byte loads inside the step's
// bytes (the last starts 4 bytes early and shuffles from byte 4).
template <size_t Channels>
__attribute__((target("ssse3,sse4.1"))) Peaks<Channels> MaxMagnitude24Sse41(const uint8_t* p,
                                                                            size_t count) {
  const __m128i m0 = Load128(kSpreadAt0.data()), m4 = Load128(kSpreadAt4.data());
  __m128i lo0 = _mm_setzero_si128(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
  __m128i hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
  const size_t whole = count & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* s = p + 3 * k;
    const __m128i a = _mm_shuffle_epi8(Load128(s), m0);
    const __m128i b = _mm_shuffle_epi8(Load128(s + 12), m0);
    const __m128i c = _mm_shuffle_epi8(Load128(s + 24), m0);
    const __m128i d = _mm_shuffle_epi8(Load128(s + 32), m4);
    lo0 = _mm_min_epi32(lo0, a);
    hi0 = _mm_max_epi32(hi0, a);
    lo1 = _mm_min_epi32(lo1, b);
    hi1 = _mm_max_epi32(hi1, b);
    lo2 = _mm_min_epi32(lo2, c);
    hi2 = _mm_max_epi32(hi2, c);
    lo3 = _mm_min_epi32(lo3, d);
    hi3 = _mm_max_epi32(hi3, d);
  }
  alignas(16) int32_t lo[4], hi[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lo),
                  _mm_min_epi32(_mm_min_epi32(lo0, lo1), _mm_min_epi32(lo2, lo3)));
  _mm_store_si128(reinterpret_cast<__m128i*>(hi),
                  _mm_max_epi32(_mm_max_epi32(hi0, hi1), _mm_max_epi32(hi2, hi3)));
  return FinishScan<Channels>(lo, hi, 4, p, whole, count);
}

__attribute__((target("avx2"))) __m256i Load2x128(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(low)), Load128(high), 1);
}

__attribute__((target("avx2"))) __m256i Load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Eight samples (24 bytes) per 256-bit vector. One 32-byte load starting 4
// bytes before the group puts samples 0-3 at bytes 4-15 of the low half and
// samples 4-7 at bytes 0-11 of the high half, so one in-lane shuffle spreads
// all eight. The first group has no 4 bytes before it and the last ones none
// after, so those take two 16-byte loads instead, inside the group.
template <size_t Channels>
__attribute__((target("avx2"))) Peaks<Channels> MaxMagnitude24Avx2(const uint8_t* p,
                                                                   size_t count) {
  const __m128i m0 = Load128(kSpreadAt0.data()), m4 = Load128(kSpreadAt4.data());
  const __m256i m40 = _mm256_inserti128_si256(_mm256_castsi128_si256(m4), m0, 1);
  const __m256i m04 = _mm256_inserti128_si256(_mm256_castsi128_si256(m0), m4, 1);
  __m256i lo0 = _mm256_setzero_si256(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
  __m256i hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
  size_t k = 0;
  if (count >= 8) {
    const __m256i a = _mm256_shuffle_epi8(Load2x128(p, p + 8), m04);
    lo0 = _mm256_min_epi32(lo0, a);
    hi0 = _mm256_max_epi32(hi0, a);
    k = 8;
  }
  // A step's last load ends 4 bytes past the step: needs 3k + 100 <= 3 count.
  for (; k + 34 <= count; k += 32) {
    const uint8_t* s = p + 3 * k - 4;
    const __m256i a = _mm256_shuffle_epi8(Load256(s), m40);
    const __m256i b = _mm256_shuffle_epi8(Load256(s + 24), m40);
    const __m256i c = _mm256_shuffle_epi8(Load256(s + 48), m40);
    const __m256i d = _mm256_shuffle_epi8(Load256(s + 72), m40);
    lo0 = _mm256_min_epi32(lo0, a);
    hi0 = _mm256_max_epi32(hi0, a);
    lo1 = _mm256_min_epi32(lo1, b);
    hi1 = _mm256_max_epi32(hi1, b);
    lo2 = _mm256_min_epi32(lo2, c);
    hi2 = _mm256_max_epi32(hi2, c);
    lo3 = _mm256_min_epi32(lo3, d);
    hi3 = _mm256_max_epi32(hi3, d);
  }
  for (; k + 8 <= count; k += 8) {
    const __m256i a = _mm256_shuffle_epi8(Load2x128(p + 3 * k, p + 3 * k + 8), m04);
    lo0 = _mm256_min_epi32(lo0, a);
    hi0 = _mm256_max_epi32(hi0, a);
  }
  alignas(32) int32_t lo[8], hi[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lo),
                     _mm256_min_epi32(_mm256_min_epi32(lo0, lo1), _mm256_min_epi32(lo2, lo3)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(hi),
                     _mm256_max_epi32(_mm256_max_epi32(hi0, hi1), _mm256_max_epi32(hi2, hi3)));
  return FinishScan<Channels>(lo, hi, 8, p, k, count);
}
#endif  // ZELM_X86_DISPATCH

template <size_t Channels>
using Scan24 = Peaks<Channels> (*)(const uint8_t*, size_t);

// The widest scan this CPU runs.
template <size_t Channels>
Scan24<Channels> ChooseMaxMagnitude24() {
#ifdef ZELM_X86_DISPATCH
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return MaxMagnitude24Avx2<Channels>;
  if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1"))
    return MaxMagnitude24Sse41<Channels>;
#endif
  return MaxMagnitude24<Channels>;
}

// Each channel's largest magnitude among `frames` (> 0) frames.
template <size_t Channels>
Peaks<Channels> MaxMagnitudes(const uint8_t* p, size_t frames, uint32_t SampleBytes) {
  static const Scan24<Channels> maxMagnitude24 = ChooseMaxMagnitude24<Channels>();
  return SampleBytes == 3 ? maxMagnitude24(p, Channels * frames)
                          : MaxMagnitude16<Channels>(p, Channels * frames);
}

// Raises both entries of `channel` to `sample`, a magnitude, and warns when
// it is full scale.
void Raise(int32_t channel, int64_t sample, uint32_t SampleBytes, int64_t* RunPeak,
           int64_t* PeriodPeak, std::string* text) {
  if (RunPeak[channel] < sample) {
    RunPeak[channel] = sample;
  }
  if (PeriodPeak[channel] < sample) {
    PeriodPeak[channel] = sample;
  }
  // Full scale: either of the two largest magnitudes, so +max counts as well as -max.
  const int64_t belowFullScale = SampleBytes == 3 ? 8388606 : 32766;
  if (sample > belowFullScale) {
    char warning[48];
    std::snprintf(warning, sizeof warning, "\nInput Channel %i is Peaking!\n", channel + 1);
    if (text != nullptr)
      text->append(warning);
    else
      std::fputs(warning, stdout);
  }
}

}  // namespace

// Equivalent to raising both entries sample by sample and warning at the first
// full-scale sample: the entries end at max(entry, largest magnitude), and a
// full-scale sample exists exactly when the largest magnitude is full scale.
void CheckPeak(int32_t channel, int32_t count, uint32_t SampleBytes, int64_t* RunPeak,
               const void* area, int64_t* PeriodPeak, std::string* text) {
  if (count <= 0) {
    return;
  }
  const Peaks<1> peak =
      MaxMagnitudes<1>(static_cast<const uint8_t*>(area), static_cast<size_t>(count), SampleBytes);
  Raise(channel, peak[0], SampleBytes, RunPeak, PeriodPeak, text);
}

void CheckPeakFrames(int32_t count, uint32_t SampleBytes, int64_t* RunPeak, const void* frames,
                     int64_t* PeriodPeak, std::string* text) {
  if (count <= 0) {
    return;
  }
  const Peaks<2> peaks = MaxMagnitudes<2>(static_cast<const uint8_t*>(frames),
                                          static_cast<size_t>(count), SampleBytes);
  for (int32_t channel = 0; channel < 2; ++channel)
    Raise(channel, peaks[channel], SampleBytes, RunPeak, PeriodPeak, text);
}
