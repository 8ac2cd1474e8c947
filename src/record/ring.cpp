#include "record/ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

void Unmapper::operator()(uint8_t* p) const { munmap(p, bytes); }

size_t RingSlotsFor(uint64_t totalPeriods, size_t ringPeriods) {
  // Two more for the period being filled and the one being scanned.
  const uint64_t wanted = ringPeriods + kWriterHoldPeriods + 2;
  return static_cast<size_t>(std::max<uint64_t>(1, std::min(wanted, totalPeriods)));
}

bool PeriodRing::Allocate(size_t slots, size_t slotBytes) {
  slots_ = slots;
  slotBytes_ = slotBytes;
  const size_t bytes = MemoryBytes();
  // MAP_POPULATE faults every page in with one call, far cheaper than
  // touching them one by one; anonymous pages start as zeros, which the
  // silence slot relies on.
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                 -1, 0);
  if (p == MAP_FAILED) return false;
  data_ = std::unique_ptr<uint8_t, Unmapper>(static_cast<uint8_t*>(p), Unmapper{bytes});
  try {
    // Each record with audio follows at most one without, and one more may
    // close the take: twice the slots and two more always have room.
    records_.assign(2 * slots_ + 2, PeriodRecord{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

uint64_t PeriodRing::WakeBatch() const { return std::clamp<uint64_t>(slots_ / 4, 1, 64); }

// --- The producer ---

RingProducer::RingProducer(PeriodRing* ring, Wakeup* room, Wakeup* passer, int stopFd)
    : ring_(ring), room_(room), passer_(passer), stop_{{stopFd, POLLIN, 0}, {}} {}

void RingProducer::AllowWaiting() {
  mayWait_ = true;
  ring_->producerMayWait_.store(true, std::memory_order_relaxed);
}

bool RingProducer::HasRoom() const {
  const uint64_t audioFree =
      ring_->slots_ - (claimed_ - ring_->audioReleased_.load(std::memory_order_acquire));
  const uint64_t recordsFree =
      ring_->records_.size() -
      (ring_->produced_.load(std::memory_order_relaxed) - ring_->released_.load(std::memory_order_acquire));
  return audioFree > 0 && recordsFree >= 2;
}

uint8_t* RingProducer::Claim() {
  while (!HasRoom()) {
    if (!mayWait_) return nullptr;
    Flush();
    SleepUnless(room_, [this] { return HasRoom(); }, 1000, stop_, 1);
    if ((stop_[0].revents & POLLIN) != 0) return nullptr;
  }
  // Overruns go with the record of the claimed slot.
  if (lost_ > 0) {
    PeriodRecord silence;
    silence.frames = lost_;
    PublishRecord(silence);
  }
  return ring_->Audio(claimed_++);
}

void RingProducer::Publish(uint64_t frames, uint32_t silentFrames) {
  PeriodRecord r;
  r.frames = frames;
  r.silentFrames = silentFrames;
  r.hasAudio = true;
  r.audio = claimed_ - 1;
  PublishRecord(r);
}

void RingProducer::PublishRecord(PeriodRecord record) {
  record.overruns = overruns_;
  overruns_ = 0;
  lost_ = 0;
  const uint64_t n = ring_->produced_.load(std::memory_order_relaxed);
  ring_->Record(n) = record;
  ring_->produced_.store(n + 1, std::memory_order_release);
  if (++unannounced_ >= ring_->WakeBatch()) Flush();
}

void RingProducer::Flush() {
  if (unannounced_ == 0) return;
  unannounced_ = 0;
  Notify(passer_);
}

void RingProducer::Close() {
  // A slot claimed and never published holds nothing of the take.
  if (lost_ > 0 || overruns_ > 0) {
    PeriodRecord silence;
    silence.frames = lost_;
    PublishRecord(silence);
  }
  ring_->producerClosed_.store(true, std::memory_order_release);
  unannounced_ = 0;
  Signal(passer_->fd);
}

// --- The passer ---

RingPasser::RingPasser(PeriodRing* ring, Wakeup* own, Wakeup* writer, uint64_t realTimeBatch)
    : ring_(ring), own_(own), writer_(writer), realTimeBatch_(realTimeBatch) {}

const PeriodRecord* RingPasser::Next(const uint8_t** audio) {
  if (next_ == ring_->produced_.load(std::memory_order_acquire)) return nullptr;
  const PeriodRecord& r = ring_->Record(next_);
  *audio = r.hasAudio ? ring_->Audio(r.audio) : nullptr;
  return &r;
}

void RingPasser::Pass() {
  ring_->passed_.store(++next_, std::memory_order_release);
  // A device paced by real time wakes the writer for a batch of audio at a
  // time; one that waits for room for fewer records, so it gets room soon.
  uint64_t batch = ring_->WakeBatch();
  if (!ring_->producerMayWait_.load(std::memory_order_relaxed))
    batch = std::clamp<uint64_t>(realTimeBatch_, 1, batch);
  if (next_ - toldWriter_ >= batch) {
    toldWriter_ = next_;
    Notify(writer_);
  }
}

bool RingPasser::Ended() const {
  return ring_->producerClosed_.load(std::memory_order_acquire) &&
         next_ == ring_->produced_.load(std::memory_order_acquire);
}

void RingPasser::Close() {
  ring_->passerClosed_.store(true, std::memory_order_release);
  Signal(writer_->fd);
}

void RingPasser::Sleep(int timeoutMs) {
  // A producer waiting for room gets it as soon as can be.
  if (ring_->producerMayWait_.load(std::memory_order_relaxed) && toldWriter_ != next_) {
    toldWriter_ = next_;
    Notify(writer_);
  }
  const auto news = [this] {
    return ring_->produced_.load(std::memory_order_acquire) != next_ ||
           ring_->producerClosed_.load(std::memory_order_acquire);
  };
  SleepUnless(own_, news, timeoutMs);
}

// --- The writer ---

RingWriter::RingWriter(PeriodRing* ring, Wakeup* own, Wakeup* room)
    : ring_(ring), own_(own), room_(room) {}

uint64_t RingWriter::Passed() const { return ring_->passed_.load(std::memory_order_acquire); }

bool RingWriter::PassedAll(uint64_t seen) const {
  return ring_->passerClosed_.load(std::memory_order_acquire) && seen == Passed();
}

const uint8_t* RingWriter::Audio(const PeriodRecord& r) const {
  return r.hasAudio ? ring_->Audio(r.audio) : nullptr;
}

int RingWriter::HoldLimit() const {
  return static_cast<int>(std::clamp<size_t>(ring_->slots_ / 4, 1, kWriterHoldPeriods));
}

void RingWriter::Release(uint64_t upTo) {
  uint64_t from = ring_->released_.load(std::memory_order_relaxed);
  if (upTo <= from) return;
  uint64_t audio = ring_->audioReleased_.load(std::memory_order_relaxed);
  for (; from < upTo; ++from)
    if (ring_->Record(from).hasAudio) ++audio;
  ring_->audioReleased_.store(audio, std::memory_order_release);
  ring_->released_.store(upTo, std::memory_order_release);
  Notify(room_);
}
