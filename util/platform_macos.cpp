// SPDX-License-Identifier: MIT
// The piece of the seam for macOS: birth stamps, a block device's capacity
// from the disk driver, the device under a file system from its mount, and
// the system's read-ahead in place of posix_fadvise, which macOS lacks.
// Disk images attached with hdiutil are not known as the files they read.
#include <fcntl.h>
#include <sys/ioctl.h>
#if __has_include(<sys/disk.h>)
#include <sys/disk.h>
#else // headers without the disk driver's (a cross compiler's): its two requests
#include <cstdint>
#define DKIOCGETBLOCKSIZE _IOR('d', 24, uint32_t)
#define DKIOCGETBLOCKCOUNT _IOR('d', 25, uint64_t)
#endif
#include <sys/mount.h>
#include <sys/stat.h>

#include "platform_pieces.h"

uint32_t stampOfFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return 0;
  const uint64_t h = static_cast<uint64_t>(st.st_birthtimespec.tv_sec) * 0x9E3779B97F4A7C15u ^
                     (static_cast<uint64_t>(st.st_birthtimespec.tv_nsec) + 1) * 0xC2B2AE3D27D4EB4Fu;
  return static_cast<uint32_t>(h >> 32 ^ h);
}

uint64_t wholeDiskOf(uint64_t device) { return device; }

bool blockDeviceSize(int fd, uint64_t &size) {
  uint64_t blocks = 0;
  uint32_t blockSize = 0;
  if (ioctl(fd, DKIOCGETBLOCKCOUNT, &blocks) != 0 || ioctl(fd, DKIOCGETBLOCKSIZE, &blockSize) != 0)
    return false;
  size = blocks * blockSize;
  return true;
}

DeviceBacking backingOfDevice(const FileIdentity &, int, const std::string &) { return {}; }

bool devicesHolding(uint64_t device, int fd, const std::string &path,
                    std::vector<FileIdentity> &holders) {
  // The mount names the device it came from; it holds the file system when
  // its number is the files' device number.
  holders.clear();
  struct statfs mount;
  FileIdentity id;
  if ((fd >= 0 ? fstatfs(fd, &mount) : statfs(path.c_str(), &mount)) == 0 &&
      identityOfPath(mount.f_mntfromname, id) && id.type == FileType::Block && id.special == device)
    holders.push_back(id);
  return true;
}

std::vector<FileIdentity> devicesBeneath(const FileIdentity &) { return {}; }

bool blockDeviceInUse(const FileIdentity &, const std::string &) { return false; }

int64_t copyInKernel(int, uint64_t, int, uint64_t, size_t) { return -1; }

void adviseSequentialReading(int fd) { (void)fcntl(fd, F_RDAHEAD, 1); }
