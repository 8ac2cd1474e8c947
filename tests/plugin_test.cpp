// The test capture device: the data it delivers, the configurations it
// refuses, and its overrun, unplug and pacing behaviour, all through the real
// libasound in the ways the recorder and its tests use it.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/alsa_env.h"

namespace {

const char* const kDevices = R"(
pcm.tp { type zelmtest }
pcm.tpplug { type plug slave.pcm "tp" }
pcm.tp16 { type zelmtest formats "S16_LE" }
pcm.tp48 { type zelmtest rate 48000 }
pcm.tpinter { type zelmtest access "interleaved" }
pcm.tpinterrt { type zelmtest access "interleaved" realtime true }
pcm.tpinterplug { type plug slave.pcm "tpinterrt" }
pcm.tp24plug { type plug slave.pcm { type zelmtest formats "S24_3LE" } }
pcm.tpfail { type zelmtest fail_hw_params true }
pcm.tpperiod { type zelmtest formats "S24_3LE" period_frames 1000 }
pcm.tpxrun { type zelmtest overrun_periods "0,3,7" }
pcm.tpxrunplug { type plug slave.pcm { type zelmtest formats "S16_LE" overrun_periods "1,3" } }
pcm.tplost { type zelmtest lost_after 2 }
pcm.tprt { type zelmtest realtime true }
pcm.tprtxrun { type zelmtest realtime true overrun_periods "1" }
pcm.tprtmany { type zelmtest realtime true formats "S16_LE" period_frames 1024
               overrun_periods "4,9,10,17,30" }
pcm.tphw { type zelmtest hardware true formats "S24_3LE" period_frames 1024 }
pcm.tpfreeze { type zelmtest freeze_after 2 formats "S24_3LE" period_frames 1024 }
pcm.tprtfreeze { type zelmtest realtime true freeze_after 2 formats "S24_3LE" period_frames 1024 }
pcm.tphwfreeze { type zelmtest hardware true freeze_after 2 formats "S24_3LE" period_frames 1024 }
pcm.tpsine { type zelmtest signal "sine" freq 1000 level1 -6 level2 -12 }
pcm.tpdemo { type zelmtest signal "demo" cycle 0.5 }
pcm.tpsilence { type zelmtest signal "silence" }
pcm.tp8 { type zelmtest channels 8 }
pcm.tp1 { type zelmtest channels 1 }
pcm.tps32 { type zelmtest formats "S32_LE" }
pcm.tps32plug { type plug slave.pcm "tps32" }
pcm.tps24 { type zelmtest formats "S24_LE" }
pcm.tpusb { type zelmtest channels 8 formats "S32_LE" }
pcm.tpperiod8 { type zelmtest channels 8 formats "S32_LE" period_frames 1000 }
pcm.tpsine4 { type zelmtest signal "sine" channels 4 formats "S24_LE" }
pcm.tpbad { type zelmtest colour "blue" }
pcm.tpbadperiod { type zelmtest period_frames 1000 }
pcm.tpbadperiod4 { type zelmtest formats "S32_LE,S24_LE" period_frames 1000 }
pcm.tpbadformat { type zelmtest formats "S24_3LE,S20_LE" }
pcm.tpnochannels { type zelmtest channels 0 }
pcm.tp33 { type zelmtest channels 33 }
pcm.tpsuspend { type zelmtest hardware true formats "S24_3LE" period_frames 1024
                suspend_after 2 suspend_ms 300 }
)";

// A device that is away for a while: what it keeps across the close lives
// in the test's own folder.
std::string AwayDevices(const std::string& dir) {
  return "pcm.tpback { type zelmtest hardware true formats \"S24_3LE\" period_frames 1024\n"
         "  lost_after 2 lost_for_ms 300 state_file \"" +
         dir + "/tpback.state\" }\n";
}

class PluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    env_ = MakeAlsaEnv(kDevices);
    ASSERT_FALSE(env_.dir.empty());
    ASSERT_TRUE(AppendToAlsaConfig(env_, AwayDevices(env_.dir)));
    UseAlsaEnvInProcess(env_);
  }
  static void TearDownTestSuite() {
    snd_config_update_free_global();
    RemoveAlsaEnv(env_);
  }
  void TearDown() override {
    if (pcm_) snd_pcm_close(pcm_);
  }

  // The recorder's configuration: 2 channels (or `channels`), the nearest
  // rate, period nearest 4096 and buffer nearest 32768 frames. Returns
  // snd_pcm_hw_params' result; period_ and buffer_ receive what was granted.
  int Configure(const char* name, snd_pcm_access_t access, snd_pcm_format_t format,
                unsigned rate = 48000, int mode = 0, unsigned channels = 2) {
    channels_ = channels;
    int err = snd_pcm_open(&pcm_, name, SND_PCM_STREAM_CAPTURE, mode);
    if (err < 0) {
      pcm_ = nullptr;
      return err;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm_, hw);
    snd_pcm_hw_params_set_access(pcm_, hw, access);
    snd_pcm_hw_params_set_format(pcm_, hw, format);
    snd_pcm_hw_params_set_channels(pcm_, hw, channels);
    snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr);
    period_ = 4096;
    snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period_, nullptr);
    buffer_ = 32768;
    snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &buffer_);
    err = snd_pcm_hw_params(pcm_, hw);
    snd_pcm_hw_params_get_period_size(hw, &period_, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer_);
    return err;
  }

  // One recorder-style read of `frames` frames into per-channel byte areas,
  // one for each configured channel.
  snd_pcm_sframes_t ReadN(size_t frames, unsigned sampleBytes, std::vector<uint8_t>* area) {
    std::vector<void*> bufs;
    for (unsigned ch = 0; ch < channels_; ++ch) {
      area[ch].assign(frames * sampleBytes, 0xEE);
      bufs.push_back(area[ch].data());
    }
    return snd_pcm_readn(pcm_, bufs.data(), frames);
  }

  // The recorder's pass: poke the device, wait 1 ms, then read a period.
  snd_pcm_sframes_t Pass(unsigned sampleBytes, std::vector<uint8_t>* area) {
    snd_pcm_avail_update(pcm_);
    snd_pcm_wait(pcm_, 1);
    return ReadN(period_, sampleBytes, area);
  }

  // A poll-driven reader's wait: poll() on the device's descriptors, then ask
  // libasound what woke it. Returns the first non-zero revents, or 0 once
  // `ms` milliseconds pass without one; *wakes counts the descriptors' wake-ups.
  unsigned short PollDevice(int ms, int* wakes = nullptr) {
    std::vector<pollfd> fds(static_cast<size_t>(snd_pcm_poll_descriptors_count(pcm_)));
    snd_pcm_poll_descriptors(pcm_, fds.data(), static_cast<unsigned>(fds.size()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0)
        return 0;
      if (wakes) ++*wakes;
      unsigned short revents = 0;
      snd_pcm_poll_descriptors_revents(pcm_, fds.data(), static_cast<unsigned>(fds.size()),
                                       &revents);
      if (revents) return revents;
    }
  }

  static AlsaEnv env_;
  snd_pcm_t* pcm_ = nullptr;
  unsigned channels_ = 2;
  snd_pcm_uframes_t period_ = 0;
  snd_pcm_uframes_t buffer_ = 0;
};

AlsaEnv PluginTest::env_;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int32_t Sample16(const std::vector<uint8_t>& bytes, size_t i) {
  return static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

// Spins on every core until destroyed, so a realtime reader gets descheduled
// at awkward moments, as on a busy machine.
class CpuLoad {
 public:
  CpuLoad() {
    unsigned n = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i)
      threads_.emplace_back([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
  }
  ~CpuLoad() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// Aborts the test program if still alive after `limit`: a blocking read that
// never returns would otherwise stall the whole suite without a word.
class Watchdog {
 public:
  Watchdog(const char* what, std::chrono::seconds limit)
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "%s: still blocked after %lld s\n", what,
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

// Both S32_LE channel areas hold the ramp of `sampleBytes`-byte samples from
// `firstFrame` on, widened by plug.
bool HoldsWidenedRamp(const std::vector<uint8_t> area[2], uint64_t firstFrame,
                      unsigned sampleBytes) {
  for (unsigned ch = 0; ch < 2; ++ch)
    for (size_t i = 0; i < area[ch].size() / 4; ++i) {
      int32_t v;
      std::memcpy(&v, &area[ch][4 * i], 4);
      if (v >> (32 - 8 * sampleBytes) != RampSample(firstFrame + i, ch, sampleBytes)) return false;
    }
  return true;
}

// ---- Data ------------------------------------------------------------------

struct DataCase {
  snd_pcm_format_t format;
  unsigned sampleBytes;
  snd_pcm_access_t access;
  const char* device;
  unsigned channels = 2;
};

void PrintTo(const DataCase& c, std::ostream* os) {
  *os << c.device << ", " << c.channels << " channels, " << snd_pcm_format_name(c.format) << ", "
      << snd_pcm_access_name(c.access);
}

// The ramp as the device stores it in the case's format.
std::vector<uint8_t> ExpectedRamp(const DataCase& c, uint64_t firstFrame, size_t frames,
                                  unsigned channel) {
  if (c.format == SND_PCM_FORMAT_S32_LE)
    return RampBytes(firstFrame, frames, channel, FourBytes::kS32_LE, c.channels);
  if (c.format == SND_PCM_FORMAT_S24_LE)
    return RampBytes(firstFrame, frames, channel, FourBytes::kS24_LE, c.channels);
  return RampBytes(firstFrame, frames, channel, c.sampleBytes, c.channels);
}

class PluginDataTest : public PluginTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(PluginDataTest, DeliversTheRampFrameByFrame) {
  const DataCase& c = GetParam();
  ASSERT_EQ(Configure(c.device, c.access, c.format, 48000, 0, c.channels), 0);
  EXPECT_EQ(period_, 4096u);
  EXPECT_EQ(buffer_, 32768u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  const size_t frames = period_;
  const size_t frameBytes = c.channels * c.sampleBytes;
  for (uint64_t period = 0; period < 3; ++period) {
    std::vector<std::vector<uint8_t>> area(c.channels);
    if (c.access == SND_PCM_ACCESS_RW_NONINTERLEAVED) {
      ASSERT_EQ(Pass(c.sampleBytes, area.data()), static_cast<snd_pcm_sframes_t>(frames));
    } else {
      std::vector<uint8_t> inter(frames * frameBytes, 0xEE);
      ASSERT_EQ(snd_pcm_readi(pcm_, inter.data(), frames), static_cast<snd_pcm_sframes_t>(frames));
      for (size_t i = 0; i < frames; ++i)
        for (unsigned ch = 0; ch < c.channels; ++ch) {
          auto src = inter.begin() + static_cast<long>(i * frameBytes + ch * c.sampleBytes);
          area[ch].insert(area[ch].end(), src, src + c.sampleBytes);
        }
    }
    for (unsigned ch = 0; ch < c.channels; ++ch)
      ASSERT_EQ(area[ch], ExpectedRamp(c, period * frames, frames, ch))
          << "period " << period << " channel " << ch;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FormatsAndAccess, PluginDataTest,
    ::testing::Values(
        DataCase{SND_PCM_FORMAT_S16_LE, 2, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tp"},
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tp"},
        DataCase{SND_PCM_FORMAT_S16_LE, 2, SND_PCM_ACCESS_RW_INTERLEAVED, "tp"},
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_INTERLEAVED, "tp"},
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tpplug"},
        DataCase{SND_PCM_FORMAT_S16_LE, 2, SND_PCM_ACCESS_RW_INTERLEAVED, "tpplug"},
        // plug turns the interleaved-only device into non-interleaved reads
        // (through its mmap emulation, which needs the device paced)
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tpinterplug"}));

INSTANTIATE_TEST_SUITE_P(
    ChannelCounts, PluginDataTest,
    ::testing::Values(
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tp8", 8},
        DataCase{SND_PCM_FORMAT_S16_LE, 2, SND_PCM_ACCESS_RW_INTERLEAVED, "tp8", 8},
        DataCase{SND_PCM_FORMAT_S16_LE, 2, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tp1", 1},
        DataCase{SND_PCM_FORMAT_S24_3LE, 3, SND_PCM_ACCESS_RW_INTERLEAVED, "tp1", 1},
        // eight inputs of a USB interface
        DataCase{SND_PCM_FORMAT_S32_LE, 4, SND_PCM_ACCESS_RW_INTERLEAVED, "tpusb", 8}));

INSTANTIATE_TEST_SUITE_P(
    FourByteFormats, PluginDataTest,
    ::testing::Values(DataCase{SND_PCM_FORMAT_S32_LE, 4, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tps32"},
                      DataCase{SND_PCM_FORMAT_S32_LE, 4, SND_PCM_ACCESS_RW_INTERLEAVED, "tps32"},
                      DataCase{SND_PCM_FORMAT_S24_LE, 4, SND_PCM_ACCESS_RW_NONINTERLEAVED, "tps24"},
                      DataCase{SND_PCM_FORMAT_S24_LE, 4, SND_PCM_ACCESS_RW_INTERLEAVED, "tps24"}));

// The recipe for an interface that offers S32_LE only: plug hands out its top
// three bytes as S24_3LE, which is the 24-bit ramp exactly.
INSTANTIATE_TEST_SUITE_P(PlugFromS32, PluginDataTest,
                         ::testing::Values(DataCase{SND_PCM_FORMAT_S24_3LE, 3,
                                                    SND_PCM_ACCESS_RW_NONINTERLEAVED,
                                                    "tps32plug"}));

TEST_F(PluginTest, ConversionsThroughPlugSeeEveryFrameOnce) {
  // plug converts S24_3LE to S32_LE by reading the device through mmap.
  ASSERT_EQ(Configure("tp24plug", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S32_LE), 0);
  ASSERT_EQ(period_, 4096u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  for (uint64_t period = 0; period < 12; ++period) {
    std::vector<uint8_t> area[2];
    ASSERT_EQ(Pass(4, area), 4096);
    EXPECT_TRUE(HoldsWidenedRamp(area, period * 4096, 3)) << "period " << period;
  }
}

TEST(RampSignal, ExercisesEveryByteAndBothSigns) {
  // The ramp has to catch byte-order and channel mix-ups: within one period
  // every byte position of a 24-bit sample takes many values, negative
  // samples occur, and the channels never agree.
  std::vector<bool> seen[3] = {std::vector<bool>(256), std::vector<bool>(256),
                               std::vector<bool>(256)};
  bool negative = false;
  for (uint64_t n = 0; n < 4096; ++n) {
    EXPECT_NE(RampSample(n, 0, 3), RampSample(n, 1, 3));
    for (unsigned c = 0; c < 2; ++c) {
      int32_t v = RampSample(n, c, 3);
      negative = negative || v < 0;
      for (int b = 0; b < 3; ++b) seen[b][(static_cast<uint32_t>(v) >> (8 * b)) & 0xFF] = true;
    }
  }
  EXPECT_TRUE(negative);
  for (int b = 0; b < 3; ++b)
    EXPECT_EQ(std::count(seen[b].begin(), seen[b].end(), true), 256) << "byte " << b;
  EXPECT_EQ(RampSample(0, 0, 2), 1);
  EXPECT_EQ(RampSample(0, 1, 3), 4100);
  EXPECT_EQ(RampSample(4, 0, 2), 8 * 4099 + 1 - 65536);
}

TEST_F(PluginTest, SineHasTheConfiguredPeaks) {
  ASSERT_EQ(Configure("tpsine", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), 0);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(ReadN(4800, 2, area), 4800);
  for (unsigned ch = 0; ch < 2; ++ch) {
    int32_t peak = 0;
    for (size_t i = 0; i < 4800; ++i) peak = std::max(peak, std::abs(Sample16(area[ch], i)));
    double expected = 32768.0 * std::pow(10.0, (ch == 0 ? -6.0 : -12.0) / 20.0);
    EXPECT_NEAR(peak, expected, 1.0) << "channel " << ch;
  }
  // 1000 Hz at 48000 Hz: one cycle every 48 frames, starting at zero.
  EXPECT_EQ(Sample16(area[0], 0), 0);
  EXPECT_EQ(Sample16(area[0], 12),
            static_cast<int32_t>(std::lround(32768.0 * std::pow(10.0, -0.3))));
}

TEST_F(PluginTest, SineGoesOnDownwardOnFurtherChannelsAt24Bits) {
  // level1 -6, level2 -12, then 1 dB less per channel; 24-bit full scale in
  // four bytes.
  ASSERT_EQ(
      Configure("tpsine4", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_LE, 48000, 0, 4),
      0);
  std::vector<uint8_t> area[4];
  ASSERT_EQ(ReadN(4800, 4, area), 4800);
  const double levels[] = {-6, -12, -13, -14};
  for (unsigned ch = 0; ch < 4; ++ch) {
    int32_t peak = 0;
    for (size_t i = 0; i < 4800; ++i) {
      int32_t v;
      std::memcpy(&v, &area[ch][4 * i], 4);
      peak = std::max(peak, std::abs(v));
    }
    EXPECT_NEAR(peak, 8388608.0 * std::pow(10.0, levels[ch] / 20.0), 1.0) << "channel " << ch;
  }
}

TEST_F(PluginTest, DemoClipsChannelOneOnlyAtTheTopOfItsCycle) {
  ASSERT_EQ(Configure("tpdemo", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), 0);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(ReadN(24000, 2, area), 24000);  // one 0.5 s cycle
  auto peak = [&](unsigned ch, size_t from, size_t to) {
    int32_t p = 0;
    for (size_t i = from; i < to; ++i) p = std::max(p, std::abs(Sample16(area[ch], i)));
    return p;
  };
  EXPECT_EQ(peak(0, 0, 24000), 32768);
  EXPECT_LT(peak(1, 0, 24000), 32767);
  EXPECT_GT(peak(1, 0, 24000), 32768 / 2);
  EXPECT_LT(peak(0, 0, 1000), 32768 / 50);  // about -40 dBFS at the start
}

TEST_F(PluginTest, SilenceIsZero) {
  ASSERT_EQ(Configure("tpsilence", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE), 0);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(ReadN(4096, 3, area), 4096);
  EXPECT_EQ(area[0], std::vector<uint8_t>(4096 * 3, 0));
  EXPECT_EQ(area[1], std::vector<uint8_t>(4096 * 3, 0));
}

// ---- Configurations the device refuses ---------------------------------------

TEST_F(PluginTest, FixedRateRefusesOthersAndGrantsItsOwnAsNearest) {
  ASSERT_EQ(snd_pcm_open(&pcm_, "tp48", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_rate(pcm_, hw, 44100, 0), 0);
  unsigned rate = 44100;
  EXPECT_EQ(snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr), 0);
  EXPECT_EQ(rate, 48000u);
  snd_pcm_close(pcm_);
  pcm_ = nullptr;
  ASSERT_EQ(Configure("tp48", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE, 96000), 0);
  unsigned granted = 0;
  snd_pcm_hw_params_t* cur;
  snd_pcm_hw_params_alloca(&cur);
  snd_pcm_hw_params_current(pcm_, cur);
  snd_pcm_hw_params_get_rate(cur, &granted, nullptr);
  EXPECT_EQ(granted, 48000u);
}

TEST_F(PluginTest, OffersOnlyWhatItsOptionsAllow) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);

  ASSERT_EQ(snd_pcm_open(&pcm_, "tp", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_channels(pcm_, hw, 1), 0);
  EXPECT_LT(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S32_LE), 0);
  EXPECT_LT(snd_pcm_hw_params_set_rate(pcm_, hw, 32000, 0), 0);
  EXPECT_EQ(snd_pcm_hw_params_set_rate(pcm_, hw, 88200, 0), 0);
  snd_pcm_close(pcm_);

  ASSERT_EQ(snd_pcm_open(&pcm_, "tp8", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_channels(pcm_, hw, 2), 0);
  EXPECT_LT(snd_pcm_hw_params_set_channels(pcm_, hw, 7), 0);
  EXPECT_LT(snd_pcm_hw_params_set_channels(pcm_, hw, 9), 0);
  EXPECT_EQ(snd_pcm_hw_params_set_channels(pcm_, hw, 8), 0);
  snd_pcm_close(pcm_);

  ASSERT_EQ(snd_pcm_open(&pcm_, "tps32", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S24_3LE), 0);
  EXPECT_LT(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S24_LE), 0);
  EXPECT_EQ(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S32_LE), 0);
  snd_pcm_close(pcm_);

  ASSERT_EQ(snd_pcm_open(&pcm_, "tpinter", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_NONINTERLEAVED), 0);
  EXPECT_EQ(snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED), 0);
  snd_pcm_close(pcm_);

  ASSERT_EQ(snd_pcm_open(&pcm_, "tp16", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_any(pcm_, hw);
  EXPECT_LT(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S24_3LE), 0);
  EXPECT_EQ(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE), 0);
  snd_pcm_close(pcm_);
  pcm_ = nullptr;

  snd_pcm_t* playback = nullptr;
  EXPECT_EQ(snd_pcm_open(&playback, "tp", SND_PCM_STREAM_PLAYBACK, 0), -EINVAL);
  EXPECT_LT(snd_pcm_open(&playback, "tpbad", SND_PCM_STREAM_CAPTURE, 0), 0);
  for (const char* bad : {"tpbadperiod", "tpbadperiod4", "tpbadformat", "tpnochannels", "tp33"})
    EXPECT_LT(snd_pcm_open(&playback, bad, SND_PCM_STREAM_CAPTURE, 0), 0) << bad;
}

TEST_F(PluginTest, FailingHwParamsFailsTheConfiguration) {
  EXPECT_EQ(Configure("tpfail", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), -EINVAL);
}

TEST_F(PluginTest, FixedPeriodIsGrantedInsteadOf4096) {
  ASSERT_EQ(Configure("tpperiod", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE), 0);
  EXPECT_EQ(period_, 1000u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(Pass(3, area), 1000);
  ASSERT_EQ(Pass(3, area), 1000);
  EXPECT_EQ(area[1], RampBytes(1000, 1000, 1, 3));
  snd_pcm_close(pcm_);
  pcm_ = nullptr;

  // The byte limits follow the channel count and sample size.
  ASSERT_EQ(
      Configure("tpperiod8", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S32_LE, 48000, 0, 8),
      0);
  EXPECT_EQ(period_, 1000u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  std::vector<uint8_t> area8[8];
  ASSERT_EQ(Pass(4, area8), 1000);
  ASSERT_EQ(Pass(4, area8), 1000);
  EXPECT_EQ(area8[7], RampBytes(1000, 1000, 7, FourBytes::kS32_LE, 8));
}

// ---- Overruns and a lost device ------------------------------------------------

TEST_F(PluginTest, OverrunPeriodsFailWithEpipeAndAreSkipped) {
  ASSERT_EQ(Configure("tpxrun", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), 0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  // Periods 0, 3 and 7 are lost; the recorder prepares after each -EPIPE.
  const int lost[] = {0, 3, 7};
  for (uint64_t period = 0; period < 9; ++period) {
    std::vector<uint8_t> area[2];
    snd_pcm_sframes_t got = Pass(2, area);
    if (std::find(std::begin(lost), std::end(lost), period) != std::end(lost)) {
      ASSERT_EQ(got, -EPIPE) << "period " << period;
      EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_XRUN);
      ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
      continue;
    }
    ASSERT_EQ(got, 4096) << "period " << period;
    EXPECT_EQ(area[0], RampBytes(period * 4096, 4096, 0, 2)) << "period " << period;
    EXPECT_EQ(area[1], RampBytes(period * 4096, 4096, 1, 2)) << "period " << period;
  }
}

TEST_F(PluginTest, OverrunsSurviveAPlugConversion) {
  // S16_LE widened to S32_LE: plug reads the device through mmap.
  ASSERT_EQ(Configure("tpxrunplug", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S32_LE), 0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  for (uint64_t period = 0; period < 6; ++period) {
    std::vector<uint8_t> area[2];
    snd_pcm_sframes_t got = Pass(4, area);
    if (period == 1 || period == 3) {
      ASSERT_EQ(got, -EPIPE) << "period " << period;
      ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
      continue;
    }
    ASSERT_EQ(got, 4096) << "period " << period;
    EXPECT_TRUE(HoldsWidenedRamp(area, period * 4096, 2)) << "period " << period;
  }
}

TEST_F(PluginTest, LostDeviceReportsEnodevForGood) {
  ASSERT_EQ(Configure("tplost", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), 0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(Pass(2, area), 4096);
  ASSERT_EQ(Pass(2, area), 4096);
  EXPECT_EQ(Pass(2, area), -ENODEV);
  EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_DISCONNECTED);
  EXPECT_EQ(snd_pcm_prepare(pcm_), -ENODEV);
  EXPECT_EQ(Pass(2, area), -ENODEV);
  EXPECT_EQ(snd_pcm_drain(pcm_), -ENODEV);  // and does not wait for data that never comes
}

// A card unplugged for 0.3 s: refused while away, then opened with the same
// parameters, its clock having run on, and never lost again.
TEST_F(PluginTest, ALostDeviceComesBackOnTheSameClock) {
  ASSERT_EQ(Configure("tpback", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE, 96000),
            0);
  ASSERT_EQ(period_, 1024u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  std::vector<uint8_t> area[2];
  const auto beforeStart = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadN(2 * period_, 3, area), static_cast<snd_pcm_sframes_t>(2 * period_));
  const auto afterStart = std::chrono::steady_clock::now();
  const auto lost = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadN(period_, 3, area), -ENODEV);
  snd_pcm_close(pcm_);
  pcm_ = nullptr;

  Watchdog watchdog("a device that comes back", std::chrono::seconds(10));
  int refused = 0;
  while (Configure("tpback", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE, 96000) ==
         -ENODEV)
    ++refused;
  EXPECT_GT(refused, 0);
  EXPECT_GE(Seconds(lost), 0.3);
  ASSERT_NE(pcm_, nullptr);
  ASSERT_EQ(period_, 1024u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  const auto beforeRestart = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadN(4 * period_, 3, area), static_cast<snd_pcm_sframes_t>(4 * period_));
  const auto afterRestart = std::chrono::steady_clock::now();

  auto frames = [](std::chrono::steady_clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration<double>(d).count() * 96000);
  };
  uint64_t first = frames(beforeRestart - afterStart);
  const uint64_t last = frames(afterRestart - beforeStart) + 1;
  const std::vector<uint8_t> head(area[0].begin(), area[0].begin() + 3);
  while (first <= last && RampBytes(first, 1, 0, 3) != head) ++first;
  ASSERT_LE(first, last) << "the device came back on another clock";
  EXPECT_GE(first, 2 * period_ + 28800);  // 0.3 s away
  EXPECT_EQ(area[1], RampBytes(first, 4 * period_, 1, 3));
}

// Suspended for 0.3 s: -ESTRPIPE, a resume that cannot work before the end
// leaves it SUSPENDED, the descriptor wakes a poller at the end, and the
// resumed stream goes on at its clock's frame.
TEST_F(PluginTest, ASuspendedDeviceResumesAfterItsTimeOnItsClock) {
  ASSERT_EQ(Configure("tpsuspend", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE,
                      96000, SND_PCM_NONBLOCK),
            0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  const auto beforeStart = std::chrono::steady_clock::now();
  ASSERT_EQ(snd_pcm_start(pcm_), 0);
  std::vector<uint8_t> area[2];
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(PollDevice(1000) & POLLIN);
    ASSERT_EQ(ReadN(period_, 3, area), static_cast<snd_pcm_sframes_t>(period_));
  }
  ASSERT_TRUE(PollDevice(1000) & POLLERR);
  const auto suspended = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadN(period_, 3, area), -ESTRPIPE);
  EXPECT_EQ(snd_pcm_resume(pcm_), 0);  // ioplug's answer whatever happened
  EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_SUSPENDED);
  ASSERT_TRUE(PollDevice(5000) & POLLERR);
  EXPECT_GE(Seconds(suspended), 0.3);
  EXPECT_EQ(snd_pcm_resume(pcm_), 0);
  EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_RUNNING);
  ASSERT_TRUE(PollDevice(1000) & POLLIN);
  ASSERT_EQ(ReadN(period_, 3, area), static_cast<snd_pcm_sframes_t>(period_));
  const auto afterResume = std::chrono::steady_clock::now();

  const uint64_t last =
      static_cast<uint64_t>(std::chrono::duration<double>(afterResume - beforeStart).count() *
                            96000) + 1;
  uint64_t first = 2 * period_ + 28800;  // 0.3 s suspended
  const std::vector<uint8_t> head(area[0].begin(), area[0].begin() + 3);
  while (first <= last && RampBytes(first, 1, 0, 3) != head) ++first;
  ASSERT_LE(first, last) << "the resumed stream is not on its clock";
  EXPECT_EQ(area[1], RampBytes(first, period_, 1, 3));
}

// ---- Pacing ---------------------------------------------------------------------

TEST_F(PluginTest, RealtimeDeliversAtTheConfiguredRate) {
  ASSERT_EQ(Configure("tprt", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE), 0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  auto start = std::chrono::steady_clock::now();
  for (uint64_t period = 0; period < 5; ++period) {
    std::vector<uint8_t> area[2];
    ASSERT_EQ(Pass(3, area), 4096);
    EXPECT_EQ(area[0], RampBytes(period * 4096, 4096, 0, 3));
  }
  double took = Seconds(start);  // 5 x 4096 / 48000 = 0.427 s
  EXPECT_GT(took, 0.25);
  EXPECT_LT(took, 2.0);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(snd_pcm_drain(pcm_), 0);
  EXPECT_LT(Seconds(start), 0.2);
}

TEST_F(PluginTest, RealtimeOverrunTakesItsPeriodThenFails) {
  ASSERT_EQ(Configure("tprtxrun", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE, 96000),
            0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  std::vector<uint8_t> area[2];
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Pass(2, area), 4096);
  EXPECT_EQ(Pass(2, area), -EPIPE);
  double took = Seconds(start);  // two periods at 96000 Hz: 85 ms
  EXPECT_GT(took, 0.05);
  EXPECT_LT(took, 1.0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  ASSERT_EQ(Pass(2, area), 4096);
  EXPECT_EQ(area[0], RampBytes(2 * 4096, 4096, 0, 2));
}

TEST_F(PluginTest, RealtimeReaderOffThePeriodGridIsWokenForTheFramesBeforeAnOverrun) {
  // A reader that took part of a period (libasound's read does so when it
  // starts the stream and a few frames already exist) sits off the period
  // grid, so the frames left before a lost period are less than a period.
  // It must still be woken for them, and then for the overrun.
  ASSERT_EQ(Configure("tprtxrun", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE, 96000),
            0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  ASSERT_EQ(snd_pcm_nonblock(pcm_, 1), 0);
  ASSERT_EQ(snd_pcm_start(pcm_), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(snd_pcm_avail_update(pcm_), 100);
  std::vector<uint8_t> area[2];
  ASSERT_EQ(ReadN(100, 2, area), 100);

  // Each wait is shorter than a period (43 ms): a wake-up that is refused
  // shows as a timeout instead of a poll that the period timer keeps alive.
  auto waitUpToASecond = [&] {
    auto start = std::chrono::steady_clock::now();
    int ready;
    do ready = snd_pcm_wait(pcm_, 20);
    while (ready == 0 && Seconds(start) < 1.0);
    return ready;
  };
  ASSERT_EQ(waitUpToASecond(), 1);
  ASSERT_EQ(ReadN(4096 - 100, 2, area), 4096 - 100);
  EXPECT_EQ(area[0], RampBytes(100, 4096 - 100, 0, 2));
  EXPECT_NE(waitUpToASecond(), 0);
  EXPECT_EQ(ReadN(4096, 2, area), -EPIPE);

  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  ASSERT_EQ(snd_pcm_nonblock(pcm_, 0), 0);
  ASSERT_EQ(Pass(2, area), 4096);
  EXPECT_EQ(area[1], RampBytes(2 * 4096, 4096, 1, 2));
}

TEST_F(PluginTest, RealtimeRecorderUnderCpuLoadGetsEveryFrameAroundItsOverruns) {
  // The recorder's passes against a busy machine: reads start late, stop off
  // the period grid and straddle the lost periods (4, 9 and 10 back to back,
  // 17, 30), yet every frame outside them arrives once, in order.
  ASSERT_EQ(Configure("tprtmany", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE, 96000),
            0);
  ASSERT_EQ(period_, 1024u);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  Watchdog watchdog("realtime recorder under CPU load", std::chrono::seconds(30));
  CpuLoad load;
  const uint64_t end = 40 * period_;  // 0.43 s of device time
  uint64_t next = 0;                  // device frame the next read must start with
  std::vector<uint64_t> lost;
  auto start = std::chrono::steady_clock::now();
  while (next < end) {
    std::vector<uint8_t> area[2];
    snd_pcm_sframes_t got = Pass(2, area);
    if (got == -EPIPE) {
      lost.push_back(next / period_);
      next = (next / period_ + 1) * period_;
      ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
      continue;
    }
    ASSERT_GT(got, 0) << "at frame " << next;
    for (unsigned ch = 0; ch < 2; ++ch) {
      area[ch].resize(static_cast<size_t>(got) * 2);
      ASSERT_EQ(area[ch], RampBytes(next, static_cast<size_t>(got), ch, 2))
          << "frames " << next << " + " << got << ", channel " << ch;
    }
    next += static_cast<uint64_t>(got);
  }
  EXPECT_EQ(lost, (std::vector<uint64_t>{4, 9, 10, 17, 30}));
  EXPECT_GT(Seconds(start), 0.9 * static_cast<double>(end) / 96000);
}

TEST_F(PluginTest, PollingNonBlockingReaderGetsEveryFrame) {
  // A reader that waits in poll() and reads a period on each wake-up, as
  // the recorder's capture thread does: paced or not, and against the
  // device that overruns a reader that falls behind.
  for (const char* device : {"tp", "tprt", "tphw"}) {
    SCOPED_TRACE(device);
    ASSERT_EQ(Configure(device, SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE, 96000,
                        SND_PCM_NONBLOCK),
              0);
    ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
    ASSERT_EQ(snd_pcm_start(pcm_), 0);
    const auto period = static_cast<snd_pcm_sframes_t>(period_);
    for (uint64_t next = 0; next < 40960; next += period_) {  // 0.43 s at 96000 Hz
      ASSERT_TRUE(PollDevice(1000) & POLLIN) << "at frame " << next;
      std::vector<uint8_t> area[2];
      ASSERT_EQ(ReadN(period_, 3, area), period) << "at frame " << next;
      ASSERT_EQ(area[0], RampBytes(next, period_, 0, 3)) << "at frame " << next;
      ASSERT_EQ(area[1], RampBytes(next, period_, 1, 3)) << "at frame " << next;
    }
    EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_RUNNING);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }
}

TEST_F(PluginTest, HardwareOverrunsASlowReaderAndLosesWhatItMissed) {
  ASSERT_EQ(Configure("tphw", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE, 96000), 0);
  ASSERT_EQ(buffer_, 32768u);  // 0.34 s
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  const auto period = static_cast<snd_pcm_sframes_t>(period_);
  std::vector<uint8_t> area[2];
  auto beforeStart = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadN(period_, 3, area), period);  // starts the device's clock
  auto afterStart = std::chrono::steady_clock::now();
  EXPECT_EQ(area[0], RampBytes(0, period_, 0, 3));

  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ReadN(period_, 3, area), -EPIPE);
  EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_XRUN);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  auto beforeRestart = std::chrono::steady_clock::now();
  ASSERT_EQ(ReadN(2 * period_, 3, area), 2 * period);
  auto afterRestart = std::chrono::steady_clock::now();

  // The restart begins at the frame the clock had reached: the ramp tells
  // which one it is, within the bounds the two starts allow.
  auto frames = [](std::chrono::steady_clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration<double>(d).count() * 96000);
  };
  uint64_t first = frames(beforeRestart - afterStart);
  const uint64_t last = frames(afterRestart - beforeStart) + 1;
  std::vector<uint8_t> head(area[0].begin(), area[0].begin() + 3);
  while (first <= last && RampBytes(first, 1, 0, 3) != head) ++first;
  ASSERT_LE(first, last) << "the restart does not begin where the clock was";
  EXPECT_GT(first, period_ + buffer_);
  EXPECT_EQ(area[0], RampBytes(first, 2 * period_, 0, 3));
  EXPECT_EQ(area[1], RampBytes(first, 2 * period_, 1, 3));
}

TEST_F(PluginTest, FrozenDeviceStopsDeliveringWithoutAnError) {
  // freeze_after 2: a sound server that hangs after two periods. Paced or
  // not, the stream keeps running and its descriptors stop waking a poller;
  // the hardware device waits longer than its buffer and still does not
  // overrun.
  for (const char* device : {"tpfreeze", "tprtfreeze", "tphwfreeze"}) {
    SCOPED_TRACE(device);
    ASSERT_EQ(Configure(device, SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S24_3LE, 96000),
              0);
    ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
    std::vector<uint8_t> area[2];
    ASSERT_EQ(ReadN(2 * period_, 3, area), static_cast<snd_pcm_sframes_t>(2 * period_));
    EXPECT_EQ(area[1], RampBytes(0, 2 * period_, 1, 3));
    ASSERT_EQ(snd_pcm_nonblock(pcm_, 1), 0);
    int wakes = 0;
    EXPECT_EQ(PollDevice(std::strcmp(device, "tphwfreeze") == 0 ? 400 : 150, &wakes), 0);
    EXPECT_LE(wakes, 1);  // no descriptor that keeps a poller spinning
    EXPECT_EQ(snd_pcm_avail_update(pcm_), 0);
    EXPECT_EQ(ReadN(period_, 3, area), -EAGAIN);
    EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_RUNNING);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }
}

TEST_F(PluginTest, ReadsAsFastAsAskedWithoutRealtime) {
  ASSERT_EQ(Configure("tp", SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_FORMAT_S16_LE), 0);
  ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
  auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> area[2];
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Pass(2, area), 4096);  // 4.3 s of audio
  EXPECT_EQ(snd_pcm_drain(pcm_), 0);
  EXPECT_LT(Seconds(start), 1.0);
}

// ---- Another program as reader --------------------------------------------------

TEST(PluginChildProcess, ArecordRecordsTheRampWithTheEnvVariables) {
  if (std::system("command -v arecord >/dev/null 2>&1") != 0) GTEST_SKIP() << "no arecord";
  AlsaEnv env = MakeAlsaEnv("pcm.tp { type zelmtest }\n");
  ASSERT_FALSE(env.dir.empty());
  std::string wav = env.dir + "/out.wav";
  std::string cmd = "env";
  for (const std::string& var : AlsaEnvVariables(env)) cmd += " '" + var + "'";
  cmd += " arecord -q -D tp -f S24_3LE -r 48000 -c 2 -d 1 '" + wav + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  std::ifstream in(wav, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(file.size(), 44u + 48000u * 2 * 3);
  std::vector<std::vector<int32_t>> ramp(2);
  for (uint64_t n = 0; n < 48000; ++n)
    for (unsigned ch = 0; ch < 2; ++ch) ramp[ch].push_back(RampSample(n, ch, 3));
  EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), RawInterleaved(ramp, 3).begin()));
  RemoveAlsaEnv(env);
}

// ---- The test support -----------------------------------------------------------

TEST(AlsaEnvSupport, RawInputReadsBackThroughTheFilePlugin) {
  AlsaEnv env = MakeAlsaEnv("");
  ASSERT_FALSE(env.dir.empty());
  std::vector<std::vector<int32_t>> channels = {{1, -1, 32767, -32768, 0x123456},
                                                {-8388608, 8388607, 2, -2, 0}};
  std::vector<uint8_t> raw = RawInterleaved(channels, 3);
  ASSERT_EQ(raw.size(), 5u * 2 * 3);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 12),
            (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0x7F}));
  std::string path = env.dir + "/input.raw";
  ASSERT_TRUE(WriteRawInput(path, channels, 3));
  ASSERT_TRUE(AppendToAlsaConfig(env, FileInputPcm("fin", path)));

  UseAlsaEnvInProcess(env);
  snd_pcm_t* pcm = nullptr;
  ASSERT_EQ(snd_pcm_open(&pcm, "fin", SND_PCM_STREAM_CAPTURE, 0), 0);
  ASSERT_EQ(snd_pcm_set_params(pcm, SND_PCM_FORMAT_S24_3LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 48000,
                               0, 100000),
            0);
  std::vector<uint8_t> got(raw.size());
  EXPECT_EQ(snd_pcm_readi(pcm, got.data(), 5), 5);
  EXPECT_EQ(got, raw);
  snd_pcm_close(pcm);
  snd_config_update_free_global();

  std::vector<std::string> vars = AlsaEnvVariables(env);
  ASSERT_EQ(vars.size(), 2u);
  EXPECT_EQ(vars[0], "ALSA_CONFIG_PATH=" + SystemAlsaConfig() + ":" + env.configFile);
  EXPECT_EQ(vars[1], "HOME=" + env.home);
  RemoveAlsaEnv(env);
  EXPECT_FALSE(std::filesystem::exists(env.dir));
}

}  // namespace
