#include "disk_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

namespace {

// One kernel copy call moves at most this much, so the progress line moves.
constexpr uint64_t KernelCallLimit = uint64_t{1} << 30;

// Ends the progress line on every way out of a copy, so that a message that
// follows stands on a line of its own.
struct ProgressScope {
  CopyProgress progress;
  ~ProgressScope() { endProgress(progress); }
};

// Where the kernel may write: the output's descriptor, the output offset of
// the range's first byte, and whether holes of the input may be left as holes
// (only when nothing lies in the output past where the copy starts, so a
// skipped hole reads as zeros).
struct KernelTarget {
  int fd = -1;
  uint64_t start = 0;
  bool skipHoles = false;
};

// True when the kernel can copy from the input to the output: both regular
// files, the output not appending.
bool findKernelTarget(const CopyRequest &r, KernelTarget &t) {
  if (r.input->identity.type != S_IFREG)
    return false;
  t.fd = fileno(r.output);
  struct stat st;
  if (fstat(t.fd, &st) != 0 || !S_ISREG(st.st_mode) || (fcntl(t.fd, F_GETFL) & O_APPEND) != 0)
    return false;
  const off_t at = lseek(t.fd, 0, SEEK_CUR);
  if (at < 0)
    return false;
  t.start = static_cast<uint64_t>(at);
  t.skipHoles = static_cast<uint64_t>(st.st_size) <= t.start;
  return true;
}

// The input's next data at or after `pos`, as range offsets [from, to) clipped
// to `end`; from == end when only a hole is left. Where the file system cannot
// tell holes, everything is data. False when the input has shrunk below
// `end`: what is missing is no hole, and the plain copy must meet its end.
bool findDataSegment(int fd, int64_t base, uint64_t pos, uint64_t end, uint64_t &from,
                     uint64_t &to) {
  from = pos;
  to = end;
  const off_t data = lseek(fd, base + static_cast<off_t>(pos), SEEK_DATA);
  if (data < 0) {
    if (errno != ENXIO)
      return true;
    struct stat st;
    from = end;
    return fstat(fd, &st) == 0 && st.st_size >= base + static_cast<off_t>(end);
  }
  from = std::min(end, static_cast<uint64_t>(data - base));
  const off_t hole = lseek(fd, data, SEEK_HOLE);
  if (hole >= 0)
    to = std::min(end, static_cast<uint64_t>(hole - base));
  return true;
}

// Copies range bytes [pos, to) inside the kernel; false when a call fails or
// the input ends. `pos` advances with every byte written.
bool copySegmentInKernel(const CopyRequest &r, const KernelTarget &t, uint64_t &pos, uint64_t to,
                         CopyProgress &progress) {
  while (pos < to) {
    off_t from = r.offset + static_cast<off_t>(pos);
    off_t into = static_cast<off_t>(t.start + pos);
    const ssize_t n = copy_file_range(r.input->fd, &from, t.fd, &into,
                                      static_cast<size_t>(std::min(to - pos, KernelCallLimit)), 0);
    if (n <= 0)
      return false;
    pos += static_cast<uint64_t>(n);
    updateProgress(progress, pos);
  }
  return true;
}

// Copies range bytes [0, end) inside the kernel, skipping the input's holes
// where the target allows and giving the output its size at the end. Returns
// `end`, or after a failure the length of the prefix that the output holds.
// The input descriptor's position, which the stream relies on, is restored.
uint64_t copyInKernel(const CopyRequest &r, const KernelTarget &t, uint64_t end,
                      CopyProgress &progress) {
  const int in = r.input->fd;
  const off_t streamPosition = lseek(in, 0, SEEK_CUR);
  uint64_t pos = 0;
  uint64_t written = 0;
  bool ok = true;
  while (ok && pos < end) {
    uint64_t from = pos;
    uint64_t to = end;
    ok = !t.skipHoles || findDataSegment(in, r.offset, pos, end, from, to);
    pos = from;
    ok = ok && copySegmentInKernel(r, t, pos, to, progress);
    if (pos != from)
      written = pos;
  }
  if (ok && written < end && ftruncate(t.fd, static_cast<off_t>(t.start + end)) != 0)
    ok = false;
  if (streamPosition >= 0)
    lseek(in, streamPosition, SEEK_SET);
  return ok ? end : written;
}

// Reads up to `count` bytes at `offset`; fewer only where the input ends.
bool readAt(int fd, int64_t offset, uint8_t *into, size_t count, size_t &got) {
  got = 0;
  while (got < count) {
    const ssize_t n = pread(fd, into + got, count - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The plain copy of range bytes [done, count): read a chunk, write it.
CopyEnd copyBuffered(const CopyRequest &r, uint64_t done, CopyProgress &progress) {
  const uint64_t chunk = r.buffer.size();
  while (done < r.count) {
    const size_t want = static_cast<size_t>(std::min(chunk, r.count - done));
    size_t got;
    if (!readAt(r.input->fd, r.offset + static_cast<int64_t>(done), r.buffer.data(), want, got))
      return CopyEnd::ReadFailed;
    if (got < want && !r.writeShortChunk)
      return CopyEnd::InputEnded;
    if (std::fwrite(r.buffer.data(), 1, got, r.output) < got)
      return CopyEnd::WriteFailed;
    done += got;
    updateProgress(progress, done);
    if (got < want)
      return CopyEnd::InputEnded;
  }
  return CopyEnd::Done;
}

} // namespace

CopyEnd copyRange(const CopyRequest &r) {
  ProgressScope scope;
  if (r.progressLabel != nullptr)
    startProgress(scope.progress, r.progressLabel, r.count);
  const uint64_t chunk = r.buffer.size();
  uint64_t done = 0;
  KernelTarget t;
  // The kernel writes behind the stream's back: whatever the caller wrote
  // into it must be in the file first.
  if (r.count != 0 && std::fflush(r.output) != 0)
    return CopyEnd::WriteFailed;
  if (r.count != 0 && findKernelTarget(r, t)) {
    // Only what the input holds goes through the kernel, and of a chunk that
    // it holds in part only what the plain copy would write; the rest is
    // left to the plain copy, which meets the end of the input as it would.
    const uint64_t held = bytesAvailableAt(*r.input, r.offset);
    const uint64_t end = held >= r.count ? r.count : r.writeShortChunk ? held : held - held % chunk;
    const uint64_t reached = copyInKernel(r, t, end, scope.progress);
    // After a failure the plain copy starts again at the last whole chunk,
    // so a short write or an input that ends leaves what it would leave.
    done = reached == end ? end : reached - reached % chunk;
    if (done != reached && ftruncate(t.fd, static_cast<off_t>(t.start + done)) != 0)
      return CopyEnd::WriteFailed;
    if (fseeko(r.output, static_cast<off_t>(t.start + done), SEEK_SET) != 0)
      return CopyEnd::WriteFailed;
  }
  return copyBuffered(r, done, scope.progress);
}

bool copyPartialInputToOutFile(FILE *output, const InputFile &input, int64_t offset, int64_t length,
                               const char *label) {
  if (fseeko(input.stream.get(), offset, SEEK_SET) != 0) {
    printError("(%s) Error: Can't seek on file '%s' [%s]\n", ProgName, input.name,
               std::strerror(errno));
    return false;
  }
  const int64_t size = static_cast<int64_t>(input.size);
  const int64_t budget = length == 0 ? size : std::min(length, size - offset);
  // Nothing lies at or past the end, and a negative length asks for nothing:
  // the copy must never write bytes that it did not read.
  if (offset >= size || budget <= 0)
    return true;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[CopyChunkSize]);
  if (!buffer) {
    printError("%s: Can't allocate %zu bytes for copying file %s\n", ProgName, CopyChunkSize,
               input.name);
    return false;
  }
  CopyRequest request;
  request.input = &input;
  request.offset = offset;
  request.count = static_cast<uint64_t>(std::min(budget, size - offset));
  request.output = output;
  request.buffer = {buffer.get(), CopyChunkSize};
  request.writeShortChunk = true;
  request.progressLabel = label;
  switch (copyRange(request)) {
  case CopyEnd::ReadFailed:
    printError("%s: Read error on file %s\n", ProgName, input.name);
    return false;
  case CopyEnd::WriteFailed:
    printError("%s: Write error when copying file %s\n", ProgName, input.name);
    return false;
  default:
    return true;
  }
}

bool copyPartialBinFileToOutFile(FILE *output, const char *inputFileName, int64_t offset,
                                 int64_t length) {
  struct stat st;
  if (stat(inputFileName, &st) != 0) {
    printError("%s: Can't access file '%s' (%s)\n", ProgName, inputFileName, std::strerror(errno));
    return false;
  }
  InputFile input;
  if (!openInputFile(input, inputFileName, 0)) {
    printError("(%s) Error: Can't open file '%s'\n", ProgName, inputFileName);
    return false;
  }
  return copyPartialInputToOutFile(output, input, offset, length, nullptr);
}

bool copyBinFileToOutFile(FILE *output, const char *inputFileName) {
  return copyPartialBinFileToOutFile(output, inputFileName, 0, 0);
}

bool readBinFileIntoArray(const char *fileName, std::vector<uint8_t> &data, uint32_t &size) {
  data.clear();
  size = 0;
  struct stat st;
  if (stat(fileName, &st) != 0) {
    printError("%s: Can't access file '%s' (%s)\n", ProgName, fileName, std::strerror(errno));
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    printError("%s: File %s is too large to read into memory (%" PRIu64 " bytes)\n", ProgName,
               fileName, static_cast<uint64_t>(st.st_size));
    return false;
  }
  size = static_cast<uint32_t>(st.st_size);
  try {
    data.resize(size);
  } catch (const std::bad_alloc &) {
    printError("%s: Can't allocate %u bytes to hold the contents of file %s\n", ProgName, size,
               fileName);
    return false;
  }
  FilePtr file = openFile(fileName, "rb");
  if (!file) {
    printError("%s: Can't open file %s\n", ProgName, fileName);
    data.clear();
    return false;
  }
  if (std::fread(data.data(), size, 1, file.get()) != 1) {
    printError("%s: Can't read file %s\n", ProgName, fileName);
    data.clear();
    return false;
  }
  return true;
}
