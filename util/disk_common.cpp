// SPDX-License-Identifier: MIT
#include "disk_common.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "platform.h"

namespace {

// The sizes of the kernel's copy calls; nextCallSize says why.
constexpr double CallSeconds = 0.1;
constexpr uint64_t MinCallSize = uint64_t{4} << 20;
constexpr uint64_t MaxMovingCallSize = uint64_t{64} << 20;
constexpr uint64_t MaxCallSize = uint64_t{1} << 30;
// Faster than any copy of bytes through memory: such a call shared blocks.
constexpr double SharingRate = 32.0 * (uint64_t{1} << 30);

// Ends the progress line on every way out of a copy, so that a message that
// follows stands on a line of its own.
struct ProgressScope {
  CopyProgress progress;
  ~ProgressScope() { endProgress(progress); }
};

// A regular output that the copy writes at explicit offsets, and in which
// nothing lies past the range's first byte, `start`: holes of the input may
// be left as holes there (they read as zeros), and a copy that fails may cut
// the file back to what it holds whole, as a plain copy would have left it.
struct Target {
  OutputFile *out = nullptr;
  uint64_t start = 0;
  int fd() const { return out->fd(); }
};

// The size of the regular file open on `fd`; false when it cannot be told.
bool sizeOfFile(int fd, uint64_t &size) {
  FileType type;
  return measureDescriptor(fd, type, size);
}

// True when the output is a regular file written at explicit offsets that
// holds nothing past its position. Any other output takes the plain copy,
// which writes over what is there chunk by chunk and nothing else.
bool findTarget(const CopyRequest &r, Target &t) {
  uint64_t size;
  if (!r.output->regular || !r.output->positioned || !sizeOfFile(r.output->fd(), size) ||
      size > r.output->at)
    return false;
  t.out = r.output;
  t.start = r.output->at;
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
  const uint64_t start = static_cast<uint64_t>(base);
  uint64_t data;
  switch (nextData(fd, start + pos, data)) {
  case DataSearch::Unknown:
    return true;
  case DataSearch::NoMore: {
    uint64_t size;
    from = end;
    return sizeOfFile(fd, size) && size >= start + end;
  }
  case DataSearch::Found:
    break;
  }
  from = std::min(end, data - start);
  uint64_t hole;
  if (nextHole(fd, data, hole))
    to = std::min(end, hole - start);
  return true;
}

// Grows the output to `size` bytes without writing anything: a hole. Where a
// file-size limit stops it, the output grows as far as the limit lets it,
// where a plain write would have stopped too; false then, and on any other
// failure.
bool extendTo(int fd, uint64_t size) {
  const int err = resizeFile(fd, size);
  uint64_t allowed;
  if (err == 0)
    return true;
  if (err != EFBIG || !sizeOfFile(fd, allowed))
    return false;
  // The largest size the limit allows, in at most 64 tries.
  uint64_t refused = size;
  while (refused - allowed > 1) {
    const uint64_t middle = allowed + (refused - allowed) / 2;
    (resizeFile(fd, middle) == 0 ? allowed : refused) = middle;
  }
  return false;
}

// Sizes the kernel's calls from the speed of the last one (nextCallSize).
struct CallSizer {
  uint64_t next = MinCallSize;
  double started = 0;

  void start() { started = monotonicSeconds(); }
  void finish(uint64_t moved) { next = nextCallSize(moved, monotonicSeconds() - started); }
};

// How one copy moves its data: inside the kernel until it refuses (another
// file system, an input that is no regular file, any failure), then through
// the buffer.
struct Mover {
  bool inKernel = false;
  CallSizer sizer;
};

// Moves range bytes [pos, to) to the same place in the output; `pos` advances
// with every byte written. False when a write fails or the input ends.
bool moveSegment(const CopyRequest &r, const Target &t, uint64_t &pos, uint64_t to, Mover &m,
                 CopyProgress &progress) {
  while (pos < to) {
    const int64_t in = r.offset + static_cast<int64_t>(pos);
    size_t moved;
    if (m.inKernel) {
      m.sizer.start();
      const int64_t n =
          copyInKernel(r.input->fd(), static_cast<uint64_t>(in), t.fd(), t.start + pos,
                       static_cast<size_t>(std::min(to - pos, m.sizer.next)));
      if (n < 0) { // the buffer takes over, from the same byte
        m.inKernel = false;
        continue;
      }
      moved = static_cast<size_t>(n);
      m.sizer.finish(moved);
    } else {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(to - pos, r.buffer.size()));
      size_t got;
      if (!readInput(*r.input, in, r.buffer.data(), want, got))
        return false;
      t.out->at = t.start + pos;
      moved = writeOutput(*t.out, r.buffer.data(), got);
      if (moved < got) {
        pos += moved;
        return false;
      }
    }
    if (moved == 0) // the input ended early: it has shrunk
      return false;
    pos += moved;
    updateProgress(progress, pos);
  }
  return true;
}

// Copies range bytes [0, end), all of which the input held when it was
// measured, skipping the input's holes and giving the output its size at
// the end. Returns `end`, or after a failure the
// length of the prefix that the output holds.
uint64_t copyFast(const CopyRequest &r, const Target &t, uint64_t end, CopyProgress &progress) {
  Mover m;
  m.inKernel = r.input->regular;
  uint64_t pos = 0;
  uint64_t written = 0;
  bool ok = true;
  while (ok && pos < end) {
    uint64_t from = pos;
    uint64_t to = end;
    ok = findDataSegment(r.input->fd(), r.offset, pos, end, from, to);
    pos = from;
    ok = ok && moveSegment(r, t, pos, to, m, progress);
    if (pos != from)
      written = pos;
  }
  if (ok && written < end && resizeFile(t.fd(), t.start + end) != 0)
    ok = false;
  return ok ? end : written;
}

// Where the whole chunks from range offset `done` on that the input holds as
// a hole end: `count` when the hole runs to the range's end, `done` when the
// chunk at `done` holds data or lies past the input's end.
uint64_t endOfHoleChunks(const CopyRequest &r, uint64_t done) {
  uint64_t from;
  uint64_t to;
  if (!findDataSegment(r.input->fd(), r.offset, done, r.count, from, to))
    return done;
  if (from == r.count)
    return r.count;
  const uint64_t chunk = r.buffer.size();
  return done + (from - done) / chunk * chunk;
}

// The plain copy of range bytes [done, count): read a chunk, write it. With
// `holes`, whole chunks that the input holds as a hole are not written: the
// output is extended over them, so that they read as the zeros a plain copy
// writes but take no space.
CopyEnd copyPlain(const CopyRequest &r, uint64_t done, const Target *holes,
                  CopyProgress &progress) {
  const uint64_t chunk = r.buffer.size();
  while (done < r.count) {
    const uint64_t skipTo = holes != nullptr ? endOfHoleChunks(r, done) : done;
    if (skipTo > done) {
      if (!extendTo(holes->fd(), holes->start + skipTo))
        return CopyEnd::WriteFailed;
      r.output->at = holes->start + skipTo;
      done = skipTo;
      updateProgress(progress, done);
      continue;
    }
    const size_t want = static_cast<size_t>(std::min(chunk, r.count - done));
    size_t got;
    if (!readInput(*r.input, r.offset + static_cast<int64_t>(done), r.buffer.data(), want, got))
      return CopyEnd::ReadFailed;
    if (got < want && !r.writeShortChunk)
      return CopyEnd::InputEnded;
    if (writeOutput(*r.output, r.buffer.data(), got) < got)
      return CopyEnd::WriteFailed;
    done += got;
    updateProgress(progress, done);
    if (got < want)
      return CopyEnd::InputEnded;
  }
  return CopyEnd::Done;
}

} // namespace

uint64_t nextCallSize(uint64_t moved, double took) {
  if (!(took > 0))
    return MinCallSize;
  const double rate = static_cast<double>(moved) / took;
  const uint64_t most = rate >= SharingRate ? MaxCallSize : MaxMovingCallSize;
  const double want = rate * CallSeconds;
  return want >= static_cast<double>(most) ? most
                                           : std::max(MinCallSize, static_cast<uint64_t>(want));
}

CopyEnd copyRange(const CopyRequest &r) {
  ProgressScope scope;
  if (r.progressLabel != nullptr)
    startProgress(scope.progress, r.progressLabel, r.count);
  Target t;
  if (r.count == 0 || !findTarget(r, t))
    return copyPlain(r, 0, nullptr, scope.progress);
  // Only what the input holds goes through the fast copy, and of a chunk
  // that it holds in part only what the plain copy would write; the rest is
  // left to the plain copy, which meets the end of the input as it would.
  const uint64_t chunk = r.buffer.size();
  const uint64_t held = bytesAvailableAt(*r.input, r.offset);
  const uint64_t end = held >= r.count ? r.count : r.writeShortChunk ? held : held - held % chunk;
  const uint64_t reached = copyFast(r, t, end, scope.progress);
  // After a failure the plain copy starts again at the last whole chunk, so
  // a short write or an input that ends leaves what it would leave.
  const uint64_t done = reached == end ? end : reached - reached % chunk;
  if (done != reached && resizeFile(t.fd(), t.start + done) != 0)
    return CopyEnd::WriteFailed;
  r.output->at = t.start + done;
  return copyPlain(r, done, &t, scope.progress);
}

bool copyPartialInputToOutFile(OutputFile &output, const InputFile &input, int64_t offset,
                               int64_t length, const char *label) {
  if (const int err = offsetError(input, offset)) {
    printError("(%s) Error: Can't seek on file '%s' [%s]\n", ProgName, input.name,
               std::strerror(err));
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
  request.output = &output;
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
  uint64_t size;
  if (!sizeOfPath(inputFileName, size)) {
    printError("%s: Can't access file '%s' (%s)\n", ProgName, inputFileName, std::strerror(errno));
    return false;
  }
  InputFile input;
  if (!openInputFile(input, inputFileName, 0)) {
    printError("(%s) Error: Can't open file '%s'\n", ProgName, inputFileName);
    return false;
  }
  // The stream's descriptor, written directly: at the stream's position
  // unless it appends or has no position, and the stream moved on after.
  OutputFile out;
  if (std::fflush(output) == 0)
    out.descriptor = Descriptor(duplicateDescriptor(descriptorOfStream(output)));
  FileType type;
  uint64_t ignored;
  if (out.fd() < 0 || !measureDescriptor(out.fd(), type, ignored)) {
    printError("%s: Write error when copying file %s\n", ProgName, inputFileName);
    return false;
  }
  const int64_t position = positionOf(out.fd());
  out.regular = type == FileType::Regular;
  out.positioned = position >= 0 && !appendsOnly(out.fd());
  out.at = position >= 0 ? static_cast<uint64_t>(position) : 0;
  const bool copied = copyPartialInputToOutFile(out, input, offset, length, nullptr);
  if (out.positioned && !seekStream(output, out.at)) {
    printError("%s: Write error when copying file %s\n", ProgName, inputFileName);
    return false;
  }
  return copied;
}

bool copyBinFileToOutFile(FILE *output, const char *inputFileName) {
  return copyPartialBinFileToOutFile(output, inputFileName, 0, 0);
}

bool readBinFileIntoArray(const char *fileName, std::vector<uint8_t> &data, uint32_t &size) {
  data.clear();
  size = 0;
  uint64_t fileBytes;
  if (!sizeOfPath(fileName, fileBytes)) {
    printError("%s: Can't access file '%s' (%s)\n", ProgName, fileName, std::strerror(errno));
    return false;
  }
  if (fileBytes > UINT32_MAX) {
    printError("%s: File %s is too large to read into memory (%" PRIu64 " bytes)\n", ProgName,
               fileName, fileBytes);
    return false;
  }
  size = static_cast<uint32_t>(fileBytes);
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
