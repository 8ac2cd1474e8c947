#include "record/passes.h"

#include <algorithm>
#include <cstdio>

#include "meter/meter.h"
#include "record/common.h"
#include "record/console.h"
#include "record/ring.h"

namespace {

constexpr float kMeterSpanDb = 45.0f;
constexpr float kMeterDecayDb = 11.25f;

}  // namespace

void Passes::Scan(const uint8_t* period, uint32_t frames) {
  int64_t ignored[2] = {0, 0};
  // Frames hold both channels, and a stereo take scans both.
  if (interleaved) {
    CheckPeakFrames(static_cast<int32_t>(frames), SampleBytes, ignored, period, scanned, &warnings);
    return;
  }
  const size_t PeriodBytes = SampleBytes * PeriodFrames;
  for (int ch = 0; ch < 2; ++ch) {
    if (!Scanned(ch)) continue;
    CheckPeak(ch, static_cast<int32_t>(frames), SampleBytes, ignored, period + ch * PeriodBytes,
              scanned, &warnings);
  }
}

bool Passes::FoldLastScan() {
  const bool warned = !warnings.empty();
  if (warned) Say(console, 1, warnings);
  warnings.clear();
  for (int ch = 0; ch < 2; ++ch)
    if (Scanned(ch) && RunPeak[ch] < scanned[ch]) RunPeak[ch] = scanned[ch];
  return warned;
}

// Held peaks: raised at once, set back to the current period's peaks once
// the hold window has passed.
void Passes::Hold() {
  ++HoldCount;
  if (PeriodPeak[0] > HeldPeak[0]) HeldPeak[0] = PeriodPeak[0];
  if (twoChannelMeter && PeriodPeak[1] > HeldPeak[1]) HeldPeak[1] = PeriodPeak[1];
  if (HoldCount > static_cast<int32_t>(HoldPeriods)) {
    HoldCount = 0;
    HeldPeak[0] = PeriodPeak[0];
    if (twoChannelMeter) HeldPeak[1] = PeriodPeak[1];
  }
}

void Passes::Pass(const uint8_t* period, uint32_t overruns) {
  line.clear();
  for (uint32_t i = 0; i < overruns; ++i) line += "\nRX\n";
  OverrunCount += static_cast<int32_t>(overruns);
  line += warnings;
  for (int ch = 0; ch < 2; ++ch) {
    if (!Scanned(ch)) continue;
    PeriodPeak[ch] = scanned[ch];
    RunPeak[ch] = std::max(RunPeak[ch], scanned[ch]);
  }
  if (!line.empty()) Say(console, 1, line);

  warnings.clear();
  scanned[0] = scanned[1] = 0;
  if (period != nullptr)
    Scan(period, static_cast<uint32_t>(PeriodFrames));
  else
    silentFrames += PeriodFrames;

  FramesDone += static_cast<int64_t>(PeriodFrames);
  ++count;
  line.clear();
  FormatRemaining(TotalFrames, -FramesDone, SampleRate, &line);
  StereoMeter(PeriodPeak, kMeterSpanDb, &MeterFirstCall, kMeterDecayDb,
              static_cast<int32_t>(SampleBytes), meterChannels, HeldPeak, &line);
  Say(console, 1, line, true);
  Hold();
}

void Passes::CountOverruns(uint32_t overruns) {
  if (overruns == 0) return;
  line.clear();
  for (uint32_t i = 0; i < overruns; ++i) line += "\nRX\n";
  Say(console, 1, line);
  OverrunCount += static_cast<int32_t>(overruns);
}

void Passes::LostToFullRing(uint64_t frames, uint32_t overruns) {
  for (; frames >= PeriodFrames; frames -= PeriodFrames, overruns = 0) Pass(nullptr, overruns + 1);
  CountOverruns(overruns + (frames > 0 ? 1 : 0));
  silentFrames += frames;
}

void Passes::TakePartial(const PeriodRecord& record, const uint8_t* audio) {
  CountOverruns(record.overruns);
  silentFrames += record.silentFrames;
  if (record.frames == 0) return;
  FoldLastScan();
  scanned[0] = scanned[1] = 0;
  Scan(audio, static_cast<uint32_t>(record.frames));
}

void Passes::Take(const PeriodRecord& record, const uint8_t* audio) {
  if (record.frames > 0) heard = true;
  if (audio == nullptr) {
    LostToFullRing(record.frames, record.overruns);
  } else if (record.frames == PeriodFrames) {
    silentFrames += record.silentFrames;
    Pass(audio, record.overruns);
  } else {
    TakePartial(record, audio);
  }
}

std::string Summary(const int64_t RunPeak[2], const int32_t ChannelEnabled[2],
                    int32_t InterleavedStereo, uint32_t SampleBytes, int32_t OverrunCount,
                    double silenceSeconds) {
  std::string text = "\n\nInput Channel Peaks:\n";
  char line[80];
  for (int i = 0; i < 2; ++i) {
    if (!ChannelEnabled[i] && !(i == 1 && InterleavedStereo)) continue;
    const float level = static_cast<float>(LevelDb(RunPeak[i], SampleBytes));
    std::snprintf(line, sizeof line, "\tchannel %i: %.2f dBFS\n", i + 1,
                  static_cast<double>(level));
    text += line;
  }
  if (OverrunCount != 0) {
    std::snprintf(line, sizeof line, "\nRecord Overruns = %i\n", OverrunCount);
    text += line;
  }
  if (silenceSeconds > 0) {
    std::snprintf(line, sizeof line, "Silence written in place of lost audio = %.2f sec\n",
                  silenceSeconds);
    text += line;
  }
  return text;
}
