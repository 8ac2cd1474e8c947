// One recording run: device set-up, preparation, the capture loop, summary.
#include "record/record.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "cli/cli.h"
#include "meter/meter.h"
#include "record/device.h"
#include "record/outputs.h"
#include "wav/wav.h"

namespace {

constexpr float kMeterSpanDb = 45.0f;
constexpr float kMeterDecayDb = 11.25f;

// The signal that asked the run to stop, 0 while none has.
volatile sig_atomic_t stopSignal = 0;

// Only notes the request: the loop ends at the end of the current period and
// makes the files whole. A second signal while that happens ends the process
// at once, as the first would have without this handler.
void RequestStop(int sig) {
  if (stopSignal != 0) {
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  stopSignal = sig;
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked read returns, so the stop is not delayed.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored from the start stays ignored: under nohup a hangup
    // must not end the take.
    struct sigaction before {};
    sigaction(sig, nullptr, &before);
    if (before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
  }
}

// Ends the process the way the stop signal would have ended it.
[[noreturn]] void EndBySignal(int sig) {
  std::fflush(stdout);
  signal(sig, SIG_DFL);
  raise(sig);
  std::_Exit(128 + sig);
}

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

// Appends `bytes` to one output file. False, with errno set, when the write
// did not complete. No seek to the data offset is needed: the file is open
// for appending and only ever receives whole periods, and the take ends at
// the first write that fails, so its end is always that offset.
bool WriteData(FILE* file, const uint8_t* data, size_t bytes) {
  errno = 0;
  if (std::fwrite(data, 1, bytes, file) != bytes) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}

// Scans the period read in the previous pass for each recorded channel.
void ScanPeriod(const uint8_t* Y, snd_pcm_uframes_t PeriodFrames, uint32_t SampleBytes,
                const int32_t ChannelEnabled[2], int32_t InterleavedStereo, int64_t RunPeak[2],
                int64_t PeriodPeak[2]) {
  const size_t PeriodBytes = SampleBytes * PeriodFrames;
  for (int ch = 0; ch < 2; ++ch) {
    if (!ChannelEnabled[ch] && InterleavedStereo == 0) continue;
    PeriodPeak[ch] = 0;
    CheckPeak(ch, static_cast<int32_t>(PeriodFrames), SampleBytes, RunPeak, Y + ch * PeriodBytes,
              PeriodPeak);
  }
}

// Writes `bytes` of each open file's data for this pass: from the channel
// areas of `data` (PeriodBytes apart) for mono files, or the interleaved
// period for the stereo file. Reports the first failure and returns false.
bool WritePeriod(OutputSet* outputs, const uint8_t* data, size_t PeriodBytes, size_t bytes) {
  for (int slot = 0; slot < 2; ++slot) {
    FILE* file = outputs->OutputFile[slot].get();
    if (file == nullptr) continue;
    if (!WriteData(file, data + slot * PeriodBytes, bytes)) {
      std::fprintf(stderr, "\nCan't write to %s: %s\n", outputs->name[slot].c_str(),
                   std::strerror(errno));
      return false;
    }
  }
  return true;
}

// Closes every output file. On a stopped or failed take each file is first
// cut to what it holds, and its header rewritten to say so, through the
// descriptor of the take: whatever now has the file's name is not touched.
// Reports the first failure and returns false.
bool CloseOutputs(OutputSet* outputs, uint32_t blockAlign, bool makeWhole) {
  bool ok = true;
  const auto report = [&](int slot, const char* what) {
    if (ok)
      std::fprintf(stderr, "%s %s: %s\n", what, outputs->name[slot].c_str(),
                   std::strerror(errno ? errno : EIO));
    ok = false;
  };
  for (int slot = 0; slot < 2; ++slot) {
    FileHandle& file = outputs->OutputFile[slot];
    if (!file) continue;
    // A second descriptor outlives the stream, so the file is made whole
    // after the stream has written all it could.
    const int keep = fcntl(fileno(file.get()), F_DUPFD_CLOEXEC, 0);
    errno = 0;
    const bool closed = std::fclose(file.release()) == 0;
    if (!closed) report(slot, "Can't write to");
    if (keep < 0) {
      report(slot, "Can't finish");
      continue;
    }
    if ((makeWhole || !closed) && !MakeWavWhole(keep, blockAlign)) report(slot, "Can't finish");
    close(keep);
  }
  return ok;
}

}  // namespace

void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2]) {
  int64_t RunPeak[2] = {0, 0};
  int64_t PeriodPeak[2] = {0, 0};
  int64_t HeldPeak[2] = {0, 0};
  const int32_t ChannelEnabled[2] = {1, ChannelCount == 2 ? 1 : 0};
  // Past a file size limit a write fails with EFBIG, which is handled like a
  // full disk, instead of the process being killed with the files unfinished.
  signal(SIGXFSZ, SIG_IGN);

  CaptureDevice device;
  if (!SetUpCaptureDevice(DeviceName, SampleRate, SampleBytes, &device)) EndRun();
  snd_pcm_t* const pcm = device.handle.get();
  const snd_pcm_uframes_t PeriodFrames = device.PeriodFrames;
  const size_t PeriodBytes = SampleBytes * PeriodFrames;

  // A device fixed at another rate records at that rate, whatever was asked;
  // files stamped with the requested one would play at the wrong speed.
  if (device.grantedRate != SampleRate) {
    std::printf("%s records at %u Hz, not %u Hz: the take is made at %u Hz.\n", DeviceName.c_str(),
                device.grantedRate, SampleRate, device.grantedRate);
    SampleRate = device.grantedRate;
    const uint32_t channelsPerFile = InterleavedStereo ? 2 : 1;
    if (!DurationFits(DurationSeconds, SampleRate, SampleBytes, channelsPerFile)) {
      std::puts("Improper duration request");
      std::printf("The longest recording in this format and channel mode is %u seconds.\n",
                  LongestDurationSeconds(SampleRate, SampleBytes, channelsPerFile));
      EndRun();
    }
  }
  // Three seconds' worth of 4096-frame periods of hold.
  const uint32_t HoldPeriods = (SampleRate * 3) >> 12;

  // Every buffer of the run is sized once, here; the loop allocates nothing.
  // All live on the heap: a device may grant a large period.
  std::vector<uint8_t> CaptureBufferA, CaptureBufferB, StereoBuffer, ReadScratch;
  try {
    CaptureBufferA.assign(2 * PeriodBytes, 0);
    CaptureBufferB.assign(2 * PeriodBytes, 0);
    StereoBuffer.assign(2 * PeriodBytes, 0);
    if (device.interleaved) ReadScratch.assign(2 * PeriodBytes, 0);
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
                      SampleRate, TotalFrames, SampleBytes, NameStatus, &outputs))
    EndRun();

  std::puts(InterleavedStereo == 1 ? "Recording in Stereo" : "Recording");
  snd_pcm_prepare(pcm);

  int64_t FramesDone = 0;
  int32_t HoldCount = 0;
  int32_t OverrunCount = 0;
  int32_t MeterFirstCall = 1;
  const bool twoChannelMeter = ChannelCount == 2 || InterleavedStereo == 1;
  const int32_t meterChannels = InterleavedStereo == 1 ? 2 : ChannelCount;
  const uint32_t blockAlign = SampleBytes * (InterleavedStereo ? 2 : 1);
  bool failed = false;      // the take could not be written whole
  bool deviceLost = false;  // the device failed; what it delivered is kept

  CatchStopSignals();
  for (int64_t pass = 0; FramesDone < TotalFrames; ++pass) {
    // X receives this pass's period; Y still holds the previous one, which
    // is what gets scanned: the meter trails the written audio by a period.
    uint8_t* const X = (pass % 2 == 0 ? CaptureBufferA : CaptureBufferB).data();
    uint8_t* const Y = (pass % 2 == 0 ? CaptureBufferB : CaptureBufferA).data();

    snd_pcm_avail_update(pcm);
    snd_pcm_wait(pcm, 1);
    snd_pcm_uframes_t arrived = 0;
    const snd_pcm_sframes_t got = ReadPeriod(device, X, X + PeriodBytes, ReadScratch.data(),
                                             SampleBytes, &stopSignal, &arrived);
    // A stop that cut the read short keeps what did arrive, and no more.
    snd_pcm_uframes_t frames = PeriodFrames;
    if (got == -EINTR) {
      frames = arrived;
    } else if (got < 0) {
      const bool overrun = got == -EPIPE || got == -ESTRPIPE;
      const int lost = overrun ? RecoverStream(pcm, got) : static_cast<int>(got);
      if (overrun && lost == 0) {
        // What did not arrive is lost, and is written as silence so the
        // file keeps its timing and never repeats older audio.
        ++OverrunCount;
        std::puts("\nRX");
        const size_t keep = arrived * SampleBytes;
        std::memset(X + keep, 0, PeriodBytes - keep);
        std::memset(X + PeriodBytes + keep, 0, PeriodBytes - keep);
      }
      if (lost < 0) {
        // The device is gone (unplugged, its server ended): keep what it
        // delivered up to here.
        std::fprintf(stderr, "\nRecording from %s failed: %s\n", DeviceName.c_str(),
                     snd_strerror(lost));
        deviceLost = true;
        frames = arrived;
      }
    }

    ScanPeriod(Y, PeriodFrames, SampleBytes, ChannelEnabled, InterleavedStereo, RunPeak,
               PeriodPeak);
    if (InterleavedStereo == 1)
      Interleave(static_cast<int32_t>(PeriodFrames), static_cast<int32_t>(SampleBytes), X,
                 X + PeriodBytes, StereoBuffer.data());
    failed = !WritePeriod(&outputs, InterleavedStereo == 1 ? StereoBuffer.data() : X, PeriodBytes,
                          frames * blockAlign) ||
             deviceLost;
    if (failed) break;
    FramesDone += static_cast<int64_t>(PeriodFrames);

    // One console write per period: the meter flushes the whole line.
    PrintRemaining(TotalFrames, -FramesDone, SampleRate);
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
    if (stopSignal != 0) break;
  }

  PrintSummary(RunPeak, ChannelEnabled, InterleavedStereo, SampleBytes, OverrunCount);
  const bool interrupted = failed || stopSignal != 0;
  if (!CloseOutputs(&outputs, blockAlign, interrupted)) failed = true;
  if (!failed) std::puts("Done");
  // The summary must reach the user even if shutting the device down hangs.
  std::fflush(stdout);
  // Nothing is read after the loop, so a capture stream is stopped, not drained.
  snd_pcm_drop(pcm);
  device.handle.reset();
  if (failed) EndRun();
  if (stopSignal != 0) EndBySignal(stopSignal);
}
