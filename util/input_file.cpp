// SPDX-License-Identifier: MIT
#include "input_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

// A block device's capacity: the kernel's count, or where a seek to the end
// lands.
static uint64_t blockDeviceSize(int fd) {
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
    return bytes;
  const off_t end = lseek(fd, 0, SEEK_END);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
}

bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress) {
  Descriptor fd(open(name, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
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
  input.regular = S_ISREG(st.st_mode);
  input.readInOrder = 0;
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

RecordRead readRecord(const InputFile &input, int64_t offset, void *into, size_t count) {
  if (offsetError(input, offset) != 0)
    return RecordRead::Unreachable;
  size_t got;
  return readInput(input, offset, into, count, got) && got == count ? RecordRead::Whole
                                                                    : RecordRead::Short;
}
