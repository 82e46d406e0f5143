// SPDX-License-Identifier: MIT
// The piece of the seam for Linux: birth stamps and generations, loop devices
// and what they read, the devices under a file system (from /sys), a block
// device's capacity, and the kernel's own copy. The system calls are made
// directly where a C library may lack the wrapper (musl lacks statx).
#include <cstddef> // musl's <linux/fs.h> uses size_t without declaring it

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <linux/stat.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform_pieces.h"

namespace {

// The type of ioctl's request: unsigned long in glibc, int in musl.
template <class Request> Request requestTypeOf(int (*)(int, Request, ...));
using IoctlRequest = decltype(requestTypeOf(&::ioctl));

// Closes a descriptor that this file opened.
struct OwnDescriptor {
  int fd = -1;
  ~OwnDescriptor() {
    if (fd >= 0)
      close(fd);
  }
};

// The folder that /sys keeps for a block device, by number.
std::string sysBlockFolder(uint64_t device) {
  char name[64];
  std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u", major(static_cast<dev_t>(device)),
                minor(static_cast<dev_t>(device)));
  return name;
}

// The first line of a small /sys file; empty when it cannot be read.
std::string firstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A device number written as "MAJOR:MINOR"; false when the text is not one.
bool parseDeviceNumber(const std::string &text, uint64_t &device) {
  unsigned maj = 0;
  unsigned min = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &end) != 2)
    return false;
  device = makedev(maj, min);
  return true;
}

// A loop device, or a partition of one.
bool isLoopDevice(const FileIdentity &device) {
  return major(static_cast<dev_t>(device.special)) == LOOP_MAJOR ||
         major(static_cast<dev_t>(device.wholeDisk)) == LOOP_MAJOR;
}

// Where the kernel says the loop device's file is (for a partition, its
// whole disk's); empty for a device that is no bound loop device.
std::string sysBackingPath(const FileIdentity &device) {
  std::string path = firstLine(sysBlockFolder(device.wholeDisk) + "/loop/backing_file");
  // A file that was deleted is named with this mark after it; nothing is
  // there under its name any more.
  const std::string deleted = " (deleted)";
  if (path.size() >= deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    return "";
  return path;
}

// The device node that the kernel names a device by, under /dev.
std::string nodeOf(uint64_t device) {
  std::ifstream in(sysBlockFolder(device) + "/uevent");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 8, "DEVNAME=") == 0)
      return "/dev/" + line.substr(8);
  return "";
}

} // namespace

static FileIdentity blockDevice(uint64_t number);

uint32_t stampOfFile(int fd) {
  uint64_t h = 0;
  struct statx sx {};
  if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 &&
      (sx.stx_mask & STATX_BTIME) != 0)
    h = static_cast<uint64_t>(sx.stx_btime.tv_sec) * 0x9E3779B97F4A7C15u ^
        (uint64_t{sx.stx_btime.tv_nsec} + 1) * 0xC2B2AE3D27D4EB4Fu;
  int generation = 0;
  if (ioctl(fd, static_cast<IoctlRequest>(FS_IOC_GETVERSION), &generation) == 0)
    h ^= (static_cast<uint64_t>(static_cast<uint32_t>(generation)) + 1) * 0x165667B19E3779F9u;
  return static_cast<uint32_t>(h >> 32 ^ h);
}

// The whole disk that holds a partition; the device itself when it is none
// (or /sys cannot tell).
uint64_t wholeDiskOf(uint64_t device) {
  namespace fs = std::filesystem;
  const std::string folder = sysBlockFolder(device);
  std::error_code ec;
  if (!fs::exists(folder + "/partition", ec))
    return device;
  const fs::path real = fs::canonical(folder, ec);
  uint64_t whole = device;
  if (!ec && parseDeviceNumber(firstLine((real.parent_path() / "dev").string()), whole))
    return whole;
  return device;
}

bool blockDeviceSize(int fd, uint64_t &size) {
  return ioctl(fd, static_cast<IoctlRequest>(BLKGETSIZE64), &size) == 0;
}

DeviceBacking backingOfDevice(const FileIdentity &device, int fd, const std::string &path) {
  DeviceBacking backing;
  OwnDescriptor own;
  int openError = 0;
  if (fd < 0) {
    const std::string node = path.empty() ? nodeOf(device.special) : path;
    own.fd = node.empty() ? -1 : open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    openError = node.empty() ? ENOENT : errno;
    FileIdentity opened;
    if (own.fd >= 0 && (!identityOfDescriptor(own.fd, opened) || opened.type != FileType::Block ||
                        opened.special != device.special)) {
      close(own.fd);
      own.fd = -1;
      openError = ENODEV;
    }
    fd = own.fd;
  }
  loop_info64 info{};
  if (fd >= 0 && ioctl(fd, static_cast<IoctlRequest>(LOOP_GET_STATUS64), &info) == 0) {
    backing.state = DeviceBacking::State::File;
    backing.file.device = info.lo_device;
    backing.file.inode = info.lo_inode;
    // The kernel's numbers are the truth: a file's device and inode, and for
    // a device node (loop devices stacked) also the device it stands for,
    // which can be asked further by its number. The name the kernel keeps
    // tells where the file is, as long as it still leads to those numbers.
    if (info.lo_rdevice != 0) {
      const FileIdentity node = blockDevice(info.lo_rdevice);
      backing.file.type = FileType::Block;
      backing.file.special = node.special;
      backing.file.wholeDisk = node.wholeDisk;
    }
    const std::string name = sysBackingPath(device);
    FileIdentity named;
    if (!name.empty() && identityOfPath(name.c_str(), named) && named.device == info.lo_device &&
        named.inode == info.lo_inode) {
      backing.file = named;
      backing.path = name;
    }
    return backing;
  }
  const int err = fd >= 0 ? errno : openError;
  if (err != ENXIO && !isLoopDevice(device))
    return backing;
  // A loop device that cannot be asked directly may still be known by the
  // name the kernel keeps for its file.
  const std::string name = fd < 0 ? sysBackingPath(device) : "";
  if (!name.empty() && identityOfPath(name.c_str(), backing.file)) {
    backing.state = DeviceBacking::State::File;
    backing.path = name;
    return backing;
  }
  backing.state = DeviceBacking::State::Unknown;
  backing.error = err;
  return backing;
}

// A block-device identity for a device known by its number.
static FileIdentity blockDevice(uint64_t number) {
  FileIdentity id;
  id.type = FileType::Block;
  id.special = number;
  id.wholeDisk = wholeDiskOf(number);
  return id;
}

// The devices listed in a /sys folder whose entries each have a "dev" file.
static void addListedDevices(const std::string &folder, std::vector<FileIdentity> &devices) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const fs::directory_entry &entry : fs::directory_iterator(folder, ec)) {
    uint64_t number;
    if (parseDeviceNumber(firstLine((entry.path() / "dev").string()), number))
      devices.push_back(blockDevice(number));
  }
}

bool devicesHolding(uint64_t device, int fd, const std::string &path,
                    std::vector<FileIdentity> &holders) {
  holders.clear();
  if (major(static_cast<dev_t>(device)) != 0) {
    holders.push_back(blockDevice(device));
    return true;
  }
  // A file system over several devices (btrfs) gives its files a device
  // number of its own, and tells its devices when a file of it is asked.
  OwnDescriptor own;
  if (fd < 0 && !path.empty())
    fd = own.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return false;
  btrfs_ioctl_fs_info_args info{};
  if (ioctl(fd, static_cast<IoctlRequest>(BTRFS_IOC_FS_INFO), &info) != 0)
    return true; // none that the system tells: a memory or network file system
  char id[40];
  const unsigned char *u = info.fsid;
  std::snprintf(id, sizeof id,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
                u[15]);
  addListedDevices(std::string("/sys/fs/btrfs/") + id + "/devices", holders);
  return !holders.empty();
}

std::vector<FileIdentity> devicesBeneath(const FileIdentity &device) {
  // A partition's members are its whole disk's.
  std::vector<FileIdentity> members;
  addListedDevices(sysBlockFolder(device.wholeDisk) + "/slaves", members);
  return members;
}

bool blockDeviceInUse(const FileIdentity &device, const std::string &path) {
  // An exclusive open fails while the kernel holds the device: mounted, a
  // member of a mapped or RAID device, an external journal, swap.
  const std::string node = path.empty() ? nodeOf(device.special) : path;
  if (node.empty())
    return false;
  OwnDescriptor own;
  own.fd = open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  return own.fd < 0 && errno == EBUSY;
}

int64_t copyInKernel(int in, uint64_t inOffset, int out, uint64_t outOffset, size_t count) {
  loff_t from = static_cast<loff_t>(inOffset);
  loff_t into = static_cast<loff_t>(outOffset);
  return syscall(SYS_copy_file_range, in, &from, out, &into, count, 0u);
}

void adviseSequentialReading(int fd) { (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }
