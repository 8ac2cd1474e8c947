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
  int limit = 1;
  iovec gather[2][kWriterHoldPeriods] = {};
  int gathered = 0;
  size_t gatheredBytes = 0;
  size_t fill = 0;  // of the stereo file's buffer
  int failedSlot = -1;

  // Appends `frames` of one period's slot.
  bool Append(const uint8_t* period, size_t frames) {
    const size_t bytes = frames * SampleBytes;
    if (!gathering) return Interleaved(period, frames);
    for (int slot = 0; slot < 2; ++slot) {
      if (outputs->file[slot].fd < 0) continue;
      const size_t n = framesInRing ? 2 * bytes : bytes;
      gather[slot][gathered] = {const_cast<uint8_t*>(period + slot * areaBytes), n};
      if (slot == 0) gatheredBytes += n;
    }
    ++gathered;
    return gathered < limit && gatheredBytes < kFileBufferBytes ? true : Flush();
  }

  bool Interleaved(const uint8_t* period, size_t frames) {
    const size_t bytes = 2 * frames * SampleBytes;
    std::vector<uint8_t>& buffer = outputs->buffer[0];
    if (fill + bytes > buffer.size() && !Flush()) return false;
    Interleave(static_cast<int32_t>(frames), static_cast<int32_t>(SampleBytes), period,
               period + areaBytes, buffer.data() + fill);
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
  RingWriter* ring = nullptr;
  Sink sink;
  uint64_t next = 0;      // the next record to append
  uint64_t heldFrom = 0;  // the first record whose bytes are gathered, unwritten
  uint64_t synced = 0;    // records appended when the files were last synced
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

  // Gives back every record appended whose bytes are not still gathered.
  void GiveBack() { ring->Release(sink.Holding() > 0 ? heldFrom : next); }

  bool Append(const uint8_t* period, size_t frames) {
    if (sink.Holding() == 0) heldFrom = next;
    return Appended(sink.Append(period, frames));
  }

  // Audio that found the ring full is written as silence, a period at a
  // time from the ring's slot of zeros.
  bool AppendSilence(uint64_t frames) {
    for (; frames > 0; ++job->periodsWritten) {
      const uint64_t piece = std::min<uint64_t>(frames, job->PeriodFrames);
      if (!Append(ring->Silence(), piece)) return false;
      frames -= piece;
    }
    return true;
  }

  bool AppendRecord(uint64_t n) {
    const PeriodRecord& r = ring->Record(n);
    const uint8_t* audio = ring->Audio(r);
    if (audio == nullptr) return AppendSilence(r.frames);
    // Audio the device lost is already silence in the slot.
    if (!Append(audio, r.frames)) return false;
    if (r.frames == job->PeriodFrames) ++job->periodsWritten;
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
  // records come in batches, and a batch is put on disk and declared in the
  // header in one go. False on a failure.
  bool AppendPassed() {
    const uint64_t passed = ring->Passed();
    while (next < passed && !AbandonRequested()) {
      if (!AppendRecord(next)) return false;
      ++next;
      GiveBack();
    }
    if (next != synced && MonotonicSeconds() - lastSync >= kSyncSeconds) {
      synced = next;
      if (!SyncNow()) return false;
    }
    // The capture thread waiting for room gets what is gathered now.
    if (sink.Holding() > 0 && ring->ProducerWaiting() && !Appended(sink.Flush())) return false;
    GiveBack();
    return true;
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
    // The first sync comes with the first records: until then the header
    // declares no audio.
    lastSync = MonotonicSeconds() - kSyncSeconds;
    bool ok = true;
    for (;;) {
      ok = AppendPassed();
      if (!ok || AbandonRequested() || ring->PassedAll(next)) break;
      const auto news = [this] {
        return ring->Passed() != next || ring->PassedAll(next) || AbandonRequested();
      };
      ring->Sleep(news, 1000);
    }
    // What the files were given is written even after a second stop.
    if (ok) Appended(sink.Flush());
    Finish();
  }
};

}  // namespace

void RunWriter(WriterJob* job) {
  RingWriter* ring = job->ring;
  // The files are opened after this thread starts: nothing of them is
  // looked at before the first record is passed on, or the take ends.
  const auto begun = [ring] { return ring->PassedAll(0) || ring->Passed() > 0; };
  while (!begun()) ring->Sleep(begun, 1000);
  Writer w;
  w.job = job;
  w.ring = ring;
  w.sink.outputs = job->outputs;
  w.sink.framesInRing = job->framesInRing;
  w.sink.gathering = job->InterleavedStereo == 0 || job->framesInRing;
  w.sink.areaBytes = static_cast<size_t>(job->PeriodFrames) * job->SampleBytes;
  w.sink.SampleBytes = job->SampleBytes;
  w.sink.limit = ring->HoldLimit();
  w.Run();
  job->done.store(true);
  Signal(job->doneFd);
}
