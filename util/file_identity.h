// SPDX-License-Identifier: MIT
// Which file a name or a descriptor is, and what lies under it: the file a
// loop device reads and writes, the block devices under a file system. The
// output guard is built on these answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FileType : uint8_t { Other, Regular, Directory, Block, Character, Fifo, Socket };

// One file as the system knows it. Two identities are one file when their
// device and inode agree; a device node also stands for the device it names.
struct FileIdentity {
  uint64_t device = 0; // the file system's device
  uint64_t inode = 0;
  FileType type = FileType::Other;
  uint64_t special = 0;   // a device node: the device it stands for
  uint64_t wholeDisk = 0; // a block device node: its whole disk (itself unless a partition)
  // Tells this inode from a later file that the file system gives the same
  // number: a hash of the birth time and the inode generation where the file
  // system reports them (0 where it reports neither). Regular files only.
  uint32_t stamp = 0;
};

// The identity of what is open on `fd`. False with errno set.
bool identityOfDescriptor(int fd, FileIdentity &id);
// The identity of what `path` leads to, following symbolic links. False
// with errno set when nothing is there.
bool identityOfPath(const char *path, FileIdentity &id);

// The file that a block device reads and writes through, as the kernel tells
// it: none for a device that is no loop device; unknown for a loop device
// without a file or that cannot be asked (`error` says why). `path` is where
// the file can be reached, empty when its name no longer leads to it.
struct DeviceBacking {
  enum class State { None, File, Unknown } state = State::None;
  int error = 0;
  FileIdentity file;
  std::string path;
};
// `device` is a block device's identity; `fd` a descriptor open on it, or -1
// to open it by `path` (or, when that is empty, by the name the kernel gives
// the device). Opened read-only, which changes nothing.
DeviceBacking backingOfDevice(const FileIdentity &device, int fd, const std::string &path);

// The block devices that hold the file system of `device` (a file's
// device number): that device and the devices it is built on (the members
// of a mapped or RAID device, of a multi-device file system), as
// block-device identities. A partition's whole disk is not listed: it is
// known from the partition's identity. `fd` is a
// descriptor on a file of that file system, to ask a file system without a
// device number of its own; -1 when there is none. Empty when nothing is
// known (a memory file system, a system without /sys).
std::vector<FileIdentity> devicesHolding(uint64_t device, int fd);
