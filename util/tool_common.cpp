// SPDX-License-Identifier: MIT
#include "tool_common.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform.h"

const char *ProgName = "decomp_disk";

FilePtr openFile(const std::string &name, const char *mode) {
  return FilePtr(std::fopen(name.c_str(), mode));
}

int closeFile(FilePtr &file) { return std::fclose(file.release()); }

bool fileSize(const char *fileName, uint64_t &size) {
  uint64_t found;
  if (!sizeOfPath(fileName, found))
    return false;
  size = found;
  return true;
}

uint64_t alignAddress(uint64_t address, uint32_t alignment) {
  const uint64_t mask = static_cast<uint32_t>(alignment - 1);
  if ((address & mask) == 0)
    return address;
  return (address & ~mask) + alignment;
}

// Formats `format` with `args` into a string; none is ever cut.
PRINTF_LIKE(1, 0) static std::string formatArguments(const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

std::string formatText(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatArguments(format, args);
  va_end(args);
  return text;
}

void printError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = shownMessage(formatArguments(format, args));
  va_end(args);
  std::fflush(stdout);
  std::fwrite(message.data(), 1, message.size(), stderr);
}

// The reason of the first report write that failed; 0 while none has.
static int FirstReportError = 0;

static void noteReportResult(bool failed) {
  if (failed && FirstReportError == 0)
    FirstReportError = errno != 0 ? errno : EIO;
}

void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  noteReportResult(std::vprintf(format, args) < 0);
  va_end(args);
}

void reportBytes(const void *bytes, size_t count) {
  errno = 0;
  noteReportResult(std::fwrite(bytes, 1, count, stdout) < count);
}

bool finishReport(int &reason) {
  errno = 0;
  noteReportResult(std::fflush(stdout) != 0 || std::ferror(stdout));
  reason = FirstReportError;
  FirstReportError = 0; // an in-process caller may run again
  return reason == 0;
}
