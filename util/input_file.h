// The one open input of a run, and the guard that keeps every output file of
// the run from landing on the input or on another output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool_common.h"

// Which file a name or a descriptor leads to: a device node is its device,
// anything else its inode.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t type = 0;   // the S_IFMT bits
  dev_t special = 0; // st_rdev of a device node
};

// The regular files that a run has opened for writing, as inode numbers per
// device in open-addressing hash tables: remembering an output costs 8 to 16
// bytes, however many outputs a partition table names.
struct WrittenFiles {
  struct Device {
    dev_t device = 0;
    std::vector<ino_t> slots; // 0: empty; inode 0 is held by `hasInodeZero`
    size_t used = 0;
    bool hasInodeZero = false;
  };
  std::vector<Device> devices; // almost always one
};
bool containsWrittenFile(const WrittenFiles &files, dev_t device, ino_t inode);
void addWrittenFile(WrittenFiles &files, dev_t device, ino_t inode);

// The input, opened once and measured once; every read and copy of the run
// goes through it, so the run sees one file from start to end even when the
// name is renamed over meanwhile.
struct InputFile {
  FilePtr stream;
  int fd = -1;
  const char *name = nullptr; // as given, for messages only
  int64_t fileStartAddress = 0;
  uint64_t size = 0;
  FileIdentity identity;
  WrittenFiles outputs;
};

// Opens `name` for reading and measures it: the size of a regular file, the
// capacity of a block device, what fstat says of anything else. False with
// errno set when it cannot be opened or examined.
bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress);

// Bytes the input holds from file offset `offset` to its measured end; 0 for
// an offset outside it.
uint64_t bytesAvailableAt(const InputFile &input, int64_t offset);

// Opens an output file for writing and empties it, as fopen's "wb" does, but
// refuses a name that leads to the input or to a regular file that this run
// has already written. Null after one message: the refusal, or "Can't open
// file ... for writing".
FilePtr openOutputFile(InputFile &input, const std::string &name);
