#include "record/writer.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "record/capture.h"
#include "record/console.h"
#include "record/outputs.h"
#include "record/record.h"

namespace {

// Sync this often, so that the sync before "Done" is short even on a slow
// USB stick, and a power cut loses at most this much.
constexpr double kSyncSeconds = 2.0;

struct Writer {
  WriterJob* job;
  OutputSet* outputs;
  size_t periodBytes;  // one channel's period
  size_t fill[2] = {0, 0};
  double lastSync = 0;
  uint64_t syncedSlots = 0;  // slots written when the files were last synced

  // Mono files, and a stereo file whose frames the ring holds as the device
  // delivered them, are written straight from the ring, a batch of periods
  // to one writev, and their slots are released once written. A stereo file
  // from a non-interleaved device is interleaved into its buffer first.
  static constexpr int kMaxGather = 64;
  iovec gather[2][kMaxGather] = {};
  int gathered = 0;  // periods gathered, the same for each mono file
  int gatherLimit = 1;
  size_t gatheredBytes = 0;
  uint64_t appended = 0;   // slots whose data is written or gathered
  uint64_t announced = 0;  // released slots the capture thread was told of

  void Fail(int slot, const char* what, int error) {
    Fail(std::string(what) + " " + outputs->name[slot] + ": " + std::strerror(error));
  }

  void Fail(const std::string& message) {
    if (!job->failed) Say(job->console, 2, "\n" + message + "\n");
    job->failed = true;
    job->wake->stopRequested.store(true);
    Wake(job->wake->stop);
    Wake(job->wake->main);
  }

  bool Flush(int slot) {
    iovec all{outputs->buffer[slot].data(), fill[slot]};
    if (fill[slot] > 0 && !WriteAll(slot, &all, 1)) return false;
    fill[slot] = 0;
    return true;
  }

  // Room for `bytes` more in the slot's buffer, writing it out if need be.
  uint8_t* Room(int slot, size_t bytes) {
    if (fill[slot] + bytes > outputs->buffer[slot].size() && !Flush(slot)) return nullptr;
    uint8_t* at = outputs->buffer[slot].data() + fill[slot];
    fill[slot] += bytes;
    return at;
  }

  // One period's frames (or silence, for `data` null) to every file.
  bool Append(const uint8_t* data, size_t frames) {
    const size_t bytes = frames * job->SampleBytes;
    if (job->ring->interleaved) {
      // Already the stereo file's frames: written straight from the ring.
      const uint8_t* from = data == nullptr ? outputs->buffer[0].data() : data;
      gather[0][gathered++] = {const_cast<uint8_t*>(from), 2 * bytes};
      gatheredBytes += 2 * bytes;
      if (gathered == gatherLimit || gatheredBytes >= kFileBufferBytes) return FlushGathered();
      return true;
    }
    if (job->InterleavedStereo == 1) {
      uint8_t* at = Room(0, 2 * bytes);
      if (at == nullptr) return false;
      if (data == nullptr)
        std::memset(at, 0, 2 * bytes);
      else
        Interleave(static_cast<int32_t>(frames), static_cast<int32_t>(job->SampleBytes), data,
                   data + periodBytes, at);
      return true;
    }
    // The write buffer is not used for mono files: it stays zeros, the
    // source of silence.
    const uint8_t* zeros = outputs->buffer[0].data();
    for (int slot = 0; slot < 2; ++slot) {
      const uint8_t* from = data == nullptr ? zeros : data + slot * periodBytes;
      gather[slot][gathered] = {const_cast<uint8_t*>(from), bytes};
    }
    ++gathered;
    gatheredBytes += bytes;
    if (gathered == gatherLimit || gatheredBytes >= kFileBufferBytes) return FlushGathered();
    return true;
  }

  // Writes all of `count` pieces to the slot's file, however the kernel
  // splits the work.
  bool WriteAll(int slot, iovec* iov, int count) {
    while (count > 0) {
      const ssize_t n = writev(outputs->fd[slot], iov, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Fail(slot, "Can't write to", n == 0 ? EIO : errno);
        return false;
      }
      auto done = static_cast<size_t>(n);
      while (count > 0 && done >= iov->iov_len) {
        done -= iov->iov_len;
        ++iov;
        --count;
      }
      if (count > 0) {
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
        iov->iov_len -= done;
      }
    }
    return true;
  }

  bool WriteGathered(int slot) { return WriteAll(slot, gather[slot], gathered); }

  // Writes what is gathered and releases the slots it came from.
  bool FlushGathered() {
    for (int slot = 0; slot < 2; ++slot)
      if (outputs->fd[slot] >= 0 && !WriteGathered(slot)) return false;
    gathered = 0;
    gatheredBytes = 0;
    Release();
    return true;
  }

  // Hands the written slots back to the capture thread, waking it (when it
  // waits for room) for a batch of them.
  void Release() {
    if (gathered != 0) return;  // those slots are still to be written from
    job->ring->released.store(appended, std::memory_order_release);
    if (appended - announced >= job->ring->WakeBatch()) WakeCapture();
  }

  void WakeCapture() {
    announced = appended;
    if (job->wake->captureWaiting.exchange(false)) Wake(job->wake->room);
  }

  bool FlushAll() {
    if (job->InterleavedStereo == 0 || job->ring->interleaved) return FlushGathered();
    return outputs->fd[0] < 0 || Flush(0);
  }

  bool SyncAll() {
    for (int slot = 0; slot < 2; ++slot) {
      if (outputs->fd[slot] < 0 || !outputs->regular[slot]) continue;
      if (!SyncOutput(*outputs, slot)) {
        Fail(slot, "Can't write to", errno);
        return false;
      }
    }
    lastSync = MonotonicSeconds();
    return true;
  }

  // Periods are handed on in batches: the files are synced once a batch is
  // written, so that it is on disk and declared in one go.
  bool SyncIfDue() {
    if (appended == syncedSlots || MonotonicSeconds() - lastSync < kSyncSeconds) return true;
    syncedSlots = appended;
    return FlushAll() && SyncAll();
  }

  bool WriteSlot(uint64_t n) {
    // Gathered slots are held from the capture thread: never so many that
    // it could find the ring full because of them.
    gatherLimit = static_cast<int>(std::clamp<size_t>(job->ring->active / 4, 1, kMaxGather));
    CaptureRing& ring = *job->ring;
    const PeriodInfo& info = ring.Info(n);
    for (uint32_t d = 0; d < info.droppedBefore; ++d) {
      if (!Append(nullptr, job->PeriodFrames)) return false;
      ++job->periodsWritten;
    }
    // An overrun's missing frames were made silence by the main thread.
    const bool whole = info.end == PeriodEnd::kWhole || info.end == PeriodEnd::kOverrun;
    if (!Append(ring.Slot(n), whole ? job->PeriodFrames : info.frames)) return false;
    if (whole) ++job->periodsWritten;
    return true;
  }

  // Whatever ended the take, the header states exactly what each file
  // holds, in whole frames.
  void Finish() {
    for (int slot = 0; slot < 2; ++slot) {
      if (outputs->fd[slot] < 0) continue;
      const std::string problem = FinishOutput(*outputs, slot);
      if (!problem.empty()) Fail(problem);
    }
  }

  void Run() {
    // The first sync comes with the first periods: until then the header
    // declares no audio.
    lastSync = MonotonicSeconds() - kSyncSeconds;
    uint64_t next = 0;
    for (;;) {
      const uint64_t ready = job->ready.load(std::memory_order_acquire);
      while (next < ready && !job->failed && !job->abandon.load()) {
        if (!WriteSlot(next)) break;
        appended = ++next;
        Release();
      }
      if (job->failed || job->abandon.load() || !SyncIfDue()) break;
      if (job->ended.load() && next == job->ready.load()) {
        for (uint32_t d = job->trailing.load(); d > 0 && Append(nullptr, job->PeriodFrames); --d)
          ++job->periodsWritten;
        break;
      }
      // The capture thread waiting for room gets what is gathered now.
      if (job->wake->captureWaiting.load() && gathered > 0 && !FlushGathered()) break;
      WakeCapture();
      job->waiting.store(true);
      if (job->ready.load() != ready || job->ended.load() || job->abandon.load()) {
        job->waiting.store(false);
        continue;
      }
      pollfd p{job->work, POLLIN, 0};
      poll(&p, 1, 1000);
      Drain(job->work);
    }
    // What the files were given is written even after a second stop.
    if (!job->failed) FlushAll();
    Finish();
  }
};

}  // namespace

void RunWriter(WriterJob* job) {
  Writer w{};
  w.job = job;
  w.outputs = job->outputs;
  w.periodBytes = static_cast<size_t>(job->PeriodFrames) * job->SampleBytes;
  w.Run();
  job->done.store(true);
  Wake(job->wake->main);
}
