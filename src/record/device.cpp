// Opening and configuring the ALSA capture device.
#include "record/device.h"

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

// "hw:N[,D[,S]]" or "plughw:N[,D[,S]]": the prefix and the numbers, or
// false for any other name.
bool ParseCardNumberName(const std::string& name, std::string* prefix, int numbers[3],
                         int* count) {
  const size_t colon = name.find(':');
  if (colon == std::string::npos) return false;
  *prefix = name.substr(0, colon);
  if (*prefix != "hw" && *prefix != "plughw") return false;
  *count = 0;
  size_t at = colon + 1;
  for (;;) {
    if (*count == 3 || at >= name.size() || name[at] < '0' || name[at] > '9') return false;
    int v = 0;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9' && v < 100000)
      v = v * 10 + (name[at++] - '0');
    numbers[(*count)++] = v;
    if (at == name.size()) return true;
    if (name[at++] != ',') return false;
  }
}

}  // namespace

std::string CardIdForm(const std::string& DeviceName, const std::string& cardId) {
  std::string prefix;
  int numbers[3] = {0, 0, 0}, count = 0;
  if (cardId.empty() || !ParseCardNumberName(DeviceName, &prefix, numbers, &count))
    return DeviceName;
  std::string name = prefix + ":CARD=" + cardId + ",DEV=" + std::to_string(numbers[1]);
  if (count == 3) name += ",SUBDEV=" + std::to_string(numbers[2]);
  return name;
}

std::string ResolveCardName(const std::string& DeviceName) {
  std::string prefix;
  int numbers[3] = {0, 0, 0}, count = 0;
  if (!ParseCardNumberName(DeviceName, &prefix, numbers, &count)) return DeviceName;
  // Asked first: opening the control of a card that is not there makes
  // libasound print an error of its own.
  if (snd_card_get_index(std::to_string(numbers[0]).c_str()) < 0) return DeviceName;
  snd_ctl_t* ctl = nullptr;
  if (snd_ctl_open(&ctl, ("hw:" + std::to_string(numbers[0])).c_str(), 0) < 0) return DeviceName;
  snd_ctl_card_info_t* info = nullptr;
  std::string id;
  if (snd_ctl_card_info_malloc(&info) == 0) {
    if (snd_ctl_card_info(ctl, info) == 0) id = snd_ctl_card_info_get_id(info);
    snd_ctl_card_info_free(info);
  }
  snd_ctl_close(ctl);
  return CardIdForm(DeviceName, id);
}

SetUpResult ConfigureCaptureDevice(const std::string& DeviceName, uint32_t SampleRate,
                                   uint32_t SampleBytes, snd_pcm_hw_params_t* params,
                                   CaptureDevice* device) {
  SetUpResult result;
  device->handle.reset();
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, DeviceName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (rc < 0) return {SetUpStep::kOpen, rc, 0};
  device->handle.reset(pcm);
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
  if (rc < 0) result = {SetUpStep::kFormat, rc, 0};
  // Both device channels are always captured; the channel mode only decides
  // what is written. A device that cannot give two is refused below, once
  // the configuration shows what it gives instead.
  if (result.failed == SetUpStep::kDone) {
    snd_pcm_hw_params_set_channels(pcm, params, 2);
    unsigned int rate = SampleRate;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_uframes_t periodFrames = kRequestedPeriodFrames;
    snd_pcm_hw_params_set_period_size_near(pcm, params, &periodFrames, nullptr);
    snd_pcm_uframes_t bufferFrames = kRequestedBufferFrames;
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferFrames);
    rc = snd_pcm_hw_params(pcm, params);
    unsigned int channels = 0;
    if (rc < 0) {
      result = {SetUpStep::kParameters, rc, 0};
    } else if (snd_pcm_hw_params_get_channels(params, &channels) < 0 || channels != 2) {
      result = {SetUpStep::kChannels, 0, channels};
    } else {
      device->PeriodFrames = periodFrames;
      if (snd_pcm_hw_params_get_buffer_size(params, &bufferFrames) < 0) bufferFrames = 0;
      device->bufferFrames = bufferFrames;
      if (snd_pcm_hw_params_get_rate(params, &rate, nullptr) < 0) rate = SampleRate;
      device->grantedRate = rate;
    }
  }
  // The refusal reports read `params`, which outlives the handle.
  if (result.failed != SetUpStep::kDone) device->handle.reset();
  return result;
}

bool SameGrant(const CaptureDevice& first, const CaptureDevice& again) {
  return first.grantedRate == again.grantedRate && first.PeriodFrames == again.PeriodFrames &&
         first.interleaved == again.interleaved;
}

bool SetUpCaptureDevice(const std::string& DeviceName, uint32_t SampleRate, uint32_t SampleBytes,
                        CaptureDevice* device) {
  std::vector<unsigned char> storage(snd_pcm_hw_params_sizeof(), 0);
  auto* params = reinterpret_cast<snd_pcm_hw_params_t*>(storage.data());
  const SetUpResult r = ConfigureCaptureDevice(DeviceName, SampleRate, SampleBytes, params, device);
  // Hints name a card by its id: its number changes between plug-ins and boots.
  switch (r.failed) {
    case SetUpStep::kDone:
      return true;
    case SetUpStep::kOpen:
      std::fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(r.code));
      return false;
    case SetUpStep::kFormat:
      std::fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(r.code));
      ReportOfferedFormats(ResolveCardName(DeviceName), params, SampleBytes);
      return false;
    case SetUpStep::kParameters:
      ReportRefusedParameters(params);
      return false;
    case SetUpStep::kChannels:
      ReportChannelCount(ResolveCardName(DeviceName), r.channels);
      return false;
  }
  return false;
}

int ResumeStream(snd_pcm_t* pcm) {
  const int rc = snd_pcm_resume(pcm);
  // Some plugins answer 0 whether or not the stream came back: its state says.
  if (rc == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_SUSPENDED) return -EAGAIN;
  return rc;
}
