// SPDX-License-Identifier: MIT
// The progress line as a person sees it. The tool runs on a pseudo-terminal
// of a chosen width with a clock preloaded that makes every copy look slow,
// so the line is drawn at every update; a small terminal model replays what
// the tool wrote, and the screen it leaves must be the screen that the same
// run leaves without a terminal. The layout of the line is also checked
// directly, case by case.
#include <gtest/gtest.h>

#include <locale.h>
#include <regex.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"
#include "util/progress.h"

extern char **environ;

// A namespace of its own: the unity build joins several suites in one unit.
namespace progress_test {

namespace fs = std::filesystem;

constexpr uint64_t MiB = uint64_t{1} << 20;

// Makes `name` the thread's locale while it lives (C.UTF-8 is always there
// with the C library of the development machines).
class LocaleScope {
public:
  explicit LocaleScope(const char *name)
      : own_(newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) {
    if (own_ == static_cast<locale_t>(nullptr))
      throw std::runtime_error(std::string("no locale ") + name);
    previous_ = uselocale(own_);
  }
  ~LocaleScope() {
    uselocale(previous_);
    freelocale(own_);
  }
  LocaleScope(const LocaleScope &) = delete;
  LocaleScope &operator=(const LocaleScope &) = delete;

private:
  locale_t own_;
  locale_t previous_ = LC_GLOBAL_LOCALE;
};

// Display columns of UTF-8 text; -1 when it holds anything but printable
// characters.
int columnsOf(const std::string &text) {
  const LocaleScope utf8("C.UTF-8");
  std::mbstate_t state{};
  int columns = 0;
  for (size_t at = 0; at < text.size();) {
    wchar_t wc = 0;
    const size_t n = std::mbrtowc(&wc, text.data() + at, text.size() - at, &state);
    if (n == 0 || n > text.size() - at)
      return -1;
    const int w = wcwidth(wc);
    if (w < 0)
      return -1;
    columns += w;
    at += n;
  }
  return columns;
}

// ---------------------------------------------------------------------------
// The layout, without a terminal

struct LayoutCase {
  const char *what;
  unsigned columns;
  const char *progName;
  const char *label;
  bool utf8; // the terminal's character set, and the locale it is measured in
  const char *expected;
};

const ProgressText Numbers{nullptr, nullptr, 392 * MiB, 6142 * MiB, 412.0};

const LayoutCase LayoutCases[] = {
    {"fits whole", 80, "/opt/tools/decomp_disk", "disc.game.1", true,
     "/opt/tools/decomp_disk: disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"exactly one column short of the width", 65, "/opt/tools/decomp_disk", "disc.game.1", true,
     "/opt/tools/decomp_disk: disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"the directory of the program goes first", 64, "/opt/tools/decomp_disk", "disc.game.1", true,
     "decomp_disk: disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"then the head of the file name", 60, "/opt/tools/decomp_disk", "/data/images/a_disc.game.1",
     true,
     "decomp_disk: \xE2\x80\xA6"
     "es/a_disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"the ellipsis is three dots outside UTF-8", 60, "decomp_disk", "/data/images/a_disc.game.1",
     false, "decomp_disk: .../a_disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"a file name is not shortened below 8 columns", 50, "decomp_disk",
     "/data/images/a_disc.game.1", true,
     "decomp_disk: \xE2\x80\xA6"
     "ages/a_disc.game.1: 392 of 6142 MiB"},
    {"then the rate", 45, "decomp_disk", "disc.game.1", true,
     "decomp_disk: disc.game.1: 392 of 6142 MiB"},
    {"the rate gone, the file name shortened again", 40, "decomp_disk",
     "/data/images/a_disc.game.1", true,
     "decomp_disk: \xE2\x80\xA6"
     "c.game.1: 392 of 6142 MiB"},
    {"then the program's name, before the numbers", 30, "/opt/tools/decomp_disk",
     "/data/images/a_disc.game.1", true,
     "\xE2\x80\xA6"
     "disc.game.1: 392 of 6142 MiB"},
    {"at last the line is cut", 20, "/opt/tools/decomp_disk", "/data/images/a_disc.game.1", true,
     "\xE2\x80\xA6.game.1: 392 of 61"},
    {"a terminal of one column gets nothing", 1, "decomp_disk", "disc.game.1", true, ""},
    {"control characters become '?'", 80, "decomp_disk", "a\tb\x1b[2Jc\x7f.game.1", true,
     "decomp_disk: a?b?[2Jc?.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"bytes that are no UTF-8 become '?'", 80, "decomp_disk", "a\xFF\xC3.game.1", true,
     "decomp_disk: a??.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"every byte past ASCII is '?' outside UTF-8", 80, "decomp_disk", "d\xC3\xA9j\xC3\xA0.game.1",
     false, "decomp_disk: d??j??.game.1: 392 of 6142 MiB (412 MiB/s)"},
    {"a program name with control characters", 80, "dec\nomp", "disc.game.1", true,
     "dec?omp: disc.game.1: 392 of 6142 MiB (412 MiB/s)"},
    // 12 characters of 2 columns each; 13 columns are left for the file name.
    {"wide characters count two columns", 44, "decomp_disk",
     "\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98"
     "\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98.game.1",
     true, "decomp_disk: \xE2\x80\xA6\xE5\x85\x89\xE7\x9B\x98.game.1: 392 of 6142 MiB"},
    {"a wide character is not split by the cut", 7, "decomp_disk",
     "\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B"
     "\x98",
     true, "\xE2\x80\xA6\xE7\x9B\x98\xE5\x85\x89"},
    // 53 columns: the whole line fits 54 only when the accent takes none.
    {"combining marks take no column", 55, "decomp_disk", "de\xCC\x81j\xC3\xA0.game.1", true,
     "decomp_disk: de\xCC\x81j\xC3\xA0.game.1: 392 of 6142 MiB (412 MiB/s)"},
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.what; }

class ProgressLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ProgressLayout, FitsTheWidth) {
  const LayoutCase &c = GetParam();
  const LocaleScope locale(c.utf8 ? "C.UTF-8" : "C");
  ProgressText text = Numbers;
  text.progName = c.progName;
  text.label = c.label;
  const std::string line = formatProgressLine(text, c.columns, c.utf8);
  EXPECT_EQ(line, c.expected);
  if (c.utf8)
    EXPECT_LE(columnsOf(line), static_cast<int>(c.columns) - 1);
  else
    EXPECT_LE(line.size(), c.columns - 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressLayout, ::testing::ValuesIn(LayoutCases),
                         [](const ::testing::TestParamInfo<LayoutCase> &info) {
                           return "case" + std::to_string(info.index);
                         });

// ---------------------------------------------------------------------------
// A terminal as far as the tool may drive it

// Printable characters (UTF-8, by display width) with auto-wrap at the right
// margin, carriage return, line feed and erase to the end of the line
// (ESC [ K). Anything else the tool writes is reported as a problem.
class Screen {
public:
  explicit Screen(unsigned columns) : columns_(columns) {}

  // False, with the reason, at the first byte sequence the model does not know.
  bool feed(const std::string &bytes, std::string &problem) {
    const LocaleScope utf8("C.UTF-8");
    std::mbstate_t state{};
    for (size_t at = 0; at < bytes.size();) {
      const unsigned char b = static_cast<unsigned char>(bytes[at]);
      if (b == '\r') {
        col_ = 0;
        pendingWrap_ = false;
        ++at;
      } else if (b == '\n') {
        ++row_;
        pendingWrap_ = false;
        ++at;
      } else if (b == 0x1B) {
        if (bytes.compare(at, 3, "\x1b[K") != 0) {
          problem = "unknown escape sequence at byte " + std::to_string(at);
          return false;
        }
        clearToEnd();
        at += 3;
      } else {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, bytes.data() + at, bytes.size() - at, &state);
        const int w = n == 0 || n > bytes.size() - at ? -1 : wcwidth(wc);
        if (w < 0) {
          problem = "unprintable byte " + std::to_string(b) + " at byte " + std::to_string(at);
          return false;
        }
        put(bytes.substr(at, n), static_cast<unsigned>(w));
        at += n;
      }
    }
    return true;
  }

  // The rows with their trailing blanks removed, without the empty rows at
  // the bottom.
  std::vector<std::string> rows() const {
    std::vector<std::string> out;
    for (const std::vector<std::string> &cells : cells_) {
      std::string row;
      for (const std::string &cell : cells)
        row += cell;
      row.erase(row.find_last_not_of(' ') + 1);
      out.push_back(row);
    }
    while (!out.empty() && out.back().empty())
      out.pop_back();
    return out;
  }

private:
  std::vector<std::string> &line(size_t row) {
    if (cells_.size() <= row)
      cells_.resize(row + 1);
    std::vector<std::string> &cells = cells_[row];
    if (cells.size() < columns_)
      cells.resize(columns_, " ");
    return cells;
  }

  void put(const std::string &glyph, unsigned width) {
    if (pendingWrap_ || col_ + width > columns_) {
      ++row_;
      col_ = 0;
      pendingWrap_ = false;
    }
    std::vector<std::string> &cells = line(row_);
    if (width == 0) { // a combining mark joins the character before it
      cells[col_ > 0 ? col_ - 1 : 0] += glyph;
      return;
    }
    cells[col_] = glyph;
    for (unsigned i = 1; i < width; ++i)
      cells[col_ + i] = "";
    col_ += width;
    if (col_ == columns_) {
      col_ = columns_ - 1;
      pendingWrap_ = true;
    }
  }

  void clearToEnd() {
    std::vector<std::string> &cells = line(row_);
    for (unsigned i = col_; i < columns_; ++i)
      cells[i] = " ";
    pendingWrap_ = false;
  }

  unsigned columns_;
  std::vector<std::vector<std::string>> cells_;
  unsigned row_ = 0;
  unsigned col_ = 0;
  bool pendingWrap_ = false;
};

// The screen that `bytes` leave on a terminal of `columns` columns; a
// problem fails the test that asked.
std::vector<std::string> screenOf(const std::string &bytes, unsigned columns) {
  Screen screen(columns);
  std::string problem;
  EXPECT_TRUE(screen.feed(bytes, problem)) << problem;
  return screen.rows();
}

// What a terminal's line discipline makes of a program's output: each line
// feed is preceded by a carriage return.
std::string asOnTerminal(const std::string &bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '\n')
      out += '\r';
    out += c;
  }
  return out;
}

// The progress lines the tool drew: the text between one erase-line and the
// next. A report line after an erase ends with a line feed instead.
std::vector<std::string> drawnLines(const std::string &bytes) {
  std::vector<std::string> lines;
  const std::string erase = "\r\x1b[K";
  for (size_t at = bytes.find(erase); at != std::string::npos; at = bytes.find(erase, at)) {
    at += erase.size();
    const size_t end = bytes.find_first_of("\r\n\x1b", at);
    if (end != std::string::npos && end > at && bytes.compare(end, erase.size(), erase) == 0)
      lines.push_back(bytes.substr(at, end - at));
  }
  return lines;
}

// ---------------------------------------------------------------------------
// Running the tool on a pseudo-terminal

struct PtyOptions {
  unsigned columns = 80;
  const char *term = "xterm"; // nullptr: TERM unset
  const char *lang = "C.UTF-8";
  bool stdoutOnTerminal = true; // else it goes to the pipe
  bool stderrOnTerminal = true; // else it goes to the pipe
  std::string argv0 = "decomp_disk";
  std::vector<std::string> args;
  std::string cwd;
  uint64_t fileSizeLimit = 0; // RLIMIT_FSIZE of the child when not 0
};

struct PtyRun {
  std::string terminal; // what the tool wrote to the terminal
  std::string piped;    // what it wrote to the streams that were not on it
  int status = -1;
};

// The environment of the child: the test's own, less what could change how
// the tool writes, plus the terminal type, the locale and the fast clock.
std::vector<std::string> childEnvironment(const PtyOptions &opt) {
  std::vector<std::string> env;
  std::string asanOptions = "verify_asan_link_order=0";
  for (char **e = environ; *e != nullptr; ++e) {
    const std::string var = *e;
    const std::string name = var.substr(0, var.find('='));
    if (name == "ASAN_OPTIONS") {
      asanOptions = var.substr(name.size() + 1) + ":" + asanOptions;
      continue;
    }
    if (name == "TERM" || name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0 ||
        name == "LD_PRELOAD" || name == "COLUMNS" || name == "LINES" || name == "POSIXLY_CORRECT")
      continue;
    env.push_back(var);
  }
  env.push_back("ASAN_OPTIONS=" + asanOptions);
  env.push_back(std::string("LD_PRELOAD=") + DECOMP_FAST_CLOCK_PATH);
  env.push_back(std::string("LC_ALL=") + opt.lang);
  if (opt.term != nullptr)
    env.push_back(std::string("TERM=") + opt.term);
  return env;
}

PtyRun runOnTerminal(const PtyOptions &opt) {
  runtool::RunOptions run;
  run.cwd = opt.cwd;
  run.env = childEnvironment(opt);
  run.fileSizeLimit = opt.fileSizeLimit;
  run.terminal = {opt.stdoutOnTerminal, opt.stderrOnTerminal, opt.columns};
  // Streams that are both off the terminal share one pipe, in order.
  run.stderrToStdout = !opt.stdoutOnTerminal && !opt.stderrOnTerminal;
  const runtool::RunResult r = runtool::runTool(opt.args, run, opt.argv0);
  return {r.terminal, r.out + r.err, r.status};
}

// ---------------------------------------------------------------------------
// Extractions on a terminal

// A disk image whose partitions hold written data: an update partition of
// 2 MiB, a pad, and a game partition of 20 MiB, enough for several updates
// when the copy goes in chunks of 8 MiB and for one when it goes at once.
discimg::DiscPlan progressDisc() {
  discimg::DiscPlan d;
  discimg::PartitionPlan up = partitionWithMetadata(0x50000, 1, 0x20000, 2 * MiB);
  up.dataBytes = 2 * MiB;
  discimg::PartitionPlan game = partitionWithMetadata(0x300000, 0, 0x20000, 20 * MiB);
  game.dataBytes = 20 * MiB;
  d.partitions = {up, game};
  return d;
}

struct TerminalCase {
  const char *what;
  unsigned columns;
  const char *argv0;
  const char *input; // the name the image is given (a symbolic link to it)
  const char *lang;
  bool verbose;
  // The last line drawn (the game partition's), as a pattern.
  const char *lastLine;
  bool fillsWidth; // the last line was shortened to width - 1 columns exactly
};

const TerminalCase TerminalCases[] = {
    {"80 columns: the whole line", 80, "/opt/tools/decomp_disk", "disc.pwx", "C.UTF-8", false,
     "/opt/tools/decomp_disk: disc\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", false},
    {"80 columns, verbose", 80, "decomp_disk", "disc.pwx", "C.UTF-8", true,
     "decomp_disk: disc\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", false},
    {"60 columns: the program's base name", 60, "/opt/some/where/quite/deep/bin/decomp_disk",
     "disc.pwx", "C.UTF-8", false,
     "decomp_disk: disc\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", false},
    {"60 columns: a long file name shortened", 60, "decomp_disk",
     "a_rather_long_name_for_a_disc_image.pwx", "C.UTF-8", false,
     "decomp_disk: \xE2\x80\xA6[a-z_]*\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", true},
    {"60 columns, verbose, a long file name", 60, "decomp_disk",
     "a_rather_long_name_for_a_disc_image.pwx", "C.UTF-8", true,
     "decomp_disk: \xE2\x80\xA6[a-z_]*\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", true},
    {"40 columns: the rate dropped", 40, "decomp_disk", "disc.pwx", "C.UTF-8", false,
     "decomp_disk: disc\\.game\\.1: [0-9]+ of 20 MiB", false},
    {"40 columns, verbose: report lines wrap, the progress line does not", 40, "decomp_disk",
     "a_rather_long_name_for_a_disc_image.pwx", "C.UTF-8", true,
     "decomp_disk: \xE2\x80\xA6[a-z_]*\\.game\\.1: [0-9]+ of 20 MiB", true},
    {"40 columns, not UTF-8: three dots, '?' for every other byte", 40, "decomp_disk",
     "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA.pwx", "C", false,
     "decomp_disk: \\.\\.\\.[?_]*\\.game\\.1: [0-9]+ of 20 MiB", true},
    {"40 columns: wide characters", 40, "decomp_disk",
     "\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98"
     "\xE5\x85\x89\xE7\x9B\x98\xE5\x85\x89\xE7\x9B\x98.pwx",
     "C.UTF-8", false, "decomp_disk: \xE2\x80\xA6[^:]*\\.game\\.1: [0-9]+ of 20 MiB", false},
    {"60 columns: control characters in the name", 60, "decomp_disk", "a\x01\x1b[2J\x7f.pwx",
     "C.UTF-8", false,
     "decomp_disk: a\\?\\?\\[2J\\?\\.game\\.1: [0-9]+ of 20 MiB \\([0-9]+ MiB/s\\)", false},
    {"20 columns: the line cut, the numbers' start kept", 20, "decomp_disk", "disc.pwx", "C.UTF-8",
     false, "\xE2\x80\xA6\\.game\\.1: [0-9]+ of [0-9 M]*", true},
    {"80 columns: bidirectional controls in the name", 80, "decomp_disk",
     "a\xE2\x80\xAE\xE2\x81\xA6"
     "b.pwx",
     "C.UTF-8", false,
     "decomp_disk: a\\\\xe2\\\\x80\\\\xae\\\\xe2\\\\x81\\\\xa6b\\.game\\.1: [0-9]+ of 20 "
     "MiB \\([0-9]+ MiB/s\\)",
     false},
};

void PrintTo(const TerminalCase &c, std::ostream *os) { *os << c.what; }

// True when all of `text` matches the extended regular expression `pattern`
// (POSIX regex: far cheaper to compile than <regex>).
bool matchesWhole(const std::string &text, const char *pattern) {
  regex_t re;
  if (::regcomp(&re, (std::string("^(") + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0)
    throw std::runtime_error(std::string("bad pattern ") + pattern);
  const bool matched = ::regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
  ::regfree(&re);
  return matched;
}

// Each test gets a folder of its own; the image is laid out once per suite.
class ImageFixture : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    imageDir = runtool::makeTempDir();
    image = imageDir + "/image.pwx";
    discimg::writeDisc(image, progressDisc());
  }
  static void TearDownTestSuite() { runtool::removeTree(imageDir); }
  void SetUp() override { dir = runtool::makeTempDir(); }
  void TearDown() override { runtool::removeTree(dir); }

  // A folder of its own with the image under `name`: the outputs land there.
  std::string folderWith(const std::string &sub, const std::string &name) {
    const std::string folder = dir + "/" + sub;
    fs::create_directory(folder);
    fs::create_symlink(image, folder + "/" + name);
    return folder;
  }

  static std::string imageDir;
  static std::string image;
  std::string dir;
};

std::string ImageFixture::imageDir;
std::string ImageFixture::image;

class ProgressOnTerminal : public ImageFixture,
                           public ::testing::WithParamInterface<TerminalCase> {};

// The partition and pad files of an extraction in `folder`, with their sizes.
std::vector<std::pair<std::string, uint64_t>> outputsIn(const std::string &folder) {
  std::vector<std::pair<std::string, uint64_t>> files;
  for (const fs::directory_entry &e : fs::directory_iterator(folder))
    if (e.is_regular_file() && !e.is_symlink())
      files.emplace_back(e.path().filename().string(), e.file_size());
  std::sort(files.begin(), files.end());
  return files;
}

TEST_P(ProgressOnTerminal, LeavesTheScreenAsWithoutIt) {
  SKIP_UNLESS_TOOL_CAN(preload, "take the tests' fast clock, which draws the line at once");
  const TerminalCase &c = GetParam();
  PtyOptions opt;
  opt.columns = c.columns;
  opt.lang = c.lang;
  opt.argv0 = c.argv0;
  opt.args = {c.verbose ? "-dvx" : "-dx", c.input};
  opt.cwd = folderWith("terminal", c.input);
  const PtyRun shown = runOnTerminal(opt);

  PtyOptions plain = opt;
  plain.stdoutOnTerminal = plain.stderrOnTerminal = false;
  plain.cwd = folderWith("pipe", c.input);
  const PtyRun reference = runOnTerminal(plain);
  ASSERT_EQ(reference.status, 0) << reference.piped;
  ASSERT_EQ(reference.terminal, "");
  EXPECT_EQ(reference.piped.find('\x1b'), std::string::npos);

  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.piped, "");
  EXPECT_EQ(screenOf(shown.terminal, c.columns),
            screenOf(asOnTerminal(reference.piped), c.columns));
  EXPECT_EQ(outputsIn(opt.cwd), outputsIn(plain.cwd));

  // One line for each file with a progress (the update partition, the pad,
  // the game partition) at least, each narrower than the terminal.
  const std::vector<std::string> lines = drawnLines(shown.terminal);
  ASSERT_GE(lines.size(), 3u) << shown.terminal;
  for (const std::string &line : lines) {
    const int width = columnsOf(line);
    EXPECT_GE(width, 0) << line;
    EXPECT_LE(width, static_cast<int>(c.columns) - 1) << line;
  }
  EXPECT_TRUE(matchesWhole(lines.back(), c.lastLine)) << lines.back();
  if (c.fillsWidth) {
    EXPECT_EQ(columnsOf(lines.back()), static_cast<int>(c.columns) - 1) << lines.back();
  }
  // The line is gone when the tool ends: the last thing it wrote is an erase.
  EXPECT_EQ(shown.terminal.substr(shown.terminal.size() - 4), "\r\x1b[K");
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressOnTerminal, ::testing::ValuesIn(TerminalCases),
                         [](const ::testing::TestParamInfo<TerminalCase> &info) {
                           return "case" + std::to_string(info.index);
                         });

// Where the line must not appear at all: the terminal cannot take it, or
// standard error is no terminal.
struct SilentCase {
  const char *what;
  const char *term; // nullptr: unset
  bool stdoutOnTerminal;
  bool stderrOnTerminal;
  bool verbose;
};

const SilentCase SilentCases[] = {
    {"TERM=dumb", "dumb", true, true, false},
    {"TERM=dumb, verbose", "dumb", true, true, true},
    {"TERM unset", nullptr, true, true, false},
    {"TERM empty", "", true, true, true},
    {"standard error a pipe", "xterm", true, false, true},
};

class ProgressRun : public ImageFixture {};

TEST_F(ProgressRun, NothingButTheOutputWhereTheLineCannotGo) {
  SKIP_UNLESS_TOOL_CAN(onTerminal, "run on a pseudo-terminal");
  for (const SilentCase &c : SilentCases) {
    SCOPED_TRACE(c.what);
    PtyOptions opt;
    opt.columns = 40;
    opt.term = c.term;
    opt.stdoutOnTerminal = c.stdoutOnTerminal;
    opt.stderrOnTerminal = c.stderrOnTerminal;
    opt.args = {c.verbose ? "-dvx" : "-dx", "disc.pwx"};
    opt.cwd = folderWith(std::string("silent") + std::to_string(&c - SilentCases), "disc.pwx");
    const PtyRun run = runOnTerminal(opt);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.terminal.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.piped.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.terminal.find(" MiB"), std::string::npos);
    EXPECT_EQ(run.piped.find(" MiB"), std::string::npos);
    if (c.verbose) {
      EXPECT_NE(run.terminal.find("Extracting partition #1 to disc.game.1...\r\n"),
                std::string::npos);
    } else {
      EXPECT_EQ(run.terminal, "");
    }
  }
}

// Standard output in a pipe, standard error on the terminal: the report goes
// to the pipe whole, and the terminal is left blank.
TEST_F(ProgressRun, OnlyStandardErrorOnTheTerminal) {
  SKIP_UNLESS_TOOL_CAN(preload, "take the tests' fast clock, which draws the line at once");
  PtyOptions opt;
  opt.columns = 60;
  opt.stdoutOnTerminal = false;
  opt.args = {"-dvx", "disc.pwx"};
  opt.cwd = folderWith("split", "disc.pwx");
  const PtyRun run = runOnTerminal(opt);
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(drawnLines(run.terminal).size(), 3u) << run.terminal;
  // A kernel call takes a tenth of a second's worth at the speed of the one
  // before, and no less than 4 MiB: where every call looks slow, as under
  // this clock, the 20 MiB of the game partition take five calls or more,
  // and the line is redrawn after each. A copy through the buffer redraws
  // after each chunk of 8 MiB.
  const std::vector<std::string> lines = drawnLines(run.terminal);
  EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                          [](const std::string &l) { return l.find("disc.game.1:") == 13; }),
            toolCapabilities().kernelCopy ? 5 : 3)
      << run.terminal;
  EXPECT_EQ(screenOf(run.terminal, 60), std::vector<std::string>{});
  EXPECT_NE(run.piped.find("Extracting partition #1 to disc.game.1...\n"), std::string::npos);
  EXPECT_EQ(run.piped.find('\x1b'), std::string::npos);
}

// A copy that fails part way: its message, on standard error, stands on a
// line of its own, and the screen is the one the same failure leaves without
// a terminal. The output file may grow to 12 MiB: the update partition and
// the pad are copied (and drawn) whole, the game partition fails.
TEST_F(ProgressRun, FailureMessageOnALineOfItsOwn) {
  SKIP_UNLESS_TOOL_CAN(preload, "take the tests' fast clock, which draws the line at once");
  for (const unsigned columns : {40u, 80u}) {
    SCOPED_TRACE(columns);
    PtyOptions opt;
    opt.columns = columns;
    opt.fileSizeLimit = 12 * MiB;
    opt.args = {"-dvx", "disc.pwx"};
    opt.cwd = folderWith("failing" + std::to_string(columns), "disc.pwx");
    const PtyRun shown = runOnTerminal(opt);
    PtyOptions plain = opt;
    plain.stdoutOnTerminal = plain.stderrOnTerminal = false;
    plain.cwd = folderWith("failing-plain" + std::to_string(columns), "disc.pwx");
    const PtyRun reference = runOnTerminal(plain);

    EXPECT_EQ(shown.status, 255);
    EXPECT_EQ(reference.status, 255);
    EXPECT_NE(reference.piped.find("Write error when writing file disc.game.1\n"),
              std::string::npos)
        << reference.piped;
    EXPECT_GE(drawnLines(shown.terminal).size(), 2u) << shown.terminal;
    EXPECT_EQ(screenOf(shown.terminal, columns), screenOf(asOnTerminal(reference.piped), columns));
  }
}

// A terminal that tells no width (0 columns) is taken as 80 columns wide.
TEST_F(ProgressRun, TerminalWithoutAWidth) {
  SKIP_UNLESS_TOOL_CAN(preload, "take the tests' fast clock, which draws the line at once");
  PtyOptions opt;
  opt.columns = 0;
  opt.args = {"-dx", "disc.pwx"};
  opt.cwd = folderWith("nowidth", "disc.pwx");
  const PtyRun run = runOnTerminal(opt);
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> lines = drawnLines(run.terminal);
  ASSERT_GE(lines.size(), 3u);
  for (const std::string &line : lines)
    EXPECT_LE(columnsOf(line), 79) << line;
  EXPECT_EQ(screenOf(run.terminal, 80), std::vector<std::string>{});
}

// Text from the image on a terminal: every byte that is not printable text is
// shown escaped and NUL padding is left out, so that an image cannot drive
// the terminal (clear it, retitle it, recolour it); file names on standard
// output likewise. In a pipe the same run gives the bytes as they are.
TEST_F(ProgressRun, ImageTextIsEscapedOnATerminal) {
  SKIP_UNLESS_TOOL_CAN(onTerminal, "run on a pseudo-terminal");
  discimg::DiscPlan d;
  d.gameName = std::string("R\0\x01T", 4);
  d.longGameName = "Caf\xC3\xA9 \x7f\x1b]0;PWNED\x07\x1b[2J\x1b[31m\xC2\x9B\xFF\xE2\x80\xAE";
  discimg::PartitionPlan p = partitionWithMetadata(0x50000, 1, 0x8000, 0x8000, 0x8000);
  p.issuer = "Root\x1b[1m\t\xE2\x80\xA6";
  d.partitions = {p};
  const std::string name = "esc\x1b[2J.pwx";
  discimg::writeDisc(dir + "/" + name, d);
  struct Case {
    const char *lang;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"C.UTF-8",
       {"Game name:       R\\x01T",
        "Long game name:  Caf\xC3\xA9 \\x7f\\x1b]0;PWNED\\x07\\x1b[2J\\x1b[31m\\xc2\\x9b\\xff"
        "\\xe2\\x80\\xae",
        "\tTicket issuer: Root\\x1b[1m\\x09\xE2\x80\xA6",
        "Extracting partition #0 to esc\\x1b[2J.up.0..."}},
      {"C",
       {"Long game name:  Caf\\xc3\\xa9 \\x7f\\x1b]0;PWNED\\x07\\x1b[2J\\x1b[31m\\xc2\\x9b\\xff"
        "\\xe2\\x80\\xae",
        "\tTicket issuer: Root\\x1b[1m\\x09\\xe2\\x80\\xa6"}},
  };
  for (const Case &c : cases) {
    PtyOptions opt;
    opt.lang = c.lang;
    opt.stderrOnTerminal = false;
    opt.args = {"-v", "-d", "-p", "-x", name};
    opt.cwd = dir;
    const PtyRun run = runOnTerminal(opt);
    EXPECT_EQ(run.status, 0) << c.lang << run.piped;
    for (const std::string &line : c.lines)
      EXPECT_NE(run.terminal.find(line + "\r\n"), std::string::npos) << c.lang << ": " << line;
  }
  PtyOptions opt;
  opt.stdoutOnTerminal = opt.stderrOnTerminal = false;
  opt.args = {"-v", "-d", "-p", "-x", name};
  opt.cwd = dir;
  const PtyRun run = runOnTerminal(opt);
  for (const std::string &line : std::vector<std::string>{
           "Game name:       " + d.gameName, "Long game name:  " + d.longGameName,
           "\tTicket issuer: " + p.issuer, "Extracting partition #0 to esc\x1b[2J.up.0..."})
    EXPECT_NE(run.piped.find(line + "\n"), std::string::npos) << line;

  // Names in messages on standard error likewise, the program's included.
  const std::string refused = dir + "/refused";
  fs::create_directory(refused);
  fs::create_symlink(dir + "/" + name, refused + "/" + name);
  fs::create_symlink(name, refused + "/esc\x1b[2J.TOC");
  for (const bool onTerminal : {true, false}) {
    PtyOptions opt;
    opt.stdoutOnTerminal = false;
    opt.stderrOnTerminal = onTerminal;
    opt.argv0 = "decomp\xE2\x80\xAE_disk";
    opt.args = {"-d", "-x", name};
    opt.cwd = refused;
    const PtyRun run = runOnTerminal(opt);
    EXPECT_EQ(run.status, 255);
    const std::string refusal = ": Refusing to write esc\x1b[2J.TOC: it is the input file";
    if (onTerminal)
      EXPECT_EQ(screenOf(run.terminal, 80),
                std::vector<std::string>{"decomp\\xe2\\x80\\xae_disk: Refusing to write "
                                         "esc\\x1b[2J.TOC: it is the input file"});
    else
      EXPECT_EQ(run.piped, opt.argv0 + refusal + "\n");
  }
}

} // namespace progress_test
