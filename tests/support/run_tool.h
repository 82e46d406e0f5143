// SPDX-License-Identifier: MIT
// Runs the built decomp_disk binary in a child process and captures what it
// printed and how it ended, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace runtool {

struct RunResult {
  std::string out;      // standard output, bytes as written
  std::string err;      // standard error, bytes as written
  std::string terminal; // what reached the pseudo-terminal, when there was one
  int status = -1;      // exit status 0..255, or -1 when killed by a signal
  int signal = 0;       // the signal that ended the child, else 0
};

// A pseudo-terminal that the child's standard output or error, or both, are
// on; it is the child's controlling terminal, of `columns` columns.
struct TerminalOptions {
  bool stdoutOn = false;
  bool stderrOn = false;
  unsigned columns = 80;
};

struct RunOptions {
  std::string cwd;                // working directory of the child; empty: inherit
  std::string stdoutPath;         // when set, stdout goes to this file (e.g. /dev/full)
                                  // instead of being captured, emptied first
  bool appendStdout = false;      // stdoutPath is appended to, not emptied
  std::string stderrPath;         // when set, stderr is appended to this file
  bool stderrToStdout = false;    // stderr goes where stdout goes (2>&1)
  TerminalOptions terminal;       // streams on a pseudo-terminal
  std::vector<std::string> env;   // the child's whole environment when not empty
  uint64_t fileSizeLimit = 0;     // RLIMIT_FSIZE in bytes when nonzero (SIGXFSZ ignored)
  uint64_t addressSpaceLimit = 0; // RLIMIT_AS in bytes when nonzero
  int timeoutSeconds = 120;       // the child is killed after this long
  unsigned closedDescriptors = 0; // bit k set: descriptor k (0, 1, 2) is closed in the child
};

// Path of the decomp_disk binary under test: the DECOMP_DISK_BIN environment
// variable when set, else the path that the build compiled in.
std::string toolPath();

// The words that start the tool under test with `argv0` as its name: the
// tool itself, or where DECOMP_DISK_EMULATOR names an emulator (a program
// for another machine's code, such as qemu-user, which keeps the name given
// with -0), the emulator's words first.
std::vector<std::string> toolCommand(const std::string &argv0);
// True when the emulator is wine (which names the program by its Windows path).
bool toolRunsUnderWine();
// The same as toolCommand, as one line for sh, each word quoted.
std::string toolCommandLine(const std::string &argv0);

// Runs the tool with `args` (not including argv[0]); argv[0] is `argv0` when
// given, else "decomp_disk".
RunResult runTool(const std::vector<std::string> &args, const RunOptions &opt = {},
                  const std::string &argv0 = "decomp_disk");
// The same for another program (argv[0] is `program`).
RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const RunOptions &opt = {});

// Makes a fresh empty temporary directory and returns its path; removed by
// removeTree.
std::string makeTempDir();
void removeTree(const std::string &path);

} // namespace runtool
