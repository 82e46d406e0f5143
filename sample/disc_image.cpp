// SPDX-License-Identifier: MIT
// Synthetic disc images for the tests: builds the on-disc structures in memory
// and places them by disk address into a sparse file.
#include "disc_image.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace discimg {
namespace {

constexpr size_t kChunk = size_t{1} << 20; // bytes per patterned write or compare step

// On-disc layout constants.
constexpr uint64_t kFrontEnd = 0x40000; // patterned front ends here
constexpr size_t kTmdContentsOffset = 0x1E4;
constexpr size_t kTmdContentSize = 36;
constexpr size_t kTextWidth = 64; // issuer and the disc's long name

// "what: path: reason" for errno-based failures.
std::runtime_error ioError(const std::string &what, const std::string &path, int err) {
  return std::runtime_error(what + ": " + path + ": " + std::strerror(err));
}

// Opens `path` or throws with the reason; the descriptor is close-on-exec.
Fd openOrThrow(const std::string &path, int flags, mode_t mode = 0644) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    throw ioError("cannot open", path, errno);
  }
  return Fd(fd);
}

// Writes all `len` bytes at file offset `ofs`, or throws.
void pwriteAll(const Fd &fd, const std::string &path, const uint8_t *data, size_t len,
               uint64_t ofs) {
  while (len > 0) {
    ssize_t n = ::pwrite(fd.get(), data, len, static_cast<off_t>(ofs));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw ioError("cannot write at offset " + std::to_string(ofs), path, errno);
    }
    if (n == 0) {
      throw std::runtime_error("cannot write at offset " + std::to_string(ofs) + ": " + path +
                               ": no progress");
    }
    data += n;
    len -= static_cast<size_t>(n);
    ofs += static_cast<uint64_t>(n);
  }
}

// Reads up to `len` bytes at file offset `ofs`; fewer only at end of file.
size_t preadAll(const Fd &fd, const std::string &path, uint8_t *data, size_t len, uint64_t ofs) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd.get(), data + done, len - done, static_cast<off_t>(ofs + done));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw ioError("cannot read at offset " + std::to_string(ofs + done), path, errno);
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

uint64_t fdSize(const Fd &fd, const std::string &path) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    throw ioError("cannot stat", path, errno);
  }
  return static_cast<uint64_t>(st.st_size);
}

// Fills `buf` with the pattern of the disk addresses starting at `diskAddress`
// (wrapping around 2^64 like the addresses in front of a disk image).
void fillPattern(uint8_t *buf, size_t len, uint64_t diskAddress) {
  for (size_t i = 0; i < len; ++i) {
    buf[i] = patternByte(diskAddress + i);
  }
}

// Places bytes into one open file by disk address. Anything that would land at
// a negative file offset (in front of what the file holds) is dropped; the
// highest end written is remembered so writeDisc can report it.
class DiscWriter {
public:
  DiscWriter(const Fd &fd, const std::string &path, int64_t fileStartAddress)
      : fd_(fd), path_(path), fileStart_(fileStartAddress) {}

  void put(int64_t diskAddress, const uint8_t *data, size_t len) {
    int64_t fileOfs = diskAddress - fileStart_;
    if (fileOfs < 0) {
      uint64_t skip = static_cast<uint64_t>(-fileOfs);
      if (skip >= len) {
        return;
      }
      data += skip;
      len -= static_cast<size_t>(skip);
      fileOfs = 0;
    }
    pwriteAll(fd_, path_, data, len, static_cast<uint64_t>(fileOfs));
  }
  void put(int64_t diskAddress, const Bytes &bytes) {
    put(diskAddress, bytes.data(), bytes.size());
  }
  void putBe32At(int64_t diskAddress, uint32_t v) {
    Bytes b;
    putBe32(b, 0, v);
    put(diskAddress, b);
  }

  // `len` bytes of patternByte(disk address) from `diskAddress` on.
  void putPattern(int64_t diskAddress, uint64_t len) {
    Bytes buf(static_cast<size_t>(std::min<uint64_t>(len, kChunk)));
    uint64_t done = 0;
    while (done < len) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, kChunk));
      int64_t at = diskAddress + static_cast<int64_t>(done);
      fillPattern(buf.data(), n, static_cast<uint64_t>(at));
      put(at, buf.data(), n);
      done += n;
    }
  }

private:
  const Fd &fd_;
  const std::string &path_;
  int64_t fileStart_;
};

// A fixed-width raw field: the text's first `width` bytes, zero padded.
Bytes rawField(const std::string &text, size_t width) {
  Bytes b(width, 0);
  std::copy_n(text.begin(), std::min(width, text.size()), b.begin());
  return b;
}

// The 704-byte partition header: ticket fields followed by the partition fields.
Bytes makePartitionHeader(const PartitionPlan &p) {
  Bytes h(static_cast<size_t>(kPartitionHeaderSize), 0);
  putText(h, 0x140, kTextWidth, p.issuer);
  putBe64(h, 0x1DC, p.ticketTitleId);
  for (size_t i = 0; i < p.limits.size(); ++i) {
    putBe32(h, 0x264 + 8 * i, p.limits[i].first);
    putBe32(h, 0x268 + 8 * i, p.limits[i].second);
  }
  uint32_t tmdSize = p.tmdSize != 0 ? p.tmdSize : static_cast<uint32_t>(p.tmd.size());
  uint32_t certSize = p.certSize != 0 ? p.certSize : static_cast<uint32_t>(p.certs.size());
  putBe32(h, 0x2A4, tmdSize);
  putBe32(h, 0x2A8, p.tmdOffset);
  putBe32(h, 0x2AC, certSize);
  putBe32(h, 0x2B0, p.certOffset);
  putBe32(h, 0x2B4, p.h3Offset);
  putBe32(h, 0x2B8, p.dataOffset);
  putBe32(h, 0x2BC, p.dataSize);
  return h;
}

// Disk address of a structure stored as a /4 offset from partition address P.
int64_t partitionRelative(uint64_t partitionAddress, uint32_t storedOffset) {
  return static_cast<int64_t>(partitionAddress + 4 * static_cast<uint64_t>(storedOffset));
}

} // namespace

// Big-endian stores; the vector is zero-extended to cover the field.
void putBe16(Bytes &b, size_t ofs, uint16_t v) {
  if (b.size() < ofs + 2) {
    b.resize(ofs + 2, 0);
  }
  b[ofs] = static_cast<uint8_t>(v >> 8);
  b[ofs + 1] = static_cast<uint8_t>(v);
}

void putBe32(Bytes &b, size_t ofs, uint32_t v) {
  putBe16(b, ofs, static_cast<uint16_t>(v >> 16));
  putBe16(b, ofs + 2, static_cast<uint16_t>(v));
}

void putBe64(Bytes &b, size_t ofs, uint64_t v) {
  putBe32(b, ofs, static_cast<uint32_t>(v >> 32));
  putBe32(b, ofs + 4, static_cast<uint32_t>(v));
}

// Text longer than the field is cut at `width` (so no NUL ends it); shorter text
// leaves the field's remaining bytes as they were.
void putText(Bytes &b, size_t ofs, size_t width, const std::string &text) {
  if (b.size() < ofs + width) {
    b.resize(ofs + width, 0);
  }
  std::copy_n(text.begin(), std::min(width, text.size()),
              b.begin() + static_cast<std::ptrdiff_t>(ofs));
}

// TMD: fixed part of 0x1E4 bytes, then one 36-byte record per content; the
// record's trailing 20 bytes stay zero.
Bytes makeTmd(const TmdPlan &tmd) {
  Bytes b(kTmdContentsOffset + kTmdContentSize * tmd.contents.size(), 0);
  putBe64(b, 0x184, tmd.sysVersion);
  putBe64(b, 0x18C, tmd.titleId);
  putBe32(b, 0x194, tmd.titleType);
  putBe16(b, 0x198, tmd.groupId);
  putBe32(b, 0x1D8, tmd.accessRights);
  putBe16(b, 0x1DC, tmd.titleVersion);
  putBe16(b, 0x1DE, static_cast<uint16_t>(tmd.contents.size()));
  for (size_t i = 0; i < tmd.contents.size(); ++i) {
    const TmdContentPlan &c = tmd.contents[i];
    size_t at = kTmdContentsOffset + kTmdContentSize * i;
    putBe32(b, at, c.contentId);
    putBe16(b, at + 4, c.contentIndex);
    putBe16(b, at + 6, c.contentType);
    putBe64(b, at + 8, c.contentSize);
  }
  return b;
}

// A certificate of exactly its kind's length. The name may run to the end of
// the certificate (then no NUL ends it); the issuer is cut at 64 bytes. For an
// unknown kind, only sigType (and keyType for 0x10001) are set, and only where
// they fit inside `unknownLength`.
Bytes makeCert(uint32_t sigType, uint32_t keyType, const std::string &issuer,
               const std::string &name, size_t unknownLength) {
  size_t length = 0;
  size_t issuerOfs = 0;
  size_t nameOfs = 0;
  if (sigType == 0x10000) {
    length = 0x400;
    issuerOfs = 0x240;
    nameOfs = 0x284;
  } else if (sigType == 0x10001 && (keyType == 1 || keyType == 2)) {
    length = keyType == 1 ? 0x300 : 0x240;
    issuerOfs = 0x140;
    nameOfs = 0x184;
  } else if (sigType == 0x10002) {
    length = 0x180;
    issuerOfs = 0x80;
    nameOfs = 0xC4;
  }

  if (length == 0) {
    Bytes b(unknownLength, 0);
    if (unknownLength >= 4) {
      putBe32(b, 0, sigType);
    }
    if (sigType == 0x10001 && unknownLength >= 0x184) {
      putBe32(b, 0x180, keyType);
    }
    return b;
  }

  Bytes b(length, 0);
  putBe32(b, 0, sigType);
  if (sigType == 0x10001) {
    putBe32(b, 0x180, keyType);
  }
  putText(b, issuerOfs, kTextWidth, issuer);
  putText(b, nameOfs, length - nameOfs, name);
  return b;
}

// Pattern: the disk address modulo the prime 251, spread over the byte values
// by an odd multiplier. Two addresses get the same byte only when their
// distance is a multiple of 251, so bytes 1, 256, or any power of two apart
// always differ, and a zero byte occurs once in 251.
uint8_t patternByte(uint64_t diskAddress) {
  return static_cast<uint8_t>((diskAddress % 251) * 167 + 0x5A);
}

namespace {

// The disk address ranges [first, last) that the plan's records occupy: the
// table of contents, the partition table, and each written partition's
// header, TMD and certificates.
std::vector<std::pair<uint64_t, uint64_t>> recordRanges(const DiscPlan &disc) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  if (disc.writeToc)
    ranges.emplace_back(kTocAddress, kTocAddress + kTocSize);
  if (disc.writeTable)
    ranges.emplace_back(tableAddress(disc),
                        tableAddress(disc) + kTableEntrySize * disc.partitions.size());
  for (const PartitionPlan &p : disc.partitions) {
    if (!p.writeHeader)
      continue;
    ranges.emplace_back(p.address, p.address + kPartitionHeaderSize);
    const uint64_t tmd = static_cast<uint64_t>(partitionRelative(p.address, p.tmdOffset));
    const uint64_t certs = static_cast<uint64_t>(partitionRelative(p.address, p.certOffset));
    ranges.emplace_back(tmd, tmd + p.tmd.size());
    ranges.emplace_back(certs, certs + p.certs.size());
  }
  std::sort(ranges.begin(), ranges.end());
  return ranges;
}

// The pattern on [from, to) except inside `keep` (sorted).
void patternExcept(DiscWriter &w, const std::vector<std::pair<uint64_t, uint64_t>> &keep,
                   uint64_t from, uint64_t to) {
  uint64_t at = from;
  for (const auto &[k0, k1] : keep) {
    if (at >= to)
      return;
    if (k0 > at)
      w.putPattern(static_cast<int64_t>(at), std::min(k0, to) - at);
    at = std::max(at, k1);
  }
  if (at < to)
    w.putPattern(static_cast<int64_t>(at), to - at);
}

} // namespace

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes patternBytes(uint64_t diskAddress, size_t length) {
  Bytes b(length);
  fillPattern(b.data(), length, diskAddress);
  return b;
}

Bytes tocBytes(const DiscPlan &disc) {
  Bytes toc(static_cast<size_t>(kTocSize), 0);
  putBe32(toc, 0,
          disc.numPartitions >= 0 ? static_cast<uint32_t>(disc.numPartitions)
                                  : static_cast<uint32_t>(disc.partitions.size()));
  putBe32(toc, 4, disc.partitionInfoOffset);
  return toc;
}

uint64_t tableAddress(const DiscPlan &disc) {
  return (static_cast<uint64_t>(disc.partitionInfoOffset) * 4) & 0xFFFFFFFFu;
}

Bytes tableBytes(const DiscPlan &disc) {
  Bytes table;
  for (size_t i = 0; i < disc.partitions.size(); ++i) {
    putBe32(table, kTableEntrySize * i, static_cast<uint32_t>(disc.partitions[i].address / 4));
    putBe32(table, kTableEntrySize * i + 4, disc.partitions[i].type);
  }
  return table;
}

// Lays out the described disc in a fresh sparse file. Later pieces overwrite
// earlier ones in this order: front pattern, disk header, each partition's
// header, TMD, certificates and data, then the table of contents and the
// partition table (so that a partition placed over them does not hide them),
// and last the pattern around all of these.
uint64_t writeDisc(const std::string &path, const DiscPlan &disc) {
  Fd fd = openOrThrow(path, O_WRONLY | O_CREAT | O_TRUNC);
  const int64_t fileStart = fileStartOf(disc);
  DiscWriter w(fd, path, fileStart);

  if (!disc.moxBin) {
    if (disc.patternFront) {
      w.putPattern(fileStart, static_cast<uint64_t>(static_cast<int64_t>(kFrontEnd) - fileStart));
    }
    if (disc.writeDiskHeader) {
      w.put(0x00, rawField(disc.gameName, 4));
      w.put(0x04, rawField(disc.company, 2));
      w.putBe32At(0x18, disc.vandelmereMagic);
      w.putBe32At(0x1C, disc.mirrodelMagic);
      w.put(0x20, rawField(disc.longGameName, kTextWidth));
      w.put(0x60, &disc.hashingOff, 1);
      w.put(0x61, &disc.encryptionOff, 1);
    }
  }

  for (const PartitionPlan &p : disc.partitions) {
    if (!p.writeHeader) {
      continue;
    }
    w.put(static_cast<int64_t>(p.address), makePartitionHeader(p));
    if (!p.tmd.empty()) {
      w.put(partitionRelative(p.address, p.tmdOffset), p.tmd);
    }
    if (!p.certs.empty()) {
      w.put(partitionRelative(p.address, p.certOffset), p.certs);
    }
    if (p.dataBytes != 0) {
      w.putPattern(partitionRelative(p.address, p.dataOffset), p.dataBytes);
    }
  }

  if (disc.writeToc) {
    w.put(static_cast<int64_t>(kTocAddress), tocBytes(disc));
  }
  if (disc.writeTable) {
    w.put(static_cast<int64_t>(tableAddress(disc)), tableBytes(disc));
  }

  if (disc.fileSize != 0 && ::ftruncate(fd.get(), static_cast<off_t>(disc.fileSize)) != 0) {
    throw ioError("cannot set size", path, errno);
  }
  if (disc.patternRest) {
    const uint64_t end = static_cast<uint64_t>(static_cast<int64_t>(fdSize(fd, path)) + fileStart);
    patternExcept(w, recordRanges(disc), kTocAddress, end);
  }
  return fdSize(fd, path);
}

void patternAround(const std::string &path, const DiscPlan &disc, uint64_t from, uint64_t to) {
  Fd fd = openOrThrow(path, O_WRONLY | O_CREAT);
  DiscWriter w(fd, path, fileStartOf(disc));
  patternExcept(w, recordRanges(disc), from, to);
}

// Same clipping as writeDisc: bytes in front of the file's first disk address
// are dropped.
void putAt(const std::string &path, int64_t fileStartAddress, uint64_t diskAddress,
           const Bytes &bytes) {
  Fd fd = openOrThrow(path, O_WRONLY | O_CREAT);
  DiscWriter w(fd, path, fileStartAddress);
  w.put(static_cast<int64_t>(diskAddress), bytes);
}

// Grows sparsely or truncates; the file must exist.
void setFileSize(const std::string &path, uint64_t size) {
  Fd fd = openOrThrow(path, O_WRONLY | O_CREAT);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    throw ioError("cannot set size", path, errno);
  }
}

// Short only when the file ends inside the range; a missing file throws.
Bytes readFileRange(const std::string &path, uint64_t offset, uint64_t length) {
  Fd fd = openOrThrow(path, O_RDONLY);
  uint64_t size = fdSize(fd, path);
  uint64_t avail = offset < size ? size - offset : 0;
  Bytes b(static_cast<size_t>(std::min(length, avail)));
  b.resize(preadAll(fd, path, b.data(), b.size(), offset));
  return b;
}

// The whole file; a missing file throws.
Bytes readFile(const std::string &path) {
  Fd fd = openOrThrow(path, O_RDONLY);
  Bytes b(static_cast<size_t>(fdSize(fd, path)));
  b.resize(preadAll(fd, path, b.data(), b.size(), 0));
  return b;
}

// True for anything at the path (file, directory, device).
bool fileExists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Size in bytes; a missing file throws.
uint64_t fileSizeOf(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw ioError("cannot stat", path, errno);
  }
  return static_cast<uint64_t>(st.st_size);
}

uint64_t allocatedBytes(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw ioError("cannot stat", path, errno);
  }
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

namespace {

// File offset where the hole at `ofs` ends (the next data, or the file's end),
// or `ofs` itself when data is there or holes cannot be told apart.
uint64_t holeEnd(const Fd &fd, uint64_t ofs, uint64_t fileSize) {
  if (ofs >= fileSize) {
    return ofs;
  }
  off_t next = ::lseek(fd.get(), static_cast<off_t>(ofs), SEEK_DATA);
  if (next < 0) {
    return errno == ENXIO ? fileSize : ofs;
  }
  return static_cast<uint64_t>(next);
}

} // namespace

// A missing `out` is simply not the same; a missing `in` throws. Ranges that
// are holes in both files are skipped without reading, since both read as zero.
bool sameAsRange(const std::string &out, const std::string &in, uint64_t offset, uint64_t length) {
  if (!fileExists(out)) {
    return false;
  }
  Fd outFd = openOrThrow(out, O_RDONLY);
  Fd inFd = openOrThrow(in, O_RDONLY);
  const uint64_t outSize = fdSize(outFd, out);
  const uint64_t inSize = fdSize(inFd, in);
  if (outSize != length || inSize < offset || inSize - offset < length) {
    return false;
  }

  Bytes a(static_cast<size_t>(std::min<uint64_t>(length, kChunk)));
  Bytes b(a.size());
  uint64_t pos = 0;
  while (pos < length) {
    uint64_t outHole = holeEnd(outFd, pos, outSize);
    uint64_t inHole = holeEnd(inFd, offset + pos, inSize) - offset;
    uint64_t bothHole = std::min({outHole, inHole, length});
    if (bothHole > pos) {
      pos = bothHole;
      continue;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(length - pos, kChunk));
    if (preadAll(outFd, out, a.data(), n, pos) != n ||
        preadAll(inFd, in, b.data(), n, offset + pos) != n) {
      return false; // a file shrank while being compared
    }
    if (std::memcmp(a.data(), b.data(), n) != 0) {
      return false;
    }
    pos += n;
  }
  return true;
}

} // namespace discimg
