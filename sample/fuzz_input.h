// SPDX-License-Identifier: MIT
// How a fuzz input becomes one run of the tool: a command line, a sparse input
// file and a cap on the size of every file the run writes. The fuzz harness,
// the seed generator and the replay test all go through this one decoding, so
// a saved input means the same run everywhere.
//
// Layout of an input:
//   byte 0       flags (see Flag below)
//   bytes 1..4   the input file's size, big-endian W. With its top bit clear,
//                W modulo MaxFileSize, where 0 means just past the last byte
//                placed; with it set, 2^63 - 1 - (the low 31 bits of W): the
//                sizes next to the largest a file can have, where the disk
//                address just past the input no longer fits in 63 bits. Only
//                a memory file system holds such a file: writeInput fails
//                with EFBIG elsewhere.
//   then records, until the input ends:
//     1 byte     bit 0 set: the address is relative to the last absolute record
//     4 bytes    big-endian V; the record's disk address is 4 * V (absolute) or
//                base + 4 * V (relative), so the stored form of an offset field
//                on the disc is also the address of what it points to
//     2 bytes    big-endian length L
//     L bytes    the bytes to place (fewer when the input ends first)
// Bytes that would land in front of the file or at or past MaxFileSize are
// dropped. The file is sparse: only the placed bytes are written.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzinput {

// Bounds every input file. The file is sparse, so a large bound costs
// nothing, and it lets a short input declare sizes and counts that run to a
// GiB: the campaign's malloc limit (16 MiB) then catches any buffer that the
// tool sizes by what an image declares rather than by what it reads.
constexpr uint64_t MaxFileSize = 0x40000000; // 1 GiB
// The size word's bit that asks for a size near 2^63 instead.
constexpr uint32_t HugeFileSize = 0x80000000;

// Output caps (RLIMIT_FSIZE): a small one that makes the .unencrypt copy and
// most partition copies fall short, and one that lets ordinary images through.
constexpr uint64_t SmallOutputLimit = 0x10000;
constexpr uint64_t LargeOutputLimit = 0x200000;

constexpr int64_t DiskImageStart = -0x8000;
constexpr int64_t MoxBinStart = 0x40000;

enum Flag : uint8_t {
  FlagPrint = 0x01,        // -p
  FlagExtract = 0x02,      // -x (neither bit: -p)
  FlagForce = 0x04,        // -f
  FlagMoxBin = 0x08,       // -r; otherwise -d
  FlagAlsoDisk = 0x10,     // with FlagMoxBin: -d as well
  FlagVerbose = 0x20,      // -v
  FlagSmallOutputs = 0x40, // SmallOutputLimit instead of LargeOutputLimit
  FlagStdoutFull = 0x80,   // standard output cannot be written (/dev/full)
};

// Which modes a decoding may yield; the print and extract campaigns each keep
// to their own.
enum class Modes { Any, Print, Extract };

// A byte string placed at a file offset.
struct Piece {
  uint64_t fileOffset;
  std::vector<uint8_t> bytes;
};

struct Run {
  bool print = false;
  bool extract = false;
  bool force = false;
  bool moxBin = false;
  bool diskImage = true;
  bool verbose = false;
  bool stdoutFull = false;
  uint64_t outputLimit = LargeOutputLimit;
  uint64_t fileSize = 0;
  std::vector<Piece> pieces;

  int64_t fileStartAddress() const { return moxBin ? MoxBinStart : DiskImageStart; }

  // The options, without argv[0] and without the input file name.
  std::vector<std::string> options() const {
    std::vector<std::string> args;
    if (diskImage)
      args.push_back("-d");
    if (moxBin)
      args.push_back("-r");
    if (print)
      args.push_back("-p");
    if (extract)
      args.push_back("-x");
    if (force)
      args.push_back("-f");
    if (verbose)
      args.push_back("-v");
    return args;
  }
};

inline uint32_t loadBe32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline Run decode(const uint8_t *data, size_t size, Modes modes = Modes::Any) {
  Run run;
  const uint8_t flags = size > 0 ? data[0] : 0;
  run.print = (flags & FlagPrint) != 0;
  run.extract = (flags & FlagExtract) != 0;
  if (modes == Modes::Print) {
    run.print = true;
    run.extract = false;
  } else if (modes == Modes::Extract) {
    run.extract = true;
  } else if (!run.print && !run.extract) {
    run.print = true;
  }
  run.force = (flags & FlagForce) != 0;
  run.moxBin = (flags & FlagMoxBin) != 0;
  run.diskImage = !run.moxBin || (flags & FlagAlsoDisk) != 0;
  run.verbose = (flags & FlagVerbose) != 0;
  run.outputLimit = (flags & FlagSmallOutputs) != 0 ? SmallOutputLimit : LargeOutputLimit;
  run.stdoutFull = (flags & FlagStdoutFull) != 0;

  size_t pos = 1;
  uint64_t declaredSize = 0;
  if (size >= pos + 4) {
    const uint32_t word = loadBe32(data + pos);
    declaredSize = (word & HugeFileSize) != 0 ? uint64_t{INT64_MAX} - (word & ~HugeFileSize)
                                              : word % MaxFileSize;
  }
  pos += 4;

  // The modes above decide fileStartAddress; -d -r reads as a mox.bin file.
  const int64_t fileStart = run.fileStartAddress();
  uint64_t base = 0;
  uint64_t end = 0;
  while (pos + 7 <= size) {
    const bool relative = (data[pos] & 1) != 0;
    const uint64_t offset = uint64_t{loadBe32(data + pos + 1)} * 4;
    size_t length = size_t{data[pos + 5]} << 8 | data[pos + 6];
    pos += 7;
    if (length > size - pos)
      length = size - pos;
    const uint8_t *bytes = data + pos;
    pos += length;

    const uint64_t address = relative ? base + offset : offset;
    if (!relative)
      base = address;
    // File offset of the first byte, clipped to [0, MaxFileSize).
    int64_t fileOffset = static_cast<int64_t>(address - static_cast<uint64_t>(fileStart));
    if (fileOffset < 0) {
      const uint64_t skip = static_cast<uint64_t>(-fileOffset);
      if (skip >= length)
        continue;
      bytes += skip;
      length -= static_cast<size_t>(skip);
      fileOffset = 0;
    }
    const uint64_t first = static_cast<uint64_t>(fileOffset);
    if (first >= MaxFileSize || length == 0)
      continue;
    if (length > MaxFileSize - first)
      length = static_cast<size_t>(MaxFileSize - first);
    run.pieces.push_back({first, std::vector<uint8_t>(bytes, bytes + length)});
    if (first + length > end)
      end = first + length;
  }
  run.fileSize = declaredSize != 0 ? declaredSize : end;
  return run;
}

// Tables longer than this are not run when the input could hold them: the
// tool does the work of every entry (in extract mode a file each; in print
// mode a report block each, which may list 65535 content records), which is
// linear and correct but would make such inputs most of a campaign's time.
constexpr uint32_t MaxExtractPartitions = 16;
constexpr uint32_t MaxPrintPartitions = 256;

// True when the input's table of contents counts more entries than the run's
// mode allows and the file is large enough to hold that many.
inline bool tooManyPartitions(const std::string &path, const Run &run) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  uint8_t count[4] = {};
  const off_t tocOffset = static_cast<off_t>(0x40000 - run.fileStartAddress());
  const bool read = ::pread(fd, count, sizeof count, tocOffset) == sizeof count;
  ::close(fd);
  const uint64_t numPartitions = loadBe32(count);
  const uint32_t most = run.extract ? MaxExtractPartitions : MaxPrintPartitions;
  return read && numPartitions > most && numPartitions * 8 <= run.fileSize;
}

// Writes the run's input file, replacing what is there. False with errno set
// when the file cannot be written.
inline bool writeInput(const std::string &path, const Run &run) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool ok = true;
  for (const Piece &piece : run.pieces) {
    size_t done = 0;
    while (ok && done < piece.bytes.size()) {
      const ssize_t n = ::pwrite(fd, piece.bytes.data() + done, piece.bytes.size() - done,
                                 static_cast<off_t>(piece.fileOffset + done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        ok = false;
      else
        done += static_cast<size_t>(n);
    }
  }
  if (ok && ::ftruncate(fd, static_cast<off_t>(run.fileSize)) != 0)
    ok = false;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

// Builds an input from its parts; the seed generator's side of decode().
class Encoder {
public:
  Encoder(uint8_t flags, uint32_t fileSize) {
    bytes_.push_back(flags);
    putBe32(fileSize);
  }
  // Bytes at a disk address (a multiple of 4 below 16 GiB); it becomes the
  // base of the relative records that follow.
  void absolute(uint64_t diskAddress, const std::vector<uint8_t> &data) {
    record(0, static_cast<uint32_t>(diskAddress / 4), data);
  }
  // Bytes at base + 4 * storedOffset, the form a header's offset field holds.
  void relative(uint32_t storedOffset, const std::vector<uint8_t> &data) {
    record(1, storedOffset, data);
  }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
  void putBe32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes_.push_back(static_cast<uint8_t>(v >> shift));
  }
  void record(uint8_t control, uint32_t v, const std::vector<uint8_t> &data) {
    // Longer pieces are split so each fits its 16-bit length.
    size_t done = 0;
    do {
      const size_t n = data.size() - done < 0xFFFC ? data.size() - done : 0xFFFC;
      bytes_.push_back(control);
      putBe32(v + static_cast<uint32_t>(done / 4));
      bytes_.push_back(static_cast<uint8_t>(n >> 8));
      bytes_.push_back(static_cast<uint8_t>(n));
      bytes_.insert(bytes_.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                    data.begin() + static_cast<std::ptrdiff_t>(done + n));
      done += n;
    } while (done < data.size());
  }
  std::vector<uint8_t> bytes_;
};

} // namespace fuzzinput
