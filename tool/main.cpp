#include <cstdio>
#include <cstdlib>

#include "decomp_disk.h"

int main(int argc, char **argv) {
  // Line by line, so that a log that takes both streams keeps the report and
  // the messages in the order in which they were written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::exit(decompDiskMain(argc, argv));
}
