// The file writer of a take (private to src/record): the only thread that
// writes, syncs and finishes the output files, so a disk that stalls holds
// up nothing but itself.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>

struct Console;
struct OutputSet;
class RingWriter;

struct WriterJob {
  OutputSet* outputs = nullptr;
  RingWriter* ring = nullptr;
  bool framesInRing = false;  // the ring's slots hold the stereo file's frames
  Console* console = nullptr;
  uint32_t SampleBytes = 0;
  snd_pcm_uframes_t PeriodFrames = 0;
  int32_t InterleavedStereo = 0;

  std::atomic<bool> done{false};  // the files are finished (or failed)
  int doneFd = -1;                // signalled once they are

  // Results, read once `done` is set.
  bool failed = false;
  uint64_t periodsWritten = 0;  // periods and silent periods written whole
};

// Sleeps until records are passed on, appends them to the files (silence for
// audio that found the ring full), syncs the files every few seconds, and
// once the passer has closed, or after a failed write or a second stop,
// makes each file whole, syncs it and its folder. Messages go to the
// console.
void RunWriter(WriterJob* job);
