// The capture device as the recording engine sees it (private to src/record).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct CaptureDevice {
  PcmHandle handle;
  snd_pcm_uframes_t PeriodFrames = 0;  // granted for the request of 4096
};

// Opens DeviceName for blocking two-channel capture and installs the
// hardware configuration. On failure prints the failure's message and
// returns false; no file exists yet at this stage.
bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device);

// Reads one whole period of both device channels into the two channel areas,
// reading again after a short read until the period is complete. Returns the
// frames read (the whole period) or the negative ALSA code that stopped it;
// `done` then says how many frames of the period did arrive.
snd_pcm_sframes_t ReadPeriod(snd_pcm_t* pcm, uint8_t* area1, uint8_t* area2,
                             snd_pcm_uframes_t PeriodFrames, uint32_t SampleBytes,
                             snd_pcm_uframes_t* done);
