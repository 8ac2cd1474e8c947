// The capture thread (private to src/record): the device is read here and
// nowhere else. It does nothing but read: no file or console output, no
// allocation, no lock, no wait on another thread except, for a device not
// paced by real time, for room in the ring. Periods go on through the ring's
// producer side (ring.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "record/device.h"
#include "record/ring.h"
#include "record/wakeup.h"

// A device that delivers nothing for this long, restarted or not, is lost:
// a frozen sound server, or one that was killed and only ever overruns.
constexpr int kNoAudioSeconds = 3;
// The lost-device code for that case (ALSA's codes are negative).
constexpr int kNoAudioError = 1;
// ... and for a device that came back granting another rate, period or access.
constexpr int kOtherGrantError = 2;

// A lost device is asked to open again this often, until the take's planned
// end.
constexpr int kReopenIntervalMs = 500;

// What the capture thread tells the main thread of a device that went away,
// as counts, so that a look finds every change since the one before.
struct DeviceNews {
  std::atomic<uint32_t> lost{0};    // times the device was lost and waited for
  std::atomic<uint32_t> back{0};    // times it came back
  std::atomic<uint32_t> awayMs{0};  // how long it was away, the last time it came back
};

// The capture thread's own room, allocated before the take: where a period
// goes that finds the ring full, where an interleaved read lands before
// it is split into channel areas, and the hardware parameters of a device
// opened again.
struct CaptureBuffers {
  std::vector<uint8_t> spill;
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> params;
};
// False when the memory cannot be had.
bool AllocateCaptureBuffers(CaptureBuffers* buffers, size_t slotBytes);

struct CaptureJob {
  CaptureDevice* device = nullptr;
  const std::string* reopenName = nullptr;  // the device's name when it is opened again
  DeviceNews* news = nullptr;
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
  int error = 0;  // why the device was lost: an ALSA code, kNoAudioError, kOtherGrantError
};

// The capture thread's body: waits for `go`, starts the device, and fills
// the ring until the take is complete, a stop is asked for, or the device is
// lost for good: one that is lost (an error, or no audio for kNoAudioSeconds)
// is closed and opened again every kReopenIntervalMs until the take's planned
// end; when it comes back with the same grant, the time it was away becomes
// silence and the take goes on. The caller closes the ring's producer side
// and lets the device go (its handle is empty after a loss).
CaptureResult RunCapture(const CaptureJob& job);
