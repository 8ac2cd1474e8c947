// Per-sample work of one 4096-frame period against memcpy of the same number
// of bytes, in one binary so both see the same machine state. Counters:
// bytes_per_second is the bytes of audio the operation consumes (CheckPeak:
// one channel area; CheckPeakFrames and Deinterleave: the interleaved frames;
// Interleave and memcpy: the stereo bytes produced).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "meter/meter.h"
#include "record/record.h"

namespace {

constexpr int32_t kFrames = 4096;

// Uniform samples below full scale (CheckPeak would print a warning at full
// scale), little-endian, packed; fixed seed so every run scans the same data.
std::vector<uint8_t> Samples(uint32_t sampleBytes, uint32_t seed) {
  const int32_t limit = sampleBytes == 3 ? 7500000 : 29000;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> value(-limit, limit);
  std::vector<uint8_t> out(kFrames * sampleBytes);
  for (int32_t k = 0; k < kFrames; ++k) {
    const auto u = static_cast<uint32_t>(value(rng));
    for (uint32_t b = 0; b < sampleBytes; ++b) out[k * sampleBytes + b] = static_cast<uint8_t>(u >> (8 * b));
  }
  return out;
}

void BM_CheckPeak(benchmark::State& state) {
  const auto bytes = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> area = Samples(bytes, 1);
  int64_t run[2] = {0, 0}, period[2] = {0, 0};
  for (auto _ : state) {
    period[0] = 0;
    CheckPeak(0, kFrames, bytes, run, area.data(), period);
    benchmark::DoNotOptimize(period[0]);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * bytes);
}

// Both channels of a period as an interleaved device delivers it, in one scan.
void BM_CheckPeakFrames(benchmark::State& state) {
  const auto bytes = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> left = Samples(bytes, 7), right = Samples(bytes, 8);
  std::vector<uint8_t> frames(2 * kFrames * bytes);
  Interleave(kFrames, bytes, left.data(), right.data(), frames.data());
  int64_t run[2] = {0, 0}, period[2] = {0, 0};
  for (auto _ : state) {
    period[0] = period[1] = 0;
    CheckPeakFrames(kFrames, static_cast<uint32_t>(bytes), run, frames.data(), period);
    benchmark::DoNotOptimize(period);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kFrames * bytes);
}

void BM_Interleave(benchmark::State& state) {
  const auto bytes = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> left = Samples(bytes, 2), right = Samples(bytes, 3);
  std::vector<uint8_t> out(2 * kFrames * bytes);
  for (auto _ : state) {
    Interleave(kFrames, bytes, left.data(), right.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kFrames * bytes);
}

// The reverse, used on devices that only deliver interleaved frames.
void BM_Deinterleave(benchmark::State& state) {
  const auto bytes = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> left = Samples(bytes, 5), right = Samples(bytes, 6);
  std::vector<uint8_t> in(2 * kFrames * bytes);
  Interleave(kFrames, bytes, left.data(), right.data(), in.data());
  for (auto _ : state) {
    Deinterleave(kFrames, bytes, in.data(), left.data(), right.data());
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kFrames * bytes);
}

// The first channel alone out of the frames, for a mono take from an
// interleaved device; the bytes are those of the frames read.
void BM_DeinterleaveLeft(benchmark::State& state) {
  const auto bytes = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> left = Samples(bytes, 9), right = Samples(bytes, 10);
  std::vector<uint8_t> in(2 * kFrames * bytes);
  Interleave(kFrames, bytes, left.data(), right.data(), in.data());
  for (auto _ : state) {
    Deinterleave(kFrames, bytes, in.data(), left.data(), nullptr);
    benchmark::DoNotOptimize(left.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kFrames * bytes);
}

// memcpy of `range(0)` bytes through a call the compiler cannot see the size
// of, so it is the C library's run-time selected copy, as the real code's
// buffers would get.
void BM_Memcpy(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> src = Samples(1, 4);
  std::vector<uint8_t> from(n), to(n);
  for (size_t i = 0; i < n; ++i) from[i] = src[i % src.size()];
  for (auto _ : state) {
    benchmark::DoNotOptimize(n);
    std::memcpy(to.data(), from.data(), n);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

}  // namespace

// Names carry the byte count so the report can pair each with its memcpy.
BENCHMARK(BM_CheckPeak)->Arg(2)->Arg(3)->Name("CheckPeak/bytes_per_sample");
BENCHMARK(BM_CheckPeakFrames)->Arg(2)->Arg(3)->Name("CheckPeakFrames/bytes_per_sample");
BENCHMARK(BM_Interleave)->Arg(2)->Arg(3)->Name("Interleave/bytes_per_sample");
BENCHMARK(BM_Deinterleave)->Arg(2)->Arg(3)->Name("Deinterleave/bytes_per_sample");
BENCHMARK(BM_DeinterleaveLeft)->Arg(2)->Arg(3)->Name("DeinterleaveLeft/bytes_per_sample");
BENCHMARK(BM_Memcpy)->Arg(2 * kFrames)->Arg(3 * kFrames)->Arg(4 * kFrames)->Arg(6 * kFrames)->Name("memcpy/bytes");

BENCHMARK_MAIN();
