#include <cstddef>
#include <cstring>

#include "record/record.h"

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
    Interleave24(n, left, right, out);
  }
}

void Deinterleave(int32_t frames, int32_t sampleBytes, const uint8_t* in, uint8_t* left,
                  uint8_t* right) {
  if (frames <= 0 || (sampleBytes != 2 && sampleBytes != 3)) return;
  const size_t bytes = static_cast<size_t>(sampleBytes);
  for (size_t k = 0; k < static_cast<size_t>(frames); ++k) {
    std::memcpy(left + bytes * k, in + 2 * bytes * k, bytes);
    std::memcpy(right + bytes * k, in + 2 * bytes * k + bytes, bytes);
  }
}
