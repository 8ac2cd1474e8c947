#include <cstddef>
#include <cstring>

#include "record/record.h"

namespace {

// Staging eight frames through local arrays tells the compiler that `out`
// cannot overlap the channel areas inside a block, so it turns the block into
// vector loads, word unpacks and vector stores without a run-time alias check.
void Interleave16(size_t frames, const uint8_t* left, const uint8_t* right, uint8_t* out) {
  constexpr size_t kBlock = 8;
  size_t k = 0;
  for (; k + kBlock <= frames; k += kBlock) {
    uint16_t l[kBlock], r[kBlock], o[2 * kBlock];
    std::memcpy(l, left + 2 * k, sizeof l);
    std::memcpy(r, right + 2 * k, sizeof r);
    for (size_t j = 0; j < kBlock; ++j) {
      o[2 * j] = l[j];
      o[2 * j + 1] = r[j];
    }
    std::memcpy(out + 4 * k, o, sizeof o);
  }
  for (; k < frames; ++k) {
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
