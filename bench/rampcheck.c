/* Checks a take of the test capture device's "ramp" signal frame by frame
 * and counts what is missing from it:
 *
 *   zelm_rampcheck FILE.wav
 *
 * The device's sample of frame n on channel c is ((2n + c) * 4099 + 1) mod
 * 2^bits, so the first channel alone gives n modulo 2^(bits-1) (87 s at
 * 96 kHz for 24 bits; a 16-bit take aliases gaps longer than 32768 frames),
 * and a second channel must then hold the value that n implies. A frame that
 * fits no n (silence written in place of lost audio, say) is "bad"; a step
 * of more than one frame between good frames is a gap, its skipped frames
 * "missing". Lost frames are the two together.
 *
 * Prints one line of key=value figures; exit status 2 if the file is not a
 * readable 16- or 24-bit PCM WAV file. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

/* The inverse of odd a modulo 2^64 (Newton's iteration doubles the correct
 * bits each step, from the 3 that a itself gets right). */
static uint64_t Inverse(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
    return 2;
  }
  FILE* in = fopen(argv[1], "rb");
  if (in == NULL) {
    perror(argv[1]);
    return 2;
  }
  fseek(in, 0, SEEK_END);
  const long size = ftell(in);
  fseek(in, 0, SEEK_SET);
  uint8_t* b = size > 0 ? malloc((size_t)size) : NULL;
  if (b == NULL || fread(b, 1, (size_t)size, in) != (size_t)size) {
    fprintf(stderr, "%s: cannot read\n", argv[1]);
    return 2;
  }
  fclose(in);
  unsigned channels = 0, bits = 0, rate = 0;
  size_t data = 0, end = 0;
  if (size >= 12 && memcmp(b, "RIFF", 4) == 0 && memcmp(b + 8, "WAVE", 4) == 0) {
    size_t at = 12;
    while (at + 8 <= (size_t)size) {
      const uint32_t chunk = Le32(b + at + 4);
      if (memcmp(b + at, "fmt ", 4) == 0 && chunk >= 16) {
        channels = Le16(b + at + 10);
        rate = Le32(b + at + 12);
        bits = Le16(b + at + 22);
      } else if (memcmp(b + at, "data", 4) == 0) {
        data = at + 8;
        /* The size field may promise more than a cut-short file holds. */
        end = data + chunk < (size_t)size ? data + chunk : (size_t)size;
        break;
      }
      at += 8 + chunk + (chunk & 1);
    }
  }
  if (data == 0 || (bits != 16 && bits != 24) || channels < 1 || channels > 2) {
    fprintf(stderr, "%s: not a readable 16- or 24-bit PCM WAV file\n", argv[1]);
    return 2;
  }

  const unsigned bytes = bits / 8;
  const uint64_t full = (uint64_t)1 << bits, half = full >> 1;
  const uint64_t inverse = Inverse(4099) & (half - 1);
  long long frames = 0, bad = 0, gaps = 0, missing = 0, backward = 0;
  long long first = -1, last = -1; /* unwrapped device frames of good frames */
  for (size_t p = data; p + bytes * channels <= end; p += bytes * channels) {
    ++frames;
    uint64_t v[2] = {0, 0};
    for (unsigned c = 0; c < channels; ++c)
      for (unsigned k = 0; k < bytes; ++k) v[c] |= (uint64_t)b[p + c * bytes + k] << (8 * k);
    const uint64_t odd = (v[0] + full - 1) & (full - 1);
    if (odd & 1) {
      ++bad;
      continue;
    }
    const uint64_t residue = (odd >> 1) * inverse & (half - 1);
    if (channels == 2 && v[1] != (((2 * residue + 1) * 4099 + 1) & (full - 1))) {
      ++bad;
      continue;
    }
    if (last < 0) {
      first = last = (long long)residue;
      continue;
    }
    const uint64_t step = (residue - (uint64_t)last) & (half - 1);
    if (step == 1) {
      ++last;
    } else if (step > 1 && step < half / 2) {
      ++gaps;
      missing += (long long)step - 1;
      last += (long long)step;
    } else {
      /* The same or an earlier frame again: a repeat, not a loss. */
      ++backward;
      last -= (long long)((half - step) & (half - 1));
    }
  }
  printf(
      "frames=%lld rate=%u seconds=%.3f first=%lld last=%lld bad=%lld gaps=%lld missing=%lld "
      "backward=%lld lost=%lld\n",
      frames, rate, rate ? (double)frames / rate : 0.0, first, last, bad, gaps, missing, backward,
      bad + missing);
  free(b);
  return 0;
}
