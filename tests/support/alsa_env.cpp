#include "support/alsa_env.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

std::string SystemAlsaConfig() {
  const char* conf = std::getenv("ZELM_TEST_SYSTEM_ALSA_CONF");
  return conf != nullptr && *conf != '\0' ? conf : "/usr/share/alsa/alsa.conf";
}

AlsaEnv MakeAlsaEnv(const std::string& pcmDefinitions) {
  AlsaEnv env;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelm-alsa-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return env;
  std::string dir = buf.data();
  std::string home = dir + "/home";
  std::string configFile = dir + "/test.conf";
  std::error_code ec;
  std::filesystem::create_directory(home, ec);
  std::ofstream out(configFile);
  out << "pcm_type.zelmtest { lib \"" << ZELM_TEST_PLUGIN << "\" }\n" << pcmDefinitions << "\n";
  out.close();
  if (ec || !out) {
    std::filesystem::remove_all(dir, ec);
    return env;
  }
  env.dir = dir;
  env.home = home;
  env.configFile = configFile;
  env.configPath = SystemAlsaConfig() + ":" + configFile;
  return env;
}

bool AppendToAlsaConfig(const AlsaEnv& env, const std::string& pcmDefinitions) {
  std::ofstream out(env.configFile, std::ios::app);
  out << pcmDefinitions << "\n";
  return static_cast<bool>(out);
}

std::vector<std::string> AlsaEnvVariables(const AlsaEnv& env) {
  return {"ALSA_CONFIG_PATH=" + env.configPath, "HOME=" + env.home};
}

void UseAlsaEnvInProcess(const AlsaEnv& env) {
  setenv("ALSA_CONFIG_PATH", env.configPath.c_str(), 1);
  setenv("HOME", env.home.c_str(), 1);
  // alsa.conf also reads $XDG_CONFIG_HOME/alsa/asoundrc.
  unsetenv("XDG_CONFIG_HOME");
  snd_config_update_free_global();
}

void RemoveAlsaEnv(const AlsaEnv& env) {
  if (env.dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(env.dir, ec);
}

std::string FileInputPcm(const std::string& pcmName, const std::string& rawPath) {
  return "pcm." + pcmName + " { type file slave.pcm \"null\" file \"/dev/null\" infile \"" +
         rawPath + "\" format \"raw\" }\n";
}

std::vector<uint8_t> RawInterleaved(const std::vector<std::vector<int32_t>>& channels,
                                    unsigned sampleBytes) {
  std::vector<uint8_t> bytes;
  if (channels.empty()) return bytes;
  size_t frames = channels[0].size();
  for (const auto& ch : channels)
    if (ch.size() != frames) throw std::invalid_argument("channels differ in length");
  bytes.reserve(frames * channels.size() * sampleBytes);
  for (size_t i = 0; i < frames; ++i)
    for (const auto& ch : channels) {
      uint32_t v = static_cast<uint32_t>(ch[i]);
      for (unsigned b = 0; b < sampleBytes; ++b)
        bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
  return bytes;
}

bool WriteRawInput(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                   unsigned sampleBytes) {
  std::vector<uint8_t> bytes = RawInterleaved(channels, sampleBytes);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int32_t RampSample(uint64_t frame, unsigned channel, unsigned sampleBytes, unsigned channels) {
  unsigned bits = 8 * sampleBytes;
  uint64_t raw = ((channels * frame + channel) * 4099u + 1) & ((uint64_t{1} << bits) - 1);
  uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int32_t>(static_cast<int64_t>(raw ^ sign) - static_cast<int64_t>(sign));
}

std::vector<uint8_t> RampBytes(uint64_t firstFrame, size_t frames, unsigned channel,
                               unsigned sampleBytes, unsigned channels) {
  std::vector<uint8_t> bytes;
  bytes.reserve(frames * sampleBytes);
  for (size_t i = 0; i < frames; ++i) {
    uint32_t v = static_cast<uint32_t>(RampSample(firstFrame + i, channel, sampleBytes, channels));
    for (unsigned b = 0; b < sampleBytes; ++b) bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  return bytes;
}

std::vector<uint8_t> RampBytes(uint64_t firstFrame, size_t frames, unsigned channel,
                               FourBytes format, unsigned channels) {
  std::vector<uint8_t> bytes;
  bytes.reserve(frames * 4);
  for (size_t i = 0; i < frames; ++i) {
    uint32_t v = static_cast<uint32_t>(RampSample(firstFrame + i, channel, 3, channels));
    if (format == FourBytes::kS32_LE) v <<= 8;
    for (unsigned b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  return bytes;
}
