// A private ALSA world for tests: a configuration that knows the test capture
// device (tests/alsa/pcm_zelmtest.c) and the pcm definitions a test needs,
// and an empty HOME so no user configuration leaks in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AlsaEnv {
  std::string dir;         // temporary folder holding everything below; empty on failure
  std::string home;        // an empty folder: the value for HOME
  std::string configFile;  // dir + "/test.conf"
  std::string configPath;  // the value for ALSA_CONFIG_PATH: SystemAlsaConfig(), then configFile
};

// The system's alsa.conf, or $ZELM_TEST_SYSTEM_ALSA_CONF when set: a program
// built for another machine may not load the host's alsa.conf, whose hooks
// load plugins built for the host (see `bash dev test-arm64`).
std::string SystemAlsaConfig();

// Creates a fresh temporary folder (under $TMPDIR or /tmp) and writes
// test.conf: the `pcm_type.zelmtest` entry that loads the test device by
// absolute path, followed by `pcmDefinitions` verbatim, e.g.
//   pcm.tp { type zelmtest overrun_periods "3" }
AlsaEnv MakeAlsaEnv(const std::string& pcmDefinitions);

// Appends more definitions to env's test.conf, e.g. a file-plugin pcm for an
// input file written into env.dir after MakeAlsaEnv.
bool AppendToAlsaConfig(const AlsaEnv& env, const std::string& pcmDefinitions);

// "ALSA_CONFIG_PATH=..." and "HOME=..." for a child process's environment.
std::vector<std::string> AlsaEnvVariables(const AlsaEnv& env);

// Points this process at `env` and drops libasound's cached configuration,
// so the next ALSA call reads it (and unsets XDG_CONFIG_HOME, which alsa.conf
// also reads). Close every PCM handle first.
void UseAlsaEnvInProcess(const AlsaEnv& env);

// Deletes the folder and everything in it.
void RemoveAlsaEnv(const AlsaEnv& env);

// A capture pcm definition reading raw interleaved frames from `rawPath`
// through ALSA's file plugin; the format, rate and channels are whatever the
// reader negotiates, so write the file to match (WriteRawInput).
std::string FileInputPcm(const std::string& pcmName, const std::string& rawPath);

// Interleaves channels[0][i], channels[1][i], ... into little-endian samples
// of `sampleBytes` bytes (2 or 3), each value wrapped to that width as two's
// complement. All channels must be equally long.
std::vector<uint8_t> RawInterleaved(const std::vector<std::vector<int32_t>>& channels,
                                    unsigned sampleBytes);
bool WriteRawInput(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                   unsigned sampleBytes);

// The test device's "ramp" signal: the signed sample of device frame `frame`
// on channel `channel` (0 .. channels-1) of a device with `channels`
// channels, for `sampleBytes` 2 or 3 (16 or 24 bits).
int32_t RampSample(uint64_t frame, unsigned channel, unsigned sampleBytes, unsigned channels = 2);
// The bytes of `frames` consecutive ramp samples of one channel, starting at
// device frame `firstFrame`: one channel area of a non-interleaved read, or
// the data of a mono file.
std::vector<uint8_t> RampBytes(uint64_t firstFrame, size_t frames, unsigned channel,
                               unsigned sampleBytes, unsigned channels = 2);

// The device's four-byte formats, each holding the 24-bit ramp.
enum class FourBytes {
  kS32_LE,  // the 24-bit value in the upper three bytes, the low byte zero
  kS24_LE,  // the 24-bit value sign-extended
};
std::vector<uint8_t> RampBytes(uint64_t firstFrame, size_t frames, unsigned channel,
                               FourBytes format, unsigned channels = 2);
