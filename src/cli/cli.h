// The command-line front end's checks, shared by main and the tests.
#pragma once

#include <cstdint>
#include <string>

// Writes the usage text to standard output.
void Help();

// 1: the name cannot be opened for reading (a new file); 2: it can (exists).
int32_t CheckFileName(const std::string& path);

// Asks whether to overwrite an existing file. 1: exit (answer x, or end of
// input); 2: overwrite (answer o). Other words are read whole and ignored.
int32_t CheckOverwrite(const std::string& path);

// True when the two names lead to the same file, whether or not it exists:
// the real path of each name's folder plus its last component.
bool SameFile(const std::string& a, const std::string& b);

// True when a take of DurationSeconds can be planned and described by the
// WAV size fields, with `channelsPerFile` channels in the largest file.
bool DurationFits(float DurationSeconds, uint32_t SampleRate, uint32_t SampleBytes,
                  uint32_t channelsPerFile);

// The largest whole number of seconds for which DurationFits holds.
uint32_t LongestDurationSeconds(uint32_t SampleRate, uint32_t SampleBytes,
                                uint32_t channelsPerFile);
