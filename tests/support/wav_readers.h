// Reads zelm's WAV files with two programs that share no code with it, sox's
// soxi and libsndfile's sndfile-info, so a header that only our own parser
// accepts cannot pass unnoticed.
#pragma once

#include <cstdint>
#include <string>

// What one reader says about a file; -1 where it said nothing.
struct WavReport {
  long long channels = -1;
  long long rate = -1;
  long long bits = -1;
  long long frames = -1;
  std::string text;  // the reader's own output, for failure messages
};

WavReport ReadWithSoxi(const std::string& wav);
WavReport ReadWithSndfileInfo(const std::string& wav);

// Adds a test failure for every property that either reader reports
// differently from the expected one.
void ExpectReadersAgree(const std::string& wav, int channels, int rate, int bits, uint64_t frames);

// The 32-bit little-endian field at byte `at` of a file's bytes.
uint32_t Field32(const std::string& file, size_t at);

// Adds a test failure unless the header states exactly the data the file
// holds, in whole frames of `blockAlign` bytes (and the pad byte after audio of
// odd length).
void ExpectWholeWav(const std::string& file, uint32_t blockAlign);
