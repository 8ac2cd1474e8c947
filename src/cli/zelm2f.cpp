// Entry point: turns the positional arguments into one recording request.
// Every refusal ends the process with status 1 and a one-line message.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "record/record.h"

namespace {

struct FormatRow {
  const char* code;
  uint32_t SampleBytes;
  uint32_t SampleRate;
};

constexpr FormatRow kFormats[] = {
    {"1644", 2, 44100}, {"1648", 2, 48000}, {"2444", 3, 44100}, {"2448", 3, 48000},
    {"1688", 2, 88200}, {"1696", 2, 96000}, {"2488", 3, 88200}, {"2496", 3, 96000},
};

[[noreturn]] void Refuse(const char* message) {
  std::puts(message);
  std::exit(1);
}

// The channel mode: 1 or 2 inputs into mono files, or "s" for both into one
// stereo file (ChannelCount 1, InterleavedStereo 1).
void ParseChannels(const char* text, int32_t* ChannelCount, int32_t* InterleavedStereo) {
  if (std::strcmp(text, "s") == 0) {
    *InterleavedStereo = 1;
    return;
  }
  const long channels = std::strtol(text, nullptr, 10);
  if (channels != 1 && channels != 2) Refuse("Improper channel number request");
  *ChannelCount = static_cast<int32_t>(channels);
}

// Checks the names given on the command line and asks before an existing
// file is replaced. Fills FileList, and NameStatus with what was at each
// name: 1 nothing, 2 a file, and `asked` with which file that was when the
// user was asked. Returns false when the user said no, or a name cannot take
// a recording (after saying why).
bool TakeNames(int argc, char** argv, int32_t ChannelCount, std::string* FileList,
               int32_t NameStatus[2], AskedFile asked[2]) {
  const std::string name1 = argv[5];
  const bool twoNames = ChannelCount == 2 && argc > 6;
  const std::string name2 = twoNames ? argv[6] : "";
  // Names travel newline-separated: a newline inside one would turn it into
  // two names and write over a file nobody was asked about; an empty one
  // names no file at all.
  const auto improper = [](const std::string& name) {
    return name.empty() || name.find('\n') != std::string::npos;
  };
  if (improper(name1) || (twoNames && improper(name2))) Refuse("Improper file name request");
  // Two channels appended into one file would leave a file whose header
  // states half its length, with the channels' periods mixed.
  if (twoNames && SameFile(name1, name2))
    Refuse("Both channels cannot be recorded into the same file");
  for (const std::string* name : {&name1, twoNames ? &name2 : nullptr}) {
    if (name == nullptr) continue;
    const std::string refusal = OutputRefusal(*name);
    if (refusal.empty()) continue;
    // Said where the user can see it: standard output may be the very file.
    std::fprintf(refusal.find("standard output") != std::string::npos ? stderr : stdout, "%s\n",
                 refusal.c_str());
    return false;
  }

  NameStatus[0] = CheckFileName(name1);
  NameStatus[1] = twoNames ? CheckFileName(name2) : 1;
  asked[0] = FileAt(name1);
  if (twoNames) asked[1] = FileAt(name2);
  if (NameStatus[0] == 2 && CheckOverwrite(name1) == 1) return false;
  if (NameStatus[1] == 2 && CheckOverwrite(name2) == 1) return false;
  if (ChannelCount == 2 && !twoNames)
    Refuse("2 channels were requested, but on1y 1 filename was entered!");
  *FileList = name1 + "\n";
  if (twoNames) *FileList += name2 + "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  OpenMissingStandardDescriptors();
  if (argc < 3) {
    Help();
    return 1;
  }

  const FormatRow* format = nullptr;
  for (const FormatRow& row : kFormats)
    if (std::strcmp(argv[1], row.code) == 0) format = &row;
  if (format == nullptr) Refuse("Improper format request");

  // Read as strtod reads it, then narrowed: the run works in single precision.
  const float DurationSeconds = static_cast<float>(std::strtod(argv[2], nullptr));
  if (!(DurationSeconds > 0) || std::isinf(DurationSeconds)) Refuse("Improper duration request");

  std::string DeviceName = argc > 3 ? argv[3] : "default";
  int32_t ChannelCount = 1;
  int32_t InterleavedStereo = 0;
  if (argc > 4) ParseChannels(argv[4], &ChannelCount, &InterleavedStereo);

  // Refused before any question is asked; how long a take can really be is
  // up to the free disk space, which the recording checks.
  if (!DurationPlannable(DurationSeconds, format->SampleRate)) Refuse("Improper duration request");

  int32_t AutoNames = 1;
  int32_t NameStatus[2] = {1, 1};
  AskedFile asked[2];
  std::string FileList;
  std::string NameScratch;
  if (argc > 5) {
    AutoNames = 0;
    if (!TakeNames(argc, argv, ChannelCount, &FileList, NameStatus, asked)) return 1;
  }
  if (DeviceName == "d") DeviceName = "default";

  RECORD(DeviceName, format->SampleRate, DurationSeconds, ChannelCount, format->SampleBytes,
         AutoNames, FileList, NameScratch, InterleavedStereo, NameStatus, asked);
  return 0;
}
