#include <cstdio>
#include <string>

#include "meter/meter.h"

namespace {

constexpr int kCells = 24;

// The bar for a level of `Current` dB, `span` dB wide in cells of `cellDb`:
// a started cell counts, so the bar is ceil(bars) cells long, compared in
// float.
void DrawBar(double Current, float span, float cellDb, char cells[kCells + 1]) {
  float bars;
  if (Current < -static_cast<double>(span)) {
    bars = 0.0f;
  } else {
    bars = static_cast<float>((Current + static_cast<double>(span)) / static_cast<double>(cellDb));
    if (bars > static_cast<float>(kCells)) {
      bars = static_cast<float>(kCells);
    }
  }
  int filled = 0;
  if (bars > 0.0f) {
    do {
      cells[filled++] = '|';
    } while (bars > static_cast<float>(filled));
  }
  for (; filled < kCells; ++filled) {
    cells[filled] = ' ';
  }
  cells[kCells] = '\0';
}

}  // namespace

// The mixture of single and double precision below is deliberate: the period
// level is kept in `Last` as a float but compared in double with the next
// period's level, and that rounding decides whether a steady tone holds the bar
// or lets it fall by a step. Change no type or conversion here without checking
// the steady-level cases in the tests.
void StereoMeter(const int64_t* PeriodPeak, float span, int32_t* MeterFirstCall, float decay,
                 int32_t SampleBytes, int32_t meterChannels, const int64_t* HeldPeak,
                 std::string* text) {
  static double Current = -144.0;  // dB the bar shows
  static float Last = -144.0f;     // previous period's level, dB
  static float realPeakL = -144.0f;
  static float realPeakR = -144.0f;

  const auto bytes = static_cast<uint32_t>(SampleBytes);
  // Two channels: the mean of the period peaks, truncated toward zero.
  const int64_t level = meterChannels == 2
                            ? static_cast<int64_t>(0.5 * static_cast<double>(PeriodPeak[0]) +
                                                   0.5 * static_cast<double>(PeriodPeak[1]))
                            : PeriodPeak[0];
  const double levelDb = LevelDb(level, bytes);
  const float cellDb = span / static_cast<float>(kCells);

  if (*MeterFirstCall == 1) {
    *MeterFirstCall = 0;
    Current = -144.0;
    Last = -144.0f;
    realPeakL = -144.0f;
    realPeakR = -144.0f;
  }

  // Rise at once; otherwise fall one decay step, measured against the previous
  // period's level and not against the bar.
  if (levelDb > static_cast<double>(Last)) {
    Current = levelDb;
  } else {
    Current = Current - static_cast<double>(decay);
  }

  char line[128];
  int used = std::snprintf(line, sizeof line, "\t -%.0f dB [", static_cast<double>(span));

  char cells[kCells + 1];
  DrawBar(Current, span, cellDb, cells);

  // A held peak of 0 means nothing held: the readout keeps its last value.
  if (HeldPeak[0] != 0) {
    realPeakL = static_cast<float>(LevelDb(HeldPeak[0], bytes));
  }
  if (meterChannels == 2 && HeldPeak[1] != 0) {
    realPeakR = static_cast<float>(LevelDb(HeldPeak[1], bytes));
  }
  used += std::snprintf(line + used, sizeof line - used, "%s] %.1f", cells,
                        static_cast<double>(realPeakL));
  if (meterChannels == 2) {
    used +=
        std::snprintf(line + used, sizeof line - used, " / %.1f", static_cast<double>(realPeakR));
  }
  std::snprintf(line + used, sizeof line - used, " dB   ");

  Last = static_cast<float>(levelDb);
  if (text != nullptr) {
    text->append(line);
  } else {
    std::fputs(line, stdout);
    std::fflush(stdout);
  }
}
