// The usage text, printed when fewer than two arguments are given.
#include <cstdio>

#include "cli/cli.h"

void Help() {
  std::fputs(
      "\n"
      "This is a 1 or 2 channel recording program.\n"
      "You must add at least two command line arguments:\n"
      "\t1.  The recording format\n\t2.  The recording duration in seconds.\n"
      "\n"
      "The possible formats are as follows:\n"
      "Format\tBits\tSample rate\n"
      "1644\t16\t44100\n"
      "1648\t16\t48000\n"
      "2444\t24\t44100\n"
      "2448\t24\t48000\n"
      "1688\t16\t88200\n"
      "1696\t16\t96000\n"
      "2488\t24\t88200\n"
      "2496\t24\t96000\n"
      "\n"
      "Example:  zelm 1644 60\n"
      "This will record for 60 seconds at 16 bits and 44,100 Hz\n"
      "\n"
      "If no file name is specified, the program will create one.\n"
      "\n"
      "The complete list of arguments is as follows:\n"
      "\n"
      "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n"
      "\n"
      "You may enter just d for the default system recording device.\n"
      "plughw:0,0 is often used for the device name.\n"
      "\n"
      "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
      "the number of channels.  Only one filename is needed or created.\n",
      stdout);
}
