// Copying byte ranges of a named file into an open stream, and reading a
// whole file into memory. Each routine opens the named file with a stream of
// its own, so a stream the caller holds on the same file never moves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Size of the buffer that copyPartialBinFileToOutFile moves the bytes through.
constexpr size_t CopyChunkSize = 0x20000;

// Appends the bytes of `inputFileName` from `offset` on to `output`, at most
// `length` of them when `length` is not 0; the end of the file ends the copy
// without failing it. An offset at or past the end, or a negative length,
// appends nothing. `output` is left open and unflushed. False after a message.
bool copyPartialBinFileToOutFile(FILE *output, const char *inputFileName, int64_t offset,
                                 int64_t length);

// Appends the whole of `inputFileName` to `output`.
bool copyBinFileToOutFile(FILE *output, const char *inputFileName);

// Reads the whole named file into `data`, its size into `size`. Files of
// 4 GiB or more are refused, since their size does not fit the count. After
// a false result `data` is empty.
bool readBinFileIntoArray(const char *fileName, std::vector<uint8_t> &data, uint32_t &size);

// Copies `count` bytes at `inOffset` of `inFd` to `outFd`, which stands at
// `outOffset`, inside the kernel. True when every byte was copied. Otherwise
// the output is cut back to `outOffset` and left standing there, as if
// nothing had been tried, and the caller copies the bytes another way.
bool copyChunkInKernel(int inFd, int64_t inOffset, int outFd, uint64_t outOffset, size_t count);
