// The capture thread and the ring of periods it fills (private to
// src/record). The thread reads the device and does nothing else: no file or
// console output, no allocation, no lock; everything it needs is allocated
// before the take, and it hands each period over through lock-free indices.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/device.h"

// A thread that hands work on wakes a sleeping receiver once per this many
// periods at most, and whenever it is about to sleep itself: a device paced
// by real time wakes each thread once per period, one that delivers at
// once (a file, the null device) far less often.
constexpr uint64_t kWakeBatch = 64;

// How a period's capture ended.
enum class PeriodEnd : uint8_t {
  kWhole,    // the period is complete: frames read, and silence where audio was lost
  kLost,     // the device is gone: `frames` arrived; the take ends here
  kStopped,  // a stop: `frames` arrived; the take ends here
};

struct PeriodInfo {
  uint32_t frames = 0;         // frames of the period that are there
  uint32_t droppedBefore = 0;  // periods lost to a full ring just before this one
  uint32_t overruns = 0;       // overruns the device reported since the slot before
  uint32_t silentFrames = 0;   // frames of silence in place of audio the device lost
  PeriodEnd end = PeriodEnd::kWhole;
  // The device dropped audio before this period without reporting it.
  bool unreportedLoss = false;
};

// A single-producer ring of whole periods, each both channel areas one after
// the other, as a non-interleaved read leaves them; or, with `interleaved`,
// the period's frames as an interleaved device delivers them (for a stereo
// file from such a device: no pass splits them and joins them again).
struct CaptureRing {
  size_t slots = 0;
  size_t slotBytes = 0;  // 2 x PeriodBytes
  bool interleaved = false;
  std::vector<uint8_t> data;
  std::vector<PeriodInfo> info;
  // Three periods' room outside the ring: where a period goes that finds
  // the ring full, the capture thread's interleaved read, and the main
  // thread's split of an interleaved period for the scan.
  std::vector<uint8_t> spill;

  std::atomic<uint64_t> produced{0};         // slots filled by the capture thread
  std::atomic<uint64_t> released{0};         // slots the file writer is done with
  std::atomic<bool> finished{false};         // the capture thread will fill no more
  std::atomic<uint32_t> trailingDropped{0};  // lost to a full ring after the last slot
  std::atomic<bool> started{false};          // the first frame has arrived
  std::atomic<bool> closed{false};           // the device has been let go
  std::atomic<int> lostError{0};             // why the device was lost, if it was

  // The slots in use: all of them for a device paced by real time, a few
  // for one that is not (it waits for room instead of losing audio, and a
  // short ring stays in the cache). Set before the first slot is handed over.
  size_t active = 0;

  uint8_t* Slot(uint64_t n) { return data.data() + (n % active) * slotBytes; }
  PeriodInfo& Info(uint64_t n) { return info[n % active]; }
  // How many periods a thread hands on before it wakes a sleeping receiver.
  uint64_t WakeBatch() const { return std::clamp<uint64_t>(active / 4, 1, kWakeBatch); }
};

// A device that delivers nothing for this long, restarted or not, is lost:
// a frozen sound server, or one that was killed and only ever overruns.
constexpr int kNoAudioSeconds = 3;
// The lost-device code for that case (ALSA's codes are negative).
constexpr int kNoAudioError = 1;

// Slots in use for a device that is not paced by real time.
constexpr size_t kUnpacedSlots = 64;

// Periods the file writer may hold at most while it writes them: the ring
// has this many slots more than the seconds it is sized for, so the device
// always has those seconds of room.
constexpr size_t kWriterHoldPeriods = 16;

// Sizes the ring for at least `seconds` of audio the writer does not hold,
// and touches every page of it, so the capture thread never faults one in.
// False when the memory cannot be had.
bool AllocateRing(CaptureRing* ring, snd_pcm_uframes_t PeriodFrames, uint32_t SampleBytes,
                  uint32_t SampleRate, double seconds);

// Descriptors through which the threads of a take wake each other. Each is
// an eventfd; `stop` is never read, so every poller sees it once written.
struct Wakeups {
  int stop = -1;    // the capture thread must end the take now
  int main = -1;    // the main thread has news: periods, a failure, a stop
  int room = -1;    // the file writer has freed slots
  int writer = -1;  // the file writer has periods to write, or the take ended
  int go = -1;      // the files are ready: the capture thread may start the device
  // Set, with `stop` written, by a stop signal or a failed file write.
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> mainWaiting{false};
  std::atomic<bool> captureWaiting{false};
};
bool OpenWakeups(Wakeups* w);

void Wake(int fd);
void Drain(int fd);

struct CaptureJob {
  CaptureDevice* device = nullptr;
  CaptureRing* ring = nullptr;
  Wakeups* wake = nullptr;
  uint32_t SampleBytes = 0;
  uint32_t SampleRate = 0;
  uint64_t totalPeriods = 0;    // periods of the whole take, lost ones included
  bool firstInputOnly = false;  // only channel 1's area is ever used
};

// The capture thread's body: prepares and starts the device, fills the ring
// until the take is complete, the device is lost or a stop is asked for,
// then lets the device go.
void RunCapture(CaptureJob job);
