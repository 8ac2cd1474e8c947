// The capture thread: the device is read here and nowhere else.
#include "record/capture.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "record/common.h"
#include "record/realtime.h"
#include "record/stop.h"

bool AllocateCaptureBuffers(CaptureBuffers* buffers, size_t slotBytes) {
  try {
    // assign writes every byte: the pages are faulted in here, not mid-take.
    buffers->spill.assign(slotBytes, 0);
    buffers->scratch.assign(slotBytes, 0);
    buffers->params.assign(snd_pcm_hw_params_sizeof(), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

namespace {

// The capture thread's time runs on through a suspend of the machine, so
// that the time it slept is measured like any other dropout.
double DeviceSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A suspended device that cannot be resumed yet is asked again this often.
constexpr int kResumeRetryMs = 20;

// A device is not paced by real time (ALSA's null and file devices) only
// once it has delivered more than kUnpacedRatio times what the clock allows
// since its first start, its buffer and kUnpacedProofSeconds of audio more:
// no device paced by real time, however it bursts, has a backlog or grants
// a buffer, can (PulseAudio's sine source hands a new stream two seconds at
// once). Such a device loses nothing by being made to wait for room. The
// proof comes well before the ring's ten seconds are full.
constexpr double kUnpacedRatio = 2.0;
constexpr double kUnpacedProofSeconds = 4.0;

// A device paced by real time delivers at most this much faster than the
// clock: a full buffer on one that kept to it means lost audio.
constexpr double kPacedTolerance = 1.05;
// Frames a device paced by real time may seem ahead of the clock by, for the
// clocks' own jitter.
constexpr double kAheadSlack = 64;

// A device paced by real time whose newest frame falls further behind the
// clock than kLateSeconds against the best it has done, and stays there for
// kLateConfirmSeconds, has lost audio it never reported (a sound server that
// dropped what did not fit, or stopped its clock meanwhile). The best fades
// by kLateDrift, more than any card's clock drifts against this machine's,
// so a slow clock is never taken for a loss.
constexpr double kLateSeconds = 0.4;
constexpr double kLateConfirmSeconds = 0.25;
constexpr double kLateDrift = 500e-6;

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
  uint64_t delivered = 0;     // frames since the first start
  double startedAt = 0;       // the first start
  bool atFullBuffer = false;  // the buffer was full when last seen

  void Started(double now) {
    if (delivered == 0) startedAt = now;
  }

  // A look that found `frames` at `now`: true when it proves that the
  // device is not paced by real time (once).
  bool ProvesUnpaced(snd_pcm_uframes_t frames, double now, snd_pcm_uframes_t buffer,
                     uint32_t rate) {
    if (!paced) return false;
    const double allowed = kUnpacedRatio * (now - startedAt) * rate + static_cast<double>(buffer) +
                           kUnpacedProofSeconds * rate;
    paced = static_cast<double>(delivered + frames) <= allowed;
    return !paced;
  }

  // Whether the newest frame, at take position `newest`, stands ahead of
  // the clock: no device paced by real time can have a frame before its
  // time, so such a device has no clock to measure a dropout by, even before
  // it has proved that it is not paced at all.
  bool AheadOfClock(uint64_t newest, double now, uint32_t rate) const {
    return static_cast<double>(newest) > kPacedTolerance * (now - startedAt) * rate + kAheadSlack;
  }

  // Some plugins (PipeWire's) drop what does not fit and never report an
  // overrun: a buffer that has just run full, on a device that kept to real
  // time, is the one sign of it at once.
  bool RanFull(snd_pcm_uframes_t frames, double now, snd_pcm_uframes_t period,
               snd_pcm_uframes_t buffer, uint32_t rate) {
    const bool full = frames >= buffer;
    const bool wasFull = atFullBuffer;
    atFullBuffer = full;
    const double due = kPacedTolerance * (now - startedAt) * rate + static_cast<double>(period);
    return paced && full && !wasFull && static_cast<double>(delivered + frames) <= due;
  }
};

// How far the newest frame stands behind the clock, against the best the
// device has done (kLateSeconds).
struct Lateness {
  bool seen = false;
  double best = 0;  // the newest frame's lead on the clock, at its best, in frames
  double bestAt = 0;
  double suspectSince = -1;  // when it first stood too far behind

  // A tight look at `now` found the newest frame at take position `newest`;
  // the clock has run `clock` frames of the take since the first start.
  // Returns the frames lost once the loss is sure, else 0.
  double Lost(double newest, double clock, double now, uint32_t rate) {
    const double lead = newest - clock;
    const double fadedBest = best - kLateDrift * (now - bestAt) * rate;
    if (!seen || lead >= fadedBest) {
      seen = true;
      best = lead;
      bestAt = now;
      suspectSince = -1;
      return 0;
    }
    const double behind = fadedBest - lead;
    if (behind <= kLateSeconds * rate) {
      suspectSince = -1;
      return 0;
    }
    if (suspectSince < 0) suspectSince = now;
    return now - suspectSince >= kLateConfirmSeconds ? behind : 0;
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

  // Where the clock puts the take at `now`.
  double Position(double now, uint32_t rate) const { return refPosition + (now - refTime) * rate; }

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

  // The device was opened again at `now`: the time since the last frames
  // seen is measured once audio is back, as after an overrun, and the
  // device has kNoAudioSeconds from now to deliver.
  void Reopened(double now) {
    gapPending = true;
    gapLooks = 0;
    lastAudio = now;
    restartedSinceAudio = true;
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

// The shortest sleep while frames are missing: a wait always blocks in the
// kernel, so a device a few frames short is never spun on.
constexpr double kMinSleepSeconds = 1e-3;
// A device that has shown fewer frames than the period misses for this many
// periods' time is read all the same: some plugins notice that the server is
// gone only when asked for frames.
constexpr double kLeaveForPeriods = 2;

// Waits for the device, or a stop, for about a period's worth of frames:
// every wake-up is a trip through a sound server's plugin. The device's
// descriptors are watched only while nothing at all is there; frames that
// are there but fall short of the period are left where they are for the
// time the rest takes to arrive. The descriptors of some plugins are
// readable while nothing is there, and only the device can tell (through
// revents). PipeWire's stays readable for good; once a descriptor is seen to
// do that, the thread sleeps instead for the time the missing frames take
// to arrive, then asks the device.
struct DeviceWait {
  snd_pcm_t* pcm = nullptr;
  pollfd fds[kMaxDeviceFds + 2] = {};  // the device's, the stop descriptor, room for a Wakeup
  int deviceFds = 0;
  int idleWakeups = 0;
  bool busyDescriptor = false;
  double lastTaken = 0;  // when frames were last read (or the device opened)

  // Also for a device opened anew: nothing of the one before holds.
  void Open(snd_pcm_t* device, int stopFd) {
    pcm = device;
    const int count = snd_pcm_poll_descriptors_count(pcm);
    deviceFds = snd_pcm_poll_descriptors(pcm, fds, std::clamp(count, 0, kMaxDeviceFds));
    if (deviceFds < 0) deviceFds = 0;
    fds[deviceFds] = {stopFd, POLLIN, 0};
    idleWakeups = 0;
    busyDescriptor = false;
    lastTaken = DeviceSeconds();
  }

  pollfd* Stop() { return fds + deviceFds; }

  // Sleeps for the time `frames` take to arrive, within the bounds given;
  // a stop ends it at once. True when it was a stop.
  bool Sleep(snd_pcm_uframes_t frames, uint32_t rate, double limitSeconds) {
    const double seconds = std::clamp(static_cast<double>(frames) / rate, kMinSleepSeconds,
                                      std::max(limitSeconds, kMinSleepSeconds));
    const auto whole = static_cast<time_t>(seconds);
    const timespec span = {whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    return ppoll(Stop(), 1, &span, nullptr) > 0;
  }

  // Whether a look at `now` that found `frames`, fewer than the `missing`
  // ones of the period being filled, may leave them there and sleep: not
  // once the device has kept back its frames for too long.
  bool MayLeave(snd_pcm_uframes_t frames, snd_pcm_uframes_t missing, double now,
                snd_pcm_uframes_t period, uint32_t rate) const {
    return frames < missing &&
           now - lastTaken < kLeaveForPeriods * static_cast<double>(period) / rate;
  }

  // Nothing at all is there.
  void Wait(snd_pcm_uframes_t missing, uint32_t rate, int limitMs) {
    if (busyDescriptor && Sleep(missing, rate, limitMs / 1000.0)) return;
    // The device is still asked, so that it can report a failure.
    const int ready = poll(fds, static_cast<nfds_t>(deviceFds + 1), busyDescriptor ? 0 : limitMs);
    if (ready <= 0 || (Stop()->revents & POLLIN) != 0) return;
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(deviceFds), &revents);
    idleWakeups = (revents & (POLLIN | POLLERR)) != 0 ? 0 : idleWakeups + 1;
    if (idleWakeups >= kIdleWakeups) busyDescriptor = true;
  }
};

// The period being filled, and where it goes.
struct Producer {
  RingProducer* ring = nullptr;
  uint8_t* spill = nullptr;
  snd_pcm_uframes_t period = 0;
  size_t areaBytes = 0;  // one channel's period
  uint32_t SampleBytes = 0;
  bool interleaved = false;  // slots hold frames

  uint64_t periods = 0;       // periods accounted for: published and lost ones
  uint32_t silentFrames = 0;  // silence in the period being filled
  uint8_t* target = nullptr;  // the period being filled
  bool toSpill = false;       // ... outside the ring, which was full
  snd_pcm_uframes_t filled = 0;

  uint64_t Position() const { return periods * period + filled; }

  // Picks where the next period goes: a slot, or, when the ring is full
  // and the producer may not wait, the spill room, whose period is lost (the
  // device never overruns because of us). False on a stop while waiting.
  bool ChooseTarget() {
    target = ring->Claim();
    toSpill = target == nullptr;
    if (!toSpill) return true;
    if (ring->MayWait()) return false;
    target = spill;
    return true;
  }

  // The period is complete.
  void Publish() {
    if (toSpill)
      ring->Lose(period);
    else
      ring->Publish(period, silentFrames);
    Next();
  }

  // The take ends inside the period: what arrived of it is kept (as
  // silence, if the ring was full).
  void PublishPartial() {
    if (target != nullptr && filled > 0) {
      if (toSpill)
        ring->Lose(filled);
      else
        ring->Publish(filled, silentFrames);
    }
    target = nullptr;
    filled = 0;
  }

  void Next() {
    silentFrames = 0;
    ++periods;
    target = nullptr;
    filled = 0;
  }

  // Makes up to `wanted` frames of the period being filled silence, as many
  // as it has room for. Returns how many.
  snd_pcm_uframes_t Silence(uint64_t wanted) {
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
  if (job.interleavedSlots) {
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
  const CaptureJob& job;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  Pacing pacing;
  DropoutClock clock;
  Lateness late;
  DeviceWait wait;
  Producer out;
  CaptureResult result;

  explicit Reader(const CaptureJob& j) : job(j) {}

  uint64_t TakeFrames() const { return job.totalPeriods * period; }

  int Start() {
    int rc = snd_pcm_prepare(pcm);
    if (rc == 0) rc = snd_pcm_start(pcm);
    pacing.Started(DeviceSeconds());
    return rc;
  }

  // The device is gone for good: what arrived of the period is kept, and
  // the take ends.
  bool Lost(int error) {
    out.PublishPartial();
    result = {CaptureResult::kLost, error};
    return false;
  }

  // A stop: what arrived of the period is kept.
  bool Stopped() {
    out.PublishPartial();
    result = {CaptureResult::kStopped, 0};
    return false;
  }

  void CloseDevice() {
    snd_pcm_drop(pcm);
    job.device->handle.reset();
    pcm = nullptr;
  }

  // The device opened again, granting what the take started with.
  void Reopened(CaptureDevice* again, double now) {
    job.device->handle = std::move(again->handle);
    job.device->bufferFrames = again->bufferFrames;
    pcm = job.device->handle.get();
    buffer = again->bufferFrames;
    wait.Open(pcm, job.wake->stop);
    clock.Reopened(now);
  }

  // Puts `frames` frames of silence where the device lost audio (the
  // callers keep them within the take). False on a stop while waiting for
  // room.
  bool InsertSilence(uint64_t frames) {
    while (frames > 0) {
      if (out.target == nullptr && !out.ChooseTarget()) return false;
      frames -= out.Silence(frames);
      if (out.filled == period) out.Publish();
    }
    return true;
  }

  // Frames that came after a dropout, read aside until the silence for it
  // is in place, go into the period being filled.
  void TakeAside(snd_pcm_uframes_t frames) {
    const uint8_t* aside = job.buffers->scratch.data();
    const size_t offset = out.filled * job.SampleBytes, bytes = frames * job.SampleBytes;
    uint8_t* target = out.target;
    if (job.interleavedSlots) {
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
  bool CatchUnreportedLoss(snd_pcm_uframes_t frames, double now, bool tight);
  void Took(snd_pcm_uframes_t frames);

  // The steps of a take, each false when it ends the take.
  bool Away(int error);
  bool Resume();
  bool Recover(snd_pcm_sframes_t error, double now);
  bool Take(snd_pcm_uframes_t frames, double now, bool tight);
  bool Failed(snd_pcm_sframes_t error, double now);
  bool Idle(double now);
  bool Step();
  CaptureResult Run();
};

// The device is lost (`error`): it is closed and asked to open again until
// it comes back or the take's planned end has passed by the clock. What
// arrived of the period being filled stays there, unpublished, until audio
// is back or the take ends. False when the take ends: a stop, the end
// reached, or a device that came back granting something else.
bool Reader::Away(int error) {
  out.ring->Flush();
  CloseDevice();
  job.news->lost.fetch_add(1, std::memory_order_relaxed);
  Signal(job.wake->main.fd);
  const double since = clock.lastAudio;
  auto* params = reinterpret_cast<snd_pcm_hw_params_t*>(job.buffers->params.data());
  for (;;) {
    if (poll(wait.Stop(), 1, kReopenIntervalMs) > 0) return Stopped();
    const double now = DeviceSeconds();
    if (clock.Position(now, job.SampleRate) >= static_cast<double>(TakeFrames())) return Lost(error);
    CaptureDevice again;
    if (ConfigureCaptureDevice(*job.reopenName, job.SampleRate, job.SampleBytes, params, &again)
            .failed != SetUpStep::kDone)
      continue;
    if (!SameGrant(*job.device, again)) return Lost(kOtherGrantError);
    Reopened(&again, now);
    if (Start() < 0) {
      CloseDevice();
      continue;
    }
    job.news->awayMs.store(static_cast<uint32_t>((now - since) * 1000), std::memory_order_relaxed);
    job.news->back.fetch_add(1, std::memory_order_release);
    Signal(job.wake->main.fd);
    return true;
  }
}

// A suspended stream (the machine slept): resumed where the driver can, else
// started anew. One that cannot be resumed yet is asked again shortly, until
// it has been silent for kNoAudioSeconds and is taken for lost.
bool Reader::Resume() {
  int rc = ResumeStream(pcm);
  if (rc == -EAGAIN) {
    poll(wait.Stop(), 1, kResumeRetryMs);
    return true;  // asked again on the next look
  }
  if (rc == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) rc = snd_pcm_start(pcm);
  if (rc < 0) rc = Start();
  return rc < 0 ? Away(rc) : true;
}

// After an overrun or a suspend, either of which is a dropout: the time it
// takes is measured by the clock once audio is back. False when the take
// ends. A device that has delivered nothing for kNoAudioSeconds however
// often it was restarted is lost. Overruns in a row with no frame between
// are one dropout, counted once.
bool Reader::Recover(snd_pcm_sframes_t error, double now) {
  const bool again = clock.restartedSinceAudio;
  if (clock.Overran(now)) out.ring->Overran();
  if (again && clock.Silent(now)) return Away(kNoAudioError);
  if (error == -ESTRPIPE) return Resume();
  // A stream that overruns again at once is given a moment.
  if (again) poll(wait.Stop(), 1, 20);
  const int rc = Start();
  return rc < 0 ? Away(rc) : true;
}

// Audio is back after an overrun: as much silence as the clock says the
// device lost, then the frames. A device not paced by real time has no
// clock to measure its loss by (nor one ahead of the clock before it has
// proved that): it is taken to be the rest of the period.
// The frames are read aside first, and the silence made only once some have
// come: a sound server that has gone away restarts and shows frames it
// never delivers, and no silence is made for that.
bool Reader::FillGap(snd_pcm_uframes_t avail, double now) {
  const bool clocked = pacing.paced && !pacing.AheadOfClock(out.Position() + avail, now, job.SampleRate);
  uint64_t lost = clocked ? clock.Gap(out.Position(), avail, now, job.SampleRate) : period - out.filled;
  lost = std::min(lost, TakeFrames() - out.Position());
  const snd_pcm_uframes_t room = period - (out.filled + lost) % period;
  const snd_pcm_sframes_t got = ReadAside(job, out.areaBytes, std::min(avail, room));
  if (got <= 0) return got == 0 || Failed(got, now);
  clock.Closed(static_cast<double>(out.Position() + lost + avail), now);
  if (!InsertSilence(lost)) return false;
  if (out.Position() == TakeFrames()) return true;  // the dropout ran past the take's end
  if (out.target == nullptr && !out.ChooseTarget()) return false;
  TakeAside(static_cast<snd_pcm_uframes_t>(got));
  Took(static_cast<snd_pcm_uframes_t>(got));
  return true;
}

// A device paced by real time that lost audio without a word: its buffer
// ran full, or its newest frame fell behind the clock for good. That is a
// dropout like any other: counted, and the time it took made silence, so
// every later frame keeps its place. False on a stop while waiting.
bool Reader::CatchUnreportedLoss(snd_pcm_uframes_t frames, double now, bool tight) {
  if (!pacing.paced) return true;
  const bool ranFull = pacing.RanFull(frames, now, period, buffer, job.SampleRate);
  double lost = 0;
  if (tight) {
    const double newest = static_cast<double>(out.Position() + frames);
    lost = late.Lost(newest, (now - pacing.startedAt) * job.SampleRate, now, job.SampleRate);
  }
  if (!ranFull && lost <= 0) return true;
  out.ring->Overran();
  const auto silence = std::min<uint64_t>(static_cast<uint64_t>(lost), TakeFrames() - out.Position());
  return InsertSilence(silence);
}

// `frames` more of the period being filled have arrived.
void Reader::Took(snd_pcm_uframes_t frames) {
  out.filled += frames;
  pacing.delivered += frames;
  if (out.filled == period) out.Publish();
}

bool Reader::Take(snd_pcm_uframes_t frames, double now, bool tight) {
  if (pacing.ProvesUnpaced(frames, now, buffer, job.SampleRate)) {
    out.ring->AllowWaiting();
    RunAtNormalPriority();
  }
  if (clock.gapPending && !tight && ++clock.gapLooks < kGapLooks) return true;  // look again
  if (clock.gapPending) {
    wait.lastTaken = now;
    return FillGap(frames, now);
  }
  if (!CatchUnreportedLoss(frames, now, tight)) return false;
  if (out.Position() == TakeFrames()) return true;  // the loss ran past the take's end
  if (out.target == nullptr && !out.ChooseTarget()) return false;
  clock.Saw(static_cast<double>(out.Position() + frames), now, tight, job.SampleRate);
  // Part of a period is left for the rest to join it, on a device paced by
  // real time (one that is not has its whole buffer there at once).
  const snd_pcm_uframes_t missing = period - out.filled;
  if (pacing.paced && wait.MayLeave(frames, missing, now, period, job.SampleRate)) {
    out.ring->Flush();
    const double deadline =
        wait.lastTaken + kLeaveForPeriods * static_cast<double>(period) / job.SampleRate;
    wait.Sleep(missing - frames, job.SampleRate, deadline - now);
    return true;  // a stop is seen at the top of the loop
  }
  // Else whatever is there is read: a sound server's plugin may notice that
  // the server is gone only when asked for frames.
  const snd_pcm_sframes_t got = ReadInto(job, out, std::min(frames, missing));
  if (got < 0) return Failed(got, now);
  wait.lastTaken = now;
  Took(static_cast<snd_pcm_uframes_t>(got));
  return true;
}

// The device reported an error: an overrun or a suspend is recovered from,
// anything else loses the device.
bool Reader::Failed(snd_pcm_sframes_t error, double now) {
  if (error == -EPIPE || error == -ESTRPIPE) return Recover(error, now);
  return Away(static_cast<int>(error));
}

// Nothing is there: waits, or finds the device broken or silent too long.
bool Reader::Idle(double now) {
  // Some plugins report a stream that broke only through its state.
  const snd_pcm_sframes_t broken = StateError(pcm);
  if (broken != 0) return Failed(broken, now);
  if (clock.Silent(now)) return Away(kNoAudioError);
  out.ring->Flush();
  const double left = clock.lastAudio + kNoAudioSeconds - now;
  wait.Wait(period - out.filled, job.SampleRate,
            std::clamp(static_cast<int>(left * 1000) + 1, 1, 1000));
  return true;  // a stop is seen at the top of the loop
}

// One look at the device. False when the take ends.
bool Reader::Step() {
  const double asked = DeviceSeconds();
  const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
  const double answered = DeviceSeconds(), now = (asked + answered) / 2;
  if (avail > 0)
    return Take(static_cast<snd_pcm_uframes_t>(avail), now, answered - asked < kTightLookSeconds);
  if (avail == 0) return Idle(now);
  return Failed(avail, now);
}

// The take: every period until the last, a stop, or a device lost for good.
CaptureResult Reader::Run() {
  if (!WaitForGo(*job.wake)) return {CaptureResult::kStopped, 0};
  const int rc = Start();
  clock.lastAudio = clock.refTime = pacing.startedAt;
  if (rc < 0) {
    Lost(rc);
    return result;
  }
  while (out.periods < job.totalPeriods) {
    if (StopRequested()) {
      Stopped();
      return result;
    }
    // Besides the ends a step says, a stop while waiting for room ends one.
    if (!Step()) return result.end == CaptureResult::kComplete ? CaptureResult{CaptureResult::kStopped, 0} : result;
  }
  return {CaptureResult::kComplete, 0};
}

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

CaptureResult RunCapture(const CaptureJob& job) {
  // libasound and its plugins print their errors to standard error (one on
  // every failed attempt to reach a sound server that is gone): from here on
  // only the console thread writes there, and this thread never waits on a
  // terminal.
  snd_lib_error_set_handler(IgnoreAlsaError);
  RunInRealTime();
  Reader r(job);
  r.pcm = job.device->handle.get();
  r.period = job.device->PeriodFrames;
  r.buffer = job.device->bufferFrames;
  r.wait.Open(r.pcm, job.wake->stop);
  r.out.ring = job.out;
  r.out.spill = job.buffers->spill.data();
  r.out.period = r.period;
  r.out.areaBytes = static_cast<size_t>(r.period) * job.SampleBytes;
  r.out.SampleBytes = job.SampleBytes;
  r.out.interleaved = job.interleavedSlots;
  return r.Run();
}
