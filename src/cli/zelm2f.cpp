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

}  // namespace

int main(int argc, char** argv) {
  OpenMissingStandardDescriptors();
  if (argc < 3) {
    Help();
    return 1;
  }

  const FormatRow* format = nullptr;
  for (const FormatRow& row : kFormats) {
    if (std::strcmp(argv[1], row.code) == 0) {
      format = &row;
      break;
    }
  }
  if (format == nullptr) Refuse("Improper format request");
  const uint32_t SampleRate = format->SampleRate;
  const uint32_t SampleBytes = format->SampleBytes;

  // Read as strtod reads it, then narrowed: the run works in single precision.
  const float DurationSeconds = static_cast<float>(std::strtod(argv[2], nullptr));
  if (!(DurationSeconds > 0) || std::isinf(DurationSeconds)) Refuse("Improper duration request");

  std::string DeviceName = "default";
  if (argc > 3) DeviceName = argv[3];

  int32_t ChannelCount = 1;
  int32_t InterleavedStereo = 0;
  if (argc > 4) {
    if (std::strcmp(argv[4], "s") == 0) {
      InterleavedStereo = 1;
    } else {
      const long channels = std::strtol(argv[4], nullptr, 10);
      if (channels != 1 && channels != 2) Refuse("Improper channel number request");
      ChannelCount = static_cast<int32_t>(channels);
    }
  }

  // Refused before any question is asked; how long a take can really be is
  // up to the free disk space, which the recording checks.
  if (!DurationPlannable(DurationSeconds, SampleRate)) Refuse("Improper duration request");

  int32_t AutoNames = 1;
  // What was at each listed name when it was checked: 1 nothing, 2 a file.
  int32_t NameStatus[2] = {1, 1};
  std::string FileList;
  std::string NameScratch;
  if (argc > 5) {
    AutoNames = 0;
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
      return 1;
    }

    NameStatus[0] = CheckFileName(name1);
    NameStatus[1] = twoNames ? CheckFileName(name2) : 1;
    if (NameStatus[0] == 2 && CheckOverwrite(name1) == 1) return 1;
    if (NameStatus[1] == 2 && CheckOverwrite(name2) == 1) return 1;
    if (ChannelCount == 2 && !twoNames)
      Refuse("2 channels were requested, but on1y 1 filename was entered!");

    FileList = name1 + "\n";
    if (twoNames) FileList += name2 + "\n";
  }

  if (DeviceName == "d") DeviceName = "default";

  RECORD(DeviceName, SampleRate, DurationSeconds, ChannelCount, SampleBytes, AutoNames, FileList,
         NameScratch, InterleavedStereo, NameStatus);
  return 0;
}
