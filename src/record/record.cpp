// One recording run: device set-up, preparation, the capture loop, summary.
//
// Four threads share a take. The capture thread reads the device and nothing
// else (capture.cpp). This thread runs each period's pass in order: overrun
// decisions, the peak scan, the meter and the held peaks. The file writer
// writes, syncs and finishes the files (writer.cpp), and the console thread
// alone writes standard output and error (console.cpp). Periods travel
// through one ring allocated before the take; no thread waits on another's
// disk or terminal.
#include "record/record.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "meter/meter.h"
#include "record/capture.h"
#include "record/console.h"
#include "record/device.h"
#include "record/outputs.h"
#include "record/writer.h"
#include "wav/wav.h"

namespace {

constexpr float kMeterSpanDb = 45.0f;
constexpr float kMeterDecayDb = 11.25f;
// The ring absorbs a disk or a file system that stalls for this long.
constexpr double kRingSeconds = 10.0;
// After a stop, the capture thread is waited for this long; one stuck in a
// sound server's plugin is then left behind and the files finished anyway.
constexpr int kCaptureGraceMs = 100;
// Letting go of the device, and a console that does not take the last lines
// of a stopped take, are waited for this long.
constexpr int kShutdownGraceMs = 1000;

// Stop signals. The handler runs on the main thread only (the other threads
// block these signals) and only notes the request and wakes the threads.
volatile sig_atomic_t stopSignal = 0;  // the first stop signal
volatile sig_atomic_t lastSignal = 0;  // the latest one that counted
volatile sig_atomic_t stopCount = 0;
std::atomic<bool> abandonRequested{false};
Wakeups* signalWakeups = nullptr;

// First stop: the take ends and everything captured is written. A second
// SIGINT or SIGTERM: what was captured but not yet written is given up. A
// third ends the process at once. A repeated SIGHUP never counts: closing a
// terminal window sends two.
void OnStopSignal(int sig) {
  const int savedErrno = errno;
  if (stopCount == 0) {
    stopCount = 1;
    stopSignal = sig;
    lastSignal = sig;
    if (signalWakeups != nullptr) {
      signalWakeups->stopRequested.store(true);
      Wake(signalWakeups->stop);
      Wake(signalWakeups->main);
    }
  } else if (sig != SIGHUP) {
    stopCount = stopCount + 1;
    lastSignal = sig;
    if (stopCount == 2) {
      abandonRequested.store(true);
      if (signalWakeups != nullptr) Wake(signalWakeups->main);
    } else {
      signal(sig, SIG_DFL);
      raise(sig);
    }
  }
  errno = savedErrno;
}

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait is cut short, so the stop is not delayed.
  for (int sig : kStopSignals) {
    // A signal ignored from the start stays ignored: under nohup a hangup
    // must not end the take.
    struct sigaction before {};
    sigaction(sig, nullptr, &before);
    if (before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
  }
}

// Starts a thread that never receives a stop signal, so that the handler
// always runs on this thread.
template <typename F>
std::thread StartQuietThread(F body) {
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : kStopSignals) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  std::thread thread(body);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
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

// Sleeps until another thread has news (or `timeoutMs` passes).
void WaitForNews(Wakeups* wake, int timeoutMs) {
  pollfd p{wake->main, POLLIN, 0};
  poll(&p, 1, timeoutMs);
  Drain(wake->main);
}

std::string Summary(const int64_t RunPeak[2], const int32_t ChannelEnabled[2],
                    int32_t InterleavedStereo, uint32_t SampleBytes, int32_t OverrunCount) {
  std::string text = "\n\nInput Channel Peaks:\n";
  char line[64];
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
  return text;
}

// The pass of each period, in capture order: this period's overrun line, the
// previous period's clip warnings and peaks, the remaining time and the
// meter, then the held peaks. Each period is scanned as soon as it is
// decided, but what the scan found is shown and counted one pass later, so
// the meter trails the written audio by a period and the last period never
// enters the run's peaks.
struct Passes {
  Console* console = nullptr;
  uint32_t SampleBytes = 0;
  uint32_t SampleRate = 0;
  snd_pcm_uframes_t PeriodFrames = 0;
  int64_t TotalFrames = 0;
  const int32_t* ChannelEnabled = nullptr;
  int32_t InterleavedStereo = 0;
  uint32_t HoldPeriods = 0;
  bool twoChannelMeter = false;
  int32_t meterChannels = 1;

  int64_t RunPeak[2] = {0, 0};
  int64_t PeriodPeak[2] = {0, 0};
  int64_t HeldPeak[2] = {0, 0};
  int64_t FramesDone = 0;
  int32_t HoldCount = 0;
  int32_t OverrunCount = 0;
  int32_t MeterFirstCall = 1;
  uint64_t count = 0;  // passes made, silent ones included

  int64_t scanned[2] = {0, 0};  // the peaks of the period before
  std::string warnings;         // its clip warnings
  std::string line;
  uint8_t* split = nullptr;  // room for the channel areas of an interleaved period, if needed

  // `period` null: a period lost to a full ring, written as silence.
  void Pass(const uint8_t* period, bool overrun) {
    line.clear();
    if (overrun) {
      ++OverrunCount;
      line += "\nRX\n";
    }
    line += warnings;
    for (int ch = 0; ch < 2; ++ch) {
      if (!ChannelEnabled[ch] && InterleavedStereo == 0) continue;
      PeriodPeak[ch] = scanned[ch];
      if (RunPeak[ch] < scanned[ch]) RunPeak[ch] = scanned[ch];
    }
    if (!line.empty()) Say(console, 1, line);

    warnings.clear();
    scanned[0] = scanned[1] = 0;
    const size_t PeriodBytes = SampleBytes * PeriodFrames;
    if (period != nullptr && split != nullptr) {
      // Frames as the device delivered them: split into the channel areas
      // the scan reads, here, where they stay in this core's cache.
      Deinterleave(static_cast<int32_t>(PeriodFrames), static_cast<int32_t>(SampleBytes), period,
                   split, split + PeriodBytes);
      period = split;
    }
    for (int ch = 0; ch < 2 && period != nullptr; ++ch) {
      if (!ChannelEnabled[ch] && InterleavedStereo == 0) continue;
      int64_t ignored[2] = {0, 0};
      CheckPeak(ch, static_cast<int32_t>(PeriodFrames), SampleBytes, ignored,
                period + ch * PeriodBytes, scanned, &warnings);
    }

    FramesDone += static_cast<int64_t>(PeriodFrames);
    ++count;
    line.clear();
    FormatRemaining(TotalFrames, -FramesDone, SampleRate, &line);
    StereoMeter(PeriodPeak, kMeterSpanDb, &MeterFirstCall, kMeterDecayDb,
                static_cast<int32_t>(SampleBytes), meterChannels, HeldPeak, &line);
    Say(console, 1, line, true);

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
};

// Threads that could not be waited for are left to the end of the process.
void LetGo(std::thread& thread) {
  if (thread.joinable()) thread.detach();
}

}  // namespace

void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2]) {
  const int32_t ChannelEnabled[2] = {1, ChannelCount == 2 ? 1 : 0};
  // Past a file size limit a write fails with EFBIG, which is handled like a
  // full disk, instead of the process being killed with the files unfinished.
  signal(SIGXFSZ, SIG_IGN);
  // A console that goes away (a closed pipe, `| head`) or a background take
  // under `stty tostop` must not end or stop the take: the files matter.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);

  CaptureDevice device;
  if (!SetUpCaptureDevice(DeviceName, SampleRate, SampleBytes, &device)) EndRun();
  const snd_pcm_uframes_t PeriodFrames = device.PeriodFrames;
  const size_t PeriodBytes = SampleBytes * PeriodFrames;

  // A device fixed at another rate records at that rate, whatever was asked;
  // files stamped with the requested one would play at the wrong speed.
  if (device.grantedRate != SampleRate) {
    std::printf("%s records at %u Hz, not %u Hz: the take is made at %u Hz.\n", DeviceName.c_str(),
                device.grantedRate, SampleRate, device.grantedRate);
    SampleRate = device.grantedRate;
  }
  // Three seconds' worth of 4096-frame periods of hold.
  const uint32_t HoldPeriods = (SampleRate * 3) >> 12;

  int64_t TotalFrames = 0;
  QUANTIZE(static_cast<int32_t>(PeriodFrames), SampleRate, &DurationSeconds, &TotalFrames);
  if (TotalFrames < 0) {
    // Only a rate or a period other than those asked for can get here.
    std::puts("Improper duration request");
    EndRun();
  }

  // Every buffer of the take is sized once, here, and touched before it starts.
  CaptureRing ring;
  if (!AllocateRing(&ring, PeriodFrames, SampleBytes, SampleRate, kRingSeconds)) {
    std::printf("Can't allocate %.1f MB for the capture buffers of %s\n",
                kRingSeconds * SampleRate * 2 * SampleBytes / 1e6, DeviceName.c_str());
    EndRun();
  }
  ring.interleaved = device.interleaved && InterleavedStereo == 1;
  Wakeups wake;
  if (!OpenWakeups(&wake)) {
    std::printf("Can't prepare the take: %s\n", std::strerror(errno));
    EndRun();
  }
  signalWakeups = &wake;
  // From here on a stop finishes the files, whenever it comes.
  CatchStopSignals();

  OutputSet outputs;
  if (!PrepareOutputs(AutoNames, FileList, NameScratch, ChannelEnabled, InterleavedStereo,
                      SampleRate, TotalFrames, SampleBytes, PeriodFrames, NameStatus, &outputs))
    EndRun();
  const uint32_t blockAlign = SampleBytes * (InterleavedStereo ? 2 : 1);
  if (stopCount != 0) {
    // Stopped before the take started: no file of this run is left, and a
    // file being replaced is left whole and empty.
    RemoveCreatedOutputs(&outputs);
    for (int slot = 0; slot < 2; ++slot)
      if (outputs.fd[slot] >= 0)
        MakeWavWhole(outputs.fd[slot], blockAlign, outputs.format.headerBytes);
    EndBySignal(lastSignal);
  }

  // From here on only the console thread writes to standard output and error.
  std::fflush(stdout);
  std::fflush(stderr);
  Console console;
  StartConsole(&console);
  Say(&console, 1, InterleavedStereo == 1 ? "Recording in Stereo\n" : "Recording\n");

  WriterJob writer;
  writer.outputs = &outputs;
  writer.ring = &ring;
  writer.wake = &wake;
  writer.console = &console;
  writer.SampleBytes = SampleBytes;
  writer.PeriodFrames = PeriodFrames;
  writer.InterleavedStereo = InterleavedStereo;
  writer.work = wake.writer;
  std::thread writerThread = StartQuietThread([&writer] { RunWriter(&writer); });
  // Periods passed on to the writer; it is woken for a batch of them, or
  // when this thread is about to sleep.
  const auto passOn = [&](uint64_t slots) {
    writer.ready.store(slots, std::memory_order_release);
    if (slots % ring.WakeBatch() == 0 && writer.waiting.exchange(false)) Wake(writer.work);
  };
  const auto beforeSleep = [&] {
    if (writer.waiting.exchange(false)) Wake(writer.work);
    KickConsole(&console);
  };

  CaptureJob job;
  job.device = &device;
  job.ring = &ring;
  job.wake = &wake;
  job.SampleBytes = SampleBytes;
  job.SampleRate = SampleRate;
  job.totalPeriods = static_cast<uint64_t>(TotalFrames) / PeriodFrames;
  job.firstInputOnly = ChannelCount == 1 && InterleavedStereo == 0;
  std::thread captureThread;
  if (job.totalPeriods > 0) {
    captureThread = StartQuietThread([job] { RunCapture(job); });
  } else {
    ring.finished.store(true);
    device.handle.reset();
    ring.closed.store(true);
  }

  Passes passes;
  passes.console = &console;
  passes.SampleBytes = SampleBytes;
  passes.SampleRate = SampleRate;
  passes.PeriodFrames = PeriodFrames;
  passes.TotalFrames = TotalFrames;
  passes.ChannelEnabled = ChannelEnabled;
  passes.InterleavedStereo = InterleavedStereo;
  passes.HoldPeriods = HoldPeriods;
  passes.twoChannelMeter = ChannelCount == 2 || InterleavedStereo == 1;
  passes.meterChannels = InterleavedStereo == 1 ? 2 : ChannelCount;
  passes.line.reserve(256);
  if (ring.interleaved) passes.split = ring.spill.data() + 2 * ring.slotBytes;

  // The passes, as the capture thread hands periods over.
  uint64_t next = 0;
  bool lost = false;
  bool captureStuck = false;
  double stopDeadline = 0;
  for (bool ended = false; !ended;) {
    const uint64_t produced = ring.produced.load(std::memory_order_acquire);
    for (; next < produced && !ended; ++next) {
      PeriodInfo& info = ring.Info(next);
      uint8_t* period = ring.Slot(next);
      for (uint32_t d = 0; d < info.droppedBefore; ++d) passes.Pass(nullptr, true);
      if (info.end == PeriodEnd::kOverrun) {
        // What did not arrive is lost, and is written as silence so the file
        // keeps its timing and never repeats older audio.
        const size_t keep = info.frames * SampleBytes;
        if (ring.interleaved) {
          std::memset(period + 2 * keep, 0, 2 * (PeriodBytes - keep));
        } else {
          std::memset(period + keep, 0, PeriodBytes - keep);
          std::memset(period + PeriodBytes + keep, 0, PeriodBytes - keep);
        }
      }
      if (info.end == PeriodEnd::kWhole || info.end == PeriodEnd::kOverrun)
        passes.Pass(period, info.end == PeriodEnd::kOverrun || info.unreportedLoss);
      else
        ended = true;
      passOn(next + 1);
    }
    if (ended) break;
    if (ring.finished.load() && ring.produced.load() == next) {
      for (uint32_t d = ring.trailingDropped.load(); d > 0; --d) passes.Pass(nullptr, true);
      writer.trailing.store(ring.trailingDropped.load());
      break;
    }
    if (wake.stopRequested.load() && stopDeadline == 0)
      stopDeadline = MonotonicSeconds() + kCaptureGraceMs / 1000.0;
    if (stopDeadline != 0 && MonotonicSeconds() >= stopDeadline) {
      // The capture thread is stuck in the device: finish from the ring.
      captureStuck = true;
      break;
    }
    beforeSleep();
    wake.mainWaiting.store(true);
    if (ring.produced.load() != next || ring.finished.load()) {
      wake.mainWaiting.store(false);
      continue;
    }
    WaitForNews(&wake, stopDeadline != 0 ? kCaptureGraceMs : 1000);
    wake.mainWaiting.store(false);
  }
  const int lostError = ring.lostError.load();
  if (lostError != 0) {
    lost = true;
    Say(&console, 2,
        "\nRecording from " + DeviceName + " failed: " + snd_strerror(lostError) + "\n");
  }
  writer.ended.store(true);
  Wake(writer.work);

  // A stop before the first frame arrived: there was no take.
  const bool noTake = stopCount != 0 && !ring.started.load();
  if (!noTake)
    Say(&console, 1,
        Summary(passes.RunPeak, ChannelEnabled, InterleavedStereo, SampleBytes,
                passes.OverrunCount));

  KickConsole(&console, true);
  while (!writer.done.load()) {
    if (abandonRequested.load() && !writer.abandon.load()) {
      writer.abandon.store(true);
      Wake(writer.work);
    }
    WaitForNews(&wake, 1000);
  }
  writerThread.join();
  // A second stop that came too late to spare the writer any work still
  // means the user gave up on the take.
  const bool abandoned = writer.abandon.load() || abandonRequested.load();
  if (abandoned) {
    const uint64_t unwritten =
        passes.count > writer.periodsWritten ? passes.count - writer.periodsWritten : 0;
    char text[160];
    std::snprintf(text, sizeof text,
                  "\nStopped again: %.2f seconds of the take were not written.\n",
                  static_cast<double>(unwritten * PeriodFrames) / SampleRate);
    Say(&console, 2, text);
  }
  const bool failed = writer.failed || lost || abandoned;
  if (noTake)
    RemoveCreatedOutputs(&outputs);
  else if (!failed)
    Say(&console, 1, "Done\n");

  // The files are finished. The console and the device get a moment each;
  // a terminal paused by the user is waited for unless the take was stopped.
  const bool consoleEnded = StopConsole(&console, stopCount != 0 ? kShutdownGraceMs : -1);
  for (double until = MonotonicSeconds() + kShutdownGraceMs / 1000.0;
       !ring.closed.load() && MonotonicSeconds() < until;)
    WaitForNews(&wake, 100);
  const bool deviceLetGo = ring.closed.load();
  if (deviceLetGo && captureThread.joinable()) captureThread.join();
  if (!consoleEnded || !deviceLetGo || captureStuck) {
    // A thread is stuck in a terminal or a sound server: end without
    // unwinding anything it may still touch.
    LetGo(captureThread);
    if (stopCount != 0) EndBySignal(lastSignal);
    std::_Exit(failed ? 1 : 0);
  }
  if (stopCount != 0) EndBySignal(lastSignal);
  if (failed) EndRun();
}
