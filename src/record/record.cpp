// One recording run: device set-up, preparation, the take, the summary.
//
// Four threads share a take. The capture thread reads the device and nothing
// else (capture.cpp). This thread makes each period's pass: peaks, meter,
// warnings (passes.cpp). The file writer writes, syncs and finishes the
// files (writer.cpp), and the console thread alone writes standard output
// and error once the take has started (console.cpp). Periods travel through
// one ring allocated before the take (ring.h); what ends a take early is
// stop.cpp's. No thread waits on another's disk or terminal.
#include "record/record.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "record/capture.h"
#include "record/console.h"
#include "record/device.h"
#include "record/outputs.h"
#include "record/passes.h"
#include "record/realtime.h"
#include "record/ring.h"
#include "record/stop.h"
#include "record/wakeup.h"
#include "record/writer.h"
#include "wav/wav.h"

namespace {

// The ring absorbs a disk or a file system that stalls for this long.
constexpr double kRingSeconds = 10.0;
// A device paced by real time wakes the writer for this much audio at most
// (the ring gives it ten seconds), so a period costs few wake-ups.
constexpr double kWriterBatchSeconds = 0.25;

// Everything a take holds, from its plan to its threads.
struct Take {
  std::string DeviceName;
  uint32_t SampleRate = 0;
  uint32_t SampleBytes = 0;
  int32_t ChannelCount = 1;
  int32_t InterleavedStereo = 0;
  int32_t ChannelEnabled[2] = {1, 0};
  snd_pcm_uframes_t PeriodFrames = 0;
  int64_t TotalFrames = 0;
  uint64_t periods = 0;

  CaptureDevice device;
  PeriodRing ring;
  CaptureBuffers buffers;
  Wakeups wake;
  OutputSet outputs;
  Console console;
  WriterJob writer;
  Passes passes;
  std::thread capture, writerThread;

  Take() = default;
  Take(const Take&) = delete;
  Take& operator=(const Take&) = delete;
  ~Take() { CloseWakeups(&wake); }
};

[[noreturn]] void EndRun() {
  std::fflush(stdout);
  std::exit(1);
}

// Opens the device and fixes the take's length, at the rate the device
// grants.
void PlanTake(Take* t, float DurationSeconds) {
  if (!SetUpCaptureDevice(t->DeviceName, t->SampleRate, t->SampleBytes, &t->device)) EndRun();
  t->PeriodFrames = t->device.PeriodFrames;
  // A device fixed at another rate records at that rate, whatever was asked;
  // files stamped with the requested one would play at the wrong speed.
  if (t->device.grantedRate != t->SampleRate) {
    std::printf("%s records at %u Hz, not %u Hz: the take is made at %u Hz.\n",
                t->DeviceName.c_str(), t->device.grantedRate, t->SampleRate,
                t->device.grantedRate);
    t->SampleRate = t->device.grantedRate;
  }
  QUANTIZE(static_cast<int32_t>(t->PeriodFrames), t->SampleRate, &DurationSeconds,
           &t->TotalFrames);
  if (t->TotalFrames < 0) {
    // Only a rate or a period other than those asked for can get here.
    std::puts("Improper duration request");
    EndRun();
  }
  t->periods = static_cast<uint64_t>(t->TotalFrames) / t->PeriodFrames;
}

// Every buffer of the take, sized once and in memory before it starts: the
// ring holds ten seconds for the device, or the whole take if shorter.
void AllocateTake(Take* t) {
  const size_t areaBytes = t->SampleBytes * t->PeriodFrames;
  const auto ringPeriods = static_cast<size_t>(
      std::ceil(kRingSeconds * t->SampleRate / static_cast<double>(t->PeriodFrames)));
  const size_t slots = RingSlotsFor(t->periods, ringPeriods);
  t->ring.interleaved = t->device.interleaved && t->InterleavedStereo == 1;
  const bool ok = AllocateRing(&t->ring, slots, 2 * areaBytes) &&
                  AllocateCaptureBuffers(&t->buffers, 2 * areaBytes);
  if (ok) LockInMemory(t->ring.data.get(), slots * 2 * areaBytes);
  if (!ok) {
    std::printf("Can't allocate %.1f MB for the capture buffers of %s\n",
                static_cast<double>(slots * 2 * areaBytes) / 1e6, t->DeviceName.c_str());
    EndRun();
  }
  if (!OpenWakeups(&t->wake)) {
    std::printf("Can't prepare the take: %s\n", std::strerror(errno));
    EndRun();
  }
}

// Ends the threads of a take that never started: the capture thread has not
// touched the device, and the writer has no file.
void EndThreadsBeforeTake(Take* t) {
  RequestStop();
  t->writer.ended.store(true);
  Signal(t->wake.writer.fd);
  if (t->capture.joinable()) t->capture.join();
  if (t->writerThread.joinable()) t->writerThread.join();
  if (t->console.thread.joinable()) StopConsole(&t->console, -1);
}

// Every thread of the take runs before any file is created or truncated:
// one that cannot be had refuses the take with the files as they were. The
// capture thread waits for `go`, the writer for periods.
void StartThreads(Take* t) {
  WriterJob& w = t->writer;
  w.outputs = &t->outputs;
  w.ring = &t->ring;
  w.wake = &t->wake;
  w.console = &t->console;
  w.SampleBytes = t->SampleBytes;
  w.PeriodFrames = t->PeriodFrames;
  w.InterleavedStereo = t->InterleavedStereo;
  CaptureJob job{&t->device, &t->ring,     &t->wake, &t->buffers, t->SampleBytes, t->SampleRate,
                 t->periods, t->ChannelCount == 1 && t->InterleavedStereo == 0};
  try {
    StartConsole(&t->console);
    t->writerThread = StartQuietThread([&w] { RunWriter(&w); });
    if (t->periods > 0) t->capture = StartQuietThread([job] { RunCapture(job); });
  } catch (const std::system_error& e) {
    std::printf("Can't start the take: no thread could be started for it (%s)\n",
                std::strerror(e.code().value()));
    EndThreadsBeforeTake(t);
    EndRun();
  }
  if (t->periods == 0) {
    t->ring.finished.store(true);
    t->device.handle.reset();
    t->ring.closed.store(true);
  }
}

// Opens the files, writes their headers, and lets the capture thread start.
void StartTake(Take* t, int32_t AutoNames, std::string& FileList, std::string& NameScratch,
               const int32_t NameStatus[2]) {
  if (!PrepareOutputs(AutoNames, FileList, NameScratch, t->ChannelEnabled, t->InterleavedStereo,
                      t->SampleRate, t->TotalFrames, t->SampleBytes, t->PeriodFrames, NameStatus,
                      &t->outputs)) {
    EndThreadsBeforeTake(t);
    EndRun();
  }
  if (StoppedBySignal()) {
    // Stopped before the take started: no file of this run is left, and a
    // file being replaced is left whole and empty.
    RemoveCreatedOutputs(&t->outputs);
    const uint32_t blockAlign = t->SampleBytes * (t->InterleavedStereo ? 2 : 1);
    for (int slot = 0; slot < 2; ++slot)
      if (t->outputs.fd[slot] >= 0)
        MakeWavWhole(t->outputs.fd[slot], blockAlign, t->outputs.format.headerBytes);
    EndBySignal();
  }
  // From here on only the console thread writes to standard output and error.
  std::fflush(stdout);
  std::fflush(stderr);
  Say(&t->console, 1, t->InterleavedStereo == 1 ? "Recording in Stereo\n" : "Recording\n");
  Signal(t->wake.go);
}

void SetUpPasses(Take* t) {
  Passes& p = t->passes;
  p.console = &t->console;
  p.SampleBytes = t->SampleBytes;
  p.SampleRate = t->SampleRate;
  p.PeriodFrames = t->PeriodFrames;
  p.TotalFrames = t->TotalFrames;
  p.ChannelEnabled[1] = t->ChannelEnabled[1];
  p.InterleavedStereo = t->InterleavedStereo;
  p.interleaved = t->ring.interleaved;
  // Three seconds' worth of 4096-frame periods of hold.
  p.HoldPeriods = (t->SampleRate * 3) >> 12;
  p.twoChannelMeter = t->ChannelCount == 2 || t->InterleavedStereo == 1;
  p.meterChannels = t->InterleavedStereo == 1 ? 2 : t->ChannelCount;
  p.line.reserve(256);
}

// How many passed periods make it worth waking the writer.
uint64_t WriterBatch(const Take& t) {
  const auto realTime = static_cast<uint64_t>(kWriterBatchSeconds * t.SampleRate / t.PeriodFrames);
  if (!t.ring.paced) return t.ring.WakeBatch();
  return std::clamp<uint64_t>(realTime, 1, t.ring.WakeBatch());
}

// The passes, as the capture thread hands periods over, until the take
// ends. True when the capture thread was stuck after a stop and the take
// was finished from the ring without it.
bool RunPasses(Take* t) {
  PeriodRing& ring = t->ring;
  uint64_t next = 0, toldWriter = 0;
  double stopDeadline = 0;
  for (;;) {
    const uint64_t produced = ring.produced.load(std::memory_order_acquire);
    bool ended = false;
    for (; next < produced && !ended; ++next) {
      ended = !t->passes.Take(ring.Info(next), ring.Slot(next));
      ring.passed.store(next + 1, std::memory_order_release);
      if (next + 1 - toldWriter >= WriterBatch(*t)) {
        toldWriter = next + 1;
        Notify(&t->wake.writer);
      }
    }
    if (ended) return false;
    if (ring.finished.load() && ring.produced.load() == next) {
      const uint32_t lost = ring.trailingDropped.load(), frames = ring.trailingFrames.load();
      for (uint32_t d = 0; d < lost; ++d) t->passes.Pass(nullptr, 1);
      if (frames > 0) t->passes.LostOnStop(frames);
      t->writer.trailing.store(lost);
      t->writer.trailingFrames.store(frames);
      return false;
    }
    if (StopRequested() && stopDeadline == 0)
      stopDeadline = MonotonicSeconds() + kCaptureGraceMs / 1000.0;
    // The capture thread is stuck in the device: finish from the ring.
    if (stopDeadline != 0 && MonotonicSeconds() >= stopDeadline) return true;
    KickConsole(&t->console);
    // A capture thread waiting for room gets it as soon as can be.
    if (t->wake.room.sleeping.load() && toldWriter != next) {
      toldWriter = next;
      Notify(&t->wake.writer);
    }
    const auto news = [&] { return ring.produced.load() != next || ring.finished.load(); };
    SleepUnless(&t->wake.main, news, stopDeadline != 0 ? kCaptureGraceMs : 1000);
  }
}

// Says what ended the take, and the summary. True when the device was lost.
bool Report(Take* t) {
  const bool warnedLast = t->passes.FoldLastScan();
  const int lostError = t->ring.lostError.load();
  if (lostError != 0) {
    char why[64];
    if (lostError == kNoAudioError)
      std::snprintf(why, sizeof why, "no audio for %d seconds", kNoAudioSeconds);
    else
      std::snprintf(why, sizeof why, "%s", snd_strerror(lostError));
    Say(&t->console, 2, "\nRecording from " + t->DeviceName + " failed: " + why + "\n");
  }
  // A stop before the first frame arrived: there was no take.
  if (StoppedBySignal() && !t->ring.started.load()) return lostError != 0;
  const Passes& p = t->passes;
  std::string summary =
      Summary(p.RunPeak, t->ChannelEnabled, t->InterleavedStereo, t->SampleBytes, p.OverrunCount,
              static_cast<double>(p.silentFrames) / t->SampleRate);
  // A clip warning just ended the meter line.
  if (warnedLast && lostError == 0) summary.erase(0, 1);
  Say(&t->console, 1, summary);
  return lostError != 0;
}

// Waits for the writer to finish the files. True when the take ended as it
// should: nothing failed, and no second stop gave anything up.
bool FinishFiles(Take* t, bool lost) {
  t->writer.ended.store(true);
  Notify(&t->wake.writer);
  KickConsole(&t->console, true);
  const auto done = [t] { return t->writer.done.load(); };
  while (!done()) SleepUnless(&t->wake.main, done, 1000);
  t->writerThread.join();
  if (AbandonRequested()) {
    const uint64_t written = t->writer.periodsWritten, made = t->passes.count;
    char text[160];
    std::snprintf(text, sizeof text, "\nStopped again: %.2f seconds of the take were not written.\n",
                  static_cast<double>((made > written ? made - written : 0) * t->PeriodFrames) /
                      t->SampleRate);
    Say(&t->console, 2, text);
  }
  const bool whole = !t->writer.failed && !lost && !AbandonRequested();
  if (StoppedBySignal() && !t->ring.started.load())
    RemoveCreatedOutputs(&t->outputs);
  else if (whole)
    Say(&t->console, 1, "Done\n");
  return whole;
}

// The files are finished. The console and the device get a moment each; a
// terminal paused by the user is waited for unless the take was stopped.
// Threads stuck in a terminal or a sound server are left to the end of the
// process, which ends without unwinding anything they may still touch.
void EndTake(Take* t, bool whole, bool captureStuck) {
  const bool consoleEnded = StopConsole(&t->console, StoppedBySignal() ? kShutdownGraceMs : -1);
  for (double until = MonotonicSeconds() + kShutdownGraceMs / 1000.0;
       !t->ring.closed.load() && MonotonicSeconds() < until;)
    SleepUnless(&t->wake.main, [t] { return t->ring.closed.load(); }, 100);
  const bool deviceLetGo = t->ring.closed.load();
  if (deviceLetGo && t->capture.joinable()) t->capture.join();
  if (!consoleEnded || !deviceLetGo || captureStuck) {
    if (t->capture.joinable()) t->capture.detach();
    if (StoppedBySignal()) EndBySignal();
    std::_Exit(whole ? 0 : 1);
  }
  if (StoppedBySignal()) EndBySignal();
  if (!whole) EndRun();
}

}  // namespace

void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2]) {
  // Past a file size limit a write fails with EFBIG, which is handled like a
  // full disk, instead of the process being killed with the files unfinished.
  signal(SIGXFSZ, SIG_IGN);
  // A console that goes away (a closed pipe, `| head`) or a background take
  // under `stty tostop` must not end or stop the take: the files matter.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);

  Take take;
  Take* t = &take;
  t->DeviceName = DeviceName;
  t->SampleRate = SampleRate;
  t->SampleBytes = SampleBytes;
  t->ChannelCount = ChannelCount;
  t->InterleavedStereo = InterleavedStereo;
  t->ChannelEnabled[1] = ChannelCount == 2 ? 1 : 0;
  PlanTake(t, DurationSeconds);
  AllocateTake(t);
  // From here on a stop finishes the files, whenever it comes.
  CatchStopSignals(&t->wake);
  StartThreads(t);
  StartTake(t, AutoNames, FileList, NameScratch, NameStatus);
  SetUpPasses(t);
  const bool captureStuck = RunPasses(t);
  const bool lost = Report(t);
  EndTake(t, FinishFiles(t, lost), captureStuck);
}
