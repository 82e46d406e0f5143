// SPDX-License-Identifier: MIT
// A self-updating progress line on standard error for long copies.
#pragma once

#include <cstdint>
#include <string>

// One copy's progress line. It shows only when standard error is a terminal
// that can take the two control sequences it needs (TERM set and not
// "dumb") and the copy has run for about a second; it never grows wider than
// the terminal, and it is erased when the copy ends, so scripts never see it
// and the lines around it stay clean.
struct CopyProgress {
  const char *label = nullptr; // the file being written, as named to the user
  uint64_t total = 0;          // bytes the copy will write
  bool enabled = false;        // a terminal that gets the line
  bool padded = false;         // it is cleared with blanks, having no erase-line
  bool shown = false;          // a line is on the screen now
  double started = 0;          // seconds on the monotonic clock
  double lastShown = 0;
};

void startProgress(CopyProgress &progress, const char *label, uint64_t total);
// Redraws the line at most four times a second, after the first second.
void updateProgress(CopyProgress &progress, uint64_t done);
// Erases the line, if one is shown; the cursor is left at the line's start.
// Call it before any message written while a copy runs.
void endProgress(CopyProgress &progress);

// What the line is made of, for one draw.
struct ProgressText {
  const char *progName; // the program name as invoked
  const char *label;    // the file being written
  uint64_t done;
  uint64_t total;
  double rate; // MiB per second
};

// Lays out the line to fit `columns` display columns less one, so the
// cursor never reaches the last column and the terminal never wraps it.
// Where it does not fit, it gives up, in this order: the program's directory,
// the head of the file name (an ellipsis stands for it), the rate, the
// program's name; and at last it is cut. Control characters and bytes that are not characters of
// the locale become '?', bidirectional controls \xNN per byte. `utf8` tells whether the terminal's
// character set is UTF-8 (the ellipsis is then one character, else three dots); widths are measured
// in the current locale, which the caller sets.
std::string formatProgressLine(const ProgressText &text, unsigned columns, bool utf8);
