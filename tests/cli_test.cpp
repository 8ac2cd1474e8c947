// The command line as a user meets it: usage text, refusals, readings of the
// numeric arguments, output names and the overwrite prompt. Every case runs
// the real program, because the front end ends the process on each refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/zelm_fixture.h"

namespace {

const char kUsage[] =
    "\nThis is a 1 or 2 channel recording program.\n"
    "You must add at least two command line arguments:\n"
    "\t1.  The recording format\n\t2.  The recording duration in seconds.\n\n"
    "The possible formats are as follows:\nFormat\tBits\tSample rate\n"
    "1644\t16\t44100\n1648\t16\t48000\n2444\t24\t44100\n2448\t24\t48000\n"
    "1688\t16\t88200\n1696\t16\t96000\n2488\t24\t88200\n2496\t24\t96000\n\n"
    "Example:  zelm 1644 60\nThis will record for 60 seconds at 16 bits and 44,100 Hz\n\n"
    "If no file name is specified, the program will create one.\n\n"
    "The complete list of arguments is as follows:\n\n"
    "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n\n"
    "You may enter just d for the default system recording device.\n"
    "plughw:0,0 is often used for the device name.\n\n"
    "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
    "the number of channels.  Only one filename is needed or created.\n";

const char kOpenFailure[] = "unable to open pcm record device: ";
const char kOnlyOne[] = "2 channels were requested, but on1y 1 filename was entered!\n";

std::string Prompt(const std::string& name) {
  return "\nFile " + name + " already exists!\nEnter 'x' to exit or 'o' to overwrite\n";
}

// "default" is the silent null device; no other device is known.
using Cli = ZelmTest;

TEST_F(Cli, TooFewArgumentsPrintTheUsageText) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"1644"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Cli, RefusalsNameTheFirstBadArgumentOnly) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"16444", "60"}, "Improper format request\n"},
      {{"1644 ", "60"}, "Improper format request\n"},
      {{"", "60"}, "Improper format request\n"},
      {{"1644a", "60"}, "Improper format request\n"},
      {{"1600", "-5"}, "Improper format request\n"},
      {{"1644", "0"}, "Improper duration request\n"},
      {{"1644", "-1"}, "Improper duration request\n"},
      {{"1644", "abc"}, "Improper duration request\n"},
      {{"1644", "1e-50"}, "Improper duration request\n"},
      {{"1644", "nan"}, "Improper duration request\n"},
      {{"1644", "inf"}, "Improper duration request\n"},
      {{"1644", "-inf", "default", "7"}, "Improper duration request\n"},
      {{"1644", "1", "default", "S"}, "Improper channel number request\n"},
      {{"1644", "1", "default", "0"}, "Improper channel number request\n"},
      {{"1644", "1", "default", "3"}, "Improper channel number request\n"},
      {{"1644", "1", "default", "-1"}, "Improper channel number request\n"},
      {{"1644", "1", "default", "a"}, "Improper channel number request\n"},
      {{"1644", "1", "default", ""}, "Improper channel number request\n"},
      {{"1644", "1", "default", "99999999999999999999"}, "Improper channel number request\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.err, "");
  }
}

// Numbers are read the way strtod and strtol read them. A request that gets
// as far as opening the device proves its arguments were accepted; the
// "on1y" refusal proves a channel argument read as 2.
TEST_F(Cli, NumbersAreReadLikeTheCLibraryReadsThem) {
  for (const char* duration : {"0.5", "60abc", "0x10", " 7", "1e1"}) {
    SCOPED_TRACE(duration);
    const RunResult r = Run({"2496", duration, "nosuchdevice"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
  }
  for (const char* channels : {"2", "2x", " 2", "+2", "02"}) {
    SCOPED_TRACE(channels);
    const RunResult r = Run({"1644", "1", "nosuchdevice", channels, "a.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kOnlyOne);
  }
  for (const char* channels : {"1", "+1", "01", "1abc", "s"}) {
    SCOPED_TRACE(channels);
    const RunResult r = Run({"1644", "1", "nosuchdevice", channels, "a.wav", "b.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
  }
}

TEST_F(Cli, OnlyAPlainDMeansTheDefaultDevice) {
  for (const char* device : {"d", "default"}) {
    SCOPED_TRACE(device);
    const RunResult r = Run({"1644", "0.01", device});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  for (const char* device : {"D", "dd", "d "}) {
    SCOPED_TRACE(device);
    const RunResult r = Run({"1644", "0.01", device});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(std::string(kOpenFailure) + "No such file or directory\n"),
              std::string::npos)
        << r.err;
  }
}

TEST_F(Cli, AnUnknownDeviceLeavesNoFileBehind) {
  const RunResult r = Run({"1644", "1", "nosuchdevice", "2", "a.wav", "b.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("unable to open pcm record device: No such file or directory\n"),
            std::string::npos);
  EXPECT_FALSE(FileExists(at("a.wav")));
  EXPECT_FALSE(FileExists(at("b.wav")));
  const RunResult automatic = Run({"1644", "1", "nosuchdevice"});
  EXPECT_EQ(automatic.status, 1);
  EXPECT_TRUE(std::filesystem::is_empty(work()));
}

TEST_F(Cli, SeventhAndLaterArgumentsAreIgnored) {
  WriteFile(at("c.wav"), "keep");
  const RunResult r = Run({"1644", "1", "nosuchdevice", "2", "a.wav", "b.wav", "c.wav", "junk"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");  // c.wav exists but is never asked about
  EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
}

// Takes of any length the disk can hold are planned; beyond 2^36 frames
// (over eight days at 96000 Hz) the duration cannot be planned.
TEST_F(Cli, ADurationThatCannotBePlannedIsRefused) {
  for (const char* seconds : {"715828", "1e9", "inf"}) {
    const RunResult r = Run({"2496", seconds, "nosuchdevice", "s"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Improper duration request\n") << seconds;
  }
  RunResult r = Run({"2496", "715827", "nosuchdevice", "s"});
  EXPECT_NE(r.err.find(kOpenFailure), std::string::npos) << r.out;
  // Refused before any prompt: the existing file is never asked about.
  WriteFile(at("a.wav"), "keep");
  r = Run({"1644", "1e9", "nosuchdevice", "1", "a.wav"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("already exists"), std::string::npos);
  EXPECT_EQ(ReadFile(at("a.wav")), "keep");
}

TEST_F(Cli, AnsweringXLeavesEveryFileUntouched) {
  WriteFile(at("a.wav"), "take one");
  WriteFile(at("b.wav"), "take two");
  // x to the first of two prompts: the second is never asked.
  RunResult r = Run({"1644", "1", "nosuchdevice", "2", "a.wav", "b.wav"}, "x\no\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Prompt("a.wav"));
  EXPECT_EQ(r.err, "");
  // o then x on one line: the first is answered o, the second x.
  r = Run({"1644", "1", "nosuchdevice", "2", "a.wav", "b.wav"}, "o x\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Prompt("a.wav") + Prompt("b.wav"));
  // End of input while waiting counts as x, and so does a lone stray word.
  for (const char* input : {"", "yes\n", "   \n\n"}) {
    r = Run({"1644", "1", "nosuchdevice", "1", "a.wav"}, input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Prompt("a.wav"));
  }
  EXPECT_EQ(ReadFile(at("a.wav")), "take one");
  EXPECT_EQ(ReadFile(at("b.wav")), "take two");
}

TEST_F(Cli, OnlyAWholeWordOAnswersTheOverwritePrompt) {
  WriteFile(at("a.wav"), "old");
  WriteFile(at("b.wav"), "old");
  const std::string longWord(5000, 'q');
  // Words that merely contain x or o, or a long word ending in x, are
  // ignored; the prompt is not repeated.
  const RunResult r = Run({"1644", "1", "nosuchdevice", "2", "a.wav", "b.wav"},
                          "O X yes ox xo " + longWord + "x\n\to\n o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Prompt("a.wav") + Prompt("b.wav"));
  EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
}

TEST_F(Cli, NamesAreCheckedInOrderAndOnlyThoseUsed) {
  WriteFile(at("b.wav"), "old");
  // Channel mode 1 or s: a second name is neither tested nor used.
  for (const char* mode : {"1", "s"}) {
    const RunResult r = Run({"1644", "1", "nosuchdevice", mode, "a.wav", "b.wav"});
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
  }
  // Two channels and one new name: refused at once, without a prompt.
  RunResult r = Run({"1644", "1", "nosuchdevice", "2", "a.wav"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kOnlyOne);
  // Two channels and one existing name: asked first; o still ends in the
  // refusal, and the file is left as it was.
  r = Run({"1644", "1", "nosuchdevice", "2", "b.wav"}, "o\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Prompt("b.wav") + kOnlyOne);
  EXPECT_EQ(ReadFile(at("b.wav")), "old");
}

// A newline would split one name into two (the second never asked about),
// and an empty name names no file: both are refused before anything happens.
TEST_F(Cli, FileNamesMustBeUsable) {
  WriteFile(at("b.wav"), "keep");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"1644", "1", "default", "2", "a.wav\nb.wav", "c.wav"},
                                             {"1644", "1", "default", "1", "x\nb.wav"},
                                             {"1644", "1", "default", "2", "a.wav", ""},
                                             {"1644", "1", "default", "s", ""}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Improper file name request\n");
  }
  EXPECT_EQ(ReadFile(at("b.wav")), "keep");
  EXPECT_FALSE(FileExists(at("a.wav")));
}

TEST_F(Cli, TwoChannelsCannotShareOneFile) {
  mkdir(at("sub").c_str(), 0700);
  ASSERT_EQ(symlink("sub", at("link").c_str()), 0);
  WriteFile(at("sub/x.wav"), "old");
  ASSERT_EQ(link(at("sub/x.wav").c_str(), at("hard.wav").c_str()), 0);
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"a.wav", "a.wav"},          {"a.wav", "./a.wav"},      {"sub/n.wav", "link/n.wav"},
      {"sub/x.wav", "link/x.wav"}, {"hard.wav", "sub/x.wav"}, {"sub/../a.wav", "a.wav"},
  };
  for (const auto& [a, b] : pairs) {
    SCOPED_TRACE(a + " " + b);
    const RunResult r = Run({"1644", "1", "nosuchdevice", "2", a, b}, "o\no\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Both channels cannot be recorded into the same file\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(FileExists(at("a.wav")));
  EXPECT_EQ(ReadFile(at("sub/x.wav")), "old");
  // Different files in different folders are fine.
  const RunResult r = Run({"1644", "1", "nosuchdevice", "2", "sub/a.wav", "a.wav"});
  EXPECT_NE(r.err.find(kOpenFailure), std::string::npos);
}

// Names that cannot take a recording are refused before the prompt, without
// waiting: a link to nothing (it would also slip past the same-file check),
// a pipe (opening it would block), a folder, and the console itself.
TEST_F(Cli, NamesThatCannotTakeARecordingAreRefusedAtOnce) {
  ASSERT_EQ(symlink("t.wav", at("l.wav").c_str()), 0);
  ASSERT_EQ(mkfifo(at("f").c_str(), 0600), 0);
  mkdir(at("dir").c_str(), 0700);
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"t.wav", "l.wav"}, "Both channels cannot be recorded into the same file\n"},
      {{"a.wav", "l.wav"}, "Can't record into l.wav: it is a link to a missing file\n"},
      {{"f", "a.wav"}, "Can't record into f: it is a pipe\n"},
      {{"a.wav", "dir"}, "Can't record into dir: it is a directory\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"1644", "1", "null", "2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Run(args, "o\no\n", {}, 5000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
  }
  EXPECT_FALSE(FileExists(at("t.wav")));
  EXPECT_FALSE(FileExists(at("a.wav")));
  // /dev/stdout as the stereo file, standard output redirected into a file.
  RunOptions options;
  options.program = "/bin/bash";
  options.args = {"-c", "exec '" ZELM_BINARY "' 1644 1 null s /dev/stdout > x.wav"};
  options.cwd = work();
  const RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't record into /dev/stdout: it is this program's standard output\n");
  EXPECT_EQ(ReadFile(at("x.wav")), "");
}

// A file the user may write but not read exists all the same, and an endless
// word at the prompt is read past without memory growing with it.
TEST_F(Cli, EveryExistingNameIsAskedAbout) {
  ASSERT_EQ(chmod(work().c_str(), 0777), 0);
  WriteFile(at("w.wav"), "write only");
  ASSERT_EQ(chmod(at("w.wav").c_str(), 0222), 0);
  ASSERT_EQ(chown(at("w.wav").c_str(), 65534, 65534), 0);
  RunOptions options;
  options.program = "/usr/bin/setpriv";
  options.args = {
      "--reuid=65534", "--regid=65534", "--clear-groups", ZELM_BINARY, "1644", "1", "null", "1",
      "w.wav"};
  options.cwd = work();
  options.input = "x\n";
  RunResult r = RunProgram(options);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, Prompt("w.wav"));
  EXPECT_EQ(ReadFile(at("w.wav")), "write only");

  // 100 MB without a blank, made by the shell so that this process stays small.
  options.program = "/bin/bash";
  options.args = {"-c", "exec '" ZELM_BINARY
                        "' 1644 1 null 1 w.wav < <(head -c 100000000 "
                        "/dev/zero | tr '\\0' q; echo ' x')"};
  options.input.clear();
  r = RunProgram(options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Prompt("w.wav"));
  EXPECT_LT(r.maxRssKb, 64 * 1024);
}

}  // namespace
