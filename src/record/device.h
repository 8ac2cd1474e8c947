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
  snd_pcm_uframes_t bufferFrames = 0;  // granted for the request of 32768
  // An interleaved device is read straight into the ring for a stereo file,
  // and otherwise into a scratch buffer and split into the channel areas.
  bool interleaved = false;
};

// Opens DeviceName for non-blocking two-channel capture (the capture thread
// waits in poll, where a stop can reach it) and installs the
// hardware configuration. On failure prints the failure's message and
// returns false; no file exists yet at this stage.
bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device);

// Brings the stream back after an overrun or a suspend. Returns 0, or the
// negative ALSA code when the device cannot be brought back (a sound server
// that has gone reports its loss only this way).
int RecoverStream(snd_pcm_t* pcm, snd_pcm_sframes_t error);
