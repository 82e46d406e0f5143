// SPDX-License-Identifier: MIT
#include "input_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool isDeviceNode(mode_t type) { return type == S_IFBLK || type == S_IFCHR; }

FileIdentity identityOf(const struct stat &st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.type = st.st_mode & S_IFMT;
  id.special = st.st_rdev;
  return id;
}

// Asks the kernel which file the block device open on `fd` reads and
// writes: a loop device (or a partition of one) answers, any other device
// says it has no such question. A loop device that cannot answer (no file
// bound to it, or no descriptor to ask on: `fd` < 0 with `openError`) is
// Unknown.
void learnBacking(int fd, int openError, FileIdentity &id) {
  loop_info64 info{};
  if (fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
    id.backing = FileIdentity::Backing::Known;
    id.backingDevice = static_cast<dev_t>(info.lo_device);
    id.backingInode = static_cast<ino_t>(info.lo_inode);
    return;
  }
  const int err = fd >= 0 ? errno : openError;
  if (err == ENXIO || major(id.special) == LOOP_MAJOR) {
    id.backing = FileIdentity::Backing::Unknown;
    id.backingError = err;
  }
}

// The birth time and generation of the inode open on `fd`, hashed.
uint32_t stampOf(int fd) {
  uint64_t h = 0;
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME) != 0)
    h = static_cast<uint64_t>(sx.stx_btime.tv_sec) * 0x9E3779B97F4A7C15u ^
        (uint64_t{sx.stx_btime.tv_nsec} + 1) * 0xC2B2AE3D27D4EB4Fu;
  int generation = 0;
  if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0)
    h ^= (static_cast<uint64_t>(static_cast<uint32_t>(generation)) + 1) * 0x165667B19E3779F9u;
  return static_cast<uint32_t>(h >> 32 ^ h);
}

// A block device's capacity: the kernel's count, or where a seek to the end
// lands.
uint64_t blockDeviceSize(int fd) {
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
    return bytes;
  const off_t end = lseek(fd, 0, SEEK_END);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
}

// The identity of what is open on `fd`, and its attributes in `st`. False
// with errno set.
bool identityOfDescriptor(int fd, FileIdentity &id, struct stat &st) {
  if (fstat(fd, &st) != 0)
    return false;
  id = identityOf(st);
  if (S_ISBLK(st.st_mode))
    learnBacking(fd, 0, id);
  if (S_ISREG(st.st_mode))
    id.stamp = stampOf(fd);
  return true;
}

// The identity of what `name` leads to, learnt without opening it for
// writing: a block device is opened read-only to ask for its file. False
// when nothing is there.
bool identityOfName(const std::string &name, FileIdentity &id) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0)
    return false;
  id = identityOf(st);
  if (S_ISBLK(st.st_mode)) {
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    learnBacking(fd, errno, id);
    if (fd >= 0)
      close(fd);
  }
  return true;
}

// The regular file behind an identity: itself, or the file of a loop device.
bool fileBehind(const FileIdentity &id, dev_t &device, ino_t &inode) {
  if (!isDeviceNode(id.type)) {
    device = id.device;
    inode = id.inode;
    return true;
  }
  device = id.backingDevice;
  inode = id.backingInode;
  return id.backing == FileIdentity::Backing::Known;
}

// Two names of one device node are one device, whatever inodes they have;
// a loop device is also the file it reads.
bool sameFile(const FileIdentity &a, const FileIdentity &b) {
  if (isDeviceNode(a.type) && a.type == b.type && a.special == b.special)
    return true;
  dev_t aDevice, bDevice;
  ino_t aInode, bInode;
  return fileBehind(a, aDevice, aInode) && fileBehind(b, bDevice, bInode) && aDevice == bDevice &&
         aInode == bInode;
}

enum class Refusal { None, IsInput, UnknownLoop, WrittenBefore };

// Why an output must not be written, if it must not. `opened`: the identity
// is that of the output's own descriptor, which alone tells a written file
// from a later one with its inode number.
Refusal refusalFor(const InputFile &input, const FileIdentity &id, bool opened) {
  if (sameFile(id, input.identity))
    return Refusal::IsInput;
  if (id.backing == FileIdentity::Backing::Unknown)
    return Refusal::UnknownLoop;
  if (opened && id.type == S_IFREG &&
      containsWrittenFile(input.outputs, id.device, id.inode, id.stamp))
    return Refusal::WrittenBefore;
  return Refusal::None;
}

// Prints the refusal's message; false when there is none.
bool refused(Refusal refusal, const FileIdentity &id, const std::string &name) {
  switch (refusal) {
  case Refusal::None:
    return false;
  case Refusal::IsInput:
    printError("%s: Refusing to write %s: it is the input file\n", ProgName, name.c_str());
    break;
  case Refusal::UnknownLoop:
    printError("%s: Refusing to write %s: it is a loop device whose file can't be learned (%s)\n",
               ProgName, name.c_str(), std::strerror(id.backingError));
    break;
  case Refusal::WrittenBefore:
    printError("%s: Refusing to write %s: this run has already written that file\n", ProgName,
               name.c_str());
    break;
  }
  return true;
}

// A used slot holds the stamp with its top bit set, so that 0 marks an empty
// one whatever the inode number.
uint32_t slotStamp(uint32_t stamp) { return stamp | 0x80000000u; }

// The slot where (inode, stamp) is, or the empty slot where it would go.
size_t findSlot(const WrittenFiles::Device &d, ino_t inode, uint32_t stamp) {
  const size_t mask = d.inodes.size() - 1;
  size_t i = static_cast<size_t>((static_cast<uint64_t>(inode) * 0x9E3779B97F4A7C15u) >> 32) & mask;
  while (d.stamps[i] != 0 && (d.inodes[i] != inode || d.stamps[i] != slotStamp(stamp)))
    i = (i + 1) & mask;
  return i;
}

void putSlot(WrittenFiles::Device &d, ino_t inode, uint32_t stamp) {
  const size_t i = findSlot(d, inode, stamp);
  d.inodes[i] = inode;
  d.stamps[i] = slotStamp(stamp);
}

} // namespace

bool containsWrittenFile(const WrittenFiles &files, dev_t device, ino_t inode, uint32_t stamp) {
  for (const WrittenFiles::Device &d : files.devices)
    if (d.device == device)
      return !d.inodes.empty() && d.stamps[findSlot(d, inode, stamp)] != 0;
  return false;
}

void addWrittenFile(WrittenFiles &files, dev_t device, ino_t inode, uint32_t stamp) {
  WrittenFiles::Device *d = nullptr;
  for (WrittenFiles::Device &candidate : files.devices)
    if (candidate.device == device)
      d = &candidate;
  if (d == nullptr)
    d = &files.devices.emplace_back(WrittenFiles::Device{device, {}, {}, 0});
  if (!d->inodes.empty() && d->stamps[findSlot(*d, inode, stamp)] != 0)
    return; // held already
  // At most half full, so every probe ends soon at an empty slot.
  if (2 * (d->used + 1) > d->inodes.size()) {
    WrittenFiles::Device bigger{device, {}, {}, d->used};
    const size_t size = d->inodes.empty() ? 64 : 2 * d->inodes.size();
    bigger.inodes.assign(size, 0);
    bigger.stamps.assign(size, 0);
    for (size_t i = 0; i < d->inodes.size(); ++i)
      if (d->stamps[i] != 0)
        putSlot(bigger, d->inodes[i], d->stamps[i]);
    *d = std::move(bigger);
  }
  putSlot(*d, inode, stamp);
  ++d->used;
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Descriptor::reset() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress) {
  Descriptor fd(open(name, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || !identityOfDescriptor(fd.get(), input.identity, st))
    return false;
  // A directory opens for reading, but it holds no bytes to read.
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  input.name = name;
  input.fileStartAddress = fileStartAddress;
  input.size = S_ISBLK(st.st_mode) ? blockDeviceSize(fd.get()) : static_cast<uint64_t>(st.st_size);
  input.seekable = lseek(fd.get(), 0, SEEK_CUR) >= 0;
  // The copies read the input front to back: the kernel then reads ahead
  // further. Only a hint; where it is refused nothing changes.
  if (input.seekable)
    (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  input.readInOrder = 0;
  input.outputs = WrittenFiles{};
  input.descriptor = std::move(fd);
  return true;
}

int offsetError(const InputFile &input, int64_t offset) {
  if (offset < 0)
    return EINVAL;
  return input.seekable ? 0 : ESPIPE;
}

bool readInput(const InputFile &input, int64_t offset, void *into, size_t count, size_t &got) {
  got = 0;
  const bool inOrder =
      !input.seekable && offset >= 0 && static_cast<uint64_t>(offset) == input.readInOrder;
  if (const int err = inOrder ? 0 : offsetError(input, offset)) {
    errno = err;
    return false;
  }
  uint8_t *to = static_cast<uint8_t *>(into);
  while (got < count) {
    const ssize_t n = inOrder ? read(input.fd(), to + got, count - got)
                              : pread(input.fd(), to + got, count - got,
                                      static_cast<off_t>(offset + static_cast<int64_t>(got)));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  if (inOrder)
    input.readInOrder += got;
  return true;
}

uint64_t bytesAvailableAt(const InputFile &input, int64_t offset) {
  if (offset < 0 || static_cast<uint64_t>(offset) >= input.size)
    return 0;
  return input.size - static_cast<uint64_t>(offset);
}

FilePtr openOutputFile(InputFile &input, const std::string &name) {
  // A name that leads to the input is refused before it is opened: opening
  // some files (a FIFO, a device) is itself an action.
  FileIdentity id;
  if (identityOfName(name, id) && refused(refusalFor(input, id, false), id, name))
    return nullptr;
  // Opened without emptying it, and checked again on the descriptor: the
  // name may have been pointed elsewhere since it was looked at.
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  struct stat st;
  if (fd < 0 || !identityOfDescriptor(fd, id, st)) {
    if (fd >= 0)
      close(fd);
    printError("%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return nullptr;
  }
  if (refused(refusalFor(input, id, true), id, name)) {
    close(fd);
    return nullptr;
  }
  // Only a file that holds something is emptied: some file systems take the
  // truncation of a file as the sign of a rewrite and write it back at once
  // when it is closed, which a new file does not need.
  const bool empty = id.type != S_IFREG || st.st_size == 0 || ftruncate(fd, 0) == 0;
  FilePtr out(empty ? fdopen(fd, "wb") : nullptr);
  if (!out) {
    close(fd);
    printError("%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return nullptr;
  }
  if (id.type == S_IFREG)
    addWrittenFile(input.outputs, id.device, id.inode, id.stamp);
  return out;
}

RecordRead readRecord(const InputFile &input, int64_t offset, void *into, size_t count) {
  if (offsetError(input, offset) != 0)
    return RecordRead::Unreachable;
  size_t got;
  return readInput(input, offset, into, count, got) && got == count ? RecordRead::Whole
                                                                    : RecordRead::Short;
}
