// SPDX-License-Identifier: MIT
// Runs the tool under test as a child process and collects its output and
// exit, enforcing the limits the tests ask for.
#include "run_tool.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace runtool {
namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error sysError(const std::string &what, int err) {
  return std::runtime_error("runTool: " + what + ": " + std::strerror(err));
}

using discimg::Fd;

// Owns the result of open/pipe-like calls, or throws with the reason.
Fd checked(int fd, const std::string &what) {
  if (fd < 0) {
    throw sysError(what, errno);
  }
  return Fd(fd);
}

// Keeps a close-on-exec descriptor off 0..2, so that the child's dup2 onto the
// standard descriptors never meets its own source (which would leave
// close-on-exec set) even when the test process runs with one of them closed.
Fd aboveStdio(Fd fd, const std::string &what) {
  if (fd.get() > 2) {
    return fd;
  }
  return checked(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3), what);
}

struct Pipe {
  Fd read;
  Fd write;
};

// Both ends close-on-exec; the child dup2s the end it needs.
Pipe makePipe() {
  std::array<int, 2> p{};
  if (::pipe2(p.data(), O_CLOEXEC) != 0) {
    throw sysError("pipe", errno);
  }
  Fd r(p[0]);
  Fd w(p[1]);
  Pipe pipe;
  pipe.read = aboveStdio(std::move(r), "pipe");
  pipe.write = aboveStdio(std::move(w), "pipe");
  return pipe;
}

// A started child that has not been reaped yet. If the parent leaves early
// (an exception), the child is killed and reaped so no zombie or runaway
// process outlives the test.
class Child {
public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
      }
    }
  }

  pid_t pid() const { return pid_; }
  // Called once waitpid has returned the child's status.
  void reaped() { pid_ = -1; }

private:
  pid_t pid_;
};

// What the child reports through the error pipe when it cannot reach exec.
enum class ChildStage : int { kStdio = 1, kChdir, kFileSizeLimit, kAddressSpaceLimit, kExec };

const char *stageName(int stage) {
  switch (static_cast<ChildStage>(stage)) {
  case ChildStage::kStdio:
    return "redirecting standard descriptors";
  case ChildStage::kChdir:
    return "changing directory";
  case ChildStage::kFileSizeLimit:
    return "setting RLIMIT_FSIZE";
  case ChildStage::kAddressSpaceLimit:
    return "setting RLIMIT_AS";
  case ChildStage::kExec:
    return "executing";
  }
  return "starting";
}

// Child side after fork: only async-signal-safe calls from here to exec.
[[noreturn]] void failInChild(int errFd, ChildStage stage) {
  std::array<int, 2> msg{static_cast<int>(stage), errno};
  ssize_t ignored = ::write(errFd, msg.data(), sizeof(msg));
  (void)ignored;
  ::_exit(127);
}

// Lowers the soft limit to `value` (never above the hard limit).
bool lowerLimit(int resource, uint64_t value) {
  struct rlimit rl {};
  if (::getrlimit(resource, &rl) != 0) {
    return false;
  }
  rlim_t want = static_cast<rlim_t>(value);
  rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
  return ::setrlimit(resource, &rl) == 0;
}

// Everything the child needs, prepared before fork so the child allocates nothing.
struct ChildSetup {
  int stdinFd;
  int stdoutFd;
  int stderrFd;
  int errFd;
  int terminalFd;  // the pseudo-terminal to make the controlling one, or -1
  const char *cwd; // null: inherit
  uint64_t fileSizeLimit;
  uint64_t addressSpaceLimit;
  unsigned closedDescriptors;
  const char *path;
  bool searchPath; // bare program name: look it up in PATH
  char *const *argv;
  char *const *envp; // null: the test process's environment
};

[[noreturn]] void runChild(const ChildSetup &s) {
  // A clean signal state for the tool, whatever the test process set up.
  sigset_t all;
  ::sigemptyset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  ::signal(SIGPIPE, SIG_DFL);

  if (s.terminalFd >= 0 && (::setsid() < 0 || ::ioctl(s.terminalFd, TIOCSCTTY, 0) != 0)) {
    failInChild(s.errFd, ChildStage::kStdio);
  }
  if (::dup2(s.stdinFd, 0) < 0 || ::dup2(s.stdoutFd, 1) < 0 || ::dup2(s.stderrFd, 2) < 0) {
    failInChild(s.errFd, ChildStage::kStdio);
  }
  // Descriptors the test process left inheritable must not reach the tool.
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd)
    if ((s.closedDescriptors >> fd & 1u) != 0)
      ::close(fd);

  if (s.cwd != nullptr && ::chdir(s.cwd) != 0) {
    failInChild(s.errFd, ChildStage::kChdir);
  }
  if (s.fileSizeLimit != 0) {
    ::signal(SIGXFSZ, SIG_IGN); // writes past the limit fail with EFBIG instead
    if (!lowerLimit(RLIMIT_FSIZE, s.fileSizeLimit)) {
      failInChild(s.errFd, ChildStage::kFileSizeLimit);
    }
  }
  if (s.addressSpaceLimit != 0 && !lowerLimit(RLIMIT_AS, s.addressSpaceLimit)) {
    failInChild(s.errFd, ChildStage::kAddressSpaceLimit);
  }
  if (s.envp != nullptr) {
    ::execve(s.path, s.argv, s.envp);
  } else if (s.searchPath) {
    ::execvp(s.path, s.argv);
  } else {
    ::execv(s.path, s.argv);
  }
  failInChild(s.errFd, ChildStage::kExec);
}

// Appends what is readable on `fd` to `sink`; false once the writer side is gone.
bool drainOnce(int fd, std::string &sink) {
  std::array<char, 65536> buf;
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) {
      sink.append(buf.data(), static_cast<size_t>(n));
      return true;
    }
    if (n == 0) {
      return false;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN) {
      return true;
    }
    if (errno == EIO) { // a terminal whose other side all have closed
      return false;
    }
    throw sysError("reading the child's output", errno);
  }
}

} // namespace

// The environment variable wins, so a test run can point at another build.
std::string toolPath() {
  if (const char *env = std::getenv("DECOMP_DISK_BIN"); env != nullptr && *env != '\0') {
    return env;
  }
#ifdef DECOMP_DISK_BIN_PATH
  return DECOMP_DISK_BIN_PATH;
#else
  return "decomp_disk";
#endif
}

// The child gets /dev/null as stdin, pipes (or the files, or the pseudo-terminal
// that `opt` names) as stdout and stderr, and the requested working directory,
// environment and limits. A relative tool path is made
// absolute first, so `cwd` does not change which binary runs; a bare name is
// looked up in PATH. Failing to start the tool throws; it never shows up as a
// result. timeoutSeconds <= 0 means no time limit.
static RunResult startAndCollect(std::string path, const std::vector<std::string> &args,
                                 const RunOptions &opt, const std::string &argv0) {
  const bool searchPath = path.find('/') == std::string::npos;
  if (!searchPath) {
    path = std::filesystem::absolute(path).string();
  }

  std::vector<std::string> argvStore;
  argvStore.reserve(args.size() + 1);
  argvStore.push_back(argv0);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char *> argv;
  argv.reserve(argvStore.size() + 1);
  for (std::string &a : argvStore) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);

  std::vector<std::string> envStore = opt.env;
  std::vector<char *> envp;
  for (std::string &e : envStore) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  Fd devNull = aboveStdio(checked(::open("/dev/null", O_RDONLY | O_CLOEXEC), "opening /dev/null"),
                          "opening /dev/null");
  Fd master;
  Fd slave;
  if (opt.terminal.stdoutOn || opt.terminal.stderrOn) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(opt.terminal.columns);
    int m = -1;
    int sl = -1;
    if (::openpty(&m, &sl, nullptr, nullptr, &size) != 0) {
      throw sysError("openpty", errno);
    }
    master = aboveStdio(Fd(m), "openpty");
    slave = aboveStdio(Fd(sl), "openpty");
    ::fcntl(master.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(slave.get(), F_SETFD, FD_CLOEXEC);
    // Some systems keep a width of 0 from openpty; set it once more.
    if (::ioctl(slave.get(), TIOCSWINSZ, &size) != 0) {
      throw sysError("TIOCSWINSZ", errno);
    }
  }
  Pipe outPipe;
  Fd stdoutFile;
  if (!opt.stdoutPath.empty()) {
    const std::string what = "opening " + opt.stdoutPath;
    const int mode = opt.appendStdout ? O_APPEND : O_TRUNC;
    stdoutFile = aboveStdio(
        checked(::open(opt.stdoutPath.c_str(), O_WRONLY | O_CREAT | mode | O_CLOEXEC, 0644), what),
        what);
  } else if (!opt.terminal.stdoutOn) {
    outPipe = makePipe();
  }
  Pipe errPipe;
  Fd stderrFile;
  if (!opt.stderrPath.empty()) {
    const std::string what = "opening " + opt.stderrPath;
    stderrFile = aboveStdio(
        checked(::open(opt.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644),
                what),
        what);
  } else if (!opt.terminal.stderrOn && !opt.stderrToStdout) {
    errPipe = makePipe();
  }
  Pipe startPipe = makePipe(); // carries a start failure; closed by a successful exec

  const int stdoutFd = opt.terminal.stdoutOn ? slave.get()
                       : stdoutFile.valid()  ? stdoutFile.get()
                                             : outPipe.write.get();
  const int stderrFd = opt.terminal.stderrOn ? slave.get()
                       : stderrFile.valid()  ? stderrFile.get()
                       : opt.stderrToStdout  ? stdoutFd
                                             : errPipe.write.get();
  const ChildSetup setup{devNull.get(),
                         stdoutFd,
                         stderrFd,
                         startPipe.write.get(),
                         slave.valid() ? slave.get() : -1,
                         opt.cwd.empty() ? nullptr : opt.cwd.c_str(),
                         opt.fileSizeLimit,
                         opt.addressSpaceLimit,
                         opt.closedDescriptors,
                         path.c_str(),
                         searchPath,
                         argv.data(),
                         opt.env.empty() ? nullptr : envp.data()};

  const auto deadline = opt.timeoutSeconds > 0
                            ? Clock::now() + std::chrono::seconds(opt.timeoutSeconds)
                            : Clock::time_point::max();
  pid_t pid = ::fork();
  if (pid < 0) {
    throw sysError("fork", errno);
  }
  if (pid == 0) {
    runChild(setup);
  }
  Child child(pid);
  devNull.reset();
  slave.reset();
  stdoutFile.reset();
  stderrFile.reset();
  outPipe.write.reset();
  errPipe.write.reset();
  startPipe.write.reset();

  // Either the exec closes the start pipe (nothing to read) or the child
  // reports where it failed.
  std::array<int, 2> failure{};
  size_t got = 0;
  while (got < sizeof(failure)) {
    ssize_t n = ::read(startPipe.read.get(), reinterpret_cast<char *>(failure.data()) + got,
                       sizeof(failure) - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (got == sizeof(failure)) {
    std::string stage = stageName(failure[0]);
    if (failure[0] == static_cast<int>(ChildStage::kChdir)) {
      stage += " to " + opt.cwd;
    }
    throw std::runtime_error("runTool: cannot start " + path + ": " + stage +
                             " failed: " + std::strerror(failure[1]));
  }

  RunResult result;
  std::array<pollfd, 3> fds{};
  std::array<std::string *, 3> sinks{};
  nfds_t nfds = 0;
  if (outPipe.read.valid()) {
    fds[nfds] = {outPipe.read.get(), POLLIN, 0};
    sinks[nfds++] = &result.out;
  }
  if (errPipe.read.valid()) {
    fds[nfds] = {errPipe.read.get(), POLLIN, 0};
    sinks[nfds++] = &result.err;
  }
  if (master.valid()) {
    fds[nfds] = {master.get(), POLLIN, 0};
    sinks[nfds++] = &result.terminal;
  }

  bool killed = false; // the deadline passed and SIGKILL was sent
  auto killOnce = [&] {
    if (!killed) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  };

  // A program that the child left running (a server an emulator starts) may
  // hold the streams open after the child has ended: what is in them is
  // taken for a short while more, and then the streams are left.
  int st = 0;
  bool exited = false;
  Clock::time_point leaveAt = Clock::time_point::max();
  while (nfds > 0) {
    auto now = Clock::now();
    if (now >= deadline) {
      if (!exited) { // a reaped child's number may be another process's by now
        killOnce();
      }
      break;
    }
    if (!exited && ::waitpid(pid, &st, WNOHANG) == pid) {
      exited = true;
      leaveAt = now + std::chrono::milliseconds(500);
    }
    if (now >= leaveAt) {
      break;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, leaveAt) - now);
    int waitMs = static_cast<int>(std::min<int64_t>(left.count(), 100));
    int r = ::poll(fds.data(), nfds, waitMs);
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw sysError("poll", errno);
    }
    for (nfds_t i = 0; i < nfds;) {
      if (fds[i].revents != 0 && !drainOnce(fds[i].fd, *sinks[i])) {
        fds[i] = fds[nfds - 1]; // that stream is finished: stop watching it
        sinks[i] = sinks[nfds - 1];
        --nfds;
        continue;
      }
      ++i;
    }
  }

  for (; !exited;) {
    pid_t r = ::waitpid(pid, &st, killed ? 0 : WNOHANG);
    if (r == pid) {
      break;
    }
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw sysError("waitpid", errno);
    }
    // Output is closed but the child still runs: wait for it, within the deadline.
    if (Clock::now() >= deadline) {
      killOnce();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  child.reaped();

  if (WIFEXITED(st)) {
    result.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    result.status = -1;
    result.signal = WTERMSIG(st);
  }
  return result;
}

// wine takes no name for the program: it passes the program's Windows path
// as its name, which the runner puts back (see toolNameUnderEmulator).
static bool emulatorIsWine(const std::vector<std::string> &words) {
  return !words.empty() &&
         std::filesystem::path(words[0]).filename().string().rfind("wine", 0) == 0;
}

bool toolRunsUnderWine() {
  const char *emulator = std::getenv("DECOMP_DISK_EMULATOR");
  std::istringstream split(emulator != nullptr ? emulator : "");
  std::string first;
  split >> first;
  return !first.empty() && emulatorIsWine({first});
}

// The name that an emulated tool gives itself in place of the one it was
// started with: the Windows path of the program under wine (as winepath
// writes it), empty where the emulator keeps the name it is given.
static const std::string &toolNameUnderEmulator() {
  static const std::string name = [] {
    const char *emulator = std::getenv("DECOMP_DISK_EMULATOR");
    std::vector<std::string> words;
    std::istringstream split(emulator != nullptr ? emulator : "");
    for (std::string word; split >> word;) {
      words.push_back(word);
    }
    if (!emulatorIsWine(words)) {
      return std::string();
    }
    const std::string tool = std::filesystem::absolute(toolPath()).string();
    RunResult r = runProgram("winepath", {"-w", tool});
    std::string path = r.out.substr(0, r.out.find('\n'));
    if (r.status != 0 || path.empty()) {
      throw std::runtime_error("runTool: winepath -w " + tool + " failed: " + r.err);
    }
    return path;
  }();
  return name;
}

// Puts the name the tool was started with where an emulator made it call
// itself otherwise.
static void restoreToolName(RunResult &r, const std::string &argv0) {
  const std::string &shown = toolNameUnderEmulator();
  if (shown.empty()) {
    return;
  }
  for (std::string *text : {&r.out, &r.err, &r.terminal}) {
    for (size_t at = text->find(shown); at != std::string::npos;
         at = text->find(shown, at + argv0.size())) {
      text->replace(at, shown.size(), argv0);
    }
  }
}

std::vector<std::string> toolCommand(const std::string &argv0) {
  const char *emulator = std::getenv("DECOMP_DISK_EMULATOR");
  if (emulator == nullptr || *emulator == '\0') {
    return {toolPath()};
  }
  std::vector<std::string> words;
  std::istringstream split(emulator);
  for (std::string word; split >> word;) {
    words.push_back(word);
  }
  // Found on PATH here, since a child given its own environment is started
  // by its path.
  if (!words.empty() && words[0].find('/') == std::string::npos) {
    std::istringstream dirs(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string d; std::getline(dirs, d, ':');) {
      if (!d.empty() && ::access((d + "/" + words[0]).c_str(), X_OK) == 0) {
        words[0] = d + "/" + words[0];
        break;
      }
    }
  }
  const std::string tool = std::filesystem::absolute(toolPath()).string();
  if (emulatorIsWine(words)) {
    words.push_back(tool);
  } else {
    words.insert(words.end(), {"-0", argv0, tool});
  }
  return words;
}

std::string toolCommandLine(const std::string &argv0) {
  std::string line;
  for (const std::string &word : toolCommand(argv0)) {
    std::string quoted = "'";
    for (char c : word) {
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    line += (line.empty() ? "" : " ") + quoted + "'";
  }
  return line;
}

RunResult runTool(const std::vector<std::string> &args, const RunOptions &opt,
                  const std::string &argv0) {
  std::vector<std::string> command = toolCommand(argv0);
  if (command.size() == 1) {
    return startAndCollect(command[0], args, opt, argv0);
  }
  command.insert(command.end(), args.begin(), args.end());
  RunResult r = startAndCollect(command[0], {command.begin() + 1, command.end()}, opt, command[0]);
  restoreToolName(r, argv0);
  return r;
}

RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const RunOptions &opt) {
  return startAndCollect(program, args, opt, program);
}

// A new private directory under $TMPDIR (or /tmp).
std::string makeTempDir() {
  const char *env = std::getenv("TMPDIR");
  std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  std::string templ = base + "/decomp_disk_test.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    throw sysError("cannot make a temporary directory in " + base, errno);
  }
  return std::string(buf.data());
}

// Best effort and never throws, so it is safe in teardown. Directories a test
// made unwritable or unreadable are opened up first. Empty and "/" are ignored.
void removeTree(const std::string &path) {
  if (path.empty() || path == "/") {
    return;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::remove_all(path, ec) != static_cast<std::uintmax_t>(-1) && !ec) {
    return;
  }
  ec.clear();
  if (fs::is_directory(fs::symlink_status(path, ec))) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
      }
    }
  }
  ec.clear();
  fs::remove_all(path, ec);
}

} // namespace runtool
