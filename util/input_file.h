// The one open input of a run, and the guard that keeps every output file of
// the run from landing on the input or on another output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "tool_common.h"

// Which file a name or a descriptor leads to: a device node is its device,
// anything else its inode.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t type = 0;   // the S_IFMT bits
  dev_t special = 0; // st_rdev of a device node
};

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
  // Regular files this run has opened for writing, as (device, inode).
  std::set<std::pair<dev_t, ino_t>> outputs;
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
