// SPDX-License-Identifier: MIT
#include "tool_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

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

// The length of the UTF-8 sequence of a printable character at `p` (at most
// `left` bytes); 0 when the bytes there are not UTF-8 (a stray or missing
// continuation byte, an overlong form, a surrogate, past U+10FFFF) or encode
// a C1 control.
static size_t printableUtf8Length(const unsigned char *p, size_t left) {
  static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  size_t n;
  uint32_t code;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    n = 2;
    code = p[0] & 0x1Fu;
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    n = 3;
    code = p[0] & 0x0Fu;
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    n = 4;
    code = p[0] & 0x07u;
  } else {
    return 0;
  }
  if (left < n)
    return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    code = code << 6 | (p[i] & 0x3Fu);
  }
  const bool valid = code >= smallest[n] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  return valid && (code < 0x80 || code > 0x9F) ? n : 0;
}

// How standard output takes text, asked once: whether it is a terminal, and
// whether the user's locale speaks UTF-8.
struct OutputKind {
  bool terminal;
  bool utf8;
};
static const OutputKind &outputKind() {
  static const OutputKind kind{isatty(STDOUT_FILENO) == 1, userLocaleIsUtf8()};
  return kind;
}

ShownText showBytes(const void *bytes, size_t count) {
  ShownText shown;
  const OutputKind &kind = outputKind();
  if (!kind.terminal) {
    shown.raw = static_cast<const char *>(bytes);
    shown.rawLength = count;
    return shown;
  }
  const unsigned char *p = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < count;) {
    const size_t n = p[i] >= 0x80 && kind.utf8 ? printableUtf8Length(p + i, count - i) : 0;
    if (n != 0) {
      shown.escaped.append(reinterpret_cast<const char *>(p + i), n);
      i += n;
      continue;
    }
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      shown.escaped += static_cast<char>(p[i]);
    } else if (p[i] != 0) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", p[i]);
      shown.escaped += hex;
    }
    ++i;
  }
  return shown;
}

ShownText showField(const char *field, size_t width) {
  return showBytes(field, strnlen(field, width));
}

std::string shownName(const char *name) {
  const ShownText shown = showBytes(name, std::strlen(name));
  return std::string(shown.data(), static_cast<size_t>(shown.length()));
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
