#include "tool_common.h"

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
