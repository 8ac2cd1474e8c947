// Opening and configuring the ALSA capture device.
#include "record/device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>


namespace {

constexpr snd_pcm_uframes_t kRequestedPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRequestedBufferFrames = 32768;

// What the failed configuration reports back. A value that it leaves
// undetermined makes the getter fail; it is printed as 0.
void ReportRefusedParameters(const snd_pcm_hw_params_t* params) {
  snd_pcm_uframes_t bufferFrames = 0, periodFrames = 0;
  unsigned int channels = 0, rate = 0;
  if (snd_pcm_hw_params_get_buffer_size(params, &bufferFrames) < 0) bufferFrames = 0;
  if (snd_pcm_hw_params_get_period_size(params, &periodFrames, nullptr) < 0) periodFrames = 0;
  if (snd_pcm_hw_params_get_channels(params, &channels) < 0) channels = 0;
  if (snd_pcm_hw_params_get_rate(params, &rate, nullptr) < 0) rate = 0;
  std::puts("Could not set record hardware parameters:");
  std::puts("Returned Driver Parameters:");
  std::puts("\tBuf 1\tBuf 2\tRate\tChannels");
  std::printf("Record\t%i\t%i\t%i\t%i\n", static_cast<int>(periodFrames),
              static_cast<int>(bufferFrames), static_cast<int>(rate), static_cast<int>(channels));
  std::puts("-------------------------");
}

// The plug form of a hw: name ("plughw:2" for "hw:2"), or empty for any
// other name: only for a card's own name is plug the known way round.
std::string PlugFormOf(const std::string& DeviceName) {
  return DeviceName.rfind("hw:", 0) == 0 ? "plug" + DeviceName : std::string();
}

// A device that records another number of channels than two would be read
// with the wrong frame size: refused, with the way that works.
void ReportChannelCount(const std::string& DeviceName, unsigned int channels) {
  const std::string plug = PlugFormOf(DeviceName);
  std::string way;
  if (channels == 1)
    way = plug.empty() ? "A plug device gives input 1 on both channels"
                       : plug + " gives input 1 on both channels";
  else
    way = plug.empty() ? "A plug or route device picks two of its inputs"
                       : plug + " gives inputs 1 and 2";
  std::fprintf(stderr,
               "Can't record from %s: it records %u channel%s at once, and zelm takes 2. %s; see "
               "\"Picking inputs\" in the manual page for others.\n",
               DeviceName.c_str(), channels, channels == 1 ? "" : "s", way.c_str());
}

// The formats a device offers, as ALSA names them, and the widest of them
// in bits.
std::string OfferedFormats(const snd_pcm_hw_params_t* params, int* widest) {
  snd_pcm_format_mask_t* mask = nullptr;
  std::string names;
  *widest = 0;
  if (snd_pcm_format_mask_malloc(&mask) < 0) return names;
  snd_pcm_hw_params_get_format_mask(const_cast<snd_pcm_hw_params_t*>(params), mask);
  for (int f = 0; f <= SND_PCM_FORMAT_LAST; ++f) {
    const auto format = static_cast<snd_pcm_format_t>(f);
    if (!snd_pcm_format_mask_test(mask, format)) continue;
    names += (names.empty() ? "" : ", ") + std::string(snd_pcm_format_name(format));
    *widest = std::max(*widest, snd_pcm_format_width(format));
  }
  snd_pcm_format_mask_free(mask);
  return names;
}

// After a refused sample format: what the device offers, and the way that
// works. Only a card's own name has a known plug form; a rate is never the
// reason (the nearest is granted), so plug, which would resample, is never
// offered for one.
void ReportOfferedFormats(const std::string& DeviceName, const snd_pcm_hw_params_t* params,
                          uint32_t SampleBytes) {
  int widest = 0;
  const std::string offered = OfferedFormats(params, &widest);
  if (offered.empty()) return;
  const std::string plug = PlugFormOf(DeviceName);
  const int wanted = SampleBytes == 3 ? 24 : 16;
  std::string way;
  if (wanted == 24 && widest < 24)
    way = "record it in 16 bits (a 16xx format), which keeps all it gives";
  else if (plug.empty())
    way = "a plug device converts it";
  else if (wanted == 24)
    way = plug + " converts it to 24-bit WAV without loss";
  else
    way = plug + " converts it to 16-bit WAV by truncation; a 24xx format keeps all of it";
  std::fprintf(stderr, "%s offers %s; %s (see \"Picking inputs\" in the manual page)\n",
               DeviceName.c_str(), offered.c_str(), way.c_str());
}

}  // namespace

bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device) {
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, DeviceName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (rc < 0) {
    std::fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
    return false;
  }
  device->handle.reset(pcm);

  std::vector<unsigned char> storage(snd_pcm_hw_params_sizeof(), 0);
  auto* params = reinterpret_cast<snd_pcm_hw_params_t*>(storage.data());
  snd_pcm_hw_params_any(pcm, params);
  // Interleaved reads first: non-interleaved access to a device that does not
  // offer it natively (a sound server through plug) goes by way of ALSA's
  // mmap emulation, which silently loses audio when the server delivers in
  // bursts. Devices that offer only non-interleaved access are read so.
  device->interleaved =
      snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) == 0;
  if (!device->interleaved)
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  rc = snd_pcm_hw_params_set_format(
      pcm, params, SampleBytes == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE);
  if (rc < 0) {
    std::fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
    ReportOfferedFormats(DeviceName, params, SampleBytes);
    return false;
  }
  // Both device channels are always captured; the channel mode only decides
  // what is written. A device that cannot give two is refused below, once
  // the configuration shows what it gives instead.
  snd_pcm_hw_params_set_channels(pcm, params, 2);
  unsigned int rate = SampleRate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_uframes_t periodFrames = kRequestedPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &periodFrames, nullptr);
  snd_pcm_uframes_t bufferFrames = kRequestedBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferFrames);
  rc = snd_pcm_hw_params(pcm, params);
  if (rc < 0) {
    ReportRefusedParameters(params);
    return false;
  }
  unsigned int channels = 0;
  if (snd_pcm_hw_params_get_channels(params, &channels) < 0 || channels != 2) {
    ReportChannelCount(DeviceName, channels);
    return false;
  }
  device->PeriodFrames = periodFrames;
  if (snd_pcm_hw_params_get_buffer_size(params, &bufferFrames) < 0) bufferFrames = 0;
  device->bufferFrames = bufferFrames;
  if (snd_pcm_hw_params_get_rate(params, &rate, nullptr) < 0) rate = SampleRate;
  device->grantedRate = rate;
  return true;
}

int RecoverStream(snd_pcm_t* pcm, snd_pcm_sframes_t error) {
  if (error == -ESTRPIPE) {
    // A suspended device: resume it where the driver can, else start anew.
    int rc;
    for (int tries = 0; (rc = snd_pcm_resume(pcm)) == -EAGAIN && tries < 100; ++tries)
      usleep(10000);
    if (rc == 0) return 0;
  }
  return snd_pcm_prepare(pcm);
}
