// A fixture for tests that run zelm end to end: a private ALSA configuration
// (the test device loadable, "default" the silent null device unless a test
// defines another) and a working folder of its own for the output files.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "support/alsa_env.h"
#include "support/run_zelm.h"

class ZelmTest : public ::testing::Test {
 protected:
  // Tests that need more devices add them with AddDevices.
  void SetUp() override {
    env_ = MakeAlsaEnv("pcm.!default { type null }\n");
    ASSERT_FALSE(env_.dir.empty());
    mkdir(work().c_str(), 0700);
  }
  void TearDown() override { RemoveAlsaEnv(env_); }

  RunResult Run(std::vector<std::string> args, std::string input = "",
                std::vector<std::pair<std::string, std::string>> env = {}, int timeoutMs = 60000) {
    RunOptions options;
    options.args = std::move(args);
    options.input = std::move(input);
    options.cwd = work();
    options.env = std::move(env);
    options.env.push_back({"ALSA_CONFIG_PATH", env_.configPath});
    options.env.push_back({"HOME", env_.home});
    options.timeoutMs = timeoutMs;
    return RunProgram(options);
  }

  void AddDevices(const std::string& definitions) {
    ASSERT_TRUE(AppendToAlsaConfig(env_, definitions));
  }

  std::string work() const { return env_.dir + "/work"; }
  std::string at(const std::string& name) const { return work() + "/" + name; }

  AlsaEnv env_;
};
