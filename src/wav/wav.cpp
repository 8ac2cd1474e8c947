#include "wav/wav.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// Bytes of the header that follow the RIFF size field, i.e. the header
// minus the RIFF tag and the RIFF size field themselves.
constexpr uint64_t kRiffOverhead = 36;

constexpr long kRiffSizeOffset = 4;
constexpr long kDataSizeOffset = 40;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The size fields hold 32 bits; a take too long for them keeps its low 32
// bits (the front end refuses such takes, so this only matters to callers
// that bypass it).
int64_t Low32(uint64_t value) { return static_cast<int64_t>(value & 0xffffffffu); }

void PutTag(const char* tag, uint8_t* out) { std::memcpy(out, tag, 4); }

// fwrite need not set errno on a short write; make sure the caller still
// sees a reason.
bool WriteAll(const void* data, size_t size, FILE* file) {
  errno = 0;
  if (std::fwrite(data, 1, size, file) == size) return true;
  if (errno == 0) errno = EIO;
  return false;
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

void BuildWavHeader(uint8_t out[kWavHeaderBytes], uint32_t SampleRate, int64_t frames,
                    uint32_t SampleBytes, uint32_t channels) {
  const uint32_t blockAlign = SampleBytes * channels;
  const uint32_t byteRate = SampleRate * blockAlign;  // at most 96000 x 6
  // Unsigned 64-bit so that no frame count can overflow into undefined
  // behaviour; a negative count describes no audio.
  const uint64_t dataBytes = frames > 0 ? static_cast<uint64_t>(frames) * blockAlign : 0;

  PutTag("RIFF", out + 0);
  Decon4(Low32(dataBytes + kRiffOverhead), out + 4);
  PutTag("WAVE", out + 8);
  PutTag("fmt ", out + 12);
  Decon4(16, out + 16);
  Decon2(1, out + 20);  // integer PCM, 24-bit included: no extensible format
  Decon2(static_cast<uint16_t>(channels), out + 22);
  Decon4(SampleRate, out + 24);
  Decon4(byteRate, out + 28);
  Decon2(static_cast<uint16_t>(blockAlign), out + 32);
  Decon2(static_cast<uint16_t>(SampleBytes * 8), out + 34);
  PutTag("data", out + 36);
  Decon4(Low32(dataBytes), out + 40);
}

bool MAKE_HEADER(const std::string& path, uint32_t SampleRate, int64_t frames, uint32_t SampleBytes,
                 int32_t mode) {
  uint8_t header[kWavHeaderBytes];
  BuildWavHeader(header, SampleRate, frames, SampleBytes, mode == 1 ? 2u : 1u);

  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  if (!WriteAll(header, sizeof header, file.get())) {
    const int saved = errno;
    file.reset();
    errno = saved;
    return false;
  }
  // The close flushes the buffered header, so its result is the write's.
  errno = 0;
  if (std::fclose(file.release()) != 0) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}

bool RewriteWavSizes(FILE* file, uint64_t dataBytes) {
  if (file == nullptr) {
    errno = EBADF;
    return false;
  }
  uint8_t field[4];

  Decon4(Low32(dataBytes + kRiffOverhead), field);
  if (std::fseek(file, kRiffSizeOffset, SEEK_SET) != 0) return false;
  if (!WriteAll(field, sizeof field, file)) return false;

  Decon4(Low32(dataBytes), field);
  if (std::fseek(file, kDataSizeOffset, SEEK_SET) != 0) return false;
  if (!WriteAll(field, sizeof field, file)) return false;

  errno = 0;
  if (std::fflush(file) != 0) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}

bool MakeWavWhole(const std::string& path, uint32_t blockAlign) {
  FilePtr file(std::fopen(path.c_str(), "r+b"));
  if (!file) return false;
  struct stat st {};
  if (fstat(fileno(file.get()), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_size < kWavHeaderBytes || blockAlign == 0) return true;
  const uint64_t data =
      static_cast<uint64_t>(st.st_size - kWavHeaderBytes) / blockAlign * blockAlign;
  if (ftruncate(fileno(file.get()), static_cast<off_t>(kWavHeaderBytes + data)) != 0) return false;
  if (!RewriteWavSizes(file.get(), data)) return false;
  errno = 0;
  if (std::fclose(file.release()) != 0) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}
