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

// Where a quiet set-up stopped, and the ALSA code it stopped with.
enum class SetUpStep { kDone, kOpen, kFormat, kParameters, kChannels };
struct SetUpResult {
  SetUpStep failed = SetUpStep::kDone;
  int code = 0;            // negative ALSA code (kOpen, kFormat, kParameters)
  unsigned channels = 0;   // what the device gives instead of two (kChannels)
};

// The one way a capture device is opened and configured, for the take's
// parameters: prints nothing, writes no file, and allocates nothing beyond
// what ALSA does, so the capture thread can call it to open the device
// again. `params` is the caller's storage of snd_pcm_hw_params_sizeof()
// bytes; after a refusal it holds what the device offered. On success
// `device` holds the open handle and what was granted; on failure its
// handle is closed.
SetUpResult ConfigureCaptureDevice(const std::string& DeviceName, uint32_t SampleRate,
                                   uint32_t SampleBytes, snd_pcm_hw_params_t* params,
                                   CaptureDevice* device);

// Whether a device opened again grants what the take was started with:
// rate, period and access (the format and two channels are asked for, never
// negotiated). The buffer may differ: nothing depends on it.
bool SameGrant(const CaptureDevice& first, const CaptureDevice& again);

// A card's name by number ("hw:2", "plughw:2,0", "hw:2,0,1") in the form
// that names the card by its id, which stays the same when the card comes
// back as another number: "hw:CARD=id,DEV=0" ("...,SUBDEV=1"). Any other
// name comes back as it is.
std::string CardIdForm(const std::string& DeviceName, const std::string& cardId);
// The same with the id of the card that has that number now; a name whose
// card cannot be asked (none there, or not a card's name) comes back as it
// is. Called once when the take starts.
std::string ResolveCardName(const std::string& DeviceName);

// Opens DeviceName for non-blocking two-channel capture (the capture thread
// waits in poll, where a stop can reach it) and installs the
// hardware configuration. On failure prints the failure's message and
// returns false; no file exists yet at this stage.
bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device);

// Resumes a suspended stream where it stopped. 0 once it runs (or is
// prepared to) again, -EAGAIN while it cannot be resumed yet, or another
// negative ALSA code when the driver cannot resume it at all (it is then
// prepared anew).
int ResumeStream(snd_pcm_t* pcm);
