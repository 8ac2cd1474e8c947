#include "support/wav_readers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

#include "support/run_zelm.h"

namespace {

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  const size_t last = s.find_last_not_of(' ');
  return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// The text after "label :" on the first line whose label is `label`, as in
// "Sample Rate    : 48000"; empty when no line has it.
std::string Value(const std::string& text, const std::string& label) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Trim(line.substr(0, colon)) == label)
      return Trim(line.substr(colon + 1));
  }
  return "";
}

// The leading digits of `text` ("24-bit" gives 24), or -1.
long long Number(const std::string& text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return -1;
  return std::atoll(text.c_str());
}

std::string Run(const std::string& program, const std::string& wav, bool* ok) {
  RunOptions options;
  options.program = program;
  options.args = {wav};
  // The readers' own wording must not depend on the caller's locale.
  options.env = {{"LC_ALL", "C"}};
  const RunResult r = RunProgram(options);
  *ok = r.status == 0;
  return program + " exited with " + std::to_string(r.status) + ":\n" + r.out + r.err;
}

}  // namespace

WavReport ReadWithSoxi(const std::string& wav) {
  WavReport report;
  bool ok = false;
  report.text = Run("soxi", wav, &ok);
  if (!ok) return report;
  report.channels = Number(Value(report.text, "Channels"));
  report.rate = Number(Value(report.text, "Sample Rate"));
  report.bits = Number(Value(report.text, "Precision"));
  // "00:00:00.10 = 4800 samples ~ 7.5 CDDA sectors": soxi's samples are frames.
  const std::string duration = Value(report.text, "Duration");
  const size_t equals = duration.find("= ");
  if (equals != std::string::npos) report.frames = Number(duration.substr(equals + 2));
  return report;
}

WavReport ReadWithSndfileInfo(const std::string& wav) {
  WavReport report;
  bool ok = false;
  report.text = Run("sndfile-info", wav, &ok);
  if (!ok) return report;
  // The dump of the fmt chunk comes first and states what the header says;
  // the summary after it states what libsndfile will read, frames included.
  const size_t summary = report.text.rfind("\nSample Rate");
  const std::string tail = summary == std::string::npos ? "" : report.text.substr(summary);
  report.channels = Number(Value(tail, "Channels"));
  report.rate = Number(Value(tail, "Sample Rate"));
  report.frames = Number(Value(tail, "Frames"));
  report.bits = Number(Value(report.text, "Bit Width"));
  return report;
}

void ExpectReadersAgree(const std::string& wav, int channels, int rate, int bits, uint64_t frames) {
  const long long want[4] = {channels, rate, bits, static_cast<long long>(frames)};
  const char* names[4] = {"channels", "sample rate", "bits", "frames"};
  for (const WavReport& report : {ReadWithSoxi(wav), ReadWithSndfileInfo(wav)}) {
    const long long got[4] = {report.channels, report.rate, report.bits, report.frames};
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(got[i], want[i]) << names[i] << " of " << wav << " as read by " << report.text;
  }
}

uint32_t Field32(const std::string& file, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(file[at + i]);
  return v;
}

void ExpectWholeWav(const std::string& file, uint32_t blockAlign) {
  ASSERT_GE(file.size(), 44u);
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(Field32(file, 4), file.size() - 8);
  // Audio of odd length is followed by its pad byte.
  const uint32_t data = Field32(file, 40);
  EXPECT_EQ(44u + data + (data & 1), file.size());
  EXPECT_EQ(data % blockAlign, 0u);
}
