// One recording run: device set-up, preparation, the capture loop, summary.
#include "record/record.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "meter/meter.h"
#include "record/device.h"
#include "record/outputs.h"
#include "wav/wav.h"

namespace {

constexpr float kMeterSpanDb = 45.0f;
constexpr float kMeterDecayDb = 11.25f;

[[noreturn]] void EndRun() {
  std::fflush(stdout);
  std::exit(1);
}

// The data of a take must be describable by the 32-bit WAV size fields.
bool FitsWavSizes(int64_t TotalFrames, uint32_t SampleBytes, int32_t InterleavedStereo) {
  const uint64_t blockAlign = SampleBytes * (InterleavedStereo ? 2u : 1u);
  return static_cast<uint64_t>(TotalFrames) * blockAlign + 36 < (uint64_t{1} << 32);
}

void PrintSummary(const int64_t RunPeak[2], const int32_t ChannelEnabled[2],
                  int32_t InterleavedStereo, uint32_t SampleBytes, int32_t OverrunCount) {
  std::printf("\n\nInput Channel Peaks:\n");
  for (int i = 0; i < 2; ++i) {
    if (!ChannelEnabled[i] && !(i == 1 && InterleavedStereo)) continue;
    const float level = static_cast<float>(LevelDb(RunPeak[i], SampleBytes));
    std::printf("\tchannel %i: %.2f dBFS\n", i + 1, static_cast<double>(level));
  }
  if (OverrunCount != 0) std::printf("\nRecord Overruns = %i\n", OverrunCount);
}

}  // namespace

void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo) {
  // Run state: three seconds' worth of 4096-frame periods of hold.
  const uint32_t HoldPeriods = (SampleRate * 3) >> 12;
  int64_t RunPeak[2] = {0, 0};
  int64_t PeriodPeak[2] = {0, 0};
  int64_t HeldPeak[2] = {0, 0};
  const int32_t ChannelEnabled[2] = {1, ChannelCount == 2 ? 1 : 0};

  CaptureDevice device;
  if (!SetUpCaptureDevice(DeviceName, SampleRate, SampleBytes, &device)) EndRun();
  snd_pcm_t* const pcm = device.handle.get();
  const snd_pcm_uframes_t PeriodFrames = device.PeriodFrames;
  const size_t PeriodBytes = SampleBytes * PeriodFrames;

  // Every buffer of the run is sized once, here; the loop allocates nothing.
  // All three live on the heap: a device may grant a large period.
  std::vector<uint8_t> CaptureBufferA, CaptureBufferB, StereoBuffer;
  try {
    CaptureBufferA.assign(2 * PeriodBytes, 0);
    CaptureBufferB.assign(2 * PeriodBytes, 0);
    StereoBuffer.assign(2 * PeriodBytes, 0);
  } catch (const std::bad_alloc&) {
    std::printf("Can't allocate capture buffers of %zu bytes for %s\n", 2 * PeriodBytes,
                DeviceName.c_str());
    EndRun();
  }

  int64_t TotalFrames = 0;
  QUANTIZE(static_cast<int32_t>(PeriodFrames), SampleRate, &DurationSeconds, &TotalFrames);
  if (TotalFrames < 0 || !FitsWavSizes(TotalFrames, SampleBytes, InterleavedStereo)) {
    std::puts("Improper duration request");
    std::printf("Rounded up to whole periods of %lu frames, the take is too long for one file.\n",
                static_cast<unsigned long>(PeriodFrames));
    EndRun();
  }

  OutputSet outputs;
  if (!PrepareOutputs(AutoNames, FileList, NameScratch, ChannelEnabled, InterleavedStereo,
                      SampleRate, TotalFrames, SampleBytes, &outputs))
    EndRun();

  std::puts(InterleavedStereo == 1 ? "Recording in Stereo" : "Recording");
  snd_pcm_prepare(pcm);

  int64_t FramesDone = 0;
  int32_t HoldCount = 0;
  int32_t OverrunCount = 0;
  int32_t MeterFirstCall = 1;
  const bool twoChannelMeter = ChannelCount == 2 || InterleavedStereo == 1;
  const int32_t meterChannels = InterleavedStereo == 1 ? 2 : ChannelCount;
  const long bytesPerFrame = static_cast<long>(SampleBytes) * (InterleavedStereo ? 2 : 1);

  for (int64_t pass = 0; FramesDone < TotalFrames; ++pass) {
    // X receives this pass's period; Y still holds the previous one, which
    // is what gets scanned: the meter trails the written audio by a period.
    uint8_t* const X = (pass % 2 == 0 ? CaptureBufferA : CaptureBufferB).data();
    uint8_t* const Y = (pass % 2 == 0 ? CaptureBufferB : CaptureBufferA).data();

    snd_pcm_avail_update(pcm);
    snd_pcm_wait(pcm, 1);
    snd_pcm_uframes_t arrived = 0;
    const snd_pcm_sframes_t got =
        ReadPeriod(pcm, X, X + PeriodBytes, PeriodFrames, SampleBytes, &arrived);
    if (got < 0) {
      // What did not arrive is lost: it is written as silence, so the file
      // keeps its timing and never repeats older audio as if it were new.
      const size_t keep = arrived * SampleBytes;
      std::memset(X + keep, 0, PeriodBytes - keep);
      std::memset(X + PeriodBytes + keep, 0, PeriodBytes - keep);
      if (got == -EPIPE) {
        ++OverrunCount;
        std::puts("\nRX");
        snd_pcm_prepare(pcm);
      }
    }

    const long offset = kWavHeaderBytes + static_cast<long>(FramesDone) * bytesPerFrame;
    if (InterleavedStereo == 0) {
      for (int ch = 0; ch < 2; ++ch) {
        if (!ChannelEnabled[ch]) continue;
        PeriodPeak[ch] = 0;
        CheckPeak(ch, static_cast<int32_t>(PeriodFrames), SampleBytes, RunPeak,
                  Y + ch * PeriodBytes, PeriodPeak);
        FILE* file = outputs.OutputFile[ch].get();
        if (file == nullptr) continue;
        std::fseek(file, offset, SEEK_SET);
        std::fwrite(X + ch * PeriodBytes, SampleBytes, PeriodFrames, file);
      }
    } else {
      PeriodPeak[0] = PeriodPeak[1] = 0;
      CheckPeak(0, static_cast<int32_t>(PeriodFrames), SampleBytes, RunPeak, Y, PeriodPeak);
      CheckPeak(1, static_cast<int32_t>(PeriodFrames), SampleBytes, RunPeak, Y + PeriodBytes,
                PeriodPeak);
      FILE* file = outputs.OutputFile[0].get();
      Interleave(static_cast<int32_t>(PeriodFrames), static_cast<int32_t>(SampleBytes), X,
                 X + PeriodBytes, StereoBuffer.data());
      if (file != nullptr) {
        std::fseek(file, offset, SEEK_SET);
        std::fwrite(StereoBuffer.data(), 1, 2 * PeriodBytes, file);
      }
    }
    FramesDone += static_cast<int64_t>(PeriodFrames);

    UpdateClock(TotalFrames, -FramesDone, SampleRate);
    StereoMeter(PeriodPeak, kMeterSpanDb, &MeterFirstCall, kMeterDecayDb,
                static_cast<int32_t>(SampleBytes), meterChannels, HeldPeak);

    // Held peaks: raised at once, set back to the current period's peaks
    // once the hold window has passed.
    ++HoldCount;
    if (PeriodPeak[0] > HeldPeak[0]) HeldPeak[0] = PeriodPeak[0];
    if (twoChannelMeter && PeriodPeak[1] > HeldPeak[1]) HeldPeak[1] = PeriodPeak[1];
    if (HoldCount > static_cast<int32_t>(HoldPeriods)) {
      HoldCount = 0;
      HeldPeak[0] = PeriodPeak[0];
      if (twoChannelMeter) HeldPeak[1] = PeriodPeak[1];
    }
  }

  PrintSummary(RunPeak, ChannelEnabled, InterleavedStereo, SampleBytes, OverrunCount);
  for (FileHandle& file : outputs.OutputFile) file.reset();
  std::puts("Done");
  // The summary must reach the user even if shutting the device down hangs.
  std::fflush(stdout);
  // Nothing is read after the loop, so a capture stream is stopped, not drained.
  snd_pcm_drop(pcm);
  device.handle.reset();
}
