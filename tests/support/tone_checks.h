// Checks for a recorded sine from a sound server's test source: its level,
// and that it arrived without a seam.
#pragma once

#include <string>
#include <vector>

// One channel of a WAV file's data, as fractions of full scale.
using Signal = std::vector<double>;

// The channels of a file zelm wrote: its 44-byte header, then interleaved
// little-endian samples of `bytes` bytes (2 or 3).
std::vector<Signal> Channels(const std::string& file, int channels, int bytes);

// Adds a test failure unless `x` is a `toneHz` sine of peak `amplitude` (a
// fraction of full scale, within 0.5 dB) at `rate`, unbroken: no jump between
// samples, no run of zeros, evenly spaced zero crossings.
void ExpectCleanTone(const Signal& x, int bytes, double amplitude, double rate = 48000.0,
                     double toneHz = 440.0);

// Adds a test failure unless the 16-bit mono file at `path` is a whole WAV
// file (its header counts exactly the whole frames that follow) holding the
// unbroken tone of peak `amplitude`.
void ExpectWholeTone(const std::string& path, double amplitude);
