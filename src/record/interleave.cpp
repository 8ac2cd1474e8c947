#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "record/common.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZELM_X86_DISPATCH 1
#endif

namespace {

// The frames are independent and `out` never overlaps the channel areas, but
// the compiler cannot prove the latter; ivdep lets it vectorise without a
// run-time overlap check, which GCC's -O2 cost model would refuse. The main
// loop's length is a multiple of 32 frames so no vector epilogue is needed.
void Interleave16(size_t frames, const uint8_t* left, const uint8_t* right, uint8_t* out) {
  const size_t whole = frames & ~static_cast<size_t>(31);
#pragma GCC ivdep
  for (size_t k = 0; k < whole; ++k) {
    std::memcpy(out + 4 * k, left + 2 * k, 2);
    std::memcpy(out + 4 * k + 2, right + 2 * k, 2);
  }
  for (size_t k = whole; k < frames; ++k) {
    std::memcpy(out + 4 * k, left + 2 * k, 2);
    std::memcpy(out + 4 * k + 2, right + 2 * k, 2);
  }
}

// Four-byte moves in place of three-byte ones: each reads one byte of the next
// sample and writes one byte of the next slot, which the following move
// overwrites with its proper value. The last frame has no next slot, so it is
// copied exactly and nothing past 6 x frames bytes of out is touched.
void Interleave24(size_t frames, const uint8_t* left, const uint8_t* right, uint8_t* out) {
  for (size_t k = 0; k + 1 < frames; ++k) {
    uint32_t l, r;
    std::memcpy(&l, left + 3 * k, 4);
    std::memcpy(&r, right + 3 * k, 4);
    std::memcpy(out + 6 * k, &l, 4);
    std::memcpy(out + 6 * k + 3, &r, 4);
  }
  const size_t last = frames - 1;
  std::memcpy(out + 6 * last, left + 3 * last, 3);
  std::memcpy(out + 6 * last + 3, right + 3 * last, 3);
}

#ifdef ZELM_X86_DISPATCH
// Wider 24-bit interleaving for CPUs with byte shuffles, compiled for its own
// instruction set and chosen at run time (ChooseInterleave24), so the program
// still runs on any x86-64.
//
// 16 frames (48 bytes of each channel) make 96 output bytes: six 16-byte
// chunks. Chunk c takes its bytes of each channel from one 16-byte load
// placed inside those 48 bytes, and two shuffles (zeros elsewhere) merge.
struct ChunkPlan {
  std::array<int, 6> leftAt{}, rightAt{};
  std::array<std::array<int8_t, 16>, 6> leftMask{}, rightMask{};
};

constexpr ChunkPlan MakeChunkPlan() {
  ChunkPlan plan{};
  for (int c = 0; c < 6; ++c) {
    int leftFirst = 48, rightFirst = 48;
    for (int i = 0; i < 16; ++i) {
      const int o = 16 * c + i, source = 3 * (o / 6) + o % 3;
      if (o % 6 < 3)
        leftFirst = std::min(leftFirst, source);
      else
        rightFirst = std::min(rightFirst, source);
    }
    // A chunk needs at most 9 bytes of a channel, so a load starting at its
    // first byte, or at byte 32 when that is later, holds them all.
    plan.leftAt[c] = std::min(leftFirst, 32);
    plan.rightAt[c] = std::min(rightFirst, 32);
    for (int i = 0; i < 16; ++i) {
      const int o = 16 * c + i, source = 3 * (o / 6) + o % 3;
      const bool left = o % 6 < 3;
      plan.leftMask[c][i] = left ? static_cast<int8_t>(source - plan.leftAt[c]) : int8_t{-128};
      plan.rightMask[c][i] = left ? int8_t{-128} : static_cast<int8_t>(source - plan.rightAt[c]);
    }
  }
  return plan;
}

constexpr ChunkPlan kChunkPlan = MakeChunkPlan();

__m128i Load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

__attribute__((target("ssse3"))) void Interleave24Ssse3(size_t frames, const uint8_t* left,
                                                        const uint8_t* right, uint8_t* out) {
  __m128i leftMask[6], rightMask[6];
  for (int c = 0; c < 6; ++c) {
    leftMask[c] = Load128(kChunkPlan.leftMask[c].data());
    rightMask[c] = Load128(kChunkPlan.rightMask[c].data());
  }
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* l = left + 3 * k;
    const uint8_t* r = right + 3 * k;
    uint8_t* o = out + 6 * k;
    for (int c = 0; c < 6; ++c) {
      const __m128i a = _mm_shuffle_epi8(Load128(l + kChunkPlan.leftAt[c]), leftMask[c]);
      const __m128i b = _mm_shuffle_epi8(Load128(r + kChunkPlan.rightAt[c]), rightMask[c]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * c), _mm_or_si128(a, b));
    }
  }
  if (whole < frames)
    Interleave24(frames - whole, left + 3 * whole, right + 3 * whole, out + 6 * whole);
}

// The widest interleaving this CPU runs. (A 256-bit form of the same plan
// measured no faster: the shuffles, not the stores, set the pace.)
using Interleave24Fn = void (*)(size_t, const uint8_t*, const uint8_t*, uint8_t*);
Interleave24Fn ChooseInterleave24() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") ? Interleave24Ssse3 : Interleave24;
}
#else
using Interleave24Fn = void (*)(size_t, const uint8_t*, const uint8_t*, uint8_t*);
Interleave24Fn ChooseInterleave24() { return Interleave24; }
#endif  // ZELM_X86_DISPATCH

}  // namespace

void Interleave(int32_t frames, int32_t sampleBytes, const uint8_t* left, const uint8_t* right,
                uint8_t* out) {
  if (frames <= 0) {
    return;
  }
  const size_t n = static_cast<size_t>(frames);
  if (sampleBytes == 2) {
    Interleave16(n, left, right, out);
  } else if (sampleBytes == 3) {
    static const Interleave24Fn interleave24 = ChooseInterleave24();
    interleave24(n, left, right, out);
  }
}

namespace {

// The sample size as a constant, so each move is one load and one store
// rather than a call to memcpy for 2 or 3 bytes.
// Without `Right`, only the left channel is taken.
template <size_t Bytes, bool Right = true>
void DeinterleaveFixed(size_t frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
#pragma GCC ivdep
  for (size_t k = 0; k < frames; ++k) {
    std::memcpy(left + Bytes * k, in + 2 * Bytes * k, Bytes);
    if constexpr (Right) std::memcpy(right + Bytes * k, in + 2 * Bytes * k + Bytes, Bytes);
  }
}

// A mono take from an interleaved device keeps every other 16-bit sample:
// eight frames a step, through GCC's generic vectors, whose even-lane shuffle
// becomes the target's own (NEON's uzp1, unpacks on baseline x86-64).
using Lanes16 = int16_t __attribute__((vector_size(16)));

void Left16(size_t frames, const uint8_t* in, uint8_t* left) {
  const size_t whole = frames & ~static_cast<size_t>(7);
  for (size_t k = 0; k < whole; k += 8) {
    Lanes16 a, b;
    std::memcpy(&a, in + 4 * k, sizeof a);
    std::memcpy(&b, in + 4 * k + 16, sizeof b);
    const Lanes16 l = __builtin_shuffle(a, b, Lanes16{0, 2, 4, 6, 8, 10, 12, 14});
    std::memcpy(left + 2 * k, &l, sizeof l);
  }
  DeinterleaveFixed<2, false>(frames - whole, in + 4 * whole, left + 2 * whole, nullptr);
}

#ifdef ZELM_X86_DISPATCH
// Sixteen frames a step: a byte shuffle gathers each 128-bit half's four
// left samples into its low 8 bytes, and two 64-bit moves put the four
// groups in order. Compiled for AVX2 and chosen at run time (ChooseLeft16).
__attribute__((target("avx2"))) void Left16Avx2(size_t frames, const uint8_t* in,
                                                uint8_t* left) {
  const __m256i gather = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -128, -128, -128, -128, -128,
                                          -128, -128, -128, 0, 1, 4, 5, 8, 9, 12, 13, -128, -128,
                                          -128, -128, -128, -128, -128, -128);
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * k));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * k + 32));
    // Frames 0-3 and 8-11 in the low half, 4-7 and 12-15 in the high one.
    const __m256i both =
        _mm256_unpacklo_epi64(_mm256_shuffle_epi8(a, gather), _mm256_shuffle_epi8(b, gather));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(left + 2 * k),
                        _mm256_permute4x64_epi64(both, 0xD8));
  }
  Left16(frames - whole, in + 4 * whole, left + 2 * whole);
}
#endif  // ZELM_X86_DISPATCH

using Left16Fn = void (*)(size_t, const uint8_t*, uint8_t*);
Left16Fn ChooseLeft16() {
#ifdef ZELM_X86_DISPATCH
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Left16Avx2;
#endif
  return Left16;
}

#ifdef ZELM_X86_DISPATCH
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

constexpr SplitPlan kSplitPlan = MakeSplitPlan();

template <bool Right>
__attribute__((target("ssse3"))) void Deinterleave24Ssse3(size_t frames, const uint8_t* in,
                                                          uint8_t* left, uint8_t* right) {
  __m128i firstMask[6], secondMask[6];
  for (int c = 0; c < 6; ++c) {
    firstMask[c] = Load128(kSplitPlan.firstMask[c].data());
    secondMask[c] = Load128(kSplitPlan.secondMask[c].data());
  }
  const size_t whole = frames & ~static_cast<size_t>(15);
  for (size_t k = 0; k < whole; k += 16) {
    const uint8_t* i = in + 6 * k;
    uint8_t* const out[2] = {left + 3 * k, Right ? right + 3 * k : nullptr};
    for (int c = 0; c < (Right ? 6 : 3); ++c) {
      const __m128i a = _mm_shuffle_epi8(Load128(i + kSplitPlan.firstAt[c]), firstMask[c]);
      const __m128i b = _mm_shuffle_epi8(Load128(i + kSplitPlan.secondAt[c]), secondMask[c]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[c / 3] + 16 * (c % 3)), _mm_or_si128(a, b));
    }
  }
  DeinterleaveFixed<3, Right>(frames - whole, in + 6 * whole, left + 3 * whole,
                              Right ? right + 3 * whole : nullptr);
}
#endif  // ZELM_X86_DISPATCH

using Deinterleave24Fn = void (*)(size_t, const uint8_t*, uint8_t*, uint8_t*);
template <bool Right>
Deinterleave24Fn ChooseDeinterleave24() {
#ifdef ZELM_X86_DISPATCH
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) return Deinterleave24Ssse3<Right>;
#endif
  return DeinterleaveFixed<3, Right>;
}

}  // namespace

void Deinterleave(int32_t frames, int32_t sampleBytes, const uint8_t* in, uint8_t* left,
                  uint8_t* right) {
  if (frames <= 0) return;
  const size_t n = static_cast<size_t>(frames);
  if (sampleBytes == 2) {
    static const Left16Fn left16 = ChooseLeft16();
    if (right != nullptr)
      DeinterleaveFixed<2>(n, in, left, right);
    else
      left16(n, in, left);
  } else if (sampleBytes == 3) {
    static const Deinterleave24Fn both = ChooseDeinterleave24<true>();
    static const Deinterleave24Fn leftOnly = ChooseDeinterleave24<false>();
    (right != nullptr ? both : leftOnly)(n, in, left, right);
  }
}
