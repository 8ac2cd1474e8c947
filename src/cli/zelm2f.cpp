// Entry point: reads the recording request from the command line.
#include "cli/cli.h"

int main() {
  Help();
  return 1;
}
