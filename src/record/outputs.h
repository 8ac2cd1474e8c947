// The run's output files (private to src/record).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wav/wav.h"

// Each output's buffer. A stereo file made from channel areas is interleaved
// into its buffer and written 128 KiB at a time; mono files, and a stereo
// file whose frames the ring already holds, are written straight from the
// ring, and the first buffer is their source of silence.
constexpr size_t kFileBufferBytes = 128 * 1024;

struct OutputSet {
  std::string name[2];  // slot 0: channel 1 or the stereo file; slot 1: channel 2
  // The descriptors opened for the take, each standing right behind its
  // header; a regular file stays locked until its descriptor is closed.
  int fd[2] = {-1, -1};
  // The folder of a file this run created, so that its entry is synced too.
  int folder[2] = {-1, -1};
  bool regular[2] = {false, false};  // a regular file, not a device
  bool created[2] = {false, false};  // this run made the name
  WavFormat format;                  // of every file of the take
  std::vector<uint8_t> buffer[2];    // sized before the take

  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();
};

// The names in a newline-separated list, empty pieces skipped. The list is
// copied into `scratch` first and split there.
std::vector<std::string> SplitFileList(const std::string& FileList, std::string& scratch);

// Makes (AutoNames 1) or takes the output names, opens and locks every
// output (and the folder of each file it creates), and only when all of
// them are in hand writes the headers: devices first, for TotalFrames
// frames, then regular files, truncated, with a header that declares no
// audio yet, so a take that cannot start leaves every existing file as it
// was. Then the planned size of each regular file is reserved where the file
// system can. NameStatus says which names were free when the user was asked
// (1): one that exists now was made by someone else meanwhile and is not
// written into. On failure prints the cause, removes what this run created,
// and returns false; a replaced file is then left whole and empty only if
// its reservation failed.
bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, snd_pcm_uframes_t PeriodFrames,
                    const int32_t NameStatus[2], OutputSet* outputs);

// Removes the files this run created (a take stopped before it started).
void RemoveCreatedOutputs(OutputSet* outputs);

// Makes what was written to the regular file in `slot` durable, then has
// its header declare exactly that and makes the header durable too: a crash
// or a power cut at any moment leaves a header that claims no audio the file
// does not hold. Returns false, errno set, on failure.
bool SyncOutput(const OutputSet& outputs, int slot);

// Ends the take of the output in `slot`: a regular file is checked for what
// other programs did to it, cut to whole frames, given its whole header and
// synced with its folder. Returns what went wrong, naming the file, or an
// empty text.
std::string FinishOutput(const OutputSet& outputs, int slot);
