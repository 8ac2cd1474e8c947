// The capture thread: the device is read here and nowhere else.
#include "record/capture.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "record/common.h"
#include "record/realtime.h"
#include "record/stop.h"

bool AllocateCaptureBuffers(CaptureBuffers* buffers, size_t slotBytes) {
  try {
    // assign writes every byte: the pages are faulted in here, not mid-take.
    buffers->spill.assign(slotBytes, 0);
    buffers->scratch.assign(slotBytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

namespace {

// A device that delivers this much faster than the clock is not paced by
// real time (ALSA's null and file devices): nothing is ever lost by making
// it wait for room.
constexpr double kPacedTolerance = 1.05;

// How far a card's clock is let drift against this machine's, as the
// reference follows the newest frames seen.
constexpr double kClockDrift = 20e-6;

// A look at the device is timed by reading the clock before and after it.
// One that took longer than this was cut into (the thread was preempted),
// and its time says little about its frames: it is not used to measure by,
// and a dropout's length is measured again, up to kGapLooks times.
constexpr double kTightLookSeconds = 100e-6;
constexpr int kGapLooks = 4;

// Wake-ups in a row with nothing to read after which a device's descriptor
// counts as always readable.
constexpr int kIdleWakeups = 16;

// Poll descriptors of a device beyond this many are not watched; no plugin
// in use needs more than a few.
constexpr int kMaxDeviceFds = 14;

// Whether the device is paced by real time, and a loss it does not report.
struct Pacing {
  bool paced = true;
  bool freshStart = true;     // nothing seen since the last start
  uint64_t delivered = 0;     // frames since the first start
  double startedAt = 0;       // the first start that delivered
  bool atFullBuffer = false;  // the buffer was full when last seen
  bool unreported = false;    // a silent loss to attach to the next slot

  void Started(double now) {
    freshStart = true;
    if (delivered == 0) startedAt = now;
  }

  // A look that found `frames` at `now`.
  void Saw(snd_pcm_uframes_t frames, double now, snd_pcm_uframes_t period,
           snd_pcm_uframes_t buffer, uint32_t rate) {
    // A device paced by real time has next to nothing right after its first
    // start; one that has more than a period at once, or delivers far
    // faster than the clock, is a file or the null device.
    const double due = kPacedTolerance * (now - startedAt) * rate;
    if (freshStart && delivered == 0 && static_cast<double>(frames) > due + period) paced = false;
    freshStart = false;
    if (paced && static_cast<double>(delivered) > due + static_cast<double>(buffer)) paced = false;
    // Some plugins (PipeWire's) drop what does not fit and never report an
    // overrun: a full buffer is the one sign of it.
    if (paced && frames >= buffer && !atFullBuffer) unreported = true;
    atFullBuffer = frames >= buffer;
  }
};

// The device's time against the take's. Each look that finds frames notes
// where the newest of them stands in the take, and when; once audio comes
// back after an overrun, the time since then says how much was lost. The
// same clock says when a device has been silent for too long.
struct DropoutClock {
  double refPosition = 0;            // take position just past the newest frame seen
  double refTime = 0;                // when it was seen
  double lastAudio = 0;              // when frames were last there (or the first restart since)
  bool restartedSinceAudio = false;  // restarted, and nothing came since
  bool gapPending = false;           // overran; audio has not come back yet
  int gapLooks = 0;                  // looks that found audio back, but were cut into

  bool Silent(double now) const { return now - lastAudio >= kNoAudioSeconds; }

  // Frames were there, the newest at take position `newest`. A look that
  // finds fewer than the clock says have come since the last one is not
  // taken as a reference: the device is holding frames back (a buffer about
  // to overrun, a stream about to report a loss), and its newest frame says
  // nothing about the time.
  void Saw(double newest, double now, bool tight, uint32_t rate) {
    const double expected = refPosition + (now - refTime) * rate;
    if (tight && newest >= expected - kClockDrift * (now - refTime) * rate) {
      refPosition = newest;
      refTime = now;
    }
    lastAudio = now;
    restartedSinceAudio = false;
  }

  // Audio is back after an overrun, `avail` frames of it at `now`, with the
  // take at `position`: the frames the device lost in between.
  uint64_t Gap(uint64_t position, snd_pcm_uframes_t avail, double now, uint32_t rate) const {
    // The reference follows the looks whose newest frame came furthest
    // ahead of the clock, so it stands close to the moment that frame
    // arrived; the device counts whole frames, so the frames there now are
    // the whole part of where the clock puts its newest (a tenth of a
    // frame given for the clocks' own jitter).
    const double first = std::floor(refPosition + (now - refTime) * rate + 0.1) - avail;
    const double lost = first - static_cast<double>(position);
    return lost > 0 ? static_cast<uint64_t>(lost) : 0;
  }

  // The dropout is over: the newest of the frames there at `now` stands at
  // take position `newest`, and the time is measured from here on.
  void Closed(double newest, double now) {
    gapPending = false;
    gapLooks = 0;
    refPosition = newest;
    refTime = now;
  }

  // The device overran at `now`. True for the first overrun of a dropout.
  bool Overran(double now) {
    const bool first = !gapPending;
    gapPending = true;
    gapLooks = 0;
    // Whatever kept this thread from the device (a stopped process, a busy
    // machine) is not the device's silence.
    if (!restartedSinceAudio) lastAudio = now;
    restartedSinceAudio = true;
    return first;
  }
};

// Waits for the device, or a stop. The descriptors of some plugins are
// readable while nothing is there, and only the device can tell (through
// revents). PipeWire's stays readable for good; once a descriptor is seen to
// do that, the thread sleeps instead for half the time the missing frames
// take to arrive, then asks the device.
struct DeviceWait {
  snd_pcm_t* pcm = nullptr;
  pollfd fds[kMaxDeviceFds + 2] = {};  // the device's, the stop descriptor, room for a Wakeup
  int deviceFds = 0;
  int idleWakeups = 0;
  bool busyDescriptor = false;

  void Open(snd_pcm_t* device, int stopFd) {
    pcm = device;
    const int count = snd_pcm_poll_descriptors_count(pcm);
    deviceFds = snd_pcm_poll_descriptors(pcm, fds, std::clamp(count, 0, kMaxDeviceFds));
    if (deviceFds < 0) deviceFds = 0;
    fds[deviceFds] = {stopFd, POLLIN, 0};
  }

  pollfd* Stop() { return fds + deviceFds; }

  void Wait(snd_pcm_uframes_t missing, uint32_t rate, int limitMs) {
    if (busyDescriptor) {
      const auto ms = static_cast<int>(missing * 500 / rate);
      if (poll(Stop(), 1, std::clamp(ms, 1, limitMs)) > 0) return;
    }
    // The device is still asked, so that it can report a failure.
    const int ready = poll(fds, static_cast<nfds_t>(deviceFds + 1), busyDescriptor ? 0 : limitMs);
    if (ready <= 0 || (Stop()->revents & POLLIN) != 0) return;
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(deviceFds), &revents);
    idleWakeups = (revents & (POLLIN | POLLERR)) != 0 ? 0 : idleWakeups + 1;
    if (idleWakeups >= kIdleWakeups) busyDescriptor = true;
  }
};

// The producer's side of the ring: the period being filled, and what the
// next published slot will say about the periods before it.
struct Producer {
  PeriodRing* ring = nullptr;
  Wakeups* wake = nullptr;
  uint8_t* spill = nullptr;
  snd_pcm_uframes_t period = 0;
  size_t areaBytes = 0;  // one channel's period
  uint32_t SampleBytes = 0;

  pollfd fds[2] = {};  // the stop descriptor, and room for the Wakeup

  uint64_t periods = 0;       // periods accounted for: published and lost ones
  uint32_t dropped = 0;       // lost to a full ring since the last slot
  uint32_t overruns = 0;      // reported by the device since the last slot
  uint32_t silentFrames = 0;  // silence in the period being filled
  uint64_t unannounced = 0;   // published since the main thread was woken
  uint8_t* target = nullptr;  // the period being filled
  bool toSpill = false;       // ... outside the ring, which was full
  snd_pcm_uframes_t filled = 0;

  uint64_t Position() const { return periods * period + filled; }

  void WakeMain() {
    if (unannounced == 0) return;
    unannounced = 0;
    Notify(&wake->main);
  }

  // Picks where the next period goes. A device paced by real time never
  // waits: when the writer is behind by the whole ring, the period is read
  // into the spill room and lost, but the device never overruns because of
  // us. One that is not paced waits for room. False on a stop while waiting.
  bool ChooseTarget(bool paced) {
    for (;;) {
      const uint64_t n = ring->produced.load(std::memory_order_relaxed);
      const auto freeSlot = [&] { return n - ring->released.load(std::memory_order_acquire) < ring->active; };
      if (freeSlot()) {
        target = ring->Slot(n);
        toSpill = false;
        return true;
      }
      if (paced) {
        target = spill;
        toSpill = true;
        return true;
      }
      WakeMain();
      SleepUnless(&wake->room, freeSlot, 1000, fds, 1);
      if (StopRequested()) return false;
    }
  }

  void Publish(PeriodEnd end, bool unreported, bool paced) {
    if (toSpill) {
      ++dropped;  // written as a whole period of silence, and counted so
    } else {
      const uint64_t n = ring->produced.load(std::memory_order_relaxed);
      // Whether the device is paced is known by the first period's end.
      if (n == 0 && !paced) {
        ring->active = std::min(ring->slots, kUnpacedSlots);
        ring->paced = false;
      }
      ring->Info(n) = PeriodInfo{static_cast<uint32_t>(filled), dropped, overruns, silentFrames, end,
                                 unreported};
      dropped = overruns = 0;
      ring->produced.store(n + 1, std::memory_order_release);
      if (++unannounced >= ring->WakeBatch()) WakeMain();
    }
    silentFrames = 0;
    ++periods;
    target = nullptr;
    filled = 0;
  }

  // Makes up to `wanted` frames of the period being filled silence, as many
  // as it has room for. Returns how many.
  snd_pcm_uframes_t Silence(uint64_t wanted, bool interleaved) {
    const auto frames = static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(wanted, period - filled));
    const size_t offset = filled * SampleBytes, bytes = frames * SampleBytes;
    if (interleaved) {
      std::memset(target + 2 * offset, 0, 2 * bytes);
    } else {
      std::memset(target + offset, 0, bytes);
      std::memset(target + areaBytes + offset, 0, bytes);
    }
    filled += frames;
    silentFrames += static_cast<uint32_t>(frames);
    return frames;
  }
};

// Waits until the files are ready. False on a stop before that.
bool WaitForGo(const Wakeups& wake) {
  pollfd p[2] = {{wake.go, POLLIN, 0}, {wake.stop, POLLIN, 0}};
  while (!StopRequested() && (p[0].revents & POLLIN) == 0) poll(p, 2, 1000);
  return !StopRequested();
}

// The error a stream's state stands for, or 0 while it can deliver.
snd_pcm_sframes_t StateError(snd_pcm_t* pcm) {
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

// Reads up to `frames` frames into the period being filled, at `filled`.
// The count read, 0 when nothing was there, or a negative ALSA code.
snd_pcm_sframes_t ReadInto(const CaptureJob& job, const Producer& out, snd_pcm_uframes_t frames) {
  snd_pcm_t* pcm = job.device->handle.get();
  const size_t offset = out.filled * job.SampleBytes;
  uint8_t* area1 = out.target + offset;
  uint8_t* area2 = out.target + out.areaBytes + offset;
  snd_pcm_sframes_t got;
  if (job.ring->interleaved) {
    got = snd_pcm_readi(pcm, out.target + 2 * offset, frames);
  } else if (job.device->interleaved) {
    uint8_t* scratch = job.buffers->scratch.data();
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

// Reads up to `frames` frames into the capture thread's own room instead:
// interleaved as an interleaved device gives them, else as two channel
// areas of `areaBytes` each. The count, 0, or a negative ALSA code.
snd_pcm_sframes_t ReadAside(const CaptureJob& job, size_t areaBytes, snd_pcm_uframes_t frames) {
  snd_pcm_t* pcm = job.device->handle.get();
  uint8_t* aside = job.buffers->scratch.data();
  snd_pcm_sframes_t got;
  if (job.device->interleaved) {
    got = snd_pcm_readi(pcm, aside, frames);
  } else {
    void* areas[2] = {aside, aside + areaBytes};
    got = snd_pcm_readn(pcm, areas, frames);
  }
  return got == -EAGAIN ? 0 : got;
}

struct Reader {
  CaptureJob job;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  Pacing pacing;
  DropoutClock clock;
  DeviceWait wait;
  Producer out;
  snd_pcm_uframes_t lostOnStop = 0;  // frames of a period lost to a full ring at a stop

  uint64_t TakeFrames() const { return job.totalPeriods * period; }

  void Publish(PeriodEnd end, int error = 0) {
    if (end == PeriodEnd::kLost) job.ring->lostError.store(error);
    const bool spilled = out.toSpill;
    out.Publish(end, pacing.unreported && !spilled, pacing.paced);
    if (!spilled) pacing.unreported = false;
  }

  int Start() {
    int rc = snd_pcm_prepare(pcm);
    if (rc == 0) rc = snd_pcm_start(pcm);
    pacing.Started(MonotonicSeconds());
    return rc;
  }

  // Puts `frames` frames of silence where the device lost audio (FillGap
  // keeps them within the take). False on a stop while waiting for room.
  bool InsertSilence(uint64_t frames) {
    while (frames > 0) {
      if (out.target == nullptr && !out.ChooseTarget(pacing.paced)) return false;
      frames -= out.Silence(frames, job.ring->interleaved);
      if (out.filled == period) Publish(PeriodEnd::kWhole);
    }
    return true;
  }

  // Frames that came after a dropout, read aside until the silence for it
  // is in place, go into the period being filled.
  void TakeAside(snd_pcm_uframes_t frames) {
    const uint8_t* aside = job.buffers->scratch.data();
    const size_t offset = out.filled * job.SampleBytes, bytes = frames * job.SampleBytes;
    uint8_t* target = out.target;
    if (job.ring->interleaved) {
      std::memcpy(target + 2 * offset, aside, 2 * bytes);
    } else if (job.device->interleaved) {
      Deinterleave(static_cast<int32_t>(frames), static_cast<int32_t>(job.SampleBytes), aside,
                   target + offset, job.firstInputOnly ? nullptr : target + out.areaBytes + offset);
    } else {
      std::memcpy(target + offset, aside, bytes);
      std::memcpy(target + out.areaBytes + offset, aside + out.areaBytes, bytes);
    }
  }

  bool FillGap(snd_pcm_uframes_t avail, double now);
  void Took(snd_pcm_uframes_t frames);

  // The steps of a take, each false when it ends the take.
  bool Recover(snd_pcm_sframes_t error, double now);
  bool Take(snd_pcm_uframes_t frames, double now, bool tight);
  bool Failed(snd_pcm_sframes_t error, double now);
  bool Idle(double now);
  bool Step();
  void Run();
};

// After an overrun or a suspend. False when the take ends: the device is
// gone, or has delivered nothing for kNoAudioSeconds however often it
// was restarted. Overruns in a row with no frame between are one
// dropout, counted once.
bool Reader::Recover(snd_pcm_sframes_t error, double now) {
  const bool again = clock.restartedSinceAudio;
  if (clock.Overran(now)) ++out.overruns;
  if (again && clock.Silent(now)) {
    Publish(PeriodEnd::kLost, kNoAudioError);
    return false;
  }
  // A stream that overruns again at once is given a moment.
  if (again) poll(wait.Stop(), 1, 20);
  int rc = RecoverStream(pcm, error);
  if (rc == 0) rc = Start();
  if (rc < 0) {
    Publish(PeriodEnd::kLost, rc);
    return false;
  }
  return true;
}

// Frames are there: reads them into the period being filled.
// Audio is back after an overrun: as much silence as the clock says the
// device lost, then the frames. A device not paced by real time has no
// clock to measure its loss by: it is taken to be the rest of the period.
// The frames are read aside first, and the silence made only once some have
// come: a sound server that has gone away restarts and shows frames it
// never delivers, and no silence is made for that.
bool Reader::FillGap(snd_pcm_uframes_t avail, double now) {
  uint64_t lost = pacing.paced ? clock.Gap(out.Position(), avail, now, job.SampleRate)
                               : period - out.filled;
  lost = std::min(lost, TakeFrames() - out.Position());
  const snd_pcm_uframes_t room = period - (out.filled + lost) % period;
  const snd_pcm_sframes_t got = ReadAside(job, out.areaBytes, std::min(avail, room));
  if (got <= 0) return got == 0 || Failed(got, now);
  clock.Closed(static_cast<double>(out.Position() + lost + avail), now);
  if (!InsertSilence(lost)) return false;
  if (out.Position() == TakeFrames()) return true;  // the dropout ran past the take's end
  if (out.target == nullptr && !out.ChooseTarget(pacing.paced)) return false;
  TakeAside(static_cast<snd_pcm_uframes_t>(got));
  Took(static_cast<snd_pcm_uframes_t>(got));
  return true;
}

// `frames` more of the period being filled have arrived.
void Reader::Took(snd_pcm_uframes_t frames) {
  out.filled += frames;
  pacing.delivered += frames;
  if (frames > 0 && !job.ring->started.load(std::memory_order_relaxed))
    job.ring->started.store(true);
  if (out.filled == period) Publish(PeriodEnd::kWhole);
}

bool Reader::Take(snd_pcm_uframes_t frames, double now, bool tight) {
  pacing.Saw(frames, now, period, buffer, job.SampleRate);
  if (clock.gapPending && !tight && ++clock.gapLooks < kGapLooks) return true;  // look again
  if (clock.gapPending) return FillGap(frames, now);
  clock.Saw(static_cast<double>(out.Position() + frames), now, tight, job.SampleRate);
  // Whatever is there is read: a sound server's plugin may notice that
  // the server is gone only when asked for frames.
  const snd_pcm_sframes_t got = ReadInto(job, out, std::min(frames, period - out.filled));
  if (got < 0) return Failed(got, now);
  Took(static_cast<snd_pcm_uframes_t>(got));
  return true;
}

// The device reported an error: an overrun or a suspend is recovered from,
// anything else ends the take.
bool Reader::Failed(snd_pcm_sframes_t error, double now) {
  if (error == -EPIPE || error == -ESTRPIPE) return Recover(error, now);
  Publish(PeriodEnd::kLost, static_cast<int>(error));
  return false;
}

// Nothing is there: waits, or finds the device broken or silent too long.
bool Reader::Idle(double now) {
  // Some plugins report a stream that broke only through its state.
  const snd_pcm_sframes_t broken = StateError(pcm);
  if (broken != 0) return Failed(broken, now);
  if (clock.Silent(now)) {
    Publish(PeriodEnd::kLost, kNoAudioError);
    return false;
  }
  out.WakeMain();
  const double left = clock.lastAudio + kNoAudioSeconds - now;
  wait.Wait(period - out.filled, job.SampleRate,
            std::clamp(static_cast<int>(left * 1000) + 1, 1, 1000));
  return true;  // a stop is seen at the top of the loop
}

// One look at the device. False when the take ends.
bool Reader::Step() {
  const double asked = MonotonicSeconds();
  const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
  const double answered = MonotonicSeconds(), now = (asked + answered) / 2;
  if (avail > 0)
    return Take(static_cast<snd_pcm_uframes_t>(avail), now, answered - asked < kTightLookSeconds);
  if (avail == 0) return Idle(now);
  return Failed(avail, now);
}

// The take: every period until the last, a stop, or a lost device.
void Reader::Run() {
  if (!WaitForGo(*job.wake)) return;
  const int rc = Start();
  clock.lastAudio = clock.refTime = pacing.startedAt;
  if (rc < 0) {
    out.target = job.ring->Slot(0);
    Publish(PeriodEnd::kLost, rc);
    return;
  }
  while (out.periods < job.totalPeriods) {
    if (StopRequested() || (out.target == nullptr && !out.ChooseTarget(pacing.paced))) {
      // What arrived of the period is written; if the ring was full, only
      // that much is lost, not the whole period.
      if (out.target != nullptr && out.filled > 0 && out.toSpill) lostOnStop = out.filled;
      if (out.target != nullptr && out.filled > 0 && !out.toSpill) Publish(PeriodEnd::kStopped);
      return;
    }
    if (!Step()) return;
  }
}

}  // namespace

void RunCapture(CaptureJob job) {
  RunInRealTime();
  Reader r;
  r.job = job;
  r.pcm = job.device->handle.get();
  r.period = job.device->PeriodFrames;
  r.buffer = job.device->bufferFrames;
  r.wait.Open(r.pcm, job.wake->stop);
  r.out.ring = job.ring;
  r.out.wake = job.wake;
  r.out.spill = job.buffers->spill.data();
  r.out.period = r.period;
  r.out.areaBytes = static_cast<size_t>(r.period) * job.SampleBytes;
  r.out.SampleBytes = job.SampleBytes;
  r.out.fds[0] = {job.wake->stop, POLLIN, 0};

  r.Run();

  PeriodRing& ring = *job.ring;
  ring.trailingDropped.store(r.out.dropped);
  ring.trailingFrames.store(static_cast<uint32_t>(r.lostOnStop));
  ring.finished.store(true);
  Signal(job.wake->main.fd);
  // Letting go of a device can wait on a frozen sound server; nobody waits
  // for it here, and the main thread gives it about a second at the end.
  snd_pcm_drop(r.pcm);
  job.device->handle.reset();
  ring.closed.store(true);
  Signal(job.wake->main.fd);
}
