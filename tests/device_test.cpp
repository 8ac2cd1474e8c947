// zelm against the project's test capture device: devices that refuse the
// request, overruns, and a device that grants another period size.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/wav_readers.h"
#include "support/zelm_fixture.h"

namespace {

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string MonoHeader(uint32_t rate, uint32_t frames) {
  std::string h(44, '\0');
  auto put = [&h](size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  };
  h.replace(0, 4, "RIFF");
  put(4, frames * 2 + 36, 4);
  h.replace(8, 8, "WAVEfmt ");
  put(16, 16, 4);
  put(20, 1, 2);
  put(22, 1, 2);
  put(24, rate, 4);
  put(28, rate * 2, 4);
  put(32, 2, 2);
  put(34, 16, 2);
  h.replace(36, 4, "data");
  put(40, frames * 2, 4);
  return h;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

class Device : public ZelmTest {
 protected:
  void SetUp() override {
    ZelmTest::SetUp();
    AddDevices(
        "pcm.broken { type zelmtest fail_hw_params true }\n"
        "pcm.s16only { type zelmtest formats \"S16_LE\" }\n"
        "pcm.xrun { type zelmtest formats \"S16_LE\" overrun_periods \"0,3\" }\n"
        "pcm.p1000 { type zelmtest formats \"S16_LE\" period_frames 1000 }\n"
        "pcm.eight { type zelmtest channels 8 }\n"
        "pcm.one { type zelmtest channels 1 }\n");
  }
};

TEST_F(Device, ARefusedConfigurationIsReportedBeforeAnyFileExists) {
  RunResult r = Run({"1644", "1", "broken", "2", "a.wav", "b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Could not set record hardware parameters:\n"
            "Returned Driver Parameters:\n"
            "\tBuf 1\tBuf 2\tRate\tChannels\n"
            "Record\t4096\t32768\t44100\t2\n"
            "-------------------------\n");
  EXPECT_FALSE(FileExists(at("a.wav")));
  EXPECT_FALSE(FileExists(at("b.wav")));

  // Packed 24-bit samples that the device cannot deliver.
  r = Run({"2448", "1", "s16only"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Problem setting recording format: Invalid argument\n"), std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(work()));
}

// A device that records another number of channels than two is refused
// before any file exists, with the way that works.
TEST_F(Device, ADeviceThatIsNotTwoChannelsIsRefused) {
  RunResult r = Run({"1644", "1", "eight", "2", "a.wav", "b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Can't record from eight: it records 8 channels at once, and zelm takes 2. A plug or "
            "route device picks two of its inputs; see \"Picking inputs\" in the manual page for "
            "others.\n");
  r = Run({"1644", "1", "one", "s", "a.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it records 1 channel at once"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(work()));
}

// The device loses periods 0 and 3 of a six-period take. Each loss is
// reported and counted, and written as silence in its place: the files keep
// the length their headers state, and no older audio is written again.
TEST_F(Device, AnOverrunIsCountedAndWrittenAsSilence) {
  const RunResult r = Run({"1644", "0.5", "xrun", "2", "a.wav", "b.wav"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "\nRX\n"), 2u);
  const std::string ending =
      " dBFS\n\nRecord Overruns = 2\nSilence written in place of lost audio = 0.19 sec\nDone\n";
  EXPECT_EQ(r.out.substr(r.out.size() - ending.size()), ending);
  const uint32_t frames = 6 * 4096;
  for (unsigned ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    std::string want = MonoHeader(44100, frames);
    for (unsigned period = 0; period < 6; ++period) {
      if (period == 0 || period == 3)
        want += std::string(4096 * 2, '\0');
      else
        want += Bytes(RampBytes(period * 4096, 4096, ch, 2));
    }
    EXPECT_EQ(ReadFile(at(ch == 0 ? "a.wav" : "b.wav")), want);
    ExpectReadersAgree(at(ch == 0 ? "a.wav" : "b.wav"), 1, 44100, 16, frames);
  }
}

TEST_F(Device, AGrantedPeriodSizeSetsTheRounding) {
  // 0.1 s at 48000 Hz is 4800 frames: five periods of 1000.
  const RunResult r = Run({"1648", "0.1", "p1000", "1", "p.wav"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "\rrem = "), 5u);
  EXPECT_EQ(ReadFile(at("p.wav")), MonoHeader(48000, 5000) + Bytes(RampBytes(0, 5000, 0, 2)));
  ExpectReadersAgree(at("p.wav"), 1, 48000, 16, 5000);
}

}  // namespace
