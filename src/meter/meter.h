// Level metering: the only code that looks at sample values.
#pragma once

#include <cstdint>
#include <string>

// Full scale of a sample size: 32768.0 for 2-byte, 8388608.0 for 3-byte samples.
double FullScale(uint32_t SampleBytes);

// Level in dB of a magnitude against full scale: -20 log10(FS / magnitude).
// A magnitude of 0 gives -infinity (IEEE division by zero, no trap).
double LevelDb(int64_t magnitude, uint32_t SampleBytes);

// Scans `count` samples of one channel (SampleBytes apart, little-endian,
// signed) and raises RunPeak[channel] and PeriodPeak[channel] to the largest
// magnitude. Prints "\nInput Channel %i is Peaking!\n" at most once per call
// when a sample reaches full scale: appended to `text` when one is given,
// else on standard output.
void CheckPeak(int32_t channel, int32_t count, uint32_t SampleBytes, int64_t* RunPeak,
               const void* area, int64_t* PeriodPeak, std::string* text = nullptr);

// The same for both channels of `count` two-channel frames, as an interleaved
// device delivers them (channel 0's sample first in each): exactly what
// CheckPeak on channel 0's samples and then on channel 1's would do.
void CheckPeakFrames(int32_t count, uint32_t SampleBytes, int64_t* RunPeak, const void* frames,
                     int64_t* PeriodPeak, std::string* text = nullptr);

// Draws the bar meter and held-peak readouts on the current console line.
// *MeterFirstCall == 1 resets the persistent meter state (and clears it).
// The line is appended to `text` when one is given, else printed and
// standard output flushed.
void StereoMeter(const int64_t* PeriodPeak, float span, int32_t* MeterFirstCall, float decay,
                 int32_t SampleBytes, int32_t meterChannels, const int64_t* HeldPeak,
                 std::string* text = nullptr);
