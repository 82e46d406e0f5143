// SPDX-License-Identifier: MIT
#include "input_file.h"

#include <cerrno>
#include <utility>

#include "platform.h"

bool openInputFile(InputFile &input, const char *name, int64_t fileStartAddress) {
  Descriptor fd(openForReading(name));
  FileType type;
  uint64_t size;
  if (fd.get() < 0 || !measureDescriptor(fd.get(), type, size))
    return false;
  // A directory opens for reading, but it holds no bytes to read.
  if (type == FileType::Directory) {
    errno = EISDIR;
    return false;
  }
  input.name = name;
  input.fileStartAddress = fileStartAddress;
  input.size = size;
  input.seekable = positionOf(fd.get()) >= 0;
  // The copies read the input front to back: the system then reads ahead
  // further. Only a hint; where it is refused nothing changes.
  if (input.seekable)
    adviseSequentialReading(fd.get());
  input.regular = type == FileType::Regular;
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
    const int64_t n =
        inOrder ? readNext(input.fd(), to + got, count - got)
                : readAt(input.fd(), to + got, count - got, static_cast<uint64_t>(offset) + got);
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
