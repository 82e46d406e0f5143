// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>

#include "../util/platform.h"
#include "decomp_disk.h"

int main(int argc, char **argv) {
  // No file the tool opens may take the number of a standard descriptor
  // that the caller left closed and receive what is meant for that stream;
  // a report to a closed standard output is still lost, and said so.
  if (!fillClosedStandardDescriptors())
    return 1;
  setUpStandardStreams();
  // Line by line on a terminal, which the C library does by itself; in a
  // pipe or a file, in large blocks, since a long report is then mostly
  // system calls. Messages flush standard output first, so a log that takes
  // both streams keeps their order either way.
  static char buffer[1 << 16];
  if (!isTerminal(StandardOutput))
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::exit(decompDiskMain(argc, argv));
}
