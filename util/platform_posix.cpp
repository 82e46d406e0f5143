// SPDX-License-Identifier: MIT
// The seam on any POSIX system: the calls that every such system has, and
// those that it has under a name the standard leaves open (holes, the
// terminal's width), where the system defines them. What a system does
// better comes from its piece (platform_pieces.h).
#include "platform.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include <langinfo.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h> // newlocale and uselocale, where <locale.h> does not declare them
#endif

#include "platform_pieces.h"

namespace {

FileType typeOf(mode_t mode) {
  switch (mode & S_IFMT) {
  case S_IFREG:
    return FileType::Regular;
  case S_IFDIR:
    return FileType::Directory;
  case S_IFBLK:
    return FileType::Block;
  case S_IFCHR:
    return FileType::Character;
  case S_IFIFO:
    return FileType::Fifo;
  case S_IFSOCK:
    return FileType::Socket;
  default:
    return FileType::Other;
  }
}

FileIdentity identityOfStat(const struct stat &st) {
  FileIdentity id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.type = typeOf(st.st_mode);
  if (id.type == FileType::Block || id.type == FileType::Character)
    id.special = static_cast<uint64_t>(st.st_rdev);
  if (id.type == FileType::Block)
    id.wholeDisk = wholeDiskOf(id.special);
  return id;
}

} // namespace

const char *const PathSeparators = "/";

int openForReading(const char *path) { return open(path, O_RDONLY | O_CLOEXEC); }

int openForWriting(const char *path) { return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666); }

int closeDescriptor(int fd) { return close(fd) == 0 ? 0 : errno; }

int duplicateDescriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

int descriptorOfStream(FILE *stream) { return fileno(stream); }

bool seekStream(FILE *stream, uint64_t offset) {
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t readAt(int fd, void *into, size_t count, uint64_t offset) {
  ssize_t n;
  do
    n = pread(fd, into, count, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t readNext(int fd, void *into, size_t count) {
  ssize_t n;
  do
    n = read(fd, into, count);
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t writeAt(int fd, const void *from, size_t count, uint64_t offset) {
  ssize_t n;
  do
    n = pwrite(fd, from, count, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t writeNext(int fd, const void *from, size_t count) {
  ssize_t n;
  do
    n = write(fd, from, count);
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t positionOf(int fd) { return lseek(fd, 0, SEEK_CUR); }

bool appendsOnly(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_APPEND) != 0;
}

int resizeFile(int fd, uint64_t size) {
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

bool identityOfDescriptor(int fd, FileIdentity &id) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return false;
  id = identityOfStat(st);
  if (id.type == FileType::Regular)
    id.stamp = stampOfFile(fd);
  return true;
}

bool identityOfPath(const char *path, FileIdentity &id) {
  struct stat st;
  if (stat(path, &st) != 0)
    return false;
  id = identityOfStat(st);
  return true;
}

std::string nameCreatedBy(const std::string &path) {
  // As many links as the system itself follows; a longer chain is not
  // created through, and then the name is its own answer.
  std::string at = path;
  for (int hop = 0; hop < 40; ++hop) {
    char target[4096];
    const ssize_t n = readlink(at.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) == sizeof target)
      return at;
    std::string next(target, static_cast<size_t>(n));
    const size_t slash = at.rfind('/');
    if (next[0] != '/' && slash != std::string::npos)
      next = at.substr(0, slash + 1) + next;
    at = next;
  }
  return path;
}

bool measureDescriptor(int fd, FileType &type, uint64_t &size) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return false;
  type = typeOf(st.st_mode);
  size = static_cast<uint64_t>(st.st_size);
  // A disk is a block device, or on some systems a character device of no
  // size: where a seek to its end lands is its capacity. The descriptor's
  // position, which a caller may share, is put back.
  if ((type == FileType::Block && !blockDeviceSize(fd, size)) ||
      (type == FileType::Character && size == 0)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const off_t end = lseek(fd, 0, SEEK_END);
    if (at >= 0)
      (void)lseek(fd, at, SEEK_SET);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  return true;
}

bool sizeOfPath(const char *path, uint64_t &size) {
  struct stat st;
  if (stat(path, &st) != 0)
    return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

DataSearch nextData(int fd, uint64_t offset, uint64_t &at) {
#ifdef SEEK_DATA
  const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) {
    at = static_cast<uint64_t>(data);
    return DataSearch::Found;
  }
  return errno == ENXIO ? DataSearch::NoMore : DataSearch::Unknown;
#else
  (void)fd;
  at = offset;
  return DataSearch::Unknown;
#endif
}

bool nextHole(int fd, uint64_t offset, uint64_t &at) {
#ifdef SEEK_HOLE
  const off_t hole = lseek(fd, static_cast<off_t>(offset), SEEK_HOLE);
  if (hole < 0)
    return false;
  at = static_cast<uint64_t>(hole);
  return true;
#else
  (void)fd;
  (void)offset;
  (void)at;
  return false;
#endif
}

// Every POSIX file system that has holes gives them to any file.
void letKeepHoles(int) {}

bool fillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    // The lowest free number is `fd` itself: the ones below it are open.
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
      return false;
  }
  return true;
}

bool isTerminal(int fd) { return isatty(fd) == 1; }

ProgressLine progressLineOn(int fd) {
  // Carriage return and erase-line are all the line needs; a "dumb"
  // terminal, or one that is not named, is not assumed to have the latter.
  const char *term = std::getenv("TERM");
  return isTerminal(fd) && term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0
             ? ProgressLine::Erased
             : ProgressLine::None;
}

unsigned terminalColumns(int fd) {
#ifdef TIOCGWINSZ
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0)
    return size.ws_col;
#else
  (void)fd;
#endif
  return 0;
}

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

CharacterSetScope enterUserCharacterSet() {
  CharacterSetScope scope;
  const locale_t own = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (own != static_cast<locale_t>(nullptr)) {
    scope.own = static_cast<void *>(own);
    scope.previous = static_cast<void *>(uselocale(own));
  }
  return scope;
}

void leaveUserCharacterSet(const CharacterSetScope &scope) {
  if (scope.own == nullptr)
    return;
  uselocale(static_cast<locale_t>(scope.previous));
  freelocale(static_cast<locale_t>(scope.own));
}

bool characterSetIsUtf8() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }

size_t decodeCharacter(const char *text, size_t left, uint32_t &code) {
  std::mbstate_t state{};
  wchar_t wc = 0;
  const size_t n = std::mbrtowc(&wc, text, left, &state);
  if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2))
    return 0;
  code = static_cast<uint32_t>(wc);
  return n;
}

int displayWidth(uint32_t code) {
  const wchar_t wc = static_cast<wchar_t>(code);
  return std::iswcntrl(static_cast<wint_t>(wc)) ? -1 : wcwidth(wc);
}

void setUpStandardStreams() {}
