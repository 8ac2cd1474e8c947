// The recording engine: one recording run from device set-up to summary.
#pragma once

#include <cstdint>
#include <string>

// Records one take. Returns only when the run is over; every fatal failure
// ends the process with status 1 after its message. NameStatus holds, for
// each name in FileList, what the front end found there when it checked:
// 1 nothing (the take creates it, and refuses if something appeared since),
// 2 a file the user agreed to replace.
void RECORD(const std::string& DeviceName, uint32_t SampleRate, float DurationSeconds,
            int32_t ChannelCount, uint32_t SampleBytes, int32_t AutoNames, std::string& FileList,
            std::string& NameScratch, int32_t InterleavedStereo, const int32_t NameStatus[2]);

// Largest frame count per channel that a run may plan: 2^24 periods of 4096
// frames, the last count whose multiples of 4096 single precision still
// holds exactly (over eight days at 96000 Hz; the free disk space is what
// bounds real takes).
constexpr int64_t kMaxTotalFrames = int64_t{1} << 36;

// Rounds DurationSeconds x SampleRate (single precision) up to whole periods,
// at least one period. A product that is not > 0 gives 0. A result that would
// pass kMaxTotalFrames gives -1: the request cannot be carried out.
void QUANTIZE(int32_t PeriodFrames, uint32_t SampleRate, const float* DurationSeconds,
              int64_t* TotalFrames);

// True when a take of DurationSeconds at SampleRate can be planned: QUANTIZE
// finds a frame count for it (at least one period, at most kMaxTotalFrames),
// with the 4096-frame periods asked of every device.
bool DurationPlannable(float DurationSeconds, uint32_t SampleRate);

// Calendar time in whole seconds since 2012-10-10 16:09:00 UTC.
int64_t NewTime();

// Prints "\rrem = %.2f sec" for (TotalFrames + NegFramesDone) / SampleRate
// and flushes standard output.
void UpdateClock(int64_t TotalFrames, int64_t NegFramesDone, uint32_t SampleRate);
// The same text, appended to `text`, for a caller that writes the whole
// console line at once.
void FormatRemaining(int64_t TotalFrames, int64_t NegFramesDone, uint32_t SampleRate,
                     std::string* text);

// Interleaves two channel areas of `frames` samples of sampleBytes (2 or 3)
// bytes into out (2 x frames x sampleBytes bytes). Other sizes, or frames <= 0,
// leave out untouched.
void Interleave(int32_t frames, int32_t sampleBytes, const uint8_t* left, const uint8_t* right,
                uint8_t* out);

// The reverse of Interleave: splits `frames` two-channel frames of `in` into
// the two channel areas; with `right` null, takes the left channel only.
void Deinterleave(int32_t frames, int32_t sampleBytes, const uint8_t* in, uint8_t* left,
                  uint8_t* right);
