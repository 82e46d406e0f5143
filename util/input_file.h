// SPDX-License-Identifier: MIT
// The one open input of a run: every read of the run goes through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "descriptor.h"

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
  bool regular = false;             // a regular file, which the kernel can copy from
  mutable uint64_t readInOrder = 0; // bytes read so far from an input that cannot seek

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
