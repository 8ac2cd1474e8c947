// The WAV container: a 44-byte RIFF/WAVE header of integer PCM, then the
// data; or, for a file too long for the 32-bit size fields, the same as RF64
// with an 80-byte header whose ds64 chunk holds the sizes in 64 bits.
#pragma once

#include <cstdint>
#include <string>

constexpr long kWavHeaderBytes = 44;
constexpr long kRf64HeaderBytes = 80;

// The size of the header a file of `frames` frames of `blockAlign` bytes
// gets: kWavHeaderBytes while its sizes fit the 32-bit fields, else
// kRf64HeaderBytes. The kind follows the planned length, so a take stopped
// early keeps it.
long HeaderBytesFor(int64_t frames, uint32_t blockAlign);

// Writes `value` (0 .. 2^32-1) as four bytes, least significant first.
void Decon4(int64_t value, uint8_t* out);
// Writes `value` as two bytes, least significant first.
void Decon2(uint16_t value, uint8_t* out);

// Fills `out` with the header of a file holding `frames` frames of
// `channels` channels of SampleBytes-byte samples at SampleRate Hz. Audio of
// odd length is followed by a pad byte (RIFF chunks are of even length):
// the RIFF size counts it, the data size does not, here and in RF64.
void BuildWavHeader(uint8_t out[kWavHeaderBytes], uint32_t SampleRate, int64_t frames,
                    uint32_t SampleBytes, uint32_t channels);

// Fills `out` with the RF64 header of such a file: "RF64", "WAVE", a ds64
// chunk with the RIFF size, data size and frame count in 64 bits, the same
// "fmt " chunk as a WAV file, and "data"; both 32-bit size fields hold
// 0xFFFFFFFF.
void BuildRf64Header(uint8_t out[kRf64HeaderBytes], uint32_t SampleRate, int64_t frames,
                     uint32_t SampleBytes, uint32_t channels);

// Creates (or truncates) `path` and writes the header for `frames` frames,
// of the kind HeaderBytesFor gives:
// one channel for mode 0, two (interleaved) for mode 1. Returns false, with
// errno set, when the file cannot be created or written; nothing is written
// through a failed open.
bool MAKE_HEADER(const std::string& path, uint32_t SampleRate, int64_t frames, uint32_t SampleBytes,
                 int32_t mode);

// What every header of a take's files says besides its sizes. The kind of
// header (`headerBytes`, as HeaderBytesFor gave it) follows the planned
// length, whatever the header declares.
struct WavFormat {
  long headerBytes = kWavHeaderBytes;
  uint32_t SampleRate = 0;
  uint32_t SampleBytes = 0;
  uint32_t channels = 1;
};

// Writes the whole header of the file open on `fd`, declaring `frames`
// frames, at byte 0 in one write; the file position does not move. Headers
// of one take differ only in their size fields, so writing it again while
// the file grows changes nothing else, and puts back a start that another
// program zeroed. Returns false, errno set, on failure.
bool PutWavHeader(int fd, const WavFormat& format, uint64_t frames);

// Truncates the regular file open on `fd` and writes a header that declares
// no audio yet; the descriptor then stands right behind it. Returns false,
// errno set, on failure.
bool StartWavFile(int fd, const WavFormat& format);

// Cuts the regular file open on `fd` to its header plus the whole frames
// it holds (and a pad byte after audio of odd length), and writes its whole
// header for them. The cut is made even when
// it changes no size: that gives back what a reservation held past the end.
// Other kinds of file are left alone. Returns false, errno set, on failure.
bool FinishWavFile(int fd, const WavFormat& format);

// Writes the header for `frames` frames to an open descriptor: a regular
// file is truncated first and gets the header from byte 0, anything else
// (a device) gets it at its position. Afterwards the descriptor stands right
// behind the header. Returns false, errno set, on failure.
bool WriteWavHeader(int fd, uint32_t SampleRate, int64_t frames, uint32_t SampleBytes,
                    int32_t mode);

// Rewrites the RIFF size and data size fields of an open WAV file (not
// RF64) for `dataBytes` bytes of audio after the header; the file position
// does not move. Returns false, errno set, on failure.
bool RewriteWavSizes(int fd, uint64_t dataBytes);

// Cuts the regular file open on `fd` to its header (`headerBytes`, as
// HeaderBytesFor gave it) plus a whole number of blocks of `blockAlign`
// bytes (and a pad byte after audio of odd length), and rewrites its size fields (a WAV file's 32-bit ones, or an RF64
// file's ds64 chunk) to match what it holds: what an interrupted or failed
// take leaves must still be a valid file. Works on the descriptor, so a file
// renamed or replaced under its name meanwhile is still the one finished.
// Other kinds of file are left alone. Returns false, errno set, on failure.
bool MakeWavWhole(int fd, uint32_t blockAlign, long headerBytes);
