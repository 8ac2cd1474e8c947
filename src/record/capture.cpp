// The capture thread: the device is read here and nowhere else.
#include "record/capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "record/common.h"

namespace {

// A device that delivers this much faster than the clock is not paced by
// real time (ALSA's null and file devices): nothing is ever lost by making
// it wait for room.
constexpr double kPacedTolerance = 1.05;

// How far a device's newest frame may fall short of where the clock puts
// it, and still be taken as where it is: a frame for the device's own
// rounding, one for ours, and the drift of a card's clock against this
// machine's.
constexpr double kReferenceSlackFrames = 0;
constexpr double kClockDrift = 200e-6;

// Wake-ups in a row with nothing to read after which a device's descriptor
// counts as always readable.
constexpr int kIdleWakeups = 16;

// Poll descriptors of a device beyond this many are not watched; no plugin
// in use needs more than a few.
constexpr int kMaxDeviceFds = 14;

bool Readable(const pollfd& p) { return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0; }

}  // namespace

bool AllocateRing(CaptureRing* ring, snd_pcm_uframes_t PeriodFrames, uint32_t SampleBytes,
                  uint32_t SampleRate, double seconds) {
  const double periods = std::ceil(seconds * SampleRate / static_cast<double>(PeriodFrames));
  ring->slots = static_cast<size_t>(periods) + kWriterHoldPeriods + 2;
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
  for (int* fd : {&w->stop, &w->main, &w->room, &w->writer, &w->go}) {
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
  uint32_t overruns = 0;      // reported by the device since the last slot
  uint32_t silentFrames = 0;  // silence for lost audio in the period being filled
  bool unreported = false;    // a silent loss to attach to the next slot
  bool atFullBuffer = false;  // the buffer was full when last looked at
  bool paced = true;          // delivers in real time, as far as seen
  bool freshStart = true;     // nothing looked at since the last start
  uint64_t delivered = 0;     // frames since the first start
  double startedAt = 0;
  uint64_t unannounced = 0;     // periods handed over since the main thread was woken
  int idleWakeups = 0;          // wake-ups in a row with nothing due
  bool busyDescriptor = false;  // the device's descriptor is always readable

  // Dropouts. Each time frames are there, the take position just past the
  // newest of them and the time are noted; when audio comes back after an
  // overrun, the time since then says how much the device lost, and that
  // much silence keeps every later frame in its place.
  bool gapPending = false;           // overran; audio has not come back yet
  double refPosition = 0;            // take position just past the newest frame seen
  double refTime = 0;                // when it was seen
  double lastAudio = 0;              // when frames were last there (or the first restart since)
  bool restartedSinceAudio = false;  // restarted, and nothing came since

  uint8_t* target = nullptr;  // the period being filled
  bool toSpill = false;       // ... outside the ring, which was full
  snd_pcm_uframes_t filled = 0;

  uint64_t Position() const { return periods * period + filled; }
  uint64_t TakeFrames() const { return job.totalPeriods * period; }

  // Wakes the main thread if it sleeps and periods wait for it.
  void WakeMain() {
    if (unannounced == 0) return;
    unannounced = 0;
    if (job.wake->mainWaiting.exchange(false)) Wake(job.wake->main);
  }

  bool Stopped() const { return job.wake->stopRequested.load(std::memory_order_relaxed); }

  // Waits until the files are ready. False on a stop before that.
  bool WaitForGo() {
    pollfd p[2] = {{job.wake->go, POLLIN, 0}, {job.wake->stop, POLLIN, 0}};
    while (!Stopped() && (p[0].revents & POLLIN) == 0) poll(p, 2, 1000);
    return !Stopped();
  }

  // Waits for the writer to free a slot, or a stop.
  void WaitForRoom() {
    WakeMain();
    poll(fds + deviceFds, 2, 1000);
    Drain(job.wake->room);
  }

  // Waits for the device, or a stop, but not past the moment the device
  // counts as lost. The descriptors of some plugins are readable while
  // nothing is there, and only the device can tell (through revents).
  // PipeWire's stays readable for good; once a descriptor is seen to do
  // that, the thread sleeps instead for half the time the missing frames
  // take to arrive, then asks the device.
  void WaitForDevice(snd_pcm_uframes_t missing, double now) {
    WakeMain();
    const double left = lastAudio + kNoAudioSeconds - now;
    const int limitMs = std::clamp(static_cast<int>(left * 1000) + 1, 1, 1000);
    if (busyDescriptor) {
      const auto ms = static_cast<int>(missing * 500 / job.SampleRate);
      if (poll(fds + deviceFds, 1, std::clamp(ms, 1, limitMs)) > 0) return;
    }
    // The device is still asked, so that it can report a failure.
    const int ready =
        poll(fds, static_cast<nfds_t>(deviceFds + 1), busyDescriptor ? 0 : limitMs);
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
      // Written as a whole period of silence, and counted so.
      ++dropped;
    } else {
      const uint64_t n = ring.produced.load(std::memory_order_relaxed);
      // Whether the device is paced is known by the first period's end.
      if (n == 0 && !paced) ring.active = std::min(ring.slots, kUnpacedSlots);
      PeriodInfo& info = ring.Info(n);
      info.frames = static_cast<uint32_t>(filled);
      info.droppedBefore = dropped;
      info.overruns = overruns;
      info.silentFrames = silentFrames;
      info.end = end;
      info.unreportedLoss = unreported;
      dropped = 0;
      overruns = 0;
      unreported = false;
      ring.produced.store(n + 1, std::memory_order_release);
      if (++unannounced >= ring.WakeBatch()) WakeMain();
    }
    silentFrames = 0;
    ++periods;
    target = nullptr;
    filled = 0;
  }

  int Start() {
    freshStart = true;
    int rc = snd_pcm_prepare(pcm);
    if (rc == 0) rc = snd_pcm_start(pcm);
    if (delivered == 0) startedAt = MonotonicSeconds();
    return rc;
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

  // Puts `frames` frames of silence where the device lost audio, up to the
  // end of the take. False on a stop while waiting for room.
  bool InsertSilence(uint64_t frames) {
    frames = std::min(frames, TakeFrames() - Position());
    while (frames > 0) {
      if (target == nullptr && !ChooseTarget()) return false;
      const auto n = static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(frames, period - filled));
      const size_t offset = filled * job.SampleBytes, bytes = n * job.SampleBytes;
      if (job.ring->interleaved) {
        std::memset(target + 2 * offset, 0, 2 * bytes);
      } else {
        std::memset(target + offset, 0, bytes);
        std::memset(target + periodBytes + offset, 0, bytes);
      }
      filled += n;
      silentFrames += static_cast<uint32_t>(n);
      frames -= n;
      if (filled == period) Publish(PeriodEnd::kWhole, 0);
    }
    return true;
  }

  // Audio is back after an overrun, `avail` frames of it at `now`: the
  // first of them belongs as far into the take as the clock has run since
  // frames were last seen. A device not paced by real time has no clock to
  // measure by; what it lost is taken to be the rest of the period.
  bool FillGap(snd_pcm_uframes_t avail, double now) {
    gapPending = false;
    if (!paced) return InsertSilence(period - filled);
    const double newest = refPosition + (now - refTime) * job.SampleRate;
    const double lost = std::round(newest - static_cast<double>(avail)) -
                        static_cast<double>(Position());
    if (!InsertSilence(lost > 0 ? static_cast<uint64_t>(lost) : 0)) return false;
    // The time from here on is measured from this look.
    refPosition = static_cast<double>(Position() + avail);
    refTime = now;
    return true;
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
  // gone, or has delivered nothing for kNoAudioSeconds however often it
  // was restarted. Overruns in a row with no frame between are one
  // dropout, counted once.
  bool Recover(snd_pcm_sframes_t error, double now) {
    if (!gapPending) ++overruns;
    gapPending = true;
    if (!restartedSinceAudio) {
      // Whatever kept this thread from the device (a stopped process, a
      // busy machine) is not the device's silence.
      restartedSinceAudio = true;
      lastAudio = now;
    } else if (now - lastAudio >= kNoAudioSeconds) {
      Publish(PeriodEnd::kLost, kNoAudioError);
      return false;
    } else {
      // A stream that overruns again at once: give it a moment.
      poll(fds + deviceFds, 1, 20);
    }
    int rc = RecoverStream(pcm, error);
    if (rc == 0) rc = Start();
    if (rc < 0) {
      Publish(PeriodEnd::kLost, rc);
      return false;
    }
    return true;
  }

  // Notes what a look that found frames showed: the pacing, and a loss the
  // device did not report.
  void NotePacing(snd_pcm_uframes_t frames, double now) {
    // A device paced by real time has next to nothing right after its first
    // start; one that has more than a period at once, or delivers far faster
    // than the clock, is a file or the null device.
    if (freshStart && delivered == 0 &&
        frames > kPacedTolerance * (now - startedAt) * job.SampleRate + period)
      paced = false;
    freshStart = false;
    if (paced && delivered > kPacedTolerance * (now - startedAt) * job.SampleRate +
                                 static_cast<double>(buffer))
      paced = false;
    // Some plugins (PipeWire's) drop what does not fit and never report an
    // overrun: a full buffer is the one sign of it.
    if (paced && frames >= buffer && !atFullBuffer) unreported = true;
    atFullBuffer = frames >= buffer;
  }

  // Where the newest frame there stands in the take, and when it was seen.
  // A look that finds fewer frames than the clock says have come since the
  // last one is not taken: the device is holding frames back (a buffer
  // about to overrun, a stream about to report a loss), and its newest
  // frame says nothing about the time.
  void NoteReference(snd_pcm_uframes_t frames, double now) {
    const double newest = static_cast<double>(Position() + frames);
    const double expected = refPosition + (now - refTime) * job.SampleRate;
    const double slack = kReferenceSlackFrames + kClockDrift * (now - refTime) * job.SampleRate;
    if (newest >= expected - slack) {
      refPosition = newest;
      refTime = now;
    }
    lastAudio = now;
    restartedSinceAudio = false;
  }

  // One look at the device: reads what is there, waits when nothing is, or
  // handles what went wrong. False when the take ends.
  bool Step() {
    const double asked = MonotonicSeconds();
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    const double now = (asked + MonotonicSeconds()) / 2;
    if (avail == 0) {
      // Some plugins report a stream that broke only through its state.
      avail = StateError();
      if (avail == 0 && now - lastAudio >= kNoAudioSeconds) {
        Publish(PeriodEnd::kLost, kNoAudioError);
        return false;
      }
      if (avail == 0) {
        // A stop is seen at the top of the loop.
        WaitForDevice(period - filled, now);
        return true;
      }
    }
    if (avail > 0) {
      const auto frames = static_cast<snd_pcm_uframes_t>(avail);
      NotePacing(frames, now);
      if (gapPending) return FillGap(frames, now);
      NoteReference(frames, now);
      // Whatever is there is read: a sound server's plugin may notice that
      // the server is gone only when asked for frames.
      avail = ReadSome(std::min(frames, period - filled));
      if (avail >= 0) {
        filled += static_cast<snd_pcm_uframes_t>(avail);
        delivered += static_cast<uint64_t>(avail);
        if (avail > 0 && !job.ring->started.load(std::memory_order_relaxed))
          job.ring->started.store(true);
        if (filled == period) Publish(PeriodEnd::kWhole, 0);
        return true;
      }
    }
    if (avail == -EPIPE || avail == -ESTRPIPE) return Recover(avail, now);
    Publish(PeriodEnd::kLost, static_cast<int>(avail));
    return false;
  }

  void Run() {
    if (!WaitForGo()) return;
    const int rc = Start();
    lastAudio = refTime = startedAt;
    if (rc < 0) {
      target = job.ring->Slot(0);
      Publish(PeriodEnd::kLost, rc);
      return;
    }
    while (periods < job.totalPeriods) {
      if (Stopped() || (target == nullptr && !ChooseTarget())) {
        if (target != nullptr && filled > 0) Publish(PeriodEnd::kStopped, 0);
        return;
      }
      if (!Step()) return;
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
