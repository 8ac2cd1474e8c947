// One recording run: device set-up, preparation, the take, the summary.
//
// Four threads share a take. The capture thread reads the device and waits
// on nothing else, but for room in the ring with a device that is not paced
// by real time (capture.cpp). This thread makes each period's pass: peaks,
// meter, warnings (passes.cpp). The file writer writes, syncs and finishes
// the files (writer.cpp), and the console thread alone writes standard
// output and error once the take has started (console.cpp). Records travel
// through one ring allocated before the take (ring.h); what ends a take
// early is stop.cpp's. During the take nobody waits on the disk or the
// terminal but the writer and the console thread. At its end this thread
// waits for the writer to finish the files, and for a terminal paused by the
// user unless the take was stopped; the capture thread and a stuck console
// get a grace time each.
#include "record/record.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
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
  std::string reopenName;  // the same device when it is opened again
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
  std::optional<RingProducer> producer;
  std::optional<RingPasser> passer;
  std::optional<RingWriter> ringWriter;
  CaptureBuffers buffers;
  Wakeups wake;
  OutputSet outputs;
  Console console;
  WriterJob writer;
  Passes passes;
  std::thread capture, writerThread;
  // The capture thread's, read once the producer side is closed.
  CaptureResult captured;
  std::atomic<bool> deviceReleased{false};
  DeviceNews news;
  uint32_t saidLost = 0, saidBack = 0;  // what of the news has been said

  Take() = default;
  Take(const Take&) = delete;
  Take& operator=(const Take&) = delete;
  ~Take() {
    ReleaseStopSignals();
    CloseWakeups(&wake);
  }
};

[[noreturn]] void EndRun() {
  std::fflush(stdout);
  std::exit(1);
}

// Opens the device and fixes the take's length, at the rate the device
// grants.
void PlanTake(Take* t, float DurationSeconds) {
  if (!SetUpCaptureDevice(t->DeviceName, t->SampleRate, t->SampleBytes, &t->device)) EndRun();
  // A card named by number is opened again by its id: it may come back as
  // another number.
  t->reopenName = ResolveCardName(t->DeviceName);
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
  const bool ok = t->ring.Allocate(slots, 2 * areaBytes) &&
                  AllocateCaptureBuffers(&t->buffers, 2 * areaBytes);
  if (ok) LockInMemory(t->ring.Memory(), t->ring.MemoryBytes());
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
  t->passer->Close();
  if (t->capture.joinable()) t->capture.join();
  if (t->writerThread.joinable()) t->writerThread.join();
  if (t->console.thread.joinable()) StopConsole(&t->console, -1);
}

// The ring's three sides. A device paced by real time wakes the writer for
// kWriterBatchSeconds of audio at a time (the ring gives it ten seconds), so
// a period costs few wake-ups.
void OpenRingSides(Take* t) {
  const auto realTimeBatch =
      static_cast<uint64_t>(kWriterBatchSeconds * t->SampleRate / t->PeriodFrames);
  t->producer.emplace(&t->ring, &t->wake.room, &t->wake.main, t->wake.stop);
  t->passer.emplace(&t->ring, &t->wake.main, &t->wake.writer, realTimeBatch);
  t->ringWriter.emplace(&t->ring, &t->wake.writer, &t->wake.room);
}

// The capture thread: the take, then the end of the records, then the
// device let go, which can wait on a frozen sound server; nobody waits for
// that here, and the main thread gives it about a second at the end.
void CaptureThread(Take* t, const CaptureJob& job) {
  t->captured = RunCapture(job);
  t->producer->Close();
  if (t->device.handle) snd_pcm_drop(t->device.handle.get());
  t->device.handle.reset();
  t->deviceReleased.store(true);
  Signal(t->wake.main.fd);
}

// Every thread of the take runs before any file is created or truncated:
// one that cannot be had refuses the take with the files as they were. The
// capture thread waits for `go`, the writer for records.
void StartThreads(Take* t) {
  OpenRingSides(t);
  WriterJob& w = t->writer;
  w.outputs = &t->outputs;
  w.ring = &*t->ringWriter;
  w.framesInRing = t->ring.interleaved;
  w.doneFd = t->wake.main.fd;
  w.console = &t->console;
  w.SampleBytes = t->SampleBytes;
  w.PeriodFrames = t->PeriodFrames;
  w.InterleavedStereo = t->InterleavedStereo;
  const CaptureJob job{&t->device,    &t->reopenName, &t->news,
                       &*t->producer,  t->ring.interleaved,
                       &t->wake,       &t->buffers,    t->SampleBytes,
                       t->SampleRate,  t->periods,     t->ChannelCount == 1 && t->InterleavedStereo == 0};
  try {
    StartConsole(&t->console);
    t->writerThread = StartQuietThread([&w] { RunWriter(&w); });
    if (t->periods > 0) t->capture = StartQuietThread([t, job] { CaptureThread(t, job); });
  } catch (const std::system_error& e) {
    std::printf("Can't start the take: no thread could be started for it (%s)\n",
                std::strerror(e.code().value()));
    EndThreadsBeforeTake(t);
    EndRun();
  }
  if (t->periods == 0) {
    t->producer->Close();
    t->device.handle.reset();
    t->deviceReleased.store(true);
  }
}

// Opens the files, writes their headers, and lets the capture thread start.
void StartTake(Take* t, int32_t AutoNames, std::string& FileList, std::string& NameScratch,
               const int32_t NameStatus[2], const AskedFile asked[2]) {
  if (!PrepareOutputs(AutoNames, FileList, NameScratch, t->ChannelEnabled, t->InterleavedStereo,
                      t->SampleRate, t->TotalFrames, t->SampleBytes, t->PeriodFrames, NameStatus,
                      asked, &t->outputs)) {
    EndThreadsBeforeTake(t);
    EndRun();
  }
  if (StoppedBySignal()) {
    // Stopped before the take started: no file of this run is left, and a
    // file being replaced is left whole and empty.
    RemoveCreatedOutputs(&t->outputs);
    const uint32_t blockAlign = t->SampleBytes * (t->InterleavedStereo ? 2 : 1);
    for (const OutputFile& file : t->outputs.file)
      if (file.fd >= 0) MakeWavWhole(file.fd, blockAlign, file.format.headerBytes);
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

// Says that the device was lost and is waited for, and that it is back, in
// the order it happened (each loss comes before its return).
void SayDeviceNews(Take* t) {
  const uint32_t back = t->news.back.load(std::memory_order_acquire);
  const uint32_t lost = t->news.lost.load(std::memory_order_relaxed);
  for (;;) {
    if (t->saidLost == t->saidBack && t->saidLost < lost) {
      ++t->saidLost;
      Say(&t->console, 2, "\n" + t->DeviceName + " lost: waiting for it to come back\n");
      continue;
    }
    if (t->saidBack == t->saidLost || t->saidBack >= back) return;
    ++t->saidBack;
    char text[96];
    std::snprintf(text, sizeof text, " is back after %.1f s; silence written in its place\n",
                  t->news.awayMs.load(std::memory_order_relaxed) / 1000.0);
    Say(&t->console, 2, "\n" + t->DeviceName + text);
  }
}

// The passes, as the capture thread hands records over, until the take
// ends. True when the capture thread was stuck after a stop and the take
// was finished from the ring without it.
bool RunPasses(Take* t) {
  RingPasser& ring = *t->passer;
  double stopDeadline = 0;
  for (;;) {
    const uint8_t* audio = nullptr;
    for (const PeriodRecord* r; (r = ring.Next(&audio)) != nullptr;) {
      t->passes.Take(*r, audio);
      ring.Pass();
    }
    SayDeviceNews(t);
    if (ring.Ended()) return false;
    if (StopRequested() && stopDeadline == 0)
      stopDeadline = MonotonicSeconds() + kCaptureGraceMs / 1000.0;
    // The capture thread is stuck in the device: finish from the ring.
    if (stopDeadline != 0 && MonotonicSeconds() >= stopDeadline) return true;
    KickConsole(&t->console);
    ring.Sleep(stopDeadline != 0 ? kCaptureGraceMs : 1000);
  }
}

// Says what ended the take, and the summary. True when the device was lost.
bool Report(Take* t, bool captureStuck) {
  const bool warnedLast = t->passes.FoldLastScan();
  const int lostError =
      !captureStuck && t->captured.end == CaptureResult::kLost ? t->captured.error : 0;
  if (lostError != 0) {
    char why[64];
    if (lostError == kNoAudioError)
      std::snprintf(why, sizeof why, "no audio for %d seconds", kNoAudioSeconds);
    else if (lostError == kOtherGrantError)
      std::snprintf(why, sizeof why, "it came back with other parameters");
    else
      std::snprintf(why, sizeof why, "%s", snd_strerror(lostError));
    Say(&t->console, 2, "\nRecording from " + t->DeviceName + " failed: " + why + "\n");
  }
  // A stop before the first frame arrived: there was no take.
  if (StoppedBySignal() && !t->passes.heard) return lostError != 0;
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
  t->passer->Close();
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
  if (StoppedBySignal() && !t->passes.heard)
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
       !t->deviceReleased.load() && MonotonicSeconds() < until;)
    SleepUnless(&t->wake.main, [t] { return t->deviceReleased.load(); }, 100);
  const bool deviceLetGo = t->deviceReleased.load();
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
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2],
            const AskedFile asked[2]) {
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
  StartTake(t, AutoNames, FileList, NameScratch, NameStatus, asked);
  SetUpPasses(t);
  const bool captureStuck = RunPasses(t);
  const bool lost = Report(t, captureStuck);
  EndTake(t, FinishFiles(t, lost), captureStuck);
}
