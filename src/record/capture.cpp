// The capture thread: the device is read here and nowhere else.
#include "record/capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <new>

#include "record/record.h"

namespace {

// A device that delivers this much faster than the clock is not paced by
// real time (ALSA's null and file devices): nothing is ever lost by making
// it wait for room.
constexpr double kPacedTolerance = 1.05;

// A stream that overruns again before a single frame has arrived, this many
// times in a row after being restarted, is gone however well it restarts.
constexpr int kEmptyRestarts = 3;

// Wake-ups in a row with nothing to read after which a device's descriptor
// counts as always readable.
constexpr int kIdleWakeups = 16;

// Poll descriptors of a device beyond this many are not watched; no plugin
// in use needs more than a few.
constexpr int kMaxDeviceFds = 14;

bool Readable(const pollfd& p) { return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0; }

}  // namespace

double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool AllocateRing(CaptureRing* ring, snd_pcm_uframes_t PeriodFrames, uint32_t SampleBytes,
                  uint32_t SampleRate, double seconds) {
  const double periods = seconds * SampleRate / static_cast<double>(PeriodFrames);
  ring->slots = static_cast<size_t>(periods) + 2;
  ring->active = ring->slots;
  ring->slotBytes = 2 * static_cast<size_t>(PeriodFrames) * SampleBytes;
  try {
    // assign writes every byte: the pages are faulted in here, not mid-take.
    ring->data.assign(ring->slots * ring->slotBytes, 0);
    ring->info.assign(ring->slots, PeriodInfo{});
    // A period that finds the ring full, an interleaved read before it is
    // split, and the main thread's split of an interleaved period.
    ring->spill.assign(3 * ring->slotBytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool OpenWakeups(Wakeups* w) {
  for (int* fd : {&w->stop, &w->main, &w->room, &w->writer}) {
    *fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (*fd < 0) return false;
  }
  return true;
}

void Wake(int fd) {
  const uint64_t one = 1;
  // A full counter still wakes its reader; nothing else can go wrong here.
  [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
}

namespace {

struct Reader {
  CaptureJob job;
  snd_pcm_t* pcm;
  snd_pcm_uframes_t period;
  snd_pcm_uframes_t buffer;
  size_t periodBytes;
  pollfd fds[kMaxDeviceFds + 2];
  int deviceFds = 0;

  uint64_t periods = 0;       // periods accounted for: filled slots and lost ones
  uint32_t dropped = 0;       // lost to a full ring since the last slot
  bool unreported = false;    // a silent loss to attach to the next slot
  bool atFullBuffer = false;  // the buffer was full when last looked at
  bool paced = true;          // delivers in real time, as far as seen
  bool freshStart = true;     // nothing looked at since the last start
  uint64_t delivered = 0;     // frames since the first start
  double startedAt = 0;
  int emptyRestarts = 0;
  bool overrunPending = false;  // the period being filled overran
  uint64_t unannounced = 0;     // periods handed over since the main thread was woken
  int idleWakeups = 0;          // wake-ups in a row with nothing due
  bool busyDescriptor = false;  // the device's descriptor is always readable

  uint8_t* target = nullptr;  // the period being filled
  bool toSpill = false;       // ... outside the ring, which was full
  snd_pcm_uframes_t filled = 0;

  // Wakes the main thread if it sleeps and periods wait for it.
  void WakeMain() {
    if (unannounced == 0) return;
    unannounced = 0;
    if (job.wake->mainWaiting.exchange(false)) Wake(job.wake->main);
  }

  bool Stopped() const { return job.wake->stopRequested.load(std::memory_order_relaxed); }

  // Waits for the writer to free a slot, or a stop.
  void WaitForRoom() {
    WakeMain();
    poll(fds + deviceFds, 2, 1000);
    Drain(job.wake->room);
  }

  // Waits for the device, or a stop. The descriptors of some plugins are
  // readable while nothing is there, and only the device can tell (through
  // revents). PipeWire's stays readable for good; once a descriptor is seen
  // to do that, the thread sleeps instead for half the time the missing
  // frames take to arrive, then asks the device.
  void WaitForDevice(snd_pcm_uframes_t missing) {
    WakeMain();
    if (busyDescriptor) {
      const auto ms = static_cast<int>(missing * 500 / job.SampleRate);
      if (poll(fds + deviceFds, 1, std::max(ms, 1)) > 0) return;
    }
    // The device is still asked, so that it can report a failure.
    const int ready = poll(fds, static_cast<nfds_t>(deviceFds + 1), busyDescriptor ? 0 : 1000);
    if (ready <= 0 || Readable(fds[deviceFds])) return;
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(deviceFds), &revents);
    idleWakeups = (revents & (POLLIN | POLLERR)) != 0 ? 0 : idleWakeups + 1;
    if (idleWakeups >= kIdleWakeups) busyDescriptor = true;
  }

  void Publish(PeriodEnd end, int error) {
    CaptureRing& ring = *job.ring;
    if (end == PeriodEnd::kLost) ring.lostError.store(error);
    if (toSpill) {
      ++dropped;
    } else {
      const uint64_t n = ring.produced.load(std::memory_order_relaxed);
      // Whether the device is paced is known by the first period's end.
      if (n == 0 && !paced) ring.active = std::min(ring.slots, kUnpacedSlots);
      PeriodInfo& info = ring.Info(n);
      info.frames = static_cast<uint32_t>(filled);
      info.droppedBefore = dropped;
      info.end = end;
      info.unreportedLoss = unreported;
      dropped = 0;
      unreported = false;
      ring.produced.store(n + 1, std::memory_order_release);
      if (++unannounced >= ring.WakeBatch()) WakeMain();
    }
    ++periods;
    target = nullptr;
    filled = 0;
  }

  int Start() {
    freshStart = true;
    const int rc = snd_pcm_prepare(pcm);
    return rc < 0 ? rc : snd_pcm_start(pcm);
  }

  // Picks where the next period goes. False on a stop while waiting.
  bool ChooseTarget() {
    CaptureRing& ring = *job.ring;
    for (;;) {
      const uint64_t n = ring.produced.load(std::memory_order_relaxed);
      const uint64_t used = n - ring.released.load(std::memory_order_acquire);
      if (used < ring.active) {
        target = ring.Slot(n);
        toSpill = false;
        return true;
      }
      if (paced) {
        // The writer is behind by the whole ring: this period is lost, but
        // the device is still read, so it never overruns because of us.
        target = ring.spill.data();
        toSpill = true;
        return true;
      }
      job.wake->captureWaiting.store(true);
      if (ring.released.load() != n - used) continue;
      WaitForRoom();
      if (Stopped()) return false;
    }
  }

  // Reads what is there into the period being filled. The count read, 0 when
  // nothing was there, or a negative ALSA code.
  snd_pcm_sframes_t ReadSome(snd_pcm_uframes_t frames) {
    const size_t offset = filled * job.SampleBytes;
    uint8_t* area1 = target + offset;
    uint8_t* area2 = target + periodBytes + offset;
    snd_pcm_sframes_t got;
    if (job.ring->interleaved) {
      got = snd_pcm_readi(pcm, target + 2 * offset, frames);
    } else if (job.device->interleaved) {
      uint8_t* scratch = job.ring->spill.data() + job.ring->slotBytes;
      got = snd_pcm_readi(pcm, scratch, frames);
      // A mono take from one input never looks at the other.
      if (got > 0)
        Deinterleave(static_cast<int32_t>(got), static_cast<int32_t>(job.SampleBytes), scratch,
                     area1, job.firstInputOnly ? nullptr : area2);
    } else {
      void* areas[2] = {area1, area2};
      got = snd_pcm_readn(pcm, areas, frames);
    }
    return got == -EAGAIN ? 0 : got;
  }

  // The error a stream's state stands for, or 0 while it can deliver.
  snd_pcm_sframes_t StateError() const {
    switch (snd_pcm_state(pcm)) {
      case SND_PCM_STATE_XRUN:
        return -EPIPE;
      case SND_PCM_STATE_SUSPENDED:
        return -ESTRPIPE;
      case SND_PCM_STATE_DISCONNECTED:
        return -ENODEV;
      default:
        return 0;
    }
  }

  // After an overrun or a suspend. False when the take ends: the device is
  // gone, or restarts without ever delivering again.
  bool Recover(snd_pcm_sframes_t error) {
    if (overrunPending && ++emptyRestarts >= kEmptyRestarts) {
      Publish(PeriodEnd::kLost, -ENODATA);
      return false;
    }
    overrunPending = true;
    int rc = RecoverStream(pcm, error);
    if (rc == 0) rc = Start();
    if (rc < 0) {
      Publish(PeriodEnd::kLost, rc);
      return false;
    }
    return true;
  }

  void Run() {
    CaptureRing& ring = *job.ring;
    int rc = Start();
    startedAt = MonotonicSeconds();
    if (rc < 0) {
      target = ring.Slot(0);
      Publish(PeriodEnd::kLost, rc);
      return;
    }
    while (periods < job.totalPeriods) {
      if (Stopped() || (target == nullptr && !ChooseTarget())) {
        if (target != nullptr && filled > 0) Publish(PeriodEnd::kStopped, 0);
        return;
      }
      snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
      if (avail > 0 && overrunPending) {
        // Audio again after an overrun: the period that overran is complete
        // as far as it goes.
        overrunPending = false;
        emptyRestarts = 0;
        Publish(PeriodEnd::kOverrun, 0);
        continue;
      }
      if (avail >= 0) {
        const auto frames = static_cast<snd_pcm_uframes_t>(avail);
        // A device paced by real time has next to nothing right after a
        // start; one that is full at once, or delivers far faster than the
        // clock, is a file or the null device.
        if (freshStart && frames > 0) {
          freshStart = false;
          if (frames >= buffer) paced = false;
        }
        if (paced &&
            delivered > kPacedTolerance * (MonotonicSeconds() - startedAt) * job.SampleRate +
                            static_cast<double>(buffer))
          paced = false;
        // Some plugins (PipeWire's) drop what does not fit and never report
        // an overrun: a full buffer is the one sign of it.
        if (paced && frames >= buffer && !atFullBuffer) unreported = true;
        atFullBuffer = frames >= buffer;
        // Whatever is there is read: a sound server's plugin may notice that
        // the server is gone only when asked for frames.
        const snd_pcm_uframes_t needed = period - filled;
        if (frames == 0) {
          // Some plugins report a stream that broke only through its state.
          const snd_pcm_sframes_t broken = StateError();
          if (broken == 0) {
            // A stop is seen at the top of the loop.
            WaitForDevice(needed);
            continue;
          }
          avail = broken;
        }
        if (avail > 0) avail = ReadSome(std::min(frames, needed));
        if (avail > 0) {
          if (!ring.started.load(std::memory_order_relaxed)) ring.started.store(true);
          filled += static_cast<snd_pcm_uframes_t>(avail);
          delivered += static_cast<uint64_t>(avail);
          if (filled == period) Publish(PeriodEnd::kWhole, 0);
          continue;
        }
        if (avail == 0) continue;
      }
      if (avail == -EPIPE || avail == -ESTRPIPE) {
        if (!Recover(avail)) return;
        continue;
      }
      Publish(PeriodEnd::kLost, static_cast<int>(avail));
      return;
    }
  }
};

}  // namespace

void RunCapture(CaptureJob job) {
  Reader r{};
  r.job = job;
  r.pcm = job.device->handle.get();
  r.period = job.device->PeriodFrames;
  r.buffer = job.device->bufferFrames;
  r.periodBytes = static_cast<size_t>(r.period) * job.SampleBytes;
  const int count = snd_pcm_poll_descriptors_count(r.pcm);
  r.deviceFds = snd_pcm_poll_descriptors(r.pcm, r.fds, std::clamp(count, 0, kMaxDeviceFds));
  if (r.deviceFds < 0) r.deviceFds = 0;
  r.fds[r.deviceFds] = {job.wake->stop, POLLIN, 0};
  r.fds[r.deviceFds + 1] = {job.wake->room, POLLIN, 0};

  r.Run();

  CaptureRing& ring = *job.ring;
  ring.trailingDropped.store(r.dropped);
  ring.finished.store(true);
  Wake(job.wake->main);
  // Letting go of a device can wait on a frozen sound server; nobody waits
  // for it here, and the main thread gives it about a second at the end.
  snd_pcm_drop(r.pcm);
  job.device->handle.reset();
  ring.closed.store(true);
  Wake(job.wake->main);
}
