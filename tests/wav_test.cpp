#include "wav/wav.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/wav_readers.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Each test gets its own directory, removed afterwards.
class WavFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zelm_wav_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes Header(uint32_t rate, int64_t frames, uint32_t sampleBytes, uint32_t channels) {
  Bytes out(kWavHeaderBytes);
  BuildWavHeader(out.data(), rate, frames, sampleBytes, channels);
  return out;
}

uint32_t U32At(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
uint16_t U16At(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// 1644, 60 s, mono: 2646016 frames.
const Bytes kCd60sMono = {0x52, 0x49, 0x46, 0x46, 0x24, 0xc0, 0x50, 0x00, 0x57, 0x41, 0x56,
                          0x45, 0x66, 0x6d, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x01, 0x00, 0x44, 0xac, 0x00, 0x00, 0x88, 0x58, 0x01, 0x00, 0x02,
                          0x00, 0x10, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0xc0, 0x50, 0x00};
// 24-bit stereo at 96000 with no frames.
const Bytes kHiResStereoEmpty = {0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56,
                                 0x45, 0x66, 0x6d, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                                 0x02, 0x00, 0x00, 0x77, 0x01, 0x00, 0x00, 0xca, 0x08, 0x00, 0x06,
                                 0x00, 0x18, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};

TEST(BuildWavHeader, KnownHeaders) {
  EXPECT_EQ(Header(44100, 2646016, 2, 1), kCd60sMono);
  EXPECT_EQ(Header(96000, 0, 3, 2), kHiResStereoEmpty);
}

TEST(BuildWavHeader, FieldsForEverySizeAndChannelCount) {
  struct Case {
    uint32_t sampleBytes, channels;
    uint16_t blockAlign, bits;
  };
  const Case cases[] = {{2, 1, 2, 16}, {2, 2, 4, 16}, {3, 1, 3, 24}, {3, 2, 6, 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sampleBytes << " bytes x " << c.channels);
    const Bytes h = Header(88200, 1000, c.sampleBytes, c.channels);
    EXPECT_EQ(U16At(h, 20), 1) << "24-bit too is plain integer PCM";
    EXPECT_EQ(U16At(h, 22), c.channels);
    EXPECT_EQ(U32At(h, 24), 88200u);
    EXPECT_EQ(U32At(h, 28), 88200u * c.blockAlign);
    EXPECT_EQ(U16At(h, 32), c.blockAlign);
    EXPECT_EQ(U16At(h, 34), c.bits);
    EXPECT_EQ(U32At(h, 40), 1000u * c.blockAlign);
    EXPECT_EQ(U32At(h, 4), 1000u * c.blockAlign + 36);
  }
}

TEST(BuildWavHeader, SizesPastFourGigabytesKeepLow32Bits) {
  // 24-bit stereo: 715827882 frames make 4294967292 data bytes, and the
  // RIFF size (+36) wraps to 32.
  const Bytes h = Header(96000, 715827882, 3, 2);
  EXPECT_EQ(U32At(h, 40), 4294967292u);
  EXPECT_EQ(U32At(h, 4), 32u);
  // The largest planned frame count times six, computed in 64 bits.
  const Bytes big = Header(96000, 2147479552, 3, 2);
  EXPECT_EQ(U32At(big, 40), static_cast<uint32_t>(2147479552ULL * 6));
}

// What a take does with a file it records into: opens it and writes the
// header through the descriptor, which cuts a regular file to the header.
bool HeaderThroughFd(const std::string& path, uint32_t rate, int64_t frames, uint32_t sampleBytes,
                     int32_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = WriteWavHeader(fd, rate, frames, sampleBytes, mode);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

TEST_F(WavFileTest, HeaderWritesKnownHeaders) {
  const std::string mono = Path("mono.wav");
  const std::string stereo = Path("stereo.wav");
  ASSERT_TRUE(HeaderThroughFd(mono, 44100, 2646016, 2, 0));
  ASSERT_TRUE(HeaderThroughFd(stereo, 96000, 0, 3, 1));
  EXPECT_EQ(ReadAll(mono), kCd60sMono);
  EXPECT_EQ(ReadAll(stereo), kHiResStereoEmpty);
}

TEST_F(WavFileTest, HeaderTruncatesExistingFile) {
  const std::string path = Path("old.wav");
  WriteAll(path, Bytes(100000, 0x5a));
  ASSERT_TRUE(HeaderThroughFd(path, 44100, 2646016, 2, 0));
  EXPECT_EQ(ReadAll(path), kCd60sMono);
}

TEST_F(WavFileTest, HeaderInMissingDirectoryFailsAndCreatesNothing) {
  const std::string path = Path("no/such/dir/take.wav");
  errno = 0;
  EXPECT_FALSE(HeaderThroughFd(path, 48000, 4096, 2, 0));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(Path("no")));
}

TEST_F(WavFileTest, HeaderReportsFailedWrite) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  errno = 0;
  EXPECT_FALSE(HeaderThroughFd("/dev/full", 48000, 4096, 2, 0));
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(WavFileTest, RewriteWavSizesTouchesOnlyTheTwoSizeFields) {
  const std::string path = Path("take.wav");
  ASSERT_TRUE(HeaderThroughFd(path, 48000, 2646016, 3, 1));
  Bytes audio(600);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + 1);
  {
    FilePtr f(std::fopen(path.c_str(), "ab"));
    ASSERT_TRUE(f);
    ASSERT_EQ(std::fwrite(audio.data(), 1, audio.size(), f.get()), audio.size());
  }
  const Bytes before = ReadAll(path);
  {
    FilePtr f(std::fopen(path.c_str(), "r+b"));
    ASSERT_TRUE(f);
    ASSERT_TRUE(RewriteWavSizes(fileno(f.get()), 600));
    // Flushed already: visible before the stream is closed.
    const Bytes now = ReadAll(path);
    ASSERT_EQ(now.size(), before.size());
    EXPECT_EQ(U32At(now, 4), 636u);
    EXPECT_EQ(U32At(now, 40), 600u);
  }
  const Bytes after = ReadAll(path);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    if ((i >= 4 && i < 8) || (i >= 40 && i < 44)) continue;
    EXPECT_EQ(after[i], before[i]) << "byte " << i;
  }
}

TEST_F(WavFileTest, RewriteWavSizesFailsOnReadOnlyDescriptor) {
  const std::string path = Path("ro.wav");
  ASSERT_TRUE(HeaderThroughFd(path, 48000, 4096, 2, 0));
  FilePtr f(std::fopen(path.c_str(), "rb"));
  ASSERT_TRUE(f);
  errno = 0;
  EXPECT_FALSE(RewriteWavSizes(fileno(f.get()), 8));
  EXPECT_NE(errno, 0);
  f.reset();
  EXPECT_EQ(ReadAll(path), Header(48000, 4096, 2, 1));

  errno = 0;
  EXPECT_FALSE(RewriteWavSizes(-1, 8));
  EXPECT_EQ(errno, EBADF);
}

// Independent readers: sox's soxi and libsndfile's sndfile-info.
std::string Capture(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  return out;
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct ReaderCase {
  uint32_t rate, sampleBytes;
  int32_t mode;
  int64_t frames;
};
const ReaderCase kReaderCases[] = {
    {44100, 2, 0, 1000},
    {48000, 2, 1, 777},
    {88200, 3, 0, 500},
    {96000, 3, 1, 321},
};

// A header plus exactly the audio it announces, as a finished run leaves it.
std::string MakeFinishedFile(const std::string& path, const ReaderCase& c) {
  EXPECT_TRUE(HeaderThroughFd(path, c.rate, c.frames, c.sampleBytes, c.mode));
  const size_t bytes = static_cast<size_t>(c.frames) * c.sampleBytes * (c.mode == 1 ? 2 : 1);
  FilePtr f(std::fopen(path.c_str(), "ab"));
  Bytes audio(bytes, 0x11);
  std::fwrite(audio.data(), 1, audio.size(), f.get());
  return "'" + path + "'";
}

TEST_F(WavFileTest, SoxiReadsHeader) {
  if (!HaveTool("soxi")) GTEST_SKIP() << "soxi not installed";
  for (const ReaderCase& c : kReaderCases) {
    SCOPED_TRACE(testing::Message() << c.rate << "/" << c.sampleBytes << "/" << c.mode);
    const std::string q = MakeFinishedFile(Path("soxi.wav"), c);
    EXPECT_EQ(Capture("soxi -c " + q), std::to_string(c.mode == 1 ? 2 : 1) + "\n");
    EXPECT_EQ(Capture("soxi -r " + q), std::to_string(c.rate) + "\n");
    EXPECT_EQ(Capture("soxi -b " + q), std::to_string(8 * c.sampleBytes) + "\n");
    EXPECT_EQ(Capture("soxi -e " + q), "Signed Integer PCM\n");
    // soxi's "samples" are frames: one per channel set.
    EXPECT_EQ(Capture("soxi -s " + q), std::to_string(c.frames) + "\n");
  }
}

TEST_F(WavFileTest, SndfileInfoReadsHeader) {
  if (!HaveTool("sndfile-info")) GTEST_SKIP() << "sndfile-info not installed";
  for (const ReaderCase& c : kReaderCases) {
    SCOPED_TRACE(testing::Message() << c.rate << "/" << c.sampleBytes << "/" << c.mode);
    const std::string out = Capture("sndfile-info " + MakeFinishedFile(Path("sf.wav"), c));
    const auto has = [&](const std::string& s) { return out.find(s) != std::string::npos; };
    EXPECT_TRUE(has("Channels    : " + std::to_string(c.mode == 1 ? 2 : 1))) << out;
    EXPECT_TRUE(has("Sample Rate : " + std::to_string(c.rate))) << out;
    EXPECT_TRUE(has("Frames      : " + std::to_string(c.frames))) << out;
    EXPECT_TRUE(has("Bit Width     : " + std::to_string(8 * c.sampleBytes))) << out;
    EXPECT_TRUE(has("WAVE_FORMAT_PCM")) << out;
    // libsndfile's major/minor format code: WAV with PCM_16 or PCM_24.
    EXPECT_TRUE(has(c.sampleBytes == 2 ? "Format      : 0x00010002" : "Format      : 0x00010003"))
        << out;
    EXPECT_FALSE(has("Should") || has("error") || has("Error")) << out;
  }
}

// A file too long for the 32-bit size fields: RF64, its sizes in ds64. The
// bytes are laid out here by hand from the broadcast format's definition.
TEST_F(WavFileTest, Rf64HeaderLayoutAndFinishing) {
  const int64_t frames = 715837440;  // 24-bit stereo: 4294 MB of audio
  ASSERT_EQ(HeaderBytesFor(frames, 6), kRf64HeaderBytes);
  Bytes header(kRf64HeaderBytes);
  BuildRf64Header(header.data(), 96000, frames, 3, 2);
  const uint64_t data = 715837440ULL * 6;
  const auto u64 = [](uint64_t v) {
    Bytes b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
  };
  Bytes want = {'R', 'F', '6', '4', 0xff, 0xff, 0xff, 0xff, 'W', 'A',
                'V', 'E', 'd', 's', '6',  '4',  28,   0,    0,   0};
  for (uint64_t v : {data + 72, data, uint64_t{715837440}}) {
    const Bytes b = u64(v);
    want.insert(want.end(), b.begin(), b.end());
  }
  const Bytes rest = {0, 0, 0,  0, 'f',  'm',  't',  ' ',  16,   0,    0,    0,
                      1, 0, 2,  0, 0x00, 0x77, 0x01, 0x00, 0x00, 0xca, 0x08, 0x00,
                      6, 0, 24, 0, 'd',  'a',  't',  'a',  0xff, 0xff, 0xff, 0xff};
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_EQ(header, want);

  // A take stopped after 1000 frames: cut to whole frames, ds64 rewritten,
  // and read back as RF64 by both independent readers.
  const std::string path = Path("long.wav");
  Bytes file = header;
  file.resize(kRf64HeaderBytes + 1000 * 6 + 4, 0x21);
  WriteAll(path, file);
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(MakeWavWhole(fd, 6, kRf64HeaderBytes));
  close(fd);
  file = ReadAll(path);
  ASSERT_EQ(file.size(), kRf64HeaderBytes + 6000u);
  want = u64(6000 + 72);
  EXPECT_EQ(Bytes(file.begin() + 20, file.begin() + 28), want);
  want = u64(6000);
  EXPECT_EQ(Bytes(file.begin() + 28, file.begin() + 36), want);
  want = u64(1000);
  EXPECT_EQ(Bytes(file.begin() + 36, file.begin() + 44), want);
  ExpectReadersAgree(path, 2, 96000, 24, 1000);
}

}  // namespace

namespace {

// A 24-bit mono take of an odd number of frames: RIFF requires a pad byte
// after the data chunk, which the RIFF size counts and the data size does not.
TEST_F(WavFileTest, AnOddDataChunkIsFinishedWithItsPadByte) {
  const std::string path = Path("odd.wav");
  WriteAll(path, Bytes(kWavHeaderBytes + 5 * 3 + 2, 0x21));  // and part of a sixth frame
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(FinishWavFile(fd, WavFormat{kWavHeaderBytes, 48000, 3, 1}));
  close(fd);
  const Bytes file = ReadAll(path);
  ASSERT_EQ(file.size(), kWavHeaderBytes + 16u);
  EXPECT_EQ(file.back(), 0);
  const std::string text(file.begin(), file.end());
  EXPECT_EQ(Field32(text, 4), 36u + 16);
  EXPECT_EQ(Field32(text, 40), 15u);
  ExpectReadersAgree(path, 1, 48000, 24, 5);
}

}  // namespace
