#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "record/common.h"

namespace {

// 2012-10-10 16:09:00 UTC in Unix seconds: the epoch of automatic names.
constexpr int64_t kNameEpoch = 1349885340;

}  // namespace

void QUANTIZE(int32_t PeriodFrames, uint32_t SampleRate, const float* DurationSeconds,
              int64_t* TotalFrames) {
  // Single precision on purpose: the frame count must come out the same as
  // the float product the rest of the program reasons with.
  const float P = *DurationSeconds * static_cast<float>(SampleRate);
  if (!(P > 0.0f)) {  // zero, negative and NaN alike
    *TotalFrames = 0;
    return;
  }
  if (PeriodFrames <= 0) {  // no whole number of periods can cover P
    *TotalFrames = -1;
    return;
  }

  // The count is the smallest c = k x PeriodFrames (k >= 1) for which
  // P > (float)c fails. float(c) never decreases as c grows, so that test
  // is monotonic in k and the answer can be found without counting periods
  // one by one.
  const int64_t period = PeriodFrames;
  const int64_t kMax = kMaxTotalFrames / period;
  const auto covers = [&](int64_t k) { return !(P > static_cast<float>(k * period)); };
  // Also catches +inf and periods longer than the counter limit (kMax 0).
  if (kMax < 1 || !covers(kMax)) {
    *TotalFrames = -1;
    return;
  }

  // P <= float(kMax x period) <= 2^36 here, so the estimate is in range.
  auto k = static_cast<int64_t>(std::ceil(static_cast<double>(P) / static_cast<double>(period)));
  if (k < 1) k = 1;
  if (k > kMax) k = kMax;
  // The exact estimate can sit just above the answer when float(c) rounds
  // up to P, and a few periods at most away in either direction: float
  // spacing below 2^36 is at most 4096 frames.
  while (k > 1 && covers(k - 1)) --k;
  while (!covers(k)) ++k;
  *TotalFrames = k * period;
}

bool DurationPlannable(float DurationSeconds, uint32_t SampleRate) {
  // A device that grants another period changes the rounding by less than
  // one period, and the run plans again with what it was granted.
  constexpr int32_t kRequestedPeriodFrames = 4096;
  if (!std::isfinite(DurationSeconds)) return false;
  int64_t TotalFrames = 0;
  QUANTIZE(kRequestedPeriodFrames, SampleRate, &DurationSeconds, &TotalFrames);
  return TotalFrames >= 0;
}

double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int64_t NewTime() { return static_cast<int64_t>(std::time(nullptr)) - kNameEpoch; }

void FormatRemaining(int64_t TotalFrames, int64_t NegFramesDone, uint32_t SampleRate,
                     std::string* text) {
  const float frames = static_cast<float>(TotalFrames + NegFramesDone);
  const float rate = static_cast<float>(SampleRate);
  const float seconds = frames / rate;
  char line[64];
  std::snprintf(line, sizeof line, "\rrem = %.2f sec", static_cast<double>(seconds));
  text->append(line);
}

void UpdateClock(int64_t TotalFrames, int64_t NegFramesDone, uint32_t SampleRate) {
  std::string text;
  FormatRemaining(TotalFrames, NegFramesDone, SampleRate, &text);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}
