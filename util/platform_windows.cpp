// SPDX-License-Identifier: MIT
// The seam on Windows, whole: descriptors are the C runtime's, read and
// written at an offset through their handles; a file is known by its
// volume's serial number and its file ID; holes come from the allocated
// ranges of a sparse file, and outputs are made sparse where the volume can
// keep them so. Names are UTF-8 (the program's manifest sets the code page).
// There are no loop devices, no devices under a file system that the guard
// can learn, and no copy inside the system.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A Windows error as the errno that the messages name.
int errnoOf(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
    return EACCES;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_INVALID_HANDLE:
    return EBADF;
  case ERROR_FILE_TOO_LARGE:
    return EFBIG;
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return EACCES;
  case ERROR_BROKEN_PIPE:
  case ERROR_NO_DATA:
    return EPIPE;
  case ERROR_INVALID_PARAMETER:
    return EINVAL;
  default:
    return EIO;
  }
}

// Each character device (the console, NUL) is its own: none is ever taken
// for another, since no disk is reached as one here.
uint64_t freshDeviceNumber() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDu;
  h ^= h >> 33;
  return h;
}

bool identityOfHandle(HANDLE h, FileIdentity &id) {
  id = FileIdentity{};
  switch (GetFileType(h)) {
  case FILE_TYPE_CHAR:
    id.type = FileType::Character;
    id.special = freshDeviceNumber();
    return true;
  case FILE_TYPE_PIPE:
    id.type = FileType::Fifo;
    return true;
  case FILE_TYPE_DISK:
    break;
  default:
    if (GetLastError() != NO_ERROR) {
      errno = errnoOf(GetLastError());
      return false;
    }
    id.type = FileType::Other;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    errno = errnoOf(GetLastError());
    return false;
  }
  id.type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileType::Directory
                                                                    : FileType::Regular;
  id.device = info.dwVolumeSerialNumber;
  id.inode = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  // The whole 128-bit ID where the volume has one (ReFS): its high half is
  // folded into the inode.
  FILE_ID_INFO full;
  if (GetFileInformationByHandleEx(h, FileIdInfo, &full, sizeof full)) {
    uint64_t low;
    uint64_t high;
    static_assert(sizeof full.FileId.Identifier == 16);
    memcpy(&low, full.FileId.Identifier, 8);
    memcpy(&high, full.FileId.Identifier + 8, 8);
    id.device = full.VolumeSerialNumber;
    id.inode = low ^ (high == 0 ? 0 : mix(high));
  }
  // No stamp: an NTFS file ID holds a sequence number, so a later file never
  // has the ID of a deleted one.
  return true;
}

// The first allocated range at or after `offset`, as [start, end); false
// when there is none there or the volume cannot tell (`known` false then).
bool allocatedRange(int fd, uint64_t offset, uint64_t &start, uint64_t &end, bool &known) {
  FILE_ALLOCATED_RANGE_BUFFER query;
  query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  query.Length.QuadPart = INT64_MAX - static_cast<LONGLONG>(offset);
  FILE_ALLOCATED_RANGE_BUFFER range;
  DWORD got = 0;
  known = DeviceIoControl(handleOf(fd), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range,
                          sizeof range, &got, nullptr) ||
          GetLastError() == ERROR_MORE_DATA;
  if (!known || got < sizeof range)
    return false;
  start = static_cast<uint64_t>(range.FileOffset.QuadPart);
  end = start + static_cast<uint64_t>(range.Length.QuadPart);
  return true;
}

} // namespace

const char *const PathSeparators = "/\\";

int openForReading(const char *path) { return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int openForWriting(const char *path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

// Sparse where the volume can keep holes: the holes that a copy skips then
// take no space. A volume that refuses it gets the file written whole.
void letKeepHoles(int fd) {
  DWORD ignored = 0;
  (void)DeviceIoControl(handleOf(fd), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
}

int closeDescriptor(int fd) { return _close(fd) == 0 ? 0 : errno; }

int duplicateDescriptor(int fd) { return _dup(fd); }

int descriptorOfStream(FILE *stream) { return _fileno(stream); }

bool seekStream(FILE *stream, uint64_t offset) {
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

// One call moves at most 1 GiB, which fits every count the system takes;
// callers loop over what is left.
static unsigned oneCall(size_t count) {
  return count > 0x40000000 ? 0x40000000u : static_cast<unsigned>(count);
}

// The request for an offset of any size, for ReadFile and WriteFile.
static OVERLAPPED requestAt(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

int64_t readAt(int fd, void *into, size_t count, uint64_t offset) {
  OVERLAPPED at = requestAt(offset);
  DWORD got = 0;
  if (ReadFile(handleOf(fd), into, oneCall(count), &got, &at))
    return got;
  if (GetLastError() == ERROR_HANDLE_EOF)
    return 0;
  errno = errnoOf(GetLastError());
  return -1;
}

int64_t readNext(int fd, void *into, size_t count) { return _read(fd, into, oneCall(count)); }

int64_t writeAt(int fd, const void *from, size_t count, uint64_t offset) {
  OVERLAPPED at = requestAt(offset);
  DWORD put = 0;
  if (WriteFile(handleOf(fd), from, oneCall(count), &put, &at))
    return put;
  errno = errnoOf(GetLastError());
  return -1;
}

int64_t writeNext(int fd, const void *from, size_t count) {
  return _write(fd, from, oneCall(count));
}

int64_t positionOf(int fd) {
  if (GetFileType(handleOf(fd)) != FILE_TYPE_DISK)
    return -1;
  return _lseeki64(fd, 0, SEEK_CUR);
}

// The C runtime keeps a stream's append mode to itself, and the handle's
// position says nothing of it: every caller's stream is written in order
// through the runtime, which honours the mode.
bool appendsOnly(int) { return true; }

int resizeFile(int fd, uint64_t size) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(handleOf(fd), FileEndOfFileInfo, &end, sizeof end))
    return 0;
  return errnoOf(GetLastError());
}

bool identityOfDescriptor(int fd, FileIdentity &id) {
  const HANDLE h = handleOf(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  return identityOfHandle(h, id);
}

bool identityOfPath(const char *path, FileIdentity &id) {
  // Opened for no access at all, only to ask: symbolic links and junctions
  // are followed, and directories open too.
  const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = errnoOf(GetLastError());
    return false;
  }
  const bool known = identityOfHandle(h, id);
  CloseHandle(h);
  return known;
}

// The guard knows no file system that is kept in a file here, so where a
// link leads matters only once the file is open.
std::string nameCreatedBy(const std::string &path) { return path; }

DeviceBacking backingOfDevice(const FileIdentity &, int, const std::string &) { return {}; }

bool devicesHolding(uint64_t, int, const std::string &, std::vector<FileIdentity> &holders) {
  holders.clear();
  return true;
}

std::vector<FileIdentity> devicesBeneath(const FileIdentity &) { return {}; }

bool blockDeviceInUse(const FileIdentity &, const std::string &) { return false; }

bool measureDescriptor(int fd, FileType &type, uint64_t &size) {
  FileIdentity id;
  if (!identityOfDescriptor(fd, id))
    return false;
  type = id.type;
  size = 0;
  LARGE_INTEGER bytes;
  if (type != FileType::Regular)
    return true;
  if (!GetFileSizeEx(handleOf(fd), &bytes)) {
    errno = errnoOf(GetLastError());
    return false;
  }
  size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

bool sizeOfPath(const char *path, uint64_t &size) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0)
    return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

DataSearch nextData(int fd, uint64_t offset, uint64_t &at) {
  uint64_t start;
  uint64_t end;
  bool known;
  if (allocatedRange(fd, offset, start, end, known)) {
    at = start > offset ? start : offset;
    return DataSearch::Found;
  }
  at = offset;
  return known ? DataSearch::NoMore : DataSearch::Unknown;
}

bool nextHole(int fd, uint64_t offset, uint64_t &at) {
  uint64_t start;
  uint64_t end;
  bool known;
  // Ranges end where a hole begins; the next one may follow at once.
  at = offset;
  while (allocatedRange(fd, at, start, end, known) && start <= at && end > at)
    at = end;
  return known;
}

int64_t copyInKernel(int, uint64_t, int, uint64_t, size_t) { return -1; }

void adviseSequentialReading(int) {}

bool fillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1)
      continue;
    const int opened = _open("NUL", fd == 0 ? _O_WRONLY : _O_RDONLY);
    if (opened < 0)
      return false;
    if (opened != fd) {
      const bool moved = _dup2(opened, fd) == 0;
      _close(opened);
      if (!moved)
        return false;
    }
  }
  return true;
}

namespace {

// What the console was before the tool changed it, put back at the exit: the
// console outlives the tool, and the programs after it expect its settings.
UINT ConsoleCodePage = 0;
DWORD ErrorConsoleMode = 0;
bool ErrorConsoleModeChanged = false;

void restoreConsole() {
  if (ConsoleCodePage != 0)
    SetConsoleOutputCP(ConsoleCodePage);
  if (ErrorConsoleModeChanged)
    SetConsoleMode(handleOf(StandardError), ErrorConsoleMode);
}

} // namespace

void setUpStandardStreams() {
  // Text mode would write every line end as two bytes.
  _setmode(StandardOutput, _O_BINARY);
  _setmode(StandardError, _O_BINARY);
  if (isTerminal(StandardOutput) || isTerminal(StandardError)) {
    ConsoleCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
  }
  std::atexit(restoreConsole);
}

bool isTerminal(int fd) {
  DWORD mode;
  return GetConsoleMode(handleOf(fd), &mode) != 0;
}

ProgressLine progressLineOn(int fd) {
  DWORD mode;
  if (!GetConsoleMode(handleOf(fd), &mode))
    return ProgressLine::None;
  // Erase-line where the console can be told to take such sequences.
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
    return ProgressLine::Erased;
  if (!SetConsoleMode(handleOf(fd), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
    return ProgressLine::Padded;
  if (fd == StandardError && !ErrorConsoleModeChanged) {
    ErrorConsoleMode = mode;
    ErrorConsoleModeChanged = true;
  }
  return ProgressLine::Erased;
}

unsigned terminalColumns(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(handleOf(fd), &info))
    return 0;
  return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

CharacterSetScope enterUserCharacterSet() { return {}; }

void leaveUserCharacterSet(const CharacterSetScope &) {}

bool characterSetIsUtf8() { return GetACP() == CP_UTF8 || GetConsoleOutputCP() == CP_UTF8; }

size_t decodeCharacter(const char *text, size_t left, uint32_t &code) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  if (p[0] < 0x80) {
    code = p[0];
    return p[0] == 0 ? 0 : 1;
  }
  if (!characterSetIsUtf8())
    return 0;
  const size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
  if (n == 0 || n > 4 || left < n)
    return 0;
  code = p[0] & (0x7Fu >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    code = code << 6 | (p[i] & 0x3Fu);
  }
  static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return n;
}

int displayWidth(uint32_t code) {
  if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029)
    return -1;
  if ((code >= 0x300 && code <= 0x36F) || (code >= 0x200B && code <= 0x200F) ||
      (code >= 0x20D0 && code <= 0x20FF) || (code >= 0x2060 && code <= 0x2064) ||
      (code >= 0xFE00 && code <= 0xFE0F) || (code >= 0xFE20 && code <= 0xFE2F) || code == 0xFEFF)
    return 0;
  const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                    (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                    (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                    (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
                    (code >= 0x1F680 && code <= 0x1F6FF) || (code >= 0x1F900 && code <= 0x1F9FF) ||
                    (code >= 0x20000 && code <= 0x3FFFD);
  return wide ? 2 : 1;
}
