// SPDX-License-Identifier: MIT
// Every byte copy of the tool: byte ranges of the open input (or of a named
// file) into an open output. Each copy goes through the kernel where
// it can and through a buffer where it must, with the same bytes, messages
// and end either way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "input_file.h"
#include "output_file.h"
#include "progress.h"
#include "tool_common.h"

// Size of the buffer that copyPartialBinFileToOutFile moves the bytes through.
constexpr size_t CopyChunkSize = 0x20000;

// How a copy of a byte range ended.
enum class CopyEnd {
  Done,        // every byte was written
  InputEnded,  // the input ended first
  ReadFailed,  // reading the input failed
  WriteFailed, // the output took fewer bytes than it was given
};

// One copy: `count` bytes from file offset `offset` of `input`, written to
// `output` at its position. The buffer sets the chunk size: a chunk
// is written whole or, when the input ends inside it, not at all (unless
// `writeShortChunk`), so every outcome leaves what a plain read-and-write
// loop over such chunks leaves. A progress line is shown for `progressLabel`
// when it is not null.
struct CopyRequest {
  const InputFile *input = nullptr;
  int64_t offset = 0;
  uint64_t count = 0;
  OutputFile *output = nullptr;
  std::span<uint8_t> buffer;
  bool writeShortChunk = false;
  const char *progressLabel = nullptr;
};

// Runs a copy; `output` is left open, its position at the end of what was
// written.
CopyEnd copyRange(const CopyRequest &request);

// How many bytes the next kernel copy call asks for, after a call that
// moved `moved` bytes in `took` seconds: about a tenth of a second's worth,
// so that the progress line, drawn at most every quarter second between
// calls, moves at least twice a second at any disk speed. At least 4 MiB.
// A call that copied bytes is followed by one of at most 64 MiB: the
// kernel's write-back throttling can slow such calls twentyfold from one
// call to the next, once its dirty pages reach their limit. A call faster
// than memory can copy (32 GiB/s) shared blocks on a copy-on-write file
// system, where a call costs almost nothing whatever its size: the next may
// ask for up to 1 GiB.
uint64_t nextCallSize(uint64_t moved, double took);

// Appends the input's bytes from `offset` on to `output`, at most `length` of
// them when `length` is not 0; the end of the input ends the copy without
// failing it. False after a message naming the input. `label` names the
// output for the progress line.
bool copyPartialInputToOutFile(OutputFile &output, const InputFile &input, int64_t offset,
                               int64_t length, const char *label);

// As copyPartialInputToOutFile, for a file given by name and opened here, into
// the caller's stream at its current position. Whatever the caller wrote into
// `output` is flushed first, and the stream is left at the end of what was
// copied. An offset at or past the end, or a negative length, appends
// nothing.
bool copyPartialBinFileToOutFile(FILE *output, const char *inputFileName, int64_t offset,
                                 int64_t length);

// Appends the whole of `inputFileName` to `output`.
bool copyBinFileToOutFile(FILE *output, const char *inputFileName);

// Reads the whole named file into `data`, its size into `size`. Files of
// 4 GiB or more are refused, since their size does not fit the count. After
// a false result `data` is empty.
bool readBinFileIntoArray(const char *fileName, std::vector<uint8_t> &data, uint32_t &size);
