// The ways the manual page's "Picking inputs" gives for interfaces that are
// not two channels of 16 or packed 24 bits, tried on test devices standing
// in for them under the names a user has: hw:1 records only S32_LE, hw:2
// has eight inputs, hw:3 one, hw:4 only S16_LE. plughw: and the README's
// ~/.asoundrc recipe are used as they stand, and every sample is checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/device.h"
#include "support/zelm_fixture.h"

namespace {

class Inputs : public ZelmTest {
 protected:
  void SetUp() override {
    ZelmTest::SetUp();
    // hw:N and plughw:N lead to the test device cardN.
    AddDevices(
        "pcm.card1 { type zelmtest formats \"S32_LE\" }\n"
        "pcm.card2 { type zelmtest channels 8 }\n"
        "pcm.card3 { type zelmtest channels 1 }\n"
        "pcm.card4 { type zelmtest formats \"S16_LE\" }\n"
        "pcm.!hw { @args [ CARD ] @args.CARD { type string } type empty\n"
        "  slave.pcm { @func concat strings [ \"card\" $CARD ] } }\n"
        "pcm.!plughw { @args [ CARD ] @args.CARD { type string } type plug\n"
        "  slave.pcm { @func concat strings [ \"hw:\" $CARD ] } }\n");
  }

  // The data of a stereo take of 12288 frames: channel c of frame n is the
  // device's `inputs[c]` of frame n, on a device of `channels` channels.
  std::string Expected(unsigned bytes, const unsigned inputs[2], unsigned channels) {
    std::vector<std::vector<int32_t>> lr(2);
    for (uint64_t n = 0; n < 12288; ++n)
      for (int c = 0; c < 2; ++c) lr[c].push_back(RampSample(n, inputs[c], bytes, channels));
    const std::vector<uint8_t> v = RawInterleaved(lr, bytes);
    return std::string(v.begin(), v.end());
  }

  void ExpectTake(const std::string& format, const std::string& device, unsigned bytes,
                  const unsigned inputs[2], unsigned channels) {
    SCOPED_TRACE(device);
    const RunResult r = Run({format, "0.2", device, "s", device + ".wav"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(ReadFile(at(device + ".wav")).substr(44) == Expected(bytes, inputs, channels))
        << device << " did not give the inputs asked for";
  }
};

// The recipe as the README has it: the first code block after its name.
std::string Recipe(const std::string& name) {
  const std::string readme = ReadFile(ZELM_SOURCE_DIR "/README.md");
  const size_t at = readme.find("pcm." + name + " {");
  const size_t end = readme.find("```", at);
  return at == std::string::npos || end == std::string::npos ? "" : readme.substr(at, end - at);
}

TEST_F(Inputs, AFormatRefusalSaysWhatWorks) {
  RunResult r = Run({"2448", "1", "hw:1", "s", "a.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Problem setting recording format: Invalid argument\n"
            "hw:1 offers S32_LE; plughw:1 converts it to 24-bit WAV without loss (see \"Picking "
            "inputs\" in the manual page)\n");
  r = Run({"2448", "1", "hw:4", "s", "a.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("hw:4 offers S16_LE; record it in 16 bits (a 16xx format)"),
            std::string::npos)
      << r.err;
  r = Run({"2448", "1", "hw:2", "s", "a.wav"});
  EXPECT_NE(r.err.find("it records 8 channels at once, and zelm takes 2. plughw:2 gives inputs 1 "
                       "and 2"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(FileExists(at("a.wav")));
}

TEST_F(Inputs, EveryWayThatIsDocumentedGivesTheInputsExactly) {
  const unsigned first[2] = {0, 1}, mono[2] = {0, 0}, third[2] = {2, 3};
  // 24 bits in a 32-bit container, through plug: all 24 bits.
  ExpectTake("2448", "plughw:1", 3, first, 2);
  // One input, through plug: on both channels.
  ExpectTake("1648", "plughw:3", 2, mono, 1);
  // Inputs 3 and 4 of eight, through the README's recipe in ~/.asoundrc.
  const std::string recipe = Recipe("inputs34");
  ASSERT_NE(recipe, "");
  WriteFile(env_.home + "/.asoundrc", recipe);
  ExpectTake("2448", "inputs34", 3, third, 8);
}

// A card reopened by number could be another card after a replug; by id it
// is the same one. Only a real card has an id to ask for, so the rewriting
// is tried alone: the stand-ins above are no cards.
TEST(CardName, ACardNumberIsNamedByTheCardsId) {
  EXPECT_EQ(CardIdForm("hw:2", "USB"), "hw:CARD=USB,DEV=0");
  EXPECT_EQ(CardIdForm("plughw:1,0", "USB"), "plughw:CARD=USB,DEV=0");
  EXPECT_EQ(CardIdForm("hw:1,2,3", "PCH"), "hw:CARD=PCH,DEV=2,SUBDEV=3");
  for (const char* kept : {"hw:CARD=USB,DEV=0", "default", "plug:hw:1", "hw:1,x", "hw:"})
    EXPECT_EQ(CardIdForm(kept, "USB"), kept);
  EXPECT_EQ(CardIdForm("hw:1", ""), "hw:1");  // no id to be had
  EXPECT_EQ(ResolveCardName("card1"), "card1");
}

}  // namespace
