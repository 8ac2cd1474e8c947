// The ring of periods that carries a take from the device to the files
// (private to src/record).
//
// The hand-off, the one place it is described:
// - The capture thread, the only producer, fills the slot numbered
//   `produced` (slot n lies at n mod `active`), writes its PeriodInfo, and
//   publishes it by advancing `produced` (release). It may fill a slot only
//   while fewer than `active` slots are out of its hands: produced -
//   released < active. Nobody else ever writes a slot or its PeriodInfo;
//   audio the device lost is made silence by the producer too.
// - The main thread reads the slots below `produced` (acquire), scans them
//   in order, and hands them on by advancing `passed` (release).
// - The file writer reads the slots below `passed` (acquire), writes them,
//   and gives them back by advancing `released` (release), up to the last
//   slot it is done with.
// Every cursor only grows, and each has one writer. Who waits for whom is
// the Wakeup's business (wakeup.h); the ring itself never blocks.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// How a period's capture ended.
enum class PeriodEnd : uint8_t {
  kWhole,    // the period is complete: frames read, and silence where audio was lost
  kLost,     // the device is gone: `frames` arrived; the take ends here
  kStopped,  // a stop: `frames` arrived; the take ends here
};

struct PeriodInfo {
  uint32_t frames = 0;         // frames of the period that are there
  uint32_t droppedBefore = 0;  // periods lost to a full ring just before this one
  uint32_t overruns = 0;       // dropouts the device reported since the slot before
  uint32_t silentFrames = 0;   // frames of silence in place of audio the device lost
  PeriodEnd end = PeriodEnd::kWhole;
  // The device dropped audio before this period without reporting it.
  bool unreportedLoss = false;
};

// Periods the file writer may hold at most while it writes them: the ring
// has this many slots more than the seconds it is sized for, so the device
// always has those seconds of room.
constexpr size_t kWriterHoldPeriods = 16;

// Slots in use for a device that is not paced by real time: it waits for
// room instead of losing audio, and a short ring stays in the cache.
constexpr size_t kUnpacedSlots = 64;

struct Unmapper {
  size_t bytes = 0;
  void operator()(uint8_t* p) const;
};

struct PeriodRing {
  size_t slots = 0;
  size_t slotBytes = 0;  // two channel areas of a period, or its interleaved frames
  // The slots hold a period's frames as an interleaved device delivers them
  // (for a stereo file from such a device: nothing splits and joins them
  // again), else both channel areas one after the other.
  bool interleaved = false;
  // The slots in use: all of them for a device paced by real time, a few
  // for one that is not. Both are set by the producer before its first
  // publish.
  size_t active = 0;
  bool paced = true;
  std::unique_ptr<uint8_t, Unmapper> data;
  std::vector<PeriodInfo> info;

  std::atomic<uint64_t> produced{0};  // the capture thread's cursor
  std::atomic<uint64_t> passed{0};    // the main thread's
  std::atomic<uint64_t> released{0};  // the writer's

  // How the capture thread ended, read once `finished` is set.
  std::atomic<bool> finished{false};         // it will fill no more
  std::atomic<uint32_t> trailingDropped{0};  // periods lost to a full ring after the last slot
  std::atomic<uint32_t> trailingFrames{0};   // and frames of one more, at a stop
  std::atomic<int> lostError{0};             // why the device was lost, if it was
  std::atomic<bool> started{false};          // the first frame has arrived
  std::atomic<bool> closed{false};           // the device has been let go

  uint8_t* Slot(uint64_t n) { return data.get() + (n % active) * slotBytes; }
  PeriodInfo& Info(uint64_t n) { return info[n % active]; }
  // How many periods a thread hands on before it wakes a sleeping receiver.
  uint64_t WakeBatch() const;
};

// The slots for a take of `totalPeriods`: `ringPeriods` for the device
// beyond what the writer holds, but never more than the take needs.
size_t RingSlotsFor(uint64_t totalPeriods, size_t ringPeriods);

// Allocates the ring's slots of `slotBytes`, with every page in memory
// before the take, so the capture thread never faults one in. False when
// the memory cannot be had.
bool AllocateRing(PeriodRing* ring, size_t slots, size_t slotBytes);
