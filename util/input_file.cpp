#include "input_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

FileIdentity identityOf(const struct stat &st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.type = st.st_mode & S_IFMT;
  id.special = st.st_rdev;
  return id;
}

bool isDeviceNode(mode_t type) { return type == S_IFBLK || type == S_IFCHR; }

// Two names of one device node are one device, whatever inodes they have.
bool sameFile(const FileIdentity &a, const FileIdentity &b) {
  if (isDeviceNode(a.type) || isDeviceNode(b.type))
    return a.type == b.type && a.special == b.special;
  return a.device == b.device && a.inode == b.inode;
}

// A block device's capacity: the kernel's count, or where a seek to the end
// lands. The descriptor's position is left where it was.
uint64_t blockDeviceSize(int fd) {
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
    return bytes;
  const off_t here = lseek(fd, 0, SEEK_CUR);
  const off_t end = lseek(fd, 0, SEEK_END);
  if (here >= 0)
    lseek(fd, here, SEEK_SET);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
}

enum class Refusal { None, IsInput, WrittenBefore };

Refusal refusalFor(const InputFile &input, const FileIdentity &id) {
  if (sameFile(id, input.identity))
    return Refusal::IsInput;
  if (id.type == S_IFREG && containsWrittenFile(input.outputs, id.device, id.inode))
    return Refusal::WrittenBefore;
  return Refusal::None;
}

void printRefusal(Refusal refusal, const std::string &name) {
  if (refusal == Refusal::IsInput)
    printError("%s: Refusing to write %s: it is the input file\n", ProgName, name.c_str());
  else
    printError("%s: Refusing to write %s: this run has already written that file\n", ProgName,
               name.c_str());
}

// The slot where `inode` is, or the empty slot where it would go.
size_t findSlot(const std::vector<ino_t> &slots, ino_t inode) {
  const size_t mask = slots.size() - 1;
  size_t i = static_cast<size_t>((static_cast<uint64_t>(inode) * 0x9E3779B97F4A7C15u) >> 32) & mask;
  while (slots[i] != 0 && slots[i] != inode)
    i = (i + 1) & mask;
  return i;
}

void insertInode(std::vector<ino_t> &slots, ino_t inode) { slots[findSlot(slots, inode)] = inode; }

} // namespace

bool containsWrittenFile(const WrittenFiles &files, dev_t device, ino_t inode) {
  for (const WrittenFiles::Device &d : files.devices) {
    if (d.device != device)
      continue;
    if (inode == 0)
      return d.hasInodeZero;
    return !d.slots.empty() && d.slots[findSlot(d.slots, inode)] == inode;
  }
  return false;
}

void addWrittenFile(WrittenFiles &files, dev_t device, ino_t inode) {
  WrittenFiles::Device *d = nullptr;
  for (WrittenFiles::Device &candidate : files.devices)
    if (candidate.device == device)
      d = &candidate;
  if (d == nullptr)
    d = &files.devices.emplace_back(WrittenFiles::Device{device, {}, 0, false});
  if (inode == 0) {
    d->hasInodeZero = true;
    return;
  }
  if (!d->slots.empty() && d->slots[findSlot(d->slots, inode)] == inode)
    return; // held already
  // At most half full, so every probe ends soon at an empty slot.
  if (2 * (d->used + 1) > d->slots.size()) {
    std::vector<ino_t> bigger(d->slots.empty() ? 64 : 2 * d->slots.size(), 0);
    for (ino_t held : d->slots)
      if (held != 0)
        insertInode(bigger, held);
    d->slots.swap(bigger);
  }
  insertInode(d->slots, inode);
  ++d->used;
}

bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress) {
  input.stream = openFile(name, "rb");
  if (!input.stream)
    return false;
  input.fd = fileno(input.stream.get());
  struct stat st;
  if (fstat(input.fd, &st) != 0) {
    const int err = errno;
    input.stream.reset();
    errno = err;
    return false;
  }
  input.name = name;
  input.fileStartAddress = fileStartAddress;
  input.identity = identityOf(st);
  input.size = S_ISBLK(st.st_mode) ? blockDeviceSize(input.fd) : static_cast<uint64_t>(st.st_size);
  input.outputs = WrittenFiles{};
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
  struct stat st;
  if (stat(name.c_str(), &st) == 0) {
    const Refusal refusal = refusalFor(input, identityOf(st));
    if (refusal != Refusal::None) {
      printRefusal(refusal, name);
      return nullptr;
    }
  }
  // Opened without emptying it, and checked again on the descriptor: the
  // name may have been pointed elsewhere since it was looked at.
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0)
      close(fd);
    printError("%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return nullptr;
  }
  const FileIdentity id = identityOf(st);
  const Refusal refusal = refusalFor(input, id);
  if (refusal != Refusal::None) {
    close(fd);
    printRefusal(refusal, name);
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
    addWrittenFile(input.outputs, id.device, id.inode);
  return out;
}
