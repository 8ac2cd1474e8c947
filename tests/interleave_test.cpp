#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "record/record.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xEE;

TEST(Interleave, SixteenBitFrame) {
  const Bytes left = {0x01, 0x02}, right = {0x03, 0x04};
  Bytes out(4 + 8, kGuard);
  Interleave(1, 2, left.data(), right.data(), out.data());
  EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x03, 0x04, kGuard, kGuard, kGuard, kGuard, kGuard, kGuard,
                        kGuard, kGuard}));
}

TEST(Interleave, TwentyFourBitFrames) {
  const Bytes left = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15};
  const Bytes right = {0x20, 0x21, 0x22, 0x23, 0x24, 0x25};
  Bytes out(12 + 8, kGuard);
  Interleave(2, 3, left.data(), right.data(), out.data());
  const Bytes want = {0x10, 0x11, 0x12, 0x20, 0x21, 0x22, 0x13, 0x14, 0x15, 0x23, 0x24, 0x25};
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 12), want);
  EXPECT_EQ(Bytes(out.begin() + 12, out.end()), Bytes(8, kGuard));
}

TEST(Interleave, NothingWrittenForNoFramesOrOtherSizes) {
  const Bytes left(64, 0x11), right(64, 0x22);
  struct Row {
    int32_t frames, sampleBytes;
  };
  for (const Row& r :
       {Row{0, 2}, Row{-1, 2}, Row{0, 3}, Row{-8, 3}, Row{4, 4}, Row{4, 1}, Row{4, 0}}) {
    Bytes out(128, kGuard);
    Interleave(r.frames, r.sampleBytes, left.data(), right.data(), out.data());
    EXPECT_EQ(out, Bytes(128, kGuard)) << r.frames << " frames of " << r.sampleBytes;
  }
}

// The plain per-frame rule, byte by byte, against the real routine on random
// data, for lengths around its blocking; the guard bytes after the output must
// survive and the inputs must not change.
TEST(Interleave, MatchesThePlainRuleAndStopsAtTheEnd) {
  std::mt19937 rng(7);
  for (int32_t sampleBytes : {2, 3}) {
    for (int32_t frames : {1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 1001, 4096, 4097}) {
      SCOPED_TRACE(testing::Message() << frames << " frames of " << sampleBytes);
      const size_t area = static_cast<size_t>(frames) * sampleBytes;
      Bytes left(area), right(area);
      for (uint8_t& b : left) b = static_cast<uint8_t>(rng());
      for (uint8_t& b : right) b = static_cast<uint8_t>(rng());
      const Bytes leftCopy = left, rightCopy = right;

      Bytes want(2 * area + 16, kGuard);
      for (size_t k = 0; k < static_cast<size_t>(frames); ++k) {
        for (size_t b = 0; b < static_cast<size_t>(sampleBytes); ++b) {
          want[2 * k * sampleBytes + b] = left[k * sampleBytes + b];
          want[2 * k * sampleBytes + sampleBytes + b] = right[k * sampleBytes + b];
        }
      }
      Bytes out(2 * area + 16, kGuard);
      Interleave(frames, sampleBytes, left.data(), right.data(), out.data());
      EXPECT_EQ(out, want);
      EXPECT_EQ(left, leftCopy);
      EXPECT_EQ(right, rightCopy);
    }
  }
}

// Splitting is the exact inverse, and writes nothing past either area, at
// lengths on and off the widths the vector paths work in.
TEST(Deinterleave, SplitsWhatInterleaveJoinsAndStopsAtTheEnd) {
  std::mt19937 rng(11);
  for (int32_t sampleBytes : {2, 3}) {
    for (int32_t frames : {1, 2, 15, 16, 17, 31, 32, 33, 1001, 4096, 4097}) {
      SCOPED_TRACE(testing::Message() << frames << " frames of " << sampleBytes);
      const size_t area = static_cast<size_t>(frames) * sampleBytes;
      Bytes in(2 * area);
      for (uint8_t& b : in) b = static_cast<uint8_t>(rng());
      Bytes wantLeft(area + 16, kGuard), wantRight(area + 16, kGuard);
      for (size_t k = 0; k < static_cast<size_t>(frames); ++k) {
        for (size_t b = 0; b < static_cast<size_t>(sampleBytes); ++b) {
          wantLeft[k * sampleBytes + b] = in[2 * k * sampleBytes + b];
          wantRight[k * sampleBytes + b] = in[2 * k * sampleBytes + sampleBytes + b];
        }
      }
      Bytes left(area + 16, kGuard), right(area + 16, kGuard);
      Deinterleave(frames, sampleBytes, in.data(), left.data(), right.data());
      EXPECT_EQ(left, wantLeft);
      EXPECT_EQ(right, wantRight);
      Bytes joined(2 * area);
      Interleave(frames, sampleBytes, left.data(), right.data(), joined.data());
      EXPECT_EQ(joined, in);
      // The left channel alone, for a take of input 1 only.
      Bytes leftOnly(area + 16, kGuard);
      Deinterleave(frames, sampleBytes, in.data(), leftOnly.data(), nullptr);
      EXPECT_EQ(leftOnly, wantLeft);
    }
  }
}

}  // namespace
