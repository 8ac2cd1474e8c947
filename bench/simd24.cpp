#include "simd24.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZELM_X86 1
#endif

namespace simd24 {
namespace {

// Sample k as a signed value scaled by 256: the three bytes in the top of a
// 32-bit word. Exact, and the extremes of these give the extremes of samples.
inline int32_t Word24(const uint8_t* s) {
  return static_cast<int32_t>(static_cast<uint32_t>(s[0]) << 8 | static_cast<uint32_t>(s[1]) << 16 |
                              static_cast<uint32_t>(s[2]) << 24);
}

inline int64_t Magnitude(int32_t lo, int32_t hi) {
  return std::max<int64_t>(hi >> 8, -static_cast<int64_t>(lo >> 8));
}

// Plain loops, written for the vectoriser: no overlapping loads, no branch.
int64_t PeakPlain(const uint8_t* p, size_t count) {
  int32_t lo = 0, hi = 0;
  for (size_t k = 0; k < count; ++k) {
    const int32_t w = Word24(p + 3 * k);
    lo = std::min(lo, w);
    hi = std::max(hi, w);
  }
  return Magnitude(lo, hi);
}

void InterleavePlain(size_t frames, const uint8_t* left, const uint8_t* right, uint8_t* out) {
#pragma GCC ivdep
  for (size_t k = 0; k < frames; ++k) {
    out[6 * k + 0] = left[3 * k + 0];
    out[6 * k + 1] = left[3 * k + 1];
    out[6 * k + 2] = left[3 * k + 2];
    out[6 * k + 3] = right[3 * k + 0];
    out[6 * k + 4] = right[3 * k + 1];
    out[6 * k + 5] = right[3 * k + 2];
  }
}

void DeinterleavePlain(size_t frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
#pragma GCC ivdep
  for (size_t k = 0; k < frames; ++k) {
    std::memcpy(left + 3 * k, in + 6 * k, 3);
    std::memcpy(right + 3 * k, in + 6 * k + 3, 3);
  }
}

bool Always() { return true; }

#ifdef ZELM_X86

// The same plain loops, cloned by the compiler for three instruction-set
// levels and picked by the dynamic loader (an ifunc) on first call.
__attribute__((target_clones("default", "arch=x86-64-v2", "arch=x86-64-v3")))
int64_t PeakClones(const uint8_t* p, size_t count) {
  int32_t lo = 0, hi = 0;
  for (size_t k = 0; k < count; ++k) {
    const int32_t w = Word24(p + 3 * k);
    lo = std::min(lo, w);
    hi = std::max(hi, w);
  }
  return Magnitude(lo, hi);
}

__attribute__((target_clones("default", "arch=x86-64-v2", "arch=x86-64-v3")))
void InterleaveClones(size_t frames, const uint8_t* left, const uint8_t* right, uint8_t* out) {
#pragma GCC ivdep
  for (size_t k = 0; k < frames; ++k) {
    out[6 * k + 0] = left[3 * k + 0];
    out[6 * k + 1] = left[3 * k + 1];
    out[6 * k + 2] = left[3 * k + 2];
    out[6 * k + 3] = right[3 * k + 0];
    out[6 * k + 4] = right[3 * k + 1];
    out[6 * k + 5] = right[3 * k + 2];
  }
}

__attribute__((target_clones("default", "arch=x86-64-v2", "arch=x86-64-v3")))
void DeinterleaveClones(size_t frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
#pragma GCC ivdep
  for (size_t k = 0; k < frames; ++k) {
    std::memcpy(left + 3 * k, in + 6 * k, 3);
    std::memcpy(right + 3 * k, in + 6 * k + 3, 3);
  }
}

// Byte shuffle that spreads four packed samples (bytes base .. base+11 of a
// 16-byte vector) into the top three bytes of four 32-bit lanes, zero below.
constexpr std::array<int8_t, 16> SpreadMask(int base) {
  std::array<int8_t, 16> m{};
  for (int lane = 0; lane < 4; ++lane) {
    m[4 * lane] = -128;  // zero
    for (int b = 0; b < 3; ++b) m[4 * lane + 1 + b] = static_cast<int8_t>(base + 3 * lane + b);
  }
  return m;
}

template <size_t N>
__m128i LoadMask(const std::array<int8_t, N>& m, size_t at = 0) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data() + at));
}

// Scalar tail shared by the wide paths.
inline void TailPeak(const uint8_t* p, size_t from, size_t count, int32_t* lo, int32_t* hi) {
  for (size_t k = from; k < count; ++k) {
    const int32_t w = Word24(p + 3 * k);
    *lo = std::min(*lo, w);
    *hi = std::max(*hi, w);
  }
}

// 16 samples (48 bytes) per step from four 16-byte loads that stay inside the
// step's bytes: the last one starts 4 bytes early and shuffles from byte 4.
__attribute__((target("ssse3,sse4.1"))) int64_t PeakSsse3(const uint8_t* p, size_t count) {
  static constexpr auto kM0 = SpreadMask(0);
  static constexpr auto kM4 = SpreadMask(4);
  const __m128i m0 = LoadMask(kM0), m4 = LoadMask(kM4);
  __m128i lo0 = _mm_setzero_si128(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
  __m128i hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
  const size_t whole = count & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* s = p + 3 * k;
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), m0);
    const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12)), m0);
    const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 24)), m0);
    const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32)), m4);
    lo0 = _mm_min_epi32(lo0, a);
    hi0 = _mm_max_epi32(hi0, a);
    lo1 = _mm_min_epi32(lo1, b);
    hi1 = _mm_max_epi32(hi1, b);
    lo2 = _mm_min_epi32(lo2, c);
    hi2 = _mm_max_epi32(hi2, c);
    lo3 = _mm_min_epi32(lo3, d);
    hi3 = _mm_max_epi32(hi3, d);
  }
  const __m128i lo = _mm_min_epi32(_mm_min_epi32(lo0, lo1), _mm_min_epi32(lo2, lo3));
  const __m128i hi = _mm_max_epi32(_mm_max_epi32(hi0, hi1), _mm_max_epi32(hi2, hi3));
  alignas(16) int32_t l[4], h[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(l), lo);
  _mm_store_si128(reinterpret_cast<__m128i*>(h), hi);
  int32_t mn = std::min({l[0], l[1], l[2], l[3]});
  int32_t mx = std::max({h[0], h[1], h[2], h[3]});
  TailPeak(p, whole, count, &mn, &mx);
  return Magnitude(mn, mx);
}

__attribute__((target("avx2"))) inline __m256i Load2(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

__attribute__((target("avx2"))) inline __m256i At(const uint8_t* s) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
}

// Eight samples (24 bytes) per 256-bit vector. One 32-byte load starting 4
// bytes before the group puts samples 0-3 at bytes 4-15 of the low half and
// samples 4-7 at bytes 0-11 of the high half, so one in-lane shuffle spreads
// all eight. The first group has no 4 bytes before it and the last groups
// none after, so those take two 16-byte loads instead (the second 4 bytes
// early), which stay inside the group.
__attribute__((target("avx2"))) int64_t PeakAvx2(const uint8_t* p, size_t count) {
  static constexpr auto kM0 = SpreadMask(0);
  static constexpr auto kM4 = SpreadMask(4);
  const __m256i m40 = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadMask(kM4)), LoadMask(kM0), 1);
  const __m256i m04 = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadMask(kM0)), LoadMask(kM4), 1);
  __m256i lo0 = _mm256_setzero_si256(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
  __m256i hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
  size_t k = 0;
  if (count >= 8) {
    const __m256i a = _mm256_shuffle_epi8(Load2(p, p + 8), m04);
    lo0 = _mm256_min_epi32(lo0, a);
    hi0 = _mm256_max_epi32(hi0, a);
    k = 8;
  }
  // The last load of a step ends 4 bytes past the step: 3k + 100 <= 3 count.
  for (; k + 34 <= count; k += 32) {
    const uint8_t* s = p + 3 * k - 4;
    const __m256i a = _mm256_shuffle_epi8(At(s), m40);
    const __m256i b = _mm256_shuffle_epi8(At(s + 24), m40);
    const __m256i c = _mm256_shuffle_epi8(At(s + 48), m40);
    const __m256i d = _mm256_shuffle_epi8(At(s + 72), m40);
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
    const __m256i a = _mm256_shuffle_epi8(Load2(p + 3 * k, p + 3 * k + 8), m04);
    lo0 = _mm256_min_epi32(lo0, a);
    hi0 = _mm256_max_epi32(hi0, a);
  }
  const __m256i lo = _mm256_min_epi32(_mm256_min_epi32(lo0, lo1), _mm256_min_epi32(lo2, lo3));
  const __m256i hi = _mm256_max_epi32(_mm256_max_epi32(hi0, hi1), _mm256_max_epi32(hi2, hi3));
  alignas(32) int32_t l[8], h[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(l), lo);
  _mm256_store_si256(reinterpret_cast<__m256i*>(h), hi);
  int32_t mn = *std::min_element(l, l + 8);
  int32_t mx = *std::max_element(h, h + 8);
  TailPeak(p, k, count, &mn, &mx);
  return Magnitude(mn, mx);
}

// Interleaving 16 frames (48 bytes of each channel) gives 96 output bytes: six
// 16-byte chunks. Chunk c takes its bytes of each channel from one 16-byte load
// placed inside the 48 input bytes, and two shuffles (zeros elsewhere) merge.
struct ChunkPlan {
  std::array<int, 6> leftAt{}, rightAt{};
  std::array<std::array<int8_t, 16>, 6> leftMask{}, rightMask{};
};

constexpr ChunkPlan MakePlan() {
  ChunkPlan plan{};
  for (int c = 0; c < 6; ++c) {
    int lmin = 48, rmin = 48;
    for (int i = 0; i < 16; ++i) {
      const int o = 16 * c + i, frame = o / 6, within = o % 6;
      const int src = 3 * frame + within % 3;
      if (within < 3)
        lmin = std::min(lmin, src);
      else
        rmin = std::min(rmin, src);
    }
    plan.leftAt[c] = std::min(lmin, 32);
    plan.rightAt[c] = std::min(rmin, 32);
    for (int i = 0; i < 16; ++i) {
      const int o = 16 * c + i, frame = o / 6, within = o % 6;
      const int src = 3 * frame + within % 3;
      plan.leftMask[c][i] = within < 3 ? static_cast<int8_t>(src - plan.leftAt[c]) : int8_t{-128};
      plan.rightMask[c][i] = within < 3 ? int8_t{-128} : static_cast<int8_t>(src - plan.rightAt[c]);
    }
  }
  return plan;
}

constexpr ChunkPlan kPlan = MakePlan();

inline void InterleaveTail(size_t from, size_t frames, const uint8_t* left, const uint8_t* right,
                           uint8_t* out) {
  for (size_t k = from; k < frames; ++k) {
    std::memcpy(out + 6 * k, left + 3 * k, 3);
    std::memcpy(out + 6 * k + 3, right + 3 * k, 3);
  }
}

__attribute__((target("ssse3"))) void InterleaveSsse3(size_t frames, const uint8_t* left,
                                                      const uint8_t* right, uint8_t* out) {
  __m128i lm[6], rm[6];
  for (int c = 0; c < 6; ++c) {
    lm[c] = LoadMask(kPlan.leftMask[c]);
    rm[c] = LoadMask(kPlan.rightMask[c]);
  }
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* l = left + 3 * k;
    const uint8_t* r = right + 3 * k;
    uint8_t* o = out + 6 * k;
    for (int c = 0; c < 6; ++c) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l + kPlan.leftAt[c]));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + kPlan.rightAt[c]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * c),
                       _mm_or_si128(_mm_shuffle_epi8(a, lm[c]), _mm_shuffle_epi8(b, rm[c])));
    }
  }
  InterleaveTail(whole, frames, left, right, out);
}

// The same plan, two chunks per 256-bit shuffle: three stores per 16 frames.
__attribute__((target("avx2"))) void InterleaveAvx2(size_t frames, const uint8_t* left,
                                                    const uint8_t* right, uint8_t* out) {
  __m256i lm[3], rm[3];
  for (int c = 0; c < 3; ++c) {
    lm[c] = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadMask(kPlan.leftMask[2 * c])),
                                    LoadMask(kPlan.leftMask[2 * c + 1]), 1);
    rm[c] = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadMask(kPlan.rightMask[2 * c])),
                                    LoadMask(kPlan.rightMask[2 * c + 1]), 1);
  }
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* l = left + 3 * k;
    const uint8_t* r = right + 3 * k;
    uint8_t* o = out + 6 * k;
    for (int c = 0; c < 3; ++c) {
      const __m256i a = Load2(l + kPlan.leftAt[2 * c], l + kPlan.leftAt[2 * c + 1]);
      const __m256i b = Load2(r + kPlan.rightAt[2 * c], r + kPlan.rightAt[2 * c + 1]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 32 * c),
                          _mm256_or_si256(_mm256_shuffle_epi8(a, lm[c]),
                                          _mm256_shuffle_epi8(b, rm[c])));
    }
  }
  InterleaveTail(whole, frames, left, right, out);
}

// Splitting 16 frames (96 interleaved bytes) gives six 16-byte output chunks,
// three per channel. The bytes a chunk needs span at most 32 input bytes, so
// two 16-byte loads inside the 96 hold them: one at the first byte needed,
// one ending at the last; two shuffles (zeros elsewhere) merge.
struct SplitPlan {
  std::array<int, 6> firstAt{}, secondAt{};
  std::array<std::array<int8_t, 16>, 6> firstMask{}, secondMask{};
};

constexpr int SplitSource(int chunk, int i) {
  const int channel = chunk / 3, o = 16 * (chunk % 3) + i;  // byte o of that channel's 48
  return 6 * (o / 3) + 3 * channel + o % 3;
}

constexpr SplitPlan MakeSplitPlan() {
  SplitPlan plan{};
  for (int c = 0; c < 6; ++c) {
    int lo = 96, hi = 0;
    for (int i = 0; i < 16; ++i) {
      lo = std::min(lo, SplitSource(c, i));
      hi = std::max(hi, SplitSource(c, i));
    }
    plan.firstAt[c] = std::min(lo, 80);
    plan.secondAt[c] = std::max(hi - 15, 0);
    for (int i = 0; i < 16; ++i) {
      const int src = SplitSource(c, i);
      const bool first = src - plan.firstAt[c] < 16;
      plan.firstMask[c][i] = first ? static_cast<int8_t>(src - plan.firstAt[c]) : int8_t{-128};
      plan.secondMask[c][i] = first ? int8_t{-128} : static_cast<int8_t>(src - plan.secondAt[c]);
    }
  }
  return plan;
}

constexpr SplitPlan kSplit = MakeSplitPlan();

__attribute__((target("ssse3"))) void DeinterleaveSsse3(size_t frames, const uint8_t* in,
                                                        uint8_t* left, uint8_t* right) {
  __m128i fm[6], sm[6];
  for (int c = 0; c < 6; ++c) {
    fm[c] = LoadMask(kSplit.firstMask[c]);
    sm[c] = LoadMask(kSplit.secondMask[c]);
  }
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* i = in + 6 * k;
    uint8_t* out[2] = {left + 3 * k, right + 3 * k};
    for (int c = 0; c < 6; ++c) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(i + kSplit.firstAt[c]));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(i + kSplit.secondAt[c]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[c / 3] + 16 * (c % 3)),
                       _mm_or_si128(_mm_shuffle_epi8(a, fm[c]), _mm_shuffle_epi8(b, sm[c])));
    }
  }
  for (size_t k = whole; k < frames; ++k) {
    std::memcpy(left + 3 * k, in + 6 * k, 3);
    std::memcpy(right + 3 * k, in + 6 * k + 3, 3);
  }
}

bool HasSsse3Sse41() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}
bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif  // ZELM_X86

const Variant kVariants[] = {
    {"scalar-plain", Always, PeakPlain, InterleavePlain, DeinterleavePlain},
#ifdef ZELM_X86
    {"target_clones", Always, PeakClones, InterleaveClones, DeinterleaveClones},
    {"ssse3+sse4.1", HasSsse3Sse41, PeakSsse3, InterleaveSsse3, DeinterleaveSsse3},
    // The 128-bit split measured as fast as any 256-bit form would be worth.
    {"avx2", HasAvx2, PeakAvx2, InterleaveAvx2, DeinterleaveSsse3},
#endif
};

}  // namespace

const Variant* Variants(size_t* count) {
  *count = sizeof kVariants / sizeof kVariants[0];
  return kVariants;
}

const Variant& Dispatched() {
  size_t n = 0;
  const Variant* v = Variants(&n);
  const Variant* best = &v[0];
  // Hand-written wide paths first, the widest the CPU runs.
  for (size_t i = 0; i < n; ++i)
    if (std::strcmp(v[i].name, "target_clones") != 0 && v[i].supported()) best = &v[i];
  return *best;
}

}  // namespace simd24
