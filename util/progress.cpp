// SPDX-License-Identifier: MIT
#include "progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.h"
#include "shown_text.h"
#include "tool_common.h"

namespace {

// Width assumed when the terminal does not tell its own.
constexpr unsigned DefaultColumns = 80;

// A file name is shortened to no fewer columns than this (the ellipsis
// included); below it the rate goes first, since a file name cut to a few
// characters no longer says which file is being written.
constexpr unsigned MinLabelColumns = 8;

// Clears the terminal line the cursor is on and returns to its start.
constexpr char EraseLine[] = "\r\033[K";

// One character as it will be written, and the columns it takes.
struct Cell {
  std::string bytes;
  unsigned width;
};
using Cells = std::vector<Cell>;

// Splits text into characters of the current locale. Control characters, and
// bytes that are no character of the locale, become '?': a name never moves
// the cursor or changes the terminal's state, and its width is known.
// Outside UTF-8 every byte from 0x80 up is '?', whatever a C library makes
// of it (one maps such bytes to characters of its own, C1 controls among
// them).
Cells toCells(const char *text, bool utf8) {
  Cells cells;
  size_t left = std::strlen(text);
  const char *p = text;
  while (left != 0) {
    uint32_t code = 0;
    const bool foreign = !utf8 && static_cast<unsigned char>(*p) >= 0x80;
    const size_t n = foreign ? 0 : decodeCharacter(p, left, code);
    if (n == 0) {
      cells.push_back({"?", 1});
      ++p;
      --left;
      continue;
    }
    const int width = displayWidth(code);
    if (isBidiControl(code)) {
      // Invisible, and able to reorder the line: shown byte by byte.
      for (size_t i = 0; i < n; ++i)
        cells.push_back({formatText("\\x%02x", static_cast<unsigned char>(p[i])), 4});
    } else if (width < 0) {
      cells.push_back({"?", 1});
    } else {
      cells.push_back({std::string(p, n), static_cast<unsigned>(width)});
    }
    p += n;
    left -= n;
  }
  return cells;
}

unsigned widthOf(const Cells &cells) {
  unsigned width = 0;
  for (const Cell &c : cells)
    width += c.width;
  return width;
}

void append(Cells &to, const Cells &from) { to.insert(to.end(), from.begin(), from.end()); }

// The ellipsis followed by the longest tail of `cells` that fits in
// `columns` together with it; `cells` itself when it fits whole.
Cells shortenFromLeft(const Cells &cells, unsigned columns, const Cells &ellipsis) {
  if (widthOf(cells) <= columns)
    return cells;
  const unsigned room = columns - widthOf(ellipsis);
  unsigned used = 0;
  size_t first = cells.size();
  while (first > 0 && used + cells[first - 1].width <= room) {
    --first;
    used += cells[first].width;
  }
  Cells out = ellipsis;
  out.insert(out.end(), cells.begin() + static_cast<std::ptrdiff_t>(first), cells.end());
  return out;
}

// The first cells of `cells` that fit in `columns`.
Cells cutTo(const Cells &cells, unsigned columns) {
  Cells out;
  unsigned used = 0;
  for (const Cell &c : cells) {
    if (used + c.width > columns)
      break;
    used += c.width;
    out.push_back(c);
  }
  return out;
}

std::string join(const Cells &cells) {
  std::string text;
  for (const Cell &c : cells)
    text += c.bytes;
  return text;
}

// The program name without its directory.
const char *baseNameOf(const char *path) {
  const char *last = nullptr;
  for (const char *p = path; *p != '\0'; ++p)
    if (std::strchr(PathSeparators, *p) != nullptr)
      last = p;
  return last != nullptr && last[1] != '\0' ? last + 1 : path;
}

// The width of the terminal on standard error, asked at every draw so that a
// resized window is followed.
unsigned lineColumns() {
  const unsigned columns = terminalColumns(StandardError);
  return columns > 0 ? columns : DefaultColumns;
}

// What clears the line on the terminal: carriage return and erase-line, or
// where the terminal has no erase-line, blanks over the width less one.
std::string eraser(const CopyProgress &progress) {
  if (!progress.padded)
    return EraseLine;
  std::string blanks(lineColumns() + 1, ' ');
  blanks.front() = blanks.back() = '\r';
  return blanks;
}

} // namespace

std::string formatProgressLine(const ProgressText &text, unsigned columns, bool utf8) {
  const unsigned room = columns > 0 ? columns - 1 : 0;
  const Cells ellipsis = utf8 ? Cells{{"\xE2\x80\xA6", 1}} : Cells{{".", 1}, {".", 1}, {".", 1}};
  const Cells separator = toCells(": ", utf8);
  const Cells label = toCells(text.label, utf8);
  constexpr double MiB = 1024.0 * 1024.0;
  const Cells amount =
      toCells(formatText(": %.0f of %.0f MiB", static_cast<double>(text.done) / MiB,
                         static_cast<double>(text.total) / MiB)
                  .c_str(),
              utf8);
  const Cells rate = toCells(formatText(" (%.0f MiB/s)", text.rate).c_str(), utf8);

  auto lineOf = [&](const Cells &name, const Cells &file, bool withRate) {
    Cells line = name;
    if (!name.empty())
      append(line, separator);
    append(line, file);
    append(line, amount);
    if (withRate)
      append(line, rate);
    return line;
  };

  Cells line = lineOf(toCells(text.progName, utf8), label, true);
  if (widthOf(line) <= room)
    return join(line);
  // The program's directory goes first, then the head of the file name, then
  // the rate, then the program's name: the numbers are what the line is for.
  const Cells name = toCells(baseNameOf(text.progName), utf8);
  for (const Cells &program : {name, Cells{}}) {
    for (bool withRate : {true, false}) {
      if (program.empty() && withRate)
        continue;
      line = lineOf(program, label, withRate);
      if (widthOf(line) <= room)
        return join(line);
      const unsigned others = widthOf(line) - widthOf(label);
      if (room >= others + MinLabelColumns)
        return join(lineOf(program, shortenFromLeft(label, room - others, ellipsis), withRate));
    }
  }
  return join(cutTo(lineOf({}, shortenFromLeft(label, MinLabelColumns, ellipsis), false), room));
}

void startProgress(CopyProgress &progress, const char *label, uint64_t total) {
  progress = CopyProgress{};
  progress.label = label;
  progress.total = total;
  const ProgressLine line = progressLineOn(StandardError);
  progress.enabled = line != ProgressLine::None;
  progress.padded = line == ProgressLine::Padded;
  if (progress.enabled)
    progress.started = progress.lastShown = monotonicSeconds();
}

void updateProgress(CopyProgress &progress, uint64_t done) {
  if (!progress.enabled)
    return;
  const double now = monotonicSeconds();
  if (now - progress.started < 1.0 || now - progress.lastShown < 0.25)
    return;
  progress.lastShown = now;
  constexpr double MiB = 1024.0 * 1024.0;
  const ProgressText text{ProgName, progress.label, done, progress.total,
                          static_cast<double>(done) / MiB / (now - progress.started)};
  std::string output = eraser(progress);
  {
    const UserCharacterSet characterSet;
    output += formatProgressLine(text, lineColumns(), characterSet.utf8());
  }
  // The report lines written so far go first, so the screen shows them above
  // the line and in order; they must not land behind an old line.
  if (progress.shown)
    std::fputs(eraser(progress).c_str(), stderr);
  std::fflush(stdout);
  std::fwrite(output.data(), 1, output.size(), stderr);
  std::fflush(stderr);
  progress.shown = true;
}

void endProgress(CopyProgress &progress) {
  if (progress.shown) {
    std::fflush(stdout);
    std::fputs(eraser(progress).c_str(), stderr);
    std::fflush(stderr);
  }
  progress.shown = false;
}
