// SPDX-License-Identifier: MIT
#include "shown_text.h"

#include <cstdio>
#include <cstring>

UserCharacterSet::UserCharacterSet() : scope_(enterUserCharacterSet()) {}

UserCharacterSet::~UserCharacterSet() { leaveUserCharacterSet(scope_); }

bool UserCharacterSet::utf8() const { return characterSetIsUtf8(); }

bool userLocaleIsUtf8() {
  const UserCharacterSet characterSet;
  return characterSet.utf8();
}

bool isBidiControl(uint32_t code) {
  return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

namespace {

// The length of the UTF-8 sequence of a printable character at `p` (at most
// `left` bytes); 0 when the bytes there are not UTF-8 (a stray or missing
// continuation byte, an overlong form, a surrogate, past U+10FFFF) or encode
// a C1 control or a bidirectional control.
size_t printableUtf8Length(const unsigned char *p, size_t left) {
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
  return valid && (code < 0x80 || code > 0x9F) && !isBidiControl(code) ? n : 0;
}

// How a stream takes text, asked once: whether it is a terminal, and whether
// the user's locale speaks UTF-8.
struct StreamKind {
  bool terminal;
  bool utf8;
};

const StreamKind &outputKind() {
  static const StreamKind kind{isTerminal(StandardOutput), userLocaleIsUtf8()};
  return kind;
}

const StreamKind &errorKind() {
  static const StreamKind kind{isTerminal(StandardError), userLocaleIsUtf8()};
  return kind;
}

// Appends `count` bytes as a terminal may be shown them.
void appendEscaped(std::string &to, const unsigned char *p, size_t count, bool utf8) {
  for (size_t i = 0; i < count;) {
    const size_t n = p[i] >= 0x80 && utf8 ? printableUtf8Length(p + i, count - i) : 0;
    if (n != 0) {
      to.append(reinterpret_cast<const char *>(p + i), n);
      i += n;
      continue;
    }
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      to += static_cast<char>(p[i]);
    } else if (p[i] != 0) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", p[i]);
      to += hex;
    }
    ++i;
  }
}

} // namespace

ShownText showBytes(const void *bytes, size_t count) {
  ShownText shown;
  const StreamKind &kind = outputKind();
  if (!kind.terminal) {
    shown.raw = static_cast<const char *>(bytes);
    shown.rawLength = count;
    return shown;
  }
  appendEscaped(shown.escaped, static_cast<const unsigned char *>(bytes), count, kind.utf8);
  return shown;
}

ShownText showField(const char *field, size_t width) {
  return showBytes(field, strnlen(field, width));
}

std::string shownName(const char *name) {
  const ShownText shown = showBytes(name, std::strlen(name));
  return std::string(shown.data(), static_cast<size_t>(shown.length()));
}

std::string shownMessage(const std::string &message) {
  const StreamKind &kind = errorKind();
  if (!kind.terminal)
    return message;
  const bool lineEnd = !message.empty() && message.back() == '\n';
  std::string shown;
  appendEscaped(shown, reinterpret_cast<const unsigned char *>(message.data()),
                message.size() - (lineEnd ? 1 : 0), kind.utf8);
  if (lineEnd)
    shown += '\n';
  return shown;
}
