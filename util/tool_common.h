// SPDX-License-Identifier: MIT
// Small helpers for whole files and numbers that know nothing of the disc.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The progress line of long copies lives beside these helpers.
#include "progress.h"

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
std::string formatText(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A message on standard error. Standard output is flushed first, so that a
// log that takes both streams keeps them in the order they were written even
// when standard output is fully buffered.
void printError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Text from the image, and names, as standard output shows them. Off a
// terminal: exactly the bytes given, so pipes and files get what the image
// holds. On a terminal, which such bytes could drive: every byte that is not
// printable text is shown as \xNN (C0 controls, DEL, C1 controls, and bytes
// that are not UTF-8, or outside a UTF-8 locale every byte from 0x80 up), and
// NUL bytes, which pad fixed-width fields and show as nothing, are left out.
struct ShownText {
  const char *raw = nullptr; // off a terminal: the bytes themselves
  size_t rawLength = 0;
  std::string escaped; // on a terminal
  const char *data() const { return raw != nullptr ? raw : escaped.data(); }
  int length() const { return static_cast<int>(raw != nullptr ? rawLength : escaped.size()); }
};
ShownText showBytes(const void *bytes, size_t count);
// A text field of `width` bytes, up to its first NUL and never past it.
ShownText showField(const char *field, size_t width);
// A name (of a file, of the program) in a line on standard output.
std::string shownName(const char *name);

// Report output on standard output. The first write that fails is remembered
// with its reason, since the final flush may report none.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
void reportBytes(const void *bytes, size_t count);
// Flushes the report; false with the reason of the first failed write (or of
// the flush) in `reason` when any of it was lost.
bool finishReport(int &reason);
