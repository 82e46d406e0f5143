// SPDX-License-Identifier: MIT
// One output file of a run: a descriptor, written at explicit offsets where
// the file allows it, opened only when the guard lets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "descriptor.h"
#include "output_guard.h"

struct OutputFile {
  Descriptor descriptor;
  bool regular = false;    // a regular file: holes may be left in it, its size set
  bool positioned = false; // written at `at`; otherwise in order (a pipe, an appending stream)
  uint64_t at = 0;         // where the next byte goes

  int fd() const { return descriptor.get(); }
};

// Opens an output file for writing and empties it, as fopen's "wb" does,
// unless the guard refuses it. The name is looked at before it is opened
// (opening some files, a FIFO or a device, is itself an action) and the
// descriptor once more after (the name may lead elsewhere by then). A
// regular file is recorded as written. False after one message: the
// refusal, or "Can't open file ... for writing".
bool openOutputFile(OutputGuard &guard, const std::string &name, OutputFile &out);

// Writes `count` bytes at the output's position and moves it on; returns
// how many were written, fewer after a failure (errno tells why).
size_t writeOutput(OutputFile &out, const void *data, size_t count);
