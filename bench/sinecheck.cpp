// Counts discontinuities in a recorded steady sine (16- or 24-bit PCM WAV,
// first channel): a sample-to-sample step larger than the sine can make, and runs
// of exact zeros (a sine of this size and pitch crosses zero in one step, so
// two zeros in a row are always inserted silence). Also counts breaks of the
// sine recurrence s[n] = 2 cos(w) s[n-1] - s[n-2], which finds a splice even
// where the step across it happens to be small.
//
//   zelm_sinecheck FILE.wav [FREQ_HZ [AMPLITUDE [SETTLE]]]
//
// AMPLITUDE is in the file's units; the defaults are 440 Hz at half scale
// (16384 for 16 bits, 4194304 for 24). SETTLE samples after the leading
// silence are not checked (default 0): a sound server that resamples starts
// with its filter's transient.
//
// Prints one line of key=value figures; exit status 2 if the file is unreadable.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Wav {
  uint32_t rate = 0, channels = 0, bits = 0;
  std::vector<int32_t> first;  // the first channel's samples
};

bool Read(const char* path, Wav* wav) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return false;
  size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t size = Le32(b.data() + at + 4);
    const uint8_t* body = b.data() + at + 8;
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
      wav->channels = Le16(body + 2);
      wav->rate = Le32(body + 4);
      wav->bits = Le16(body + 14);
    } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
      if ((wav->bits != 16 && wav->bits != 24) || wav->channels == 0) return false;
      // The size field may promise more than a cut-short file holds.
      const size_t end = std::min(b.size(), at + 8 + static_cast<size_t>(size));
      const size_t sampleBytes = wav->bits / 8;
      const size_t frameBytes = sampleBytes * wav->channels;
      for (size_t p = at + 8; p + frameBytes <= end; p += frameBytes) {
        if (sampleBytes == 2) {
          wav->first.push_back(static_cast<int16_t>(Le16(b.data() + p)));
        } else {
          const uint32_t u = b[p] | b[p + 1] << 8 | static_cast<uint32_t>(b[p + 2]) << 16;
          wav->first.push_back(static_cast<int32_t>(u << 8) >> 8);
        }
      }
      return true;
    }
    at += 8 + size + (size & 1);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.wav [FREQ_HZ [AMPLITUDE [SETTLE]]]\n", argv[0]);
    return 2;
  }
  const double freq = argc > 2 ? std::atof(argv[2]) : 440.0;
  Wav wav;
  if (!Read(argv[1], &wav) || wav.rate == 0) {
    std::fprintf(stderr, "%s: not a readable 16- or 24-bit PCM WAV file\n", argv[1]);
    return 2;
  }
  const double unit = std::ldexp(1.0, static_cast<int>(wav.bits) - 16);  // one 16-bit step
  const double amplitude = argc > 3 ? std::atof(argv[3]) : 16384.0 * unit;
  const size_t settle = argc > 4 ? static_cast<size_t>(std::atol(argv[4])) : 0;
  const std::vector<int32_t>& s = wav.first;
  const double w = 2.0 * M_PI * freq / wav.rate;
  // Largest step of the sampled sine, 2 A sin(w/2), plus 5% and two steps of
  // rounding: anything above it did not come from the sine.
  const double stepLimit = 2.0 * amplitude * std::sin(w / 2.0) * 1.05 + 2.0 * unit;
  // Rounding to integers leaves a recurrence residual of at most
  // (1 + 2|cos w| + 1) / 2 per sample; a generous margin for the sound
  // server's float-to-integer conversion, kept in 16-bit steps at any width.
  const double recurrenceLimit = 16.0 * unit;

  int peak = 0;
  long steps = 0, zeroRuns = 0, zeroSamples = 0, leadingZeros = 0, breaks = 0;
  size_t firstSignal = 0;
  while (firstSignal < s.size() && s[firstSignal] == 0) ++firstSignal;
  leadingZeros = static_cast<long>(firstSignal);
  const size_t checked = std::min(s.size(), firstSignal + settle);
  long run = 0;
  // Silence before the first sample is the source starting up, counted as
  // leading zeros only, and the settling samples are the resampler's; from
  // then on, any break is a loss.
  for (size_t n = checked; n < s.size(); ++n) {
    peak = std::max(peak, std::abs(static_cast<int>(s[n])));
    if (n > checked && std::abs(static_cast<double>(s[n]) - s[n - 1]) > stepLimit) ++steps;
    if (n > checked + 1) {
      const double predicted = 2.0 * std::cos(w) * s[n - 1] - s[n - 2];
      if (std::abs(s[n] - predicted) > recurrenceLimit) ++breaks;
    }
    if (s[n] == 0) {
      ++run;
    } else {
      if (run >= 2) {
        ++zeroRuns;
        zeroSamples += run;
      }
      run = 0;
    }
  }
  if (run >= 2) {
    ++zeroRuns;
    zeroSamples += run;
  }
  std::printf(
      "samples=%zu rate=%u seconds=%.3f peak=%d step_limit=%.0f steps_over=%ld "
      "zero_runs=%ld zero_samples=%ld leading_zeros=%ld recurrence_breaks=%ld\n",
      s.size(), wav.rate, static_cast<double>(s.size()) / wav.rate, peak, stepLimit, steps,
      zeroRuns, zeroSamples, leadingZeros, breaks);
  return 0;
}
