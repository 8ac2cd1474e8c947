// The ring of periods that carries a take from the device to the files
// (private to src/record).
//
// The protocol, the one place it is kept. Three threads share the ring, each
// through its own endpoint below, and nothing else reaches the cursors:
// - The capture thread, the only producer (RingProducer), claims an audio
//   slot, fills it and publishes a record of it; audio the device lost is
//   made silence in the slot by the producer too. A period that finds every
//   slot taken is lost: the producer counts it, and publishes one record with
//   no audio for all it lost in a row, just before it next claims a slot or
//   when it closes. So a record always finds room: each record with audio
//   follows at most one without, and one more may close the take.
// - The main thread (RingPasser) takes the records in order and passes them
//   on to the writer.
// - The writer (RingWriter) peeks at the records passed on, writes them, and
//   releases them, their audio slots with them, up to the last it is done
//   with; only a released slot is claimed again.
// Each cursor only grows and has one writer (stored with release, loaded
// with acquire). The producer closes its side once it publishes no more,
// the passer its own once it passes on no more.
//
// Who waits for whom: the producer waits for room only where AllowWaiting
// said it may (a device not paced by real time); one paced by real time
// never waits, and loses a period instead. The passer sleeps on its Wakeup
// until the producer wakes it, the writer on its own until the passer does.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "record/wakeup.h"

// What one record says of the take.
struct PeriodRecord {
  // With audio: the frames of the slot that are there (a whole period, or
  // fewer at the end of a take). Without: frames of silence for audio that
  // found the ring full.
  uint64_t frames = 0;
  uint32_t overruns = 0;      // dropouts the device reported since the record before
  uint32_t silentFrames = 0;  // frames of the slot that are silence for audio the device lost
  bool hasAudio = false;
  uint64_t audio = 0;  // the audio slot's number, with audio
};

// Periods the file writer may hold at most while it writes them: the ring
// has this many slots more than the seconds it is sized for, so the device
// always has those seconds of room.
constexpr size_t kWriterHoldPeriods = 16;

struct Unmapper {
  size_t bytes = 0;
  void operator()(uint8_t* p) const;
};

class PeriodRing {
 public:
  // The slots hold a period's frames as an interleaved device delivers them
  // (for a stereo file from such a device: nothing splits and joins them
  // again), else both channel areas one after the other. Set before the take.
  bool interleaved = false;

  // Allocates `slots` audio slots of `slotBytes` and one slot of silence,
  // every page in memory before the take, so the capture thread never
  // faults one in. False when the memory cannot be had.
  bool Allocate(size_t slots, size_t slotBytes);

  size_t Slots() const { return slots_; }
  size_t SlotBytes() const { return slotBytes_; }
  // The ring's memory, for locking it in place.
  void* Memory() const { return data_.get(); }
  size_t MemoryBytes() const { return (slots_ + 1) * slotBytes_; }
  // A slot of zeros: the silence written for audio that found the ring full.
  const uint8_t* Silence() const { return data_.get() + slots_ * slotBytes_; }

 private:
  friend class RingProducer;
  friend class RingPasser;
  friend class RingWriter;

  uint8_t* Audio(uint64_t n) const { return data_.get() + (n % slots_) * slotBytes_; }
  PeriodRecord& Record(uint64_t n) { return records_[n % records_.size()]; }
  // How many records a side hands on before it wakes a sleeping receiver.
  uint64_t WakeBatch() const;

  size_t slots_ = 0;
  size_t slotBytes_ = 0;
  std::unique_ptr<uint8_t, Unmapper> data_;
  std::vector<PeriodRecord> records_;

  std::atomic<uint64_t> produced_{0};       // records published
  std::atomic<uint64_t> passed_{0};         // records passed on
  std::atomic<uint64_t> released_{0};       // records released
  std::atomic<uint64_t> audioReleased_{0};  // audio slots among them
  std::atomic<bool> producerClosed_{false};
  std::atomic<bool> passerClosed_{false};
  std::atomic<bool> producerMayWait_{false};
};

// The slots for a take of `totalPeriods`: `ringPeriods` for the device
// beyond what the writer holds, but never more than the take needs.
size_t RingSlotsFor(uint64_t totalPeriods, size_t ringPeriods);

// The capture thread's side.
class RingProducer {
 public:
  // Sleeps on `room` when it may wait, wakes `passer`; `stopFd` ends a wait.
  RingProducer(PeriodRing* ring, Wakeup* room, Wakeup* passer, int stopFd);

  // The one place that lets the producer wait for room: a device that is
  // not paced by real time loses nothing by being made to wait, and would
  // otherwise fill the ring faster than any disk. Never for a device paced
  // by real time, which would then lose audio without a word.
  void AllowWaiting();
  bool MayWait() const { return mayWait_; }

  // The slot for the next period. Null when every slot is taken and the
  // producer may not wait (the period is then lost: Lose), or when the stop
  // descriptor ended a wait.
  uint8_t* Claim();
  // Publishes the claimed slot: `frames` of it, `silentFrames` of which are
  // silence for audio the device lost.
  void Publish(uint64_t frames, uint32_t silentFrames);
  // `frames` that found the ring full, and so are lost.
  void Lose(uint64_t frames) { lost_ += frames; }
  // A dropout the device reported, told with the next record.
  void Overran() { ++overruns_; }
  // Wakes the passer for what was published since it was last woken.
  void Flush();
  // Publishes what is lost still, and ends the records. Wakes the passer.
  void Close();

 private:
  void PublishRecord(PeriodRecord record);
  bool HasRoom() const;

  PeriodRing* ring_;
  Wakeup* room_;
  Wakeup* passer_;
  pollfd stop_[2];  // the stop descriptor, and room for the Wakeup's
  bool mayWait_ = false;
  uint64_t claimed_ = 0;      // audio slots claimed, the one in hand included
  uint64_t lost_ = 0;         // frames lost to a full ring since the last record
  uint32_t overruns_ = 0;     // since the last record
  uint64_t unannounced_ = 0;  // records published since the passer was woken
};

// The main thread's side.
class RingPasser {
 public:
  // Sleeps on `own`, wakes `writer` for a batch of `realTimeBatch` records
  // while the producer keeps real time.
  RingPasser(PeriodRing* ring, Wakeup* own, Wakeup* writer, uint64_t realTimeBatch);

  // The next record and its audio (null without), or null when none is
  // published yet. The record stays the passer's until Pass.
  const PeriodRecord* Next(const uint8_t** audio);
  // Hands the record Next gave on to the writer.
  void Pass();
  // The producer has closed, and every record was taken.
  bool Ended() const;
  // Passes on no more (the last record, or a take finished without its
  // producer). Wakes the writer.
  void Close();
  // Sleeps until there is news from the producer, `timeoutMs` passes or a
  // descriptor wakes this thread. A producer waiting for room makes the
  // writer release what it holds first.
  void Sleep(int timeoutMs);

 private:
  PeriodRing* ring_;
  Wakeup* own_;
  Wakeup* writer_;
  uint64_t realTimeBatch_;
  uint64_t next_ = 0;
  uint64_t toldWriter_ = 0;
};

// The file writer's side.
class RingWriter {
 public:
  // Sleeps on `own`, wakes `room` when it releases slots.
  RingWriter(PeriodRing* ring, Wakeup* own, Wakeup* room);

  // Records passed on so far.
  uint64_t Passed() const;
  // The passer has closed and every record it passed on was seen.
  bool PassedAll(uint64_t seen) const;
  const PeriodRecord& Record(uint64_t n) const { return ring_->Record(n); }
  // The audio of record `r`, or null for a record without.
  const uint8_t* Audio(const PeriodRecord& r) const;
  const uint8_t* Silence() const { return ring_->Silence(); }
  // Records the writer may hold unwritten while it gathers them: never so
  // many that the producer could find the ring full because of them.
  int HoldLimit() const;
  // The producer waits for room: what is held should be written now.
  bool ProducerWaiting() const { return room_->sleeping.load(); }
  // Releases every record below `upTo`.
  void Release(uint64_t upTo);
  // Sleeps until `news()` holds, `timeoutMs` passes or this thread is woken.
  template <typename News>
  void Sleep(News news, int timeoutMs) {
    SleepUnless(own_, news, timeoutMs);
  }

 private:
  PeriodRing* ring_;
  Wakeup* own_;
  Wakeup* room_;
};
