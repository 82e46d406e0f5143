// SPDX-License-Identifier: MIT
// The platform seam: every call that the tool makes on a descriptor, a file
// name or a terminal, as free functions grouped by what they answer. The
// build takes one implementation (CMake's DECOMP_PLATFORM): the generic POSIX
// one (platform_posix.cpp with platform_generic.cpp), or Linux's or macOS's,
// which keep platform_posix.cpp and replace platform_generic.cpp with what
// their systems do better. Nothing above this header asks which system it
// runs on. Descriptors are plain ints; sizes and offsets are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The printf family that the compiler checks formats against: the C
// library's own, or on Windows the C99 one that the build selects.
#ifdef __MINGW_PRINTF_FORMAT
#define PRINTF_LIKE(string, first) __attribute__((format(__MINGW_PRINTF_FORMAT, string, first)))
#else
#define PRINTF_LIKE(string, first) __attribute__((format(printf, string, first)))
#endif

// The descriptors of standard output and standard error.
constexpr int StandardOutput = 1;
constexpr int StandardError = 2;

// The characters that end a folder's name in a path.
extern const char *const PathSeparators;

// ---------------------------------------------------------------------------
// Open, read and write at an offset, close

// Opens a file for reading; -1 with errno set.
int openForReading(const char *path);
// Opens a file for writing, creating it (mode 0666 less the umask) but never
// emptying it; -1 with errno set.
int openForWriting(const char *path);
// Closes a descriptor; 0, or the errno of a close that failed.
int closeDescriptor(int fd);
// Another descriptor on what `fd` is open on (sharing its position); -1
// with errno set.
int duplicateDescriptor(int fd);
// The descriptor under a C stream.
int descriptorOfStream(FILE *stream);
// Moves a C stream to `offset` from the file's start; false after a failure.
bool seekStream(FILE *stream, uint64_t offset);

// Reads up to `count` bytes at file offset `offset` (or, readNext, at the
// descriptor's position, moving it); fewer only where the file ends, 0 at
// its end, -1 with errno set after a failure. Interrupted calls are retried.
int64_t readAt(int fd, void *into, size_t count, uint64_t offset);
int64_t readNext(int fd, void *into, size_t count);
// Writes up to `count` bytes at `offset` (or at the position); how many were
// written, -1 with errno set after a failure.
int64_t writeAt(int fd, const void *from, size_t count, uint64_t offset);
int64_t writeNext(int fd, const void *from, size_t count);

// The descriptor's position; -1 for one that has none (a pipe, a FIFO, a
// socket, a terminal).
int64_t positionOf(int fd);
// True when every write on `fd` goes to the file's end, wherever asked.
bool appendsOnly(int fd);
// Sets the size of the regular file open on `fd`; 0, or the errno (EFBIG
// where a file-size limit stops it).
int resizeFile(int fd, uint64_t size);

// ---------------------------------------------------------------------------
// Which file a name or a descriptor is

enum class FileType : uint8_t { Other, Regular, Directory, Block, Character, Fifo, Socket };

// One file as the system knows it. Two identities are one file when their
// device and inode agree; a device node also stands for the device it names.
struct FileIdentity {
  uint64_t device = 0; // the file system's device
  uint64_t inode = 0;
  FileType type = FileType::Other;
  uint64_t special = 0;   // a device node: the device it stands for
  uint64_t wholeDisk = 0; // a block device node: its whole disk (itself unless a partition)
  // Tells this inode from a later file that the file system gives the same
  // number: a hash of the birth time and the inode generation where the
  // system reports them (0 where it reports neither). Regular files only.
  uint32_t stamp = 0;
};

// The identity of what is open on `fd`; false with errno set.
bool identityOfDescriptor(int fd, FileIdentity &id);
// The identity of what `path` leads to, following symbolic links; false
// with errno set when nothing is there.
bool identityOfPath(const char *path, FileIdentity &id);
// The name that creating `path` makes: `path` itself, or, when it is a
// symbolic link that leads nowhere yet, where its links end.
std::string nameCreatedBy(const std::string &path);

// The file that a block device reads and writes through: none for a device
// that is no loop device; unknown for a loop device without a file or that
// cannot be asked (`error` says why). The file is known at least by its
// device and inode, and when it is itself a device node (loop devices
// stacked) as that block device. `path` is where the file can be reached,
// empty when its name no longer leads to it.
struct DeviceBacking {
  enum class State { None, File, Unknown } state = State::None;
  int error = 0;
  FileIdentity file;
  std::string path;
};
// `device` is a block device's identity; `fd` a descriptor open on it, or -1
// to open it by `path` (or, when that is empty, by the name the system gives
// the device). Opened read-only, which changes nothing.
DeviceBacking backingOfDevice(const FileIdentity &device, int fd, const std::string &path);

// The block devices that hold the file system of `device` (a file's device
// number), as block-device identities: that device, or the devices of a
// file system over several (btrfs). A file system without a device number of
// its own is asked through a file of it: `fd` open on one, or -1 to open
// `path`. False when it could not be asked; true and none for a file system
// on no device the system tells (memory, network) or where the platform
// does not know.
bool devicesHolding(uint64_t device, int fd, const std::string &path,
                    std::vector<FileIdentity> &holders);

// The block devices that `device` is built on: the members of a mapped or
// RAID device (of a partition's whole disk). Empty for any other.
std::vector<FileIdentity> devicesBeneath(const FileIdentity &device);

// True when the system holds the block device for itself: mounted, a member
// of a mapped or RAID device, an external journal, swap. Writing it would
// corrupt what uses it. `path` names it (empty: the system's name for it).
bool blockDeviceInUse(const FileIdentity &device, const std::string &path);

// ---------------------------------------------------------------------------
// How big a file is

// The bytes that the file open on `fd` holds (a regular file's size, a
// block device's capacity, what the system says of anything else), and its
// type; false with errno set.
bool measureDescriptor(int fd, FileType &type, uint64_t &size);
// The size that the system gives for the file that `path` leads to; false
// with errno set.
bool sizeOfPath(const char *path, uint64_t &size);

// ---------------------------------------------------------------------------
// Where the data and the holes of a file lie

enum class DataSearch {
  Found,   // data at `at`
  NoMore,  // only a hole from `offset` to the end
  Unknown, // the system cannot tell: take everything as data
};
// The first byte of data at or after `offset` in the file open on `fd`.
DataSearch nextData(int fd, uint64_t offset, uint64_t &at);
// The first hole at or after `offset` (the end of the file counts as one);
// false where the system cannot tell.
bool nextHole(int fd, uint64_t offset, uint64_t &at);
// Lets the regular output file open on `fd` keep the holes that a copy
// skips, where the system must be asked for that (a hint: a file system
// that refuses it gets every byte written). Called only once the file is
// known to be one the run may write.
void letKeepHoles(int fd);

// ---------------------------------------------------------------------------
// Copying a range fast, and the hints around it

// Copies up to `count` bytes from `in` at `inOffset` to `out` at `outOffset`
// inside the system (sharing blocks where the file system can); how many were
// copied, 0 at the input's end, -1 where the system does not or will not
// (another file system, a file-size limit, no such call): the caller then
// moves those bytes through a buffer.
int64_t copyInKernel(int in, uint64_t inOffset, int out, uint64_t outOffset, size_t count);
// Tells the system that `fd` will be read front to back. Only a hint.
void adviseSequentialReading(int fd);

// ---------------------------------------------------------------------------
// Standard descriptors closed at start

// Opens descriptors 0, 1 and 2 that the caller left closed on the null
// device, each the wrong way round (0 for writing, 1 and 2 for reading), so
// that no file the tool opens takes their number and using them still fails
// as using a closed one does. False when the null device cannot be opened.
bool fillClosedStandardDescriptors();

// ---------------------------------------------------------------------------
// The terminal, the clock and the user's character set

bool isTerminal(int fd);
// How a self-updating line can be drawn on `fd`: not at all (no terminal, or
// one that is not known to take it), with carriage return and erase-line, or
// with carriage return and blanks.
enum class ProgressLine { None, Erased, Padded };
ProgressLine progressLineOn(int fd);
// The width of the terminal on `fd`; 0 when it does not tell.
unsigned terminalColumns(int fd);
// Seconds on a clock that never goes back.
double monotonicSeconds();

// The user's character set (LC_ALL, LC_CTYPE, LANG), made the one in force
// on this thread until it is left; the process's own locale stays "C".
struct CharacterSetScope {
  void *own = nullptr;
  void *previous = nullptr;
};
CharacterSetScope enterUserCharacterSet();
void leaveUserCharacterSet(const CharacterSetScope &scope);
// True when the character set in force on this thread is UTF-8.
bool characterSetIsUtf8();
// The character at `text` (at most `left` bytes) in the character set in
// force: its code and the bytes it takes; 0 bytes where there is none (a
// byte that starts no character of the set).
size_t decodeCharacter(const char *text, size_t left, uint32_t &code);
// The columns that a character takes on a terminal; -1 for one that is not
// printable (a control character).
int displayWidth(uint32_t code);

// Standard output and standard error made ready to carry the report's exact
// bytes (where the system would translate line ends, it no longer does) and
// a terminal ready to show UTF-8 where the system can be told so.
void setUpStandardStreams();
