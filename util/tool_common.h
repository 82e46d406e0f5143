// SPDX-License-Identifier: MIT
// Small helpers for whole files and numbers that know nothing of the disc.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "shown_text.h"

// The program name as invoked; the head of almost every message.
extern const char *ProgName;

// Owns a FILE stream and closes it when it goes out of scope. Code that must
// see the result of a close releases the stream and calls closeFile itself.
struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a file with fopen's modes; null on failure, with errno set.
FilePtr openFile(const std::string &name, const char *mode);

// Closes a stream the caller owned, returning fclose's result (0 on success).
int closeFile(FilePtr &file);

// Stores the size of the named file in `size`. Fails silently, leaving `size`
// untouched, when the file's attributes cannot be read.
bool fileSize(const char *fileName, uint64_t &size);

// Rounds `address` up to a multiple of `alignment`, a power of two.
uint64_t alignAddress(uint64_t address, uint32_t alignment);

// printf into a std::string; names are built with it so none is ever cut.
std::string formatText(const char *format, ...) PRINTF_LIKE(1, 2);

// A message on standard error, shown as shownMessage says. Standard output is
// flushed first, so that a log that takes both streams keeps them in the
// order they were written even when standard output is fully buffered.
void printError(const char *format, ...) PRINTF_LIKE(1, 2);

// Report output on standard output. The first write that fails is remembered
// with its reason, since the final flush may report none.
void report(const char *format, ...) PRINTF_LIKE(1, 2);
void reportBytes(const void *bytes, size_t count);
// Flushes the report; false with the reason of the first failed write (or of
// the flush) in `reason` when any of it was lost.
bool finishReport(int &reason);
