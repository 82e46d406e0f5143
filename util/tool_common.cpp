#include "tool_common.h"

#include <cerrno>
#include <cstdarg>
#include <sys/stat.h>

const char *ProgName = "decomp_disk";

FilePtr openFile(const std::string &name, const char *mode) {
  return FilePtr(std::fopen(name.c_str(), mode));
}

int closeFile(FilePtr &file) { return std::fclose(file.release()); }

bool fileSize(const char *fileName, uint64_t &size) {
  struct stat st;
  if (stat(fileName, &st) != 0)
    return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

uint64_t alignAddress(uint64_t address, uint32_t alignment) {
  const uint64_t mask = static_cast<uint32_t>(alignment - 1);
  if ((address & mask) == 0)
    return address;
  return (address & ~mask) + alignment;
}

std::string formatText(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

void printError(const char *format, ...) {
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
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

