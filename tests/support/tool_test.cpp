// SPDX-License-Identifier: MIT
// The shared fixture, row runner and text comparison of the test suites.
#include "tool_test.h"

#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

const ToolCapabilities &toolCapabilities() {
  static const ToolCapabilities capabilities = [] {
    const char *platform = std::getenv("DECOMP_DISK_PLATFORM");
    const char *linkage = std::getenv("DECOMP_DISK_STATIC");
    const char *emulator = std::getenv("DECOMP_DISK_EMULATOR");
    ToolCapabilities c;
    c.platform = platform != nullptr && *platform != '\0' ? platform : DECOMP_TOOL_PLATFORM;
    const bool onLinux = c.platform == "linux";
    // Under wine, which keeps no holes, a file of holes is gigabytes of zeros.
    c.keepsHoles = c.platform != "windows";
    c.characterDevices = c.platform != "windows";
    const bool wine = runtool::toolRunsUnderWine();
    c.onTerminal = c.seesStreams = c.closedStreams = c.namedByShell = c.systemErrors = !wine;
    c.loopDevices = onLinux;
    c.fileSystemDevices = onLinux;
    c.kernelCopy = onLinux;
    c.emulated = emulator != nullptr && *emulator != '\0';
    const bool isStatic = linkage != nullptr && std::string(linkage) == "1";
    c.preload = !c.emulated && !isStatic;
    c.ownAddressSpace = !c.emulated;
    c.described = c.platform + (isStatic ? ", static" : "") +
                  (wine         ? ", under wine"
                   : c.emulated ? ", emulated"
                                : "");
    return c;
  }();
  return capabilities;
}

const std::string &toolBanner() {
  static const std::string line = [] {
    const runtool::RunResult r = runtool::runTool({"-h"});
    return r.err.substr(0, r.err.find('\n') + 1);
  }();
  return line;
}

const std::string DefaultDiskHeader = "*** Disk Header ***\n"
                                      "Game name:       RTST\n"
                                      "Company:         01\n"
                                      "Disk type:       Vandelmere\n"
                                      "Long game name:  Test Disc\n"
                                      "Hashing:         ON\n"
                                      "Encryption:      ON\n"
                                      "************\n";

std::string dataFile(const std::string &name) {
  const std::string path = std::string(DECOMP_TEST_DATA_DIR) + "/" + name;
  if (!discimg::fileExists(path)) {
    ADD_FAILURE() << "no expected file " << path;
    return "";
  }
  const discimg::Bytes bytes = discimg::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

namespace {

// Splits after each line end; a last line without one is kept as it is.
std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> all;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    all.push_back(text.substr(at, next - at));
    at = next;
  }
  return all;
}

// A line as it can be read in a terminal: tabs, control bytes and bytes past
// ASCII escaped, a missing line end said.
std::string visible(const std::string &line) {
  std::string shown;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '\n' && i + 1 == line.size())
      return shown;
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown + "  (no line end)";
}

// A line diff of the two texts (longest common subsequence), with up to three
// unchanged lines around each change.
std::string lineDiff(const std::string &expected, const std::string &actual) {
  const std::vector<std::string> a = lines(expected);
  const std::vector<std::string> b = lines(actual);
  constexpr size_t Context = 3;
  // Past a few thousand lines a table of that size costs too much: then only
  // the first difference and what follows it are shown.
  if (a.size() * b.size() > 4'000'000) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
      ++i;
    std::ostringstream s;
    s << "first difference at line " << i + 1 << "\n";
    for (size_t k = i; k < std::min(a.size(), i + 5); ++k)
      s << "-" << visible(a[k]) << "\n";
    for (size_t k = i; k < std::min(b.size(), i + 5); ++k)
      s << "+" << visible(b[k]) << "\n";
    return s.str();
  }
  std::vector<std::vector<uint32_t>> common(a.size() + 1, std::vector<uint32_t>(b.size() + 1, 0));
  for (size_t i = a.size(); i-- > 0;)
    for (size_t j = b.size(); j-- > 0;)
      common[i][j] =
          a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
  struct Op {
    char kind; // ' ', '-', '+'
    std::string text;
    size_t expectedLine;
  };
  std::vector<Op> ops;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      ops.push_back({' ', a[i], i + 1});
      ++i;
      ++j;
    } else if (j < b.size() && (i == a.size() || common[i][j + 1] >= common[i + 1][j])) {
      ops.push_back({'+', b[j], i + 1});
      ++j;
    } else {
      ops.push_back({'-', a[i], i + 1});
      ++i;
    }
  }
  std::ostringstream s;
  bool skipped = false;
  for (size_t k = 0; k < ops.size(); ++k) {
    bool near = ops[k].kind != ' ';
    for (size_t d = 1; !near && d <= Context; ++d)
      near = (k >= d && ops[k - d].kind != ' ') || (k + d < ops.size() && ops[k + d].kind != ' ');
    if (!near) {
      skipped = true;
      continue;
    }
    if (skipped || k == 0)
      s << "@@ expected line " << ops[k].expectedLine << "\n";
    skipped = false;
    s << ops[k].kind << visible(ops[k].text) << "\n";
  }
  return s.str();
}

} // namespace

void expectText(const std::string &actual, const std::string &expected, const std::string &what,
                const std::string &stream) {
  if (actual == expected)
    return;
  ADD_FAILURE() << what << (what.empty() ? "" : ": ") << stream
                << " differs (- expected, + actual):\n"
                << lineDiff(expected, actual);
}

void expectTextFile(const std::string &actual, const std::string &name, const std::string &what) {
  expectText(actual, dataFile(name), what.empty() ? name : what + " (" + name + ")");
}

std::set<std::string> regularFilesIn(const std::string &dir) {
  std::set<std::string> names;
  for (const fs::directory_entry &e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink())
      names.insert(e.path().filename().string());
  return names;
}

void ToolDirTest::SetUp() { dir = runtool::makeTempDir(); }

void ToolDirTest::TearDown() {
  for (const std::string &d : memoryDirs_)
    runtool::removeTree(d);
  runtool::removeTree(dir);
}

runtool::RunResult ToolDirTest::run(const std::vector<std::string> &args, const std::string &cwd,
                                    runtool::RunOptions opt) {
  opt.cwd = cwd.empty() ? dir : cwd;
  return runtool::runTool(args, opt);
}

std::string ToolDirTest::newDir() {
  const std::string d = dir + "/" + std::to_string(cases_++);
  fs::create_directory(d);
  return d;
}

std::string ToolDirTest::memoryDir() {
  struct statfs info {};
  if (::access("/dev/shm", W_OK) != 0 || ::statfs("/dev/shm", &info) != 0 ||
      info.f_type != 0x01021994) // tmpfs
    return "";
  std::string name = "/dev/shm/decomp_disk_test.XXXXXX";
  if (::mkdtemp(name.data()) == nullptr)
    return "";
  memoryDirs_.push_back(name);
  return name;
}

discimg::PartitionPlan partitionWithMetadata(uint64_t address, uint32_t type, uint64_t dataOffset,
                                             uint64_t dataSize, uint64_t dataBytes) {
  discimg::PartitionPlan p;
  p.address = address;
  p.type = type;
  p.dataOffset = static_cast<uint32_t>(dataOffset / 4);
  p.dataSize = static_cast<uint32_t>(dataSize / 4);
  p.dataBytes = dataBytes;
  p.tmd = discimg::makeTmd({});
  p.tmdOffset = static_cast<uint32_t>(discimg::kPartitionHeaderSize / 4);
  p.certs = discimg::makeCert(0x10002, 0, "Root", "CA01");
  p.certOffset = static_cast<uint32_t>((discimg::kPartitionHeaderSize + p.tmd.size()) / 4);
  return p;
}

namespace {

// True when `out` holds bytes [from, from + length) of `in`. Outputs over
// 64 MiB are compared in three 1 MiB windows: start, middle and end.
bool holdsRange(const std::string &out, const std::string &in, uint64_t from, uint64_t length) {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  if (length <= 64 * MiB)
    return discimg::sameAsRange(out, in, from, length);
  for (uint64_t at : {uint64_t{0}, (length / 2) & ~uint64_t{0xFFF}, length - MiB})
    if (discimg::readFileRange(out, at, MiB) != discimg::readFileRange(in, from + at, MiB))
      return false;
  return true;
}

} // namespace

void expectOutputs(const std::string &dir, const std::string &input, const std::string &reference,
                   const std::vector<OutFile> &files, const std::string &what) {
  std::set<std::string> have = regularFilesIn(dir);
  have.erase(input);
  std::set<std::string> want;
  for (const OutFile &f : files)
    want.insert(f.name);
  EXPECT_EQ(have, want) << what;
  for (const OutFile &f : files) {
    const std::string path = dir + "/" + f.name;
    if (!discimg::fileExists(path))
      continue;
    EXPECT_EQ(discimg::fileSizeOf(path), f.length) << what << ": " << f.name;
    EXPECT_TRUE(holdsRange(path, reference, f.from, f.length)) << what << ": " << f.name;
  }
}

std::string inputName(const discimg::DiscPlan &disc) {
  return disc.moxBin ? "mox.bin" : "image.pwx";
}

void layOut(const std::string &path, discimg::DiscPlan disc) {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  const uint64_t end = discimg::endOf(disc);
  disc.patternRest =
      disc.fileSize != 0 && end > discimg::kTocAddress && end - discimg::kTocAddress <= 64 * MiB;
  discimg::writeDisc(path, disc);
}

void checkRow(const std::string &dir, const Row &row) {
  if (row.opt.closedDescriptors != 0 && !toolCapabilities().closedStreams) {
    std::printf("[   NOTE   ] %s: not run, the tool under test (%s) cannot be started with "
                "standard descriptors closed\n",
                row.what.c_str(), toolCapabilities().described.c_str());
    return;
  }
  const std::string input = row.input.empty() ? inputName(row.disc) : row.input;
  const std::string reference = dir + ".reference";
  layOut(reference, row.disc);
  layOut(dir + "/" + input, row.disc);
  for (const std::string &name : row.stale)
    discimg::putAt(dir + "/" + name, 0, 0, discimg::Bytes(0x30000, 0xEE));
  if (row.prepare)
    row.prepare(dir);

  runtool::RunOptions opt = row.opt;
  opt.cwd = dir;
  const runtool::RunResult r = runtool::runTool(row.args, opt);
  const std::string out = row.out.rfind("@B", 0) == 0 ? toolBanner() + row.out.substr(2) : row.out;
  expectText(row.outPrefix ? r.out.substr(0, out.size()) : r.out, out, row.what, "standard output");
  expectText(r.err, row.err, row.what, "standard error");
  EXPECT_EQ(r.status, row.status) << row.what;
  EXPECT_EQ(r.signal, 0) << row.what;
  expectOutputs(dir, input, reference, row.files, row.what);
  if (row.inputSizeAfter != UINT64_MAX) {
    EXPECT_EQ(discimg::fileSizeOf(dir + "/" + input), row.inputSizeAfter) << row.what;
  }
}
