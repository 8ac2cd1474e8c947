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
  std::string name[2];  // slot 0: channel 1 or the stereo file; slot 1: channel 2
  // Declared before the files, so that each outlives its file's fclose.
  std::unique_ptr<char[]> buffer[2];
  FileHandle OutputFile[2];  // open for appending, each already holding its header
};

// The names in a newline-separated list, empty pieces skipped. The list is
// copied into `scratch` first and split there.
std::vector<std::string> SplitFileList(const std::string& FileList, std::string& scratch);

// Makes (AutoNames 1) or takes the output names, writes every header for
// TotalFrames frames, then opens every file for appending. Nothing is created
// or truncated unless every output can be written. On failure prints the
// cause, removes what this run created, and returns false.
bool PrepareOutputs(int32_t AutoNames, std::string& FileList, std::string& NameScratch,
                    const int32_t ChannelEnabled[2], int32_t InterleavedStereo, uint32_t SampleRate,
                    int64_t TotalFrames, uint32_t SampleBytes, OutputSet* outputs);
