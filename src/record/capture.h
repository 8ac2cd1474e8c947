// The capture thread (private to src/record): the device is read here and
// nowhere else. It does nothing but read: no file or console output, no
// allocation, no lock, no wait on another thread except, for a device not
// paced by real time, for room in the ring. Periods go on through the ring's
// producer side (ring.h).
#pragma once

#include <cstdint>
#include <vector>

#include "record/device.h"
#include "record/ring.h"
#include "record/wakeup.h"

// A device that delivers nothing for this long, restarted or not, is lost:
// a frozen sound server, or one that was killed and only ever overruns.
constexpr int kNoAudioSeconds = 3;
// The lost-device code for that case (ALSA's codes are negative).
constexpr int kNoAudioError = 1;

// The capture thread's own room, allocated before the take: where a period
// goes that finds the ring full, and where an interleaved read lands before
// it is split into channel areas.
struct CaptureBuffers {
  std::vector<uint8_t> spill;
  std::vector<uint8_t> scratch;
};
// False when the memory cannot be had.
bool AllocateCaptureBuffers(CaptureBuffers* buffers, size_t slotBytes);

struct CaptureJob {
  CaptureDevice* device = nullptr;
  RingProducer* out = nullptr;
  bool interleavedSlots = false;  // the ring's slots hold frames, not channel areas
  const Wakeups* wake = nullptr;
  CaptureBuffers* buffers = nullptr;
  uint32_t SampleBytes = 0;
  uint32_t SampleRate = 0;
  uint64_t totalPeriods = 0;    // periods of the whole take, lost ones included
  bool firstInputOnly = false;  // only channel 1's area is ever used
};

// How the capture thread's take ended.
struct CaptureResult {
  enum End { kComplete, kStopped, kLost } end = kComplete;
  int error = 0;  // why the device was lost: an ALSA code, or kNoAudioError
};

// The capture thread's body: waits for `go`, starts the device, and fills
// the ring until the take is complete, the device is lost or a stop is asked
// for. The caller closes the ring's producer side and lets the device go.
CaptureResult RunCapture(const CaptureJob& job);
