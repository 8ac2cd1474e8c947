#include <cmath>

#include "meter/meter.h"

double FullScale(uint32_t SampleBytes) { return SampleBytes == 3 ? 8388608.0 : 32768.0; }

double LevelDb(int64_t magnitude, uint32_t SampleBytes) {
  // magnitude 0: FS / 0 is +inf and log10(+inf) is +inf, so silence is -inf dB
  // without a special case (needs IEEE arithmetic, hence no fast-math anywhere).
  return -20.0 * std::log10(FullScale(SampleBytes) / static_cast<double>(magnitude));
}
