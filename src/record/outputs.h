// The run's output files (private to src/record).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/output_file.h"
#include "record/record.h"

// Each output's buffer. A stereo file made from channel areas is interleaved
// into its buffer and written 128 KiB at a time; mono files, and a stereo
// file whose frames the ring already holds, are written straight from the
// ring.
constexpr size_t kFileBufferBytes = 128 * 1024;

struct OutputSet {
  OutputFile file[2];  // slot 0: channel 1 or the stereo file; slot 1: channel 2
  std::vector<uint8_t> buffer[2];  // sized before the take
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
// written into; `asked` says which file a name the user agreed to replace
// (2) led to, and a name that leads elsewhere now is not written into either. On failure prints the cause, removes what this run created,
// and returns false; a replaced file is then left whole and empty only if
// its reservation failed.
bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, snd_pcm_uframes_t PeriodFrames,
                    const int32_t NameStatus[2], const AskedFile asked[2], OutputSet* outputs);

// Removes the files this run created (a take stopped before it started).
void RemoveCreatedOutputs(OutputSet* outputs);
