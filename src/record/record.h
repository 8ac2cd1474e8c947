// The recording engine: one recording run from device set-up to summary.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "record/common.h"

// What was at a name when the user was asked whether to replace it: the file
// (a link's target) by device and inode, and whether the name was a link.
struct AskedFile {
  dev_t device = 0;
  ino_t inode = 0;
  bool link = false;
};

// Records one take. Returns only when the run is over; every fatal failure
// ends the process with status 1 after its message. NameStatus holds, for
// each name in FileList, what the front end found there when it checked:
// 1 nothing (the take creates it, and refuses if something appeared since),
// 2 a file the user agreed to replace, which must still be the one in
// `asked` (else the take is refused before anything changes).
void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2],
            const AskedFile asked[2]);
