// SPDX-License-Identifier: MIT
// The piece of the seam for a POSIX system that brings nothing of its own
// (the BSDs and any other): no birth stamps, no loop devices, no devices
// known under a file system, no copy inside the system, and the standard
// read-ahead hint where it exists.
#include <fcntl.h>

#include "platform_pieces.h"

uint32_t stampOfFile(int) { return 0; }

uint64_t wholeDiskOf(uint64_t device) { return device; }

bool blockDeviceSize(int, uint64_t &) { return false; }

DeviceBacking backingOfDevice(const FileIdentity &, int, const std::string &) { return {}; }

bool devicesHolding(uint64_t, int, const std::string &, std::vector<FileIdentity> &holders) {
  holders.clear();
  return true;
}

std::vector<FileIdentity> devicesBeneath(const FileIdentity &) { return {}; }

bool blockDeviceInUse(const FileIdentity &, const std::string &) { return false; }

int64_t copyInKernel(int, uint64_t, int, uint64_t, size_t) { return -1; }

void adviseSequentialReading(int fd) {
#ifdef POSIX_FADV_SEQUENTIAL
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)fd;
#endif
}
