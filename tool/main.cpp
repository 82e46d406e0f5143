// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "decomp_disk.h"

// Descriptors 0, 1 and 2 that the caller left closed are opened on
// /dev/null, so that no file the tool opens can take their number and
// receive what is meant for a standard stream. Each is opened the wrong way
// round, so that using it still fails as using a closed one does: a report
// to a closed standard output is still lost, and said so. False when
// /dev/null cannot be opened.
static bool fillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    // The lowest free number is `fd` itself: the ones below it are open.
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
      return false;
  }
  return true;
}

int main(int argc, char **argv) {
  if (!fillClosedStandardDescriptors())
    return 1;
  // Line by line on a terminal, which the C library does by itself; in a
  // pipe or a file, in large blocks, since a long report is then mostly
  // system calls. Messages flush standard output first, so a log that takes
  // both streams keeps their order either way.
  static char buffer[1 << 16];
  if (isatty(STDOUT_FILENO) != 1)
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::exit(decompDiskMain(argc, argv));
}
