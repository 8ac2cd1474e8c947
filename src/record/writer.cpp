#include "record/writer.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "record/common.h"
#include "record/console.h"
#include "record/outputs.h"
#include "record/ring.h"
#include "record/stop.h"
#include "record/wakeup.h"
#include "wav/wav.h"

namespace {

// Sync this often, so that the sync before "Done" is short even on a slow
// USB stick, and a power cut loses at most this much.
constexpr double kSyncSeconds = 2.0;

// How periods become file bytes, chosen once for the take:
// - gathered: each file's bytes lie in the ring as they go to disk (mono
//   files, or a stereo file from an interleaved device). Up to `limit`
//   periods are gathered and written with one writev per file; their slots
//   are held until then.
// - interleaved: a stereo file from channel areas. Each period is
//   interleaved into the file's buffer, its slot free at once, and the
//   buffer written when full.
struct Sink {
  OutputSet* outputs = nullptr;
  bool gathering = true;
  bool framesInRing = false;  // the ring holds the stereo file's frames
  size_t areaBytes = 0;       // one channel's period
  uint32_t SampleBytes = 0;
  const uint8_t* zeros = nullptr;  // a period of silence, or more
  int limit = 1;
  iovec gather[2][kWriterHoldPeriods] = {};
  int gathered = 0;
  size_t gatheredBytes = 0;
  size_t fill = 0;  // of the stereo file's buffer
  int failedSlot = -1;

  // Appends one period's frames, or silence for `period` null.
  bool Append(const uint8_t* period, size_t frames) {
    const size_t bytes = frames * SampleBytes;
    if (!gathering) return Interleaved(period, frames);
    for (int slot = 0; slot < 2; ++slot) {
      if (outputs->file[slot].fd < 0) continue;
      const size_t n = framesInRing ? 2 * bytes : bytes;
      const uint8_t* from = period == nullptr ? zeros : period + slot * areaBytes;
      gather[slot][gathered] = {const_cast<uint8_t*>(from), n};
      if (slot == 0) gatheredBytes += n;
    }
    ++gathered;
    return gathered < limit && gatheredBytes < kFileBufferBytes ? true : Flush();
  }

  bool Interleaved(const uint8_t* period, size_t frames) {
    const size_t bytes = 2 * frames * SampleBytes;
    std::vector<uint8_t>& buffer = outputs->buffer[0];
    if (fill + bytes > buffer.size() && !Flush()) return false;
    uint8_t* at = buffer.data() + fill;
    if (period == nullptr)
      std::memset(at, 0, bytes);
    else
      Interleave(static_cast<int32_t>(frames), static_cast<int32_t>(SampleBytes), period,
                 period + areaBytes, at);
    fill += bytes;
    return true;
  }

  // Writes what is gathered or buffered. False, errno set and failedSlot
  // named, on failure.
  bool Flush() {
    if (!gathering) {
      iovec all{outputs->buffer[0].data(), fill};
      fill = 0;
      return outputs->file[0].fd < 0 || Write(0, &all, 1);
    }
    const int count = gathered;
    gathered = 0;
    gatheredBytes = 0;
    for (int slot = 0; slot < 2; ++slot)
      if (outputs->file[slot].fd >= 0 && !Write(slot, gather[slot], count)) return false;
    return true;
  }

  bool Write(int slot, iovec* iov, int count) {
    if (WriteOutputFile(&outputs->file[slot], iov, count)) return true;
    failedSlot = slot;
    return false;
  }

  int Holding() const { return gathering ? gathered : 0; }
};

struct Writer {
  WriterJob* job = nullptr;
  PeriodRing* ring = nullptr;
  Sink sink;
  uint64_t next = 0;      // the next slot to append
  uint64_t returned = 0;  // slots given back to the capture thread
  uint64_t synced = 0;    // slots appended when the files were last synced
  double lastSync = 0;

  void Fail(int slot, const char* what, int error) {
    Fail(std::string(what) + " " + job->outputs->file[slot].name + ": " + std::strerror(error));
  }

  void Fail(const std::string& message) {
    if (!job->failed) Say(job->console, 2, "\n" + message + "\n");
    job->failed = true;
    RequestStop();
  }

  bool Appended(bool ok) {
    if (!ok) Fail(sink.failedSlot, "Can't write to", errno);
    return ok;
  }

  // Gives back every slot appended and no longer held.
  void GiveBack() {
    const uint64_t upTo = next - static_cast<uint64_t>(sink.Holding());
    if (upTo == returned) return;
    returned = upTo;
    ring->released.store(upTo, std::memory_order_release);
    Notify(&job->wake->room);
  }

  bool AppendSlot(uint64_t n) {
    const PeriodInfo& info = ring->Info(n);
    for (uint32_t d = 0; d < info.droppedBefore; ++d, ++job->periodsWritten)
      if (!Appended(sink.Append(nullptr, job->PeriodFrames))) return false;
    // Audio the device lost is already silence in the slot.
    const bool whole = info.end == PeriodEnd::kWhole;
    if (!Appended(sink.Append(ring->Slot(n), whole ? job->PeriodFrames : info.frames)))
      return false;
    if (whole) ++job->periodsWritten;
    return true;
  }

  bool SyncAll() {
    for (int slot = 0; slot < 2; ++slot) {
      OutputFile& file = job->outputs->file[slot];
      if (file.fd >= 0 && file.regular && !SyncOutputFile(&file)) {
        Fail(slot, "Can't write to", errno);
        return false;
      }
    }
    lastSync = MonotonicSeconds();
    return true;
  }

  // Writes what is gathered, gives its slots back and syncs the files.
  bool SyncNow() {
    if (!Appended(sink.Flush())) return false;
    GiveBack();
    return SyncAll();
  }

  // Appends what the main thread has passed on, then syncs if it is time:
  // periods come in batches, and a batch is put on disk and declared in the
  // header in one go. False on a failure.
  bool AppendPassed() {
    const uint64_t passed = ring->passed.load(std::memory_order_acquire);
    while (next < passed && !AbandonRequested()) {
      if (!AppendSlot(next)) return false;
      ++next;
      GiveBack();
    }
    if (next != synced && MonotonicSeconds() - lastSync >= kSyncSeconds) {
      synced = next;
      if (!SyncNow()) return false;
    }
    // The capture thread waiting for room gets what is gathered now.
    if (sink.Holding() > 0 && job->wake->room.sleeping.load() && !Appended(sink.Flush()))
      return false;
    GiveBack();
    return true;
  }

  bool AppendTrailing() {
    for (uint32_t d = job->trailing.load(); d > 0; --d, ++job->periodsWritten)
      if (!Appended(sink.Append(nullptr, job->PeriodFrames))) return false;
    const uint32_t frames = job->trailingFrames.load();
    return frames == 0 || Appended(sink.Append(nullptr, frames));
  }

  // Whatever ended the take, the header states exactly what each file
  // holds, in whole frames.
  void Finish() {
    for (int slot = 0; slot < 2; ++slot) {
      if (job->outputs->file[slot].fd < 0) continue;
      const std::string problem = FinishOutputFile(&job->outputs->file[slot]);
      if (!problem.empty()) Fail(problem);
    }
  }

  void Run() {
    // The first sync comes with the first periods: until then the header
    // declares no audio.
    lastSync = MonotonicSeconds() - kSyncSeconds;
    bool ok = true;
    for (;;) {
      ok = AppendPassed();
      if (!ok || AbandonRequested()) break;
      if (job->ended.load() && next == ring->passed.load()) {
        ok = AppendTrailing();
        break;
      }
      const auto news = [this] {
        return ring->passed.load() != next || job->ended.load() || AbandonRequested();
      };
      SleepUnless(&job->wake->writer, news, 1000);
    }
    // What the files were given is written even after a second stop.
    if (ok) Appended(sink.Flush());
    Finish();
  }
};

}  // namespace

void RunWriter(WriterJob* job) {
  // The files are opened after this thread starts: nothing of them is
  // looked at before the first period is passed on, or the take ends.
  const auto begun = [job] { return job->ended.load() || job->ring->passed.load() > 0; };
  while (!begun()) SleepUnless(&job->wake->writer, begun, 1000);
  Writer w;
  w.job = job;
  w.ring = job->ring;
  w.sink.outputs = job->outputs;
  w.sink.framesInRing = job->ring->interleaved;
  w.sink.gathering = job->InterleavedStereo == 0 || job->ring->interleaved;
  w.sink.areaBytes = static_cast<size_t>(job->PeriodFrames) * job->SampleBytes;
  w.sink.SampleBytes = job->SampleBytes;
  // A gathering sink never uses the first file's buffer: it stays zeros.
  w.sink.zeros = job->outputs->buffer[0].data();
  // Gathered slots are held from the capture thread: never so many that it
  // could find the ring full because of them.
  w.sink.limit = static_cast<int>(std::clamp<size_t>(job->ring->active / 4, 1, kWriterHoldPeriods));
  w.Run();
  job->done.store(true);
  Signal(job->wake->main.fd);
}
