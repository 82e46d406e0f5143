#include "disk_common.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_common.h"

bool copyPartialBinFileToOutFile(FILE *output, const char *inputFileName, int64_t offset,
                                 int64_t length) {
  struct stat st;
  if (stat(inputFileName, &st) != 0) {
    std::fprintf(stderr, "%s: Can't access file '%s' (%s)\n", ProgName, inputFileName,
                 std::strerror(errno));
    return false;
  }
  const int64_t size = st.st_size;
  int64_t budget = size;
  if (length != 0)
    budget = length < size - offset ? length : size - offset;

  FilePtr input = openFile(inputFileName, "rb");
  if (!input) {
    std::fprintf(stderr, "(%s) Error: Can't open file '%s'\n", ProgName, inputFileName);
    return false;
  }
  if (fseeko(input.get(), offset, SEEK_SET) != 0) {
    std::fprintf(stderr, "(%s) Error: Can't seek on file '%s' [%s]\n", ProgName, inputFileName,
                 std::strerror(errno));
    return false;
  }
  // Nothing lies at or past the end, and a negative length asks for nothing:
  // the copy must never write bytes that it did not read.
  if (offset >= size || budget <= 0)
    return true;

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[CopyChunkSize]);
  if (!buffer) {
    std::fprintf(stderr, "%s: Can't allocate %zu bytes for copying file %s\n", ProgName,
                 CopyChunkSize, inputFileName);
    return false;
  }
  size_t got;
  do {
    got = std::fread(buffer.get(), 1, CopyChunkSize, input.get());
    if (got < CopyChunkSize && std::ferror(input.get())) {
      std::fprintf(stderr, "%s: Read error on file %s\n", ProgName, inputFileName);
      return false;
    }
    const size_t want = static_cast<int64_t>(got) < budget ? got : static_cast<size_t>(budget);
    if (std::fwrite(buffer.get(), 1, want, output) < want) {
      std::fprintf(stderr, "%s: Write error when copying file %s\n", ProgName, inputFileName);
      return false;
    }
    budget -= static_cast<int64_t>(want);
  } while (budget > 0 && got == CopyChunkSize);
  return true;
}

bool copyBinFileToOutFile(FILE *output, const char *inputFileName) {
  return copyPartialBinFileToOutFile(output, inputFileName, 0, 0);
}

bool readBinFileIntoArray(const char *fileName, std::vector<uint8_t> &data, uint32_t &size) {
  data.clear();
  size = 0;
  struct stat st;
  if (stat(fileName, &st) != 0) {
    std::fprintf(stderr, "%s: Can't access file '%s' (%s)\n", ProgName, fileName,
                 std::strerror(errno));
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    std::fprintf(stderr, "%s: File %s is too large to read into memory (%" PRIu64 " bytes)\n",
                 ProgName, fileName, static_cast<uint64_t>(st.st_size));
    return false;
  }
  size = static_cast<uint32_t>(st.st_size);
  try {
    data.resize(size);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "%s: Can't allocate %u bytes to hold the contents of file %s\n", ProgName,
                 size, fileName);
    return false;
  }
  FilePtr file = openFile(fileName, "rb");
  if (!file) {
    std::fprintf(stderr, "%s: Can't open file %s\n", ProgName, fileName);
    data.clear();
    return false;
  }
  if (std::fread(data.data(), size, 1, file.get()) != 1) {
    std::fprintf(stderr, "%s: Can't read file %s\n", ProgName, fileName);
    data.clear();
    return false;
  }
  return true;
}

bool copyChunkInKernel(int inFd, int64_t inOffset, int outFd, uint64_t outOffset, size_t count) {
  off_t from = inOffset;
  size_t copied = 0;
  while (copied < count) {
    const ssize_t n = copy_file_range(inFd, &from, outFd, nullptr, count - copied, 0);
    if (n <= 0) {
      // Unsupported here, the input ended, or the output refused: undo.
      if (copied != 0 && ftruncate(outFd, static_cast<off_t>(outOffset)) != 0) {
        // The bytes stay; the caller's copy of this chunk writes over them.
      }
      lseek(outFd, static_cast<off_t>(outOffset), SEEK_SET);
      return false;
    }
    copied += static_cast<size_t>(n);
  }
  return true;
}
