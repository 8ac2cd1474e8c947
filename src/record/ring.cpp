#include "record/ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

void Unmapper::operator()(uint8_t* p) const { munmap(p, bytes); }

uint64_t PeriodRing::WakeBatch() const { return std::clamp<uint64_t>(active / 4, 1, 64); }

size_t RingSlotsFor(uint64_t totalPeriods, size_t ringPeriods) {
  // Two more for the period being filled and the one being scanned.
  const uint64_t wanted = ringPeriods + kWriterHoldPeriods + 2;
  return static_cast<size_t>(std::max<uint64_t>(1, std::min(wanted, totalPeriods)));
}

bool AllocateRing(PeriodRing* ring, size_t slots, size_t slotBytes) {
  ring->slots = slots;
  ring->active = ring->slots;
  ring->slotBytes = slotBytes;
  const size_t bytes = ring->slots * slotBytes;
  // MAP_POPULATE faults every page in with one call, far cheaper than
  // touching them one by one.
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                 -1, 0);
  if (p == MAP_FAILED) return false;
  ring->data = std::unique_ptr<uint8_t, Unmapper>(static_cast<uint8_t*>(p), Unmapper{bytes});
  try {
    ring->info.assign(ring->slots, PeriodInfo{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
