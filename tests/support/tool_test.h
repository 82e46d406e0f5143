// SPDX-License-Identifier: MIT
// What the test suites share: a fixture that gives each test fresh
// directories to run the tool in, a row runner that lays out a disc, runs the
// tool on it and checks both streams, the status and every output file byte
// for byte, text comparison with a readable diff, and the expected texts that
// several suites need.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"

// True in a build with AddressSanitizer, whose shadow memory does not fit the
// small address spaces that some tests give the tool.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool UnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool UnderAddressSanitizer = true;
#else
inline constexpr bool UnderAddressSanitizer = false;
#endif
#else
inline constexpr bool UnderAddressSanitizer = false;
#endif

// What the tool under test can do: its platform seam's implementation (the
// build's own, or DECOMP_DISK_PLATFORM's for a tool from another build), how
// it was linked (DECOMP_DISK_STATIC=1 for a static program) and whether it
// runs under an emulator (DECOMP_DISK_EMULATOR). A test that
// needs what the tool lacks skips with a note that names it.
struct ToolCapabilities {
  std::string platform;   // "linux", "posix" or "macos"
  bool loopDevices;       // knows the file a loop device reads
  bool fileSystemDevices; // knows the block devices under a file system
  bool kernelCopy;        // copies inside the kernel, in calls sized by their speed
  bool preload;           // a dynamic program that LD_PRELOAD reaches (the tests' clock)
  bool emulated;          // runs under an emulator
  bool ownAddressSpace;   // an address-space limit is the tool's, not an emulator's
  bool keepsHoles;        // leaves the input's holes as holes in its outputs
  bool characterDevices;  // knows a character device under any name (disks may be ones)
  // What wine, which runs the Windows build here, cannot give it:
  bool onTerminal;       // a pseudo-terminal as its console (wine wraps every character)
  bool seesStreams;      // where a redirected standard stream leads
  bool closedStreams;    // standard descriptors that the caller closed, as closed
  bool namedByShell;     // the name that a shell starts it with
  bool systemErrors;     // the system's own reason for a failed write
  std::string described; // the platform, and "static" or "emulated"
};
const ToolCapabilities &toolCapabilities();

// Skips the test, saying why, when the tool under test lacks `capability`.
#define SKIP_UNLESS_TOOL_CAN(capability, what)                                                     \
  do {                                                                                             \
    if (!toolCapabilities().capability)                                                            \
      GTEST_SKIP() << "the tool under test (" << toolCapabilities().described << ") cannot "       \
                   << what;                                                                        \
  } while (false)

// Every message of the tool starts with its name.
inline const std::string P = "decomp_disk: ";

// The version banner, the first line of the usage text, as the binary under
// test prints it.
const std::string &toolBanner();

// The disk header block that print mode shows for a default DiscPlan.
extern const std::string DefaultDiskHeader;

// The bytes of a file in tests/data/, e.g. dataFile("report/x.txt").
std::string dataFile(const std::string &name);

// Compares two texts; on a difference the test fails with `what`, the name of
// the stream, and a line diff (- expected, + actual) with the characters that
// do not show made visible.
void expectText(const std::string &actual, const std::string &expected, const std::string &what,
                const std::string &stream = "output");
// Compares a text with the expected file tests/data/`name`, like git's test_cmp.
void expectTextFile(const std::string &actual, const std::string &name,
                    const std::string &what = "");

// The regular files in `dir` (no directories, no symbolic links).
std::set<std::string> regularFilesIn(const std::string &dir);

// Gives each test a temporary directory of its own (`dir`), removed after it,
// and runs the tool there.
class ToolDirTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the tool with `args` in `cwd` (the test's directory when empty).
  runtool::RunResult run(const std::vector<std::string> &args, const std::string &cwd = "",
                         runtool::RunOptions opt = {});
  // A fresh empty directory inside `dir`, so that each case of a table sees
  // only its own files.
  std::string newDir();
  // A fresh empty directory on a memory file system, removed after the test,
  // where reading a multi-GiB hole is cheap; empty when there is none.
  std::string memoryDir();

  std::string dir;

private:
  std::vector<std::string> memoryDirs_;
  int cases_ = 0;
};

// A partition given in bytes (the header stores offsets and sizes / 4), with a
// small title metadata and one certificate right after its header, and
// `dataBytes` bytes of patterned data at its data start.
discimg::PartitionPlan partitionWithMetadata(uint64_t address, uint32_t type, uint64_t dataOffset,
                                             uint64_t dataSize, uint64_t dataBytes = 0);

// One output file: `length` bytes of the input from file offset `from`.
struct OutFile {
  std::string name;
  uint64_t from;
  uint64_t length;
};

// `dir` holds exactly `files` besides the input (directories and symbolic
// links that the case made aside), each holding its range of `reference`,
// the input as it was laid out.
void expectOutputs(const std::string &dir, const std::string &input, const std::string &reference,
                   const std::vector<OutFile> &files, const std::string &what);

// One run of the tool on a disc: what it must print, exit with and leave
// behind.
struct Row {
  std::string what;
  discimg::DiscPlan disc;
  std::vector<std::string> args; // "image.pwx" or "mox.bin" names the input
  std::string out;               // "@B" at its start stands for the banner line
  std::string err;
  int status;
  std::vector<OutFile> files;                                    // besides the input
  runtool::RunOptions opt = {};                                  // cwd is the row's directory
  std::function<void(const std::string &dir)> prepare = nullptr; // before the run
  std::vector<std::string> stale = {};  // made longer beforehand; must be overwritten
  uint64_t inputSizeAfter = UINT64_MAX; // when the run changes the input
  bool outPrefix = false;               // `out` is the start of standard output only
  std::string input = "";               // the input's name when not the kind's usual one
};

// "image.pwx" for a disk image, "mox.bin" for a mox.bin file.
std::string inputName(const discimg::DiscPlan &disc);

// Lays out a disc for a row: written with discimg::writeDisc, every byte past
// the table of contents that no record holds patterned when the input ends
// within 64 MiB of it, so that every copied range tells where it came from.
void layOut(const std::string &path, discimg::DiscPlan disc);

// Lays out the row's disc in `dir` (and a copy beside it, `dir`.reference, to
// check the outputs against), runs the row there and checks everything.
void checkRow(const std::string &dir, const Row &row);
