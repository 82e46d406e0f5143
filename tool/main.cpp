#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "decomp_disk.h"

int main(int argc, char **argv) {
  // Line by line on a terminal, which the C library does by itself; in a
  // pipe or a file, in large blocks, since a long report is then mostly
  // system calls. Messages flush standard output first, so a log that takes
  // both streams keeps their order either way.
  static char buffer[1 << 16];
  if (isatty(STDOUT_FILENO) != 1)
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::exit(decompDiskMain(argc, argv));
}
