// Proves every candidate in simd24.cpp that this CPU runs equal to the
// project's own CheckPeak, Interleave and Deinterleave for 3-byte samples, on lengths around
// every block size, misaligned areas, and data that puts the extremes in every
// position (full scale included), and that no candidate writes past its frames.
// Prints one line per candidate on stderr; exits 1 on any mismatch.
#include <unistd.h>

#include <cstdio>
#include <random>
#include <vector>

#include "meter/meter.h"
#include "record/record.h"
#include "simd24.h"

namespace {

int64_t ProjectPeak(const uint8_t* p, size_t count) {
  int64_t run[2] = {0, 0}, period[2] = {0, 0};
  CheckPeak(0, static_cast<int32_t>(count), 3, run, p, period);
  return period[0];
}

// Each sample's magnitude computed the obvious way, as a second reference.
int64_t ObviousPeak(const uint8_t* p, size_t count) {
  int64_t best = 0;
  for (size_t k = 0; k < count; ++k) {
    int32_t v = p[3 * k] | p[3 * k + 1] << 8 | p[3 * k + 2] << 16;
    if (v & 0x800000) v -= 0x1000000;
    best = std::max<int64_t>(best, v < 0 ? -static_cast<int64_t>(v) : v);
  }
  return best;
}

void Fill(std::mt19937& rng, std::vector<uint8_t>& buf, size_t count, int shape) {
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : buf) b = static_cast<uint8_t>(byte(rng));
  if (count == 0) return;
  // Shapes 1..3: quiet data with one loud sample placed anywhere, so a lane,
  // a block edge or the tail must each be the one that finds it.
  if (shape > 0) {
    std::uniform_int_distribution<size_t> where(0, count - 1);
    for (size_t k = 0; k < count; ++k) {
      buf[3 * k + 1] &= 0x0f;
      buf[3 * k + 2] = (k % 2) ? 0xff : 0x00;
    }
    const size_t at = where(rng);
    const int32_t loud[] = {0, -8388608, 8388607, -5000000};
    const auto u = static_cast<uint32_t>(loud[shape]);
    buf[3 * at] = static_cast<uint8_t>(u);
    buf[3 * at + 1] = static_cast<uint8_t>(u >> 8);
    buf[3 * at + 2] = static_cast<uint8_t>(u >> 16);
  }
}

}  // namespace

int main() {
  // CheckPeak warns on stdout about full-scale samples, which the data has.
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {255, 256, 257, 4095, 4096, 4097, 8192}) lengths.push_back(n);

  size_t variantCount = 0;
  const simd24::Variant* variants = simd24::Variants(&variantCount);
  int failures = 0;
  for (size_t v = 0; v < variantCount; ++v) {
    const simd24::Variant& cand = variants[v];
    if (!cand.supported()) {
      std::fprintf(stderr, "  %-14s not supported by this CPU, skipped\n", cand.name);
      continue;
    }
    std::mt19937 rng(12345);
    int bad = 0;
    long cases = 0;
    for (size_t n : lengths) {
      for (int shape = 0; shape < 4; ++shape) {
        for (size_t shift = 0; shift < 4; ++shift, ++cases) {
          constexpr size_t kGuard = 64;
          std::vector<uint8_t> l(3 * n + 2 * kGuard), r(3 * n + 2 * kGuard);
          Fill(rng, l, n + 2 * kGuard / 3, shape);
          Fill(rng, r, n + 2 * kGuard / 3, (shape + 1) % 4);
          const uint8_t* lp = l.data() + shift;
          const uint8_t* rp = r.data() + 7 - shift;

          const int64_t want = ProjectPeak(lp, n);
          if (want != ObviousPeak(lp, n) || cand.peak(lp, n) != want) ++bad;

          std::vector<uint8_t> expect(6 * n + kGuard, 0xA5), got(6 * n + 2 * kGuard, 0xA5);
          Interleave(static_cast<int32_t>(n), 3, lp, rp, expect.data());
          cand.interleave(n, lp, rp, got.data() + shift);
          for (size_t i = 0; i < 6 * n; ++i)
            if (got[shift + i] != expect[i]) {
              ++bad;
              break;
            }
          for (size_t i = 0; i < shift; ++i) bad += got[i] != 0xA5;
          for (size_t i = shift + 6 * n; i < got.size(); ++i) bad += got[i] != 0xA5;

          // And back: split the interleaved frames (misaligned) into two areas.
          std::vector<uint8_t> wantL(3 * n + kGuard, 0x5A), wantR(3 * n + kGuard, 0x5A);
          std::vector<uint8_t> gotL(3 * n + kGuard, 0x5A), gotR(3 * n + kGuard, 0x5A);
          Deinterleave(static_cast<int32_t>(n), 3, got.data() + shift, wantL.data(), wantR.data());
          cand.deinterleave(n, got.data() + shift, gotL.data(), gotR.data());
          bad += gotL != wantL || gotR != wantR;
          for (size_t i = 0; i < 3 * n; ++i) bad += wantL[i] != lp[i] || wantR[i] != rp[i];
        }
      }
    }
    std::fprintf(stderr, "  %-14s %ld cases: %s\n", cand.name, cases, bad ? "MISMATCH" : "equal");
    failures += bad;
  }
  return failures ? 1 : 0;
}
