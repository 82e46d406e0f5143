// SPDX-License-Identifier: MIT
// libFuzzer entry point: every input becomes one whole run of the tool, in
// process, on a sparse input file in a private directory (see fuzz_input.h).
// Standard output goes to /dev/null; the campaign silences standard error
// with -close_fd_mask=2, which keeps the fuzzer's and the sanitizers' reports.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tool/decomp_disk.h"

#ifndef DECOMP_FUZZ_MODES
#define DECOMP_FUZZ_MODES Any
#endif

namespace {

constexpr fuzzinput::Modes ModesOfThisTarget = fuzzinput::Modes::DECOMP_FUZZ_MODES;

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "fuzz_decomp: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

// The process-wide setup, made once: the work directory, the descriptors that
// stand in for standard output, and the file-size limit to return to.
struct Setup {
  std::string dir;
  int devNull = -1;
  int devFull = -1;
  rlimit fileSizeLimit{};

  Setup() {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/decomp_fuzz.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
      die("cannot make the work directory");
    dir = templ;
    devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    devFull = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (devNull < 0 || devFull < 0)
      die("cannot open /dev/null and /dev/full");
    if (::dup2(devNull, STDOUT_FILENO) < 0)
      die("cannot redirect standard output");
    if (::getrlimit(RLIMIT_FSIZE, &fileSizeLimit) != 0)
      die("cannot read RLIMIT_FSIZE");
  }
  ~Setup() {
    clear();
    ::rmdir(dir.c_str());
    ::close(devNull);
    ::close(devFull);
  }
  Setup(const Setup &) = delete;
  Setup &operator=(const Setup &) = delete;

  // Removes every file that the last run left behind.
  void clear() const {
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr)
      die("cannot list the work directory");
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(dir + "/" + e->d_name);
    }
    ::closedir(d);
    for (const std::string &name : names)
      ::unlink(name.c_str());
  }

  void limitFileSize(uint64_t bytes) const {
    // A write past the cap fails with EFBIG instead of ending the process. Set
    // on every run: libFuzzer installs its own handler after initialisation.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit rl = fileSizeLimit;
    if (rl.rlim_max == RLIM_INFINITY || bytes < rl.rlim_max)
      rl.rlim_cur = static_cast<rlim_t>(bytes);
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
      die("cannot set RLIMIT_FSIZE");
  }
  void restoreFileSize() const {
    if (::setrlimit(RLIMIT_FSIZE, &fileSizeLimit) != 0)
      die("cannot restore RLIMIT_FSIZE");
  }
};

Setup &setup() {
  static Setup s;
  return s;
}

} // namespace

// Every extraction allocates an 8 MiB copy buffer. By default the sanitizer
// hands the shadow of each freed large block back to the system and faults it
// in again for the next one, which made extract mode several times slower;
// clearing the shadow in place keeps it resident.
extern "C" const char *__asan_default_options() { return "clear_shadow_mmap_threshold=4294967296"; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Setup &s = setup();
  const fuzzinput::Run run = fuzzinput::decode(data, size, ModesOfThisTarget);
  const std::string input = s.dir + "/image.pwx";
  if (!fuzzinput::writeInput(input, run)) {
    if (errno != EFBIG)
      die("cannot write the input file");
    s.clear(); // a size near 2^63 that this file system does not hold
    return -1;
  }
  if (fuzzinput::tooManyPartitions(input, run)) {
    s.clear();
    return -1; // not added to the corpus
  }

  std::vector<std::string> args = run.options();
  args.insert(args.begin(), "decomp_disk");
  args.push_back(input);
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  // Each run starts as a fresh process would.
  optind = 0;
  Verbose = false;
  std::fflush(stdout);
  std::clearerr(stdout);
  if (run.stdoutFull && ::dup2(s.devFull, STDOUT_FILENO) < 0)
    die("cannot point standard output at /dev/full");

  s.limitFileSize(run.outputLimit);
  decompDiskMain(static_cast<int>(argv.size() - 1), argv.data());
  s.restoreFileSize();

  std::fflush(stdout);
  std::clearerr(stdout);
  if (run.stdoutFull && ::dup2(s.devNull, STDOUT_FILENO) < 0)
    die("cannot point standard output back at /dev/null");
  s.clear();
  return 0;
}
