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
  unsigned int grantedRate = 0;        // what the device actually runs at
  // Periods of an interleaved device are read whole into a scratch buffer
  // and split into the channel areas.
  bool interleaved = false;
};

// Opens DeviceName for blocking two-channel capture and installs the
// hardware configuration. On failure prints the failure's message and
// returns false; no file exists yet at this stage.
bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device);

// Reads one whole period of both device channels into the two channel areas,
// reading again after a short or interrupted read until the period is
// complete. `scratch` holds one interleaved period for an interleaved device.
// Returns the frames read (the whole period) or the negative ALSA code that
// stopped it; `done` then says how many frames of the period did arrive. An
// interrupted read is retried unless `stopRequested` says a signal asked the
// run to end, in which case -EINTR is returned.
snd_pcm_sframes_t ReadPeriod(const CaptureDevice& device, uint8_t* area1, uint8_t* area2,
                             uint8_t* scratch, uint32_t SampleBytes,
                             const volatile int* stopRequested, snd_pcm_uframes_t* done);

// Brings the stream back after an overrun or a suspend. Returns 0, or the
// negative ALSA code when the device cannot be brought back (a sound server
// that has gone reports its loss only this way).
int RecoverStream(snd_pcm_t* pcm, snd_pcm_sframes_t error);
