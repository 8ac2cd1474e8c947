// The run's output files (private to src/record).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Each output stream's buffer: one write(2) per 128 KiB instead of one per
// period and file.
constexpr size_t kFileBufferBytes = 128 * 1024;

struct OutputSet {
  std::string name[2];               // slot 0: channel 1 or the stereo file; slot 1: channel 2
  bool regular[2] = {false, false};  // a regular file, not a device
  // Declared before the files, so that each outlives its file's fclose.
  std::unique_ptr<char[]> buffer[2];
  // Streams over the descriptors opened for the take, each standing right
  // behind its header. A regular file stays locked until it is closed.
  FileHandle OutputFile[2];
};

// The names in a newline-separated list, empty pieces skipped. The list is
// copied into `scratch` first and split there.
std::vector<std::string> SplitFileList(const std::string& FileList, std::string& scratch);

// Makes (AutoNames 1) or takes the output names, opens and locks every
// output, and only when all of them are in hand writes the headers for
// TotalFrames frames: devices first, regular files (truncated) last, so a
// take that cannot start leaves every existing file as it was. NameStatus
// says which names were free when the user was asked (1): one that exists
// now was made by someone else meanwhile and is not written into. On failure
// prints the cause, removes what this run created, and returns false.
bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, const int32_t NameStatus[2],
                    OutputSet* outputs);
