// SPDX-License-Identifier: MIT
// Text as a person sees it: what a terminal is shown of text from the image
// and of names, and the user's character set. Pipes and files always get the
// exact bytes; only a terminal, which such bytes could drive, gets them
// escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

// The user's character set (LC_ALL, LC_CTYPE, LANG), in force on this thread
// while the object lives. The process's own locale stays "C", so nothing but
// what is shown to a person is measured or written differently.
class UserCharacterSet {
public:
  UserCharacterSet();
  ~UserCharacterSet();
  UserCharacterSet(const UserCharacterSet &) = delete;
  UserCharacterSet &operator=(const UserCharacterSet &) = delete;

  bool utf8() const;

private:
  CharacterSetScope scope_;
};

// True when the user's locale speaks UTF-8.
bool userLocaleIsUtf8();

// The characters that reorder the text around them on a terminal and show as
// nothing: U+061C, U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069. A
// name or an image text holding one could make what is shown read otherwise
// than what it is.
bool isBidiControl(uint32_t code);

// Text as standard output shows it. Off a terminal: exactly the bytes given.
// On a terminal: every byte that is not printable text is shown as \xNN (C0
// controls, DEL, C1 controls, the bidirectional controls, and bytes that are
// not UTF-8, or outside a UTF-8 locale every byte from 0x80 up), and NUL
// bytes, which pad fixed-width fields and show as nothing, are left out.
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

// A whole message as standard error shows it: the same rules for the names in
// it, on a terminal, but a line end that closes the message stays one.
std::string shownMessage(const std::string &message);
