// The file writer of a take (private to src/record): the only thread that
// writes, syncs and finishes the output files, so a disk that stalls holds
// up nothing but itself.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>

struct Console;
struct OutputSet;
struct PeriodRing;
struct Wakeups;

struct WriterJob {
  OutputSet* outputs = nullptr;
  PeriodRing* ring = nullptr;
  Wakeups* wake = nullptr;
  Console* console = nullptr;
  uint32_t SampleBytes = 0;
  snd_pcm_uframes_t PeriodFrames = 0;
  int32_t InterleavedStereo = 0;

  std::atomic<bool> ended{false};     // the main thread passes on no more slots
  std::atomic<uint32_t> trailing{0};        // silent periods after the last slot
  std::atomic<uint32_t> trailingFrames{0};  // and silent frames after those
  std::atomic<bool> done{false};      // the files are finished (or failed)

  // Results, read once `done` is set.
  bool failed = false;
  uint64_t periodsWritten = 0;  // periods and silent periods written whole
};

// Sleeps until periods are passed on, appends them to the files (silence for
// periods lost to a full ring), syncs the files every few seconds, and once
// the take has ended, or after a failed write or a second stop, makes each
// file whole, syncs it and its folder. Messages go to the console.
void RunWriter(WriterJob* job);
