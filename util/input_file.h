// SPDX-License-Identifier: MIT
// The one open input of a run, and the guard that keeps every output file of
// the run from landing on the input or on another output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool_common.h"

// Which file a name or a descriptor leads to. A device node is the device it
// stands for, anything else its inode; a loop block device (or a partition
// of one) is also the file that the kernel reads and writes through it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t type = 0;   // the S_IFMT bits
  dev_t special = 0; // st_rdev of a device node
  // A loop device's file, as the kernel reports it (LOOP_GET_STATUS64).
  enum class Backing { None, Known, Unknown } backing = Backing::None;
  dev_t backingDevice = 0;
  ino_t backingInode = 0;
  int backingError = 0; // why it is Unknown
  // Tells this inode from a later file that the file system gives the same
  // number: a hash of the birth time and the inode generation, where the
  // file system reports them (0 where it reports neither).
  uint32_t stamp = 0;
};

// The regular files that a run has opened for writing, as (inode, stamp) per
// device in open-addressing hash tables at most half full: 12 bytes a slot,
// so remembering an output costs 24 to 48 bytes, however many outputs a
// partition table names. Where the file system reports neither birth time
// nor generation, a file that reuses the inode number of a written output
// that was deleted meanwhile is taken for it.
struct WrittenFiles {
  struct Device {
    dev_t device = 0;
    std::vector<ino_t> inodes;
    std::vector<uint32_t> stamps; // 0: an empty slot; the top bit marks a used one
    size_t used = 0;
  };
  std::vector<Device> devices; // almost always one
};
bool containsWrittenFile(const WrittenFiles &files, dev_t device, ino_t inode, uint32_t stamp);
void addWrittenFile(WrittenFiles &files, dev_t device, ino_t inode, uint32_t stamp);

// Owns a file descriptor and closes it when it goes out of scope.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor &operator=(Descriptor &&other) noexcept;
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  void reset();

private:
  int fd_ = -1;
};

// The input, opened once and measured once; every read and copy of the run
// goes through it, each at an explicit file offset, so the run sees one file
// from start to end even when the name is renamed over meanwhile, and no read
// depends on where another left off.
struct InputFile {
  Descriptor descriptor;
  const char *name = nullptr; // as given, for messages only
  int64_t fileStartAddress = 0;
  uint64_t size = 0;
  // False for an input that can only be read in order (a pipe): it is read
  // from its start, and no other offset can be reached.
  bool seekable = true;
  mutable uint64_t readInOrder = 0; // bytes read so far from an input that cannot seek
  FileIdentity identity;
  WrittenFiles outputs;

  int fd() const { return descriptor.get(); }
};

// Opens `name` for reading and measures it: the size of a regular file, the
// capacity of a block device, what fstat says of anything else. False with
// errno set when it cannot be opened or examined, or is a directory.
bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress);

// Why the input cannot be read at file offset `offset`, as the errno that a
// seek there gives: EINVAL for a negative offset, ESPIPE for an input that
// cannot seek; 0 when it can be read there.
int offsetError(const InputFile &input, int64_t offset);

// Reads up to `count` bytes at file offset `offset` into `into`; `got` is
// fewer only where the input ends. False with errno set when a read fails or
// the offset cannot be reached (see offsetError; an input that cannot seek is
// read in order from its start).
bool readInput(const InputFile &input, int64_t offset, void *into, size_t count, size_t &got);

// How the read of a whole record ended: read whole; its offset cannot be
// reached (where the seek messages are said); or fewer bytes came, because
// the input ended there or a read failed.
enum class RecordRead { Whole, Unreachable, Short };
RecordRead readRecord(const InputFile &input, int64_t offset, void *into, size_t count);

// Bytes the input holds from file offset `offset` to its measured end; 0 for
// an offset outside it.
uint64_t bytesAvailableAt(const InputFile &input, int64_t offset);

// Opens an output file for writing and empties it, as fopen's "wb" does, but
// refuses a name that leads to the input (also through a loop device, either
// way round), a loop device whose file cannot be learned, and a regular file
// that this run has already written. Null after one message: the refusal, or
// "Can't open file ... for writing".
FilePtr openOutputFile(InputFile &input, const std::string &name);
