// What the stages of a take share, and the front end too: planning a take's
// length, the clock, the remaining-time text and moving samples between
// channel areas and frames.
#pragma once

#include <cstdint>
#include <string>

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

// Seconds on the monotonic clock.
double MonotonicSeconds();
