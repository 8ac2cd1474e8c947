// Candidate 24-bit peak scan and interleave that could replace the scalar
// ones in src/ while the package keeps running on any x86-64: each wide path
// is compiled for its own instruction set through a per-function target
// attribute, and a pointer chosen once at run time from what the CPU reports
// decides which one runs. The plain scalar code stays as the fallback.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simd24 {

// Largest magnitude among `count` packed little-endian signed 24-bit samples
// (as CheckPeak computes it for SampleBytes 3); count 0 gives 0.
using PeakFn = int64_t (*)(const uint8_t* p, size_t count);
// Interleaves `frames` 3-byte samples of two channel areas into out, touching
// no byte of out past 6 x frames and no input byte past 3 x frames.
using InterleaveFn = void (*)(size_t frames, const uint8_t* left, const uint8_t* right,
                              uint8_t* out);

// Splits `frames` interleaved 3-byte stereo frames into two channel areas.
using DeinterleaveFn = void (*)(size_t frames, const uint8_t* in, uint8_t* left, uint8_t* right);

struct Variant {
  const char* name;
  bool (*supported)();  // whether this CPU can run it
  PeakFn peak;
  InterleaveFn interleave;
  DeinterleaveFn deinterleave;
};

// Every candidate, scalar first. Only the supported ones may be called.
const Variant* Variants(size_t* count);

// The candidate that run-time dispatch would pick on this CPU.
const Variant& Dispatched();

}  // namespace simd24
