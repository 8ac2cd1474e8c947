#include "wav/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Bytes of the header that follow the RIFF size field, i.e. the header
// minus the RIFF tag and the RIFF size field themselves.
constexpr uint64_t kRiffOverhead = 36;

constexpr long kRiffSizeOffset = 4;
constexpr long kDataSizeOffset = 40;
// Where the 64-bit sizes of an RF64 file's ds64 chunk start.
constexpr long kDs64RiffSizeOffset = 20;
// A size field that says "see ds64".
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;

void Decon8(uint64_t value, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The 16-byte body of the "fmt " chunk, the same in both kinds of file.
void PutFormat(uint8_t* out, uint32_t SampleRate, uint32_t SampleBytes, uint32_t channels) {
  const uint32_t blockAlign = SampleBytes * channels;
  Decon2(1, out + 0);  // integer PCM, 24-bit included: no extensible format
  Decon2(static_cast<uint16_t>(channels), out + 2);
  Decon4(SampleRate, out + 4);
  Decon4(SampleRate * blockAlign, out + 8);  // at most 96000 x 6
  Decon2(static_cast<uint16_t>(blockAlign), out + 12);
  Decon2(static_cast<uint16_t>(SampleBytes * 8), out + 14);
}

// RIFF chunks are of even length: a data chunk of odd length is followed by
// a pad byte, which the RIFF size counts and the data size does not.
uint64_t PadBytes(uint64_t dataBytes) { return dataBytes & 1; }

// The three 64-bit sizes of an RF64 file's ds64 chunk, from its RIFF size
// field on: RIFF size (the file less 8 bytes), data size, frame count.
void PutDs64Sizes(uint8_t* out, uint64_t dataBytes, uint64_t frames) {
  Decon8(dataBytes + PadBytes(dataBytes) + kRf64HeaderBytes - 8, out);
  Decon8(dataBytes, out + 8);
  Decon8(frames, out + 16);
}

uint64_t DataBytes(int64_t frames, uint32_t blockAlign) {
  // A negative count describes no audio.
  return frames > 0 ? static_cast<uint64_t>(frames) * blockAlign : 0;
}

// Writes all of `data` at the descriptor's position, or at `at` when it is
// not negative. A write that does not complete need not set errno; make
// sure the caller still sees a reason.
bool WriteAll(int fd, const uint8_t* data, size_t size, off_t at = -1) {
  while (size > 0) {
    const ssize_t n = at < 0 ? write(fd, data, size) : pwrite(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    if (at >= 0) at += n;
  }
  return true;
}

// The size fields hold 32 bits. Takes too long for them are written as RF64
// (HeaderBytesFor), so only a caller that builds a WAV header for such a
// length by hand ever keeps just the low 32 bits.
int64_t Low32(uint64_t value) { return static_cast<int64_t>(value & 0xffffffffu); }

void PutTag(const char* tag, uint8_t* out) { std::memcpy(out, tag, 4); }

// Cuts a regular file to its header and `dataBytes` of audio, and the pad
// byte those need.
bool CutToData(int fd, long headerBytes, uint64_t dataBytes) {
  const auto end = static_cast<off_t>(static_cast<uint64_t>(headerBytes) + dataBytes);
  if (ftruncate(fd, end) != 0) return false;
  const uint8_t pad = 0;
  return PadBytes(dataBytes) == 0 || WriteAll(fd, &pad, 1, end);
}

}  // namespace

void Decon4(int64_t value, uint8_t* out) {
  // Conversion to unsigned is modulo 2^32, so out of range values keep
  // their low bytes rather than being undefined.
  const auto v = static_cast<uint32_t>(value);
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

void Decon2(uint16_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

long HeaderBytesFor(int64_t frames, uint32_t blockAlign) {
  return DataBytes(frames, blockAlign) + kRiffOverhead <= kSizeInDs64 ? kWavHeaderBytes
                                                                      : kRf64HeaderBytes;
}

void BuildWavHeader(uint8_t out[kWavHeaderBytes], uint32_t SampleRate, int64_t frames,
                    uint32_t SampleBytes, uint32_t channels) {
  const uint64_t dataBytes = DataBytes(frames, SampleBytes * channels);
  PutTag("RIFF", out + 0);
  Decon4(Low32(dataBytes + PadBytes(dataBytes) + kRiffOverhead), out + 4);
  PutTag("WAVE", out + 8);
  PutTag("fmt ", out + 12);
  Decon4(16, out + 16);
  PutFormat(out + 20, SampleRate, SampleBytes, channels);
  PutTag("data", out + 36);
  Decon4(Low32(dataBytes), out + 40);
}

void BuildRf64Header(uint8_t out[kRf64HeaderBytes], uint32_t SampleRate, int64_t frames,
                     uint32_t SampleBytes, uint32_t channels) {
  const uint64_t dataBytes = DataBytes(frames, SampleBytes * channels);
  PutTag("RF64", out + 0);
  Decon4(kSizeInDs64, out + 4);
  PutTag("WAVE", out + 8);
  PutTag("ds64", out + 12);
  Decon4(28, out + 16);
  PutDs64Sizes(out + kDs64RiffSizeOffset, dataBytes,
               frames > 0 ? static_cast<uint64_t>(frames) : 0);
  Decon4(0, out + 44);  // no table of other chunks' sizes
  PutTag("fmt ", out + 48);
  Decon4(16, out + 52);
  PutFormat(out + 56, SampleRate, SampleBytes, channels);
  PutTag("data", out + 72);
  Decon4(kSizeInDs64, out + 76);
}

bool MAKE_HEADER(const std::string& path, uint32_t SampleRate, int64_t frames, uint32_t SampleBytes,
                 int32_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = WriteWavHeader(fd, SampleRate, frames, SampleBytes, mode);
  const int saved = errno;
  if (close(fd) != 0 && written) return false;
  errno = saved;
  return written;
}

bool WriteWavHeader(int fd, uint32_t SampleRate, int64_t frames, uint32_t SampleBytes,
                    int32_t mode) {
  const uint32_t channels = mode == 1 ? 2u : 1u;
  uint8_t header[kRf64HeaderBytes];
  const long bytes = HeaderBytesFor(frames, SampleBytes * channels);
  if (bytes == kWavHeaderBytes)
    BuildWavHeader(header, SampleRate, frames, SampleBytes, channels);
  else
    BuildRf64Header(header, SampleRate, frames, SampleBytes, channels);
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (S_ISREG(st.st_mode) && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)) return false;
  return WriteAll(fd, header, static_cast<size_t>(bytes));
}

bool RewriteWavSizes(int fd, uint64_t dataBytes) {
  uint8_t field[4];
  Decon4(Low32(dataBytes + PadBytes(dataBytes) + kRiffOverhead), field);
  if (!WriteAll(fd, field, sizeof field, kRiffSizeOffset)) return false;
  Decon4(Low32(dataBytes), field);
  return WriteAll(fd, field, sizeof field, kDataSizeOffset);
}

bool MakeWavWhole(int fd, uint32_t blockAlign, long headerBytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_size < headerBytes || blockAlign == 0) return true;
  const uint64_t data = static_cast<uint64_t>(st.st_size - headerBytes) / blockAlign * blockAlign;
  if (!CutToData(fd, headerBytes, data)) return false;
  if (headerBytes == kWavHeaderBytes) return RewriteWavSizes(fd, data);
  uint8_t sizes[24];
  PutDs64Sizes(sizes, data, data / blockAlign);
  return WriteAll(fd, sizes, sizeof sizes, kDs64RiffSizeOffset);
}

bool PutWavHeader(int fd, const WavFormat& format, uint64_t frames) {
  uint8_t header[kRf64HeaderBytes];
  const auto count = static_cast<int64_t>(frames);
  if (format.headerBytes == kWavHeaderBytes)
    BuildWavHeader(header, format.SampleRate, count, format.SampleBytes, format.channels);
  else
    BuildRf64Header(header, format.SampleRate, count, format.SampleBytes, format.channels);
  return WriteAll(fd, header, static_cast<size_t>(format.headerBytes), 0);
}

bool StartWavFile(int fd, const WavFormat& format) {
  return ftruncate(fd, 0) == 0 && PutWavHeader(fd, format, 0) &&
         lseek(fd, format.headerBytes, SEEK_SET) == format.headerBytes;
}

bool FinishWavFile(int fd, const WavFormat& format) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return true;
  const uint32_t blockAlign = format.SampleBytes * format.channels;
  const uint64_t frames = st.st_size > format.headerBytes
                              ? static_cast<uint64_t>(st.st_size - format.headerBytes) / blockAlign
                              : 0;
  return CutToData(fd, format.headerBytes, frames * blockAlign) && PutWavHeader(fd, format, frames);
}
