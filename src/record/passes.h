// The main thread's pass over each period of a take (private to
// src/record), in capture order: the period's overrun lines, the previous
// period's clip warnings and peaks, the remaining time and the meter, then
// the held peaks. Each period is scanned as soon as it is handed over, but
// what the scan found is shown and counted one pass later, so the meter
// trails the written audio by a period; the last period's scan is counted
// once the passes are over (FoldLastScan), for the summary.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>

struct Console;
struct PeriodRecord;

struct Passes {
  Console* console = nullptr;
  uint32_t SampleBytes = 0;
  uint32_t SampleRate = 0;
  snd_pcm_uframes_t PeriodFrames = 0;
  int64_t TotalFrames = 0;
  int32_t ChannelEnabled[2] = {1, 0};
  int32_t InterleavedStereo = 0;
  uint32_t HoldPeriods = 0;
  bool twoChannelMeter = false;
  int32_t meterChannels = 1;
  // The periods are the device's interleaved frames, not channel areas.
  bool interleaved = false;

  int64_t RunPeak[2] = {0, 0};
  int64_t PeriodPeak[2] = {0, 0};
  int64_t HeldPeak[2] = {0, 0};
  int64_t FramesDone = 0;
  int32_t HoldCount = 0;
  int32_t OverrunCount = 0;
  int32_t MeterFirstCall = 1;
  uint64_t count = 0;         // passes made, silent ones included
  uint64_t silentFrames = 0;  // silence written in place of lost audio
  bool heard = false;         // frames have arrived: there is a take

  int64_t scanned[2] = {0, 0};  // the peaks of the period before
  std::string warnings;         // its clip warnings
  std::string line;

  // One record the capture thread handed over, with its audio (null for a
  // record without).
  void Take(const PeriodRecord& record, const uint8_t* audio);
  // `period` null: a period lost to a full ring, written as silence.
  void Pass(const uint8_t* period, uint32_t overruns);
  // Counts what the last scan found: its clip warnings and its peaks. True
  // when it warned.
  bool FoldLastScan();

 private:
  bool Scanned(int ch) const { return ChannelEnabled[ch] != 0 || InterleavedStereo != 0; }
  void Scan(const uint8_t* period, uint32_t frames);
  void Hold();
  // `frames` that found the ring full: each whole period a dropout of its
  // own, and a part of one at a stop.
  void LostToFullRing(uint64_t frames, uint32_t overruns);
  // The take ended inside a period: what arrived of it is scanned for the
  // summary.
  void TakePartial(const PeriodRecord& record, const uint8_t* audio);
  void CountOverruns(uint32_t overruns);
};

// The report at the end of a take: each channel's peak, the overruns and
// the silence written for them.
std::string Summary(const int64_t RunPeak[2], const int32_t ChannelEnabled[2],
                    int32_t InterleavedStereo, uint32_t SampleBytes, int32_t OverrunCount,
                    double silenceSeconds);
