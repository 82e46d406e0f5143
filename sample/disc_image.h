// SPDX-License-Identifier: MIT
// Lays out synthetic disc images for the sample image program, the tests, the
// fuzz seed generator and the benchmark. Every field is placed by disk address, so one description
// can be written as a disk image or as a mox.bin file. Files are sparse:
// only the bytes that are put are written, so multi-GiB layouts are cheap.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace discimg {

constexpr int64_t kDiskImageStart = -0x8000;     // fileStartAddress of a disk image
constexpr int64_t kMoxBinStart = 0x40000;        // fileStartAddress of a mox.bin file
constexpr uint64_t kTocAddress = 0x40000;        // disk address of the game table of contents
constexpr uint64_t kTocSize = 0x20;              // the table of contents record
constexpr uint64_t kTableEntrySize = 8;          // partitionOffset, partitionType
constexpr uint64_t kPartitionHeaderSize = 0x2C0; // ticket (676 bytes) + partition fields

// The disk address that file offset 0 holds.
constexpr int64_t fileStartOf(bool moxBin) { return moxBin ? kMoxBinStart : kDiskImageStart; }

using Bytes = std::vector<uint8_t>;

// The parts one after another.
Bytes concat(std::initializer_list<Bytes> parts);

// Big-endian stores into a byte vector at an offset; the vector grows as needed.
void putBe16(Bytes &b, size_t ofs, uint16_t v);
void putBe32(Bytes &b, size_t ofs, uint32_t v);
void putBe64(Bytes &b, size_t ofs, uint64_t v);
// Copies text without its NUL (the rest of the field is whatever b holds, zero
// for fresh bytes); the field grows b to ofs + width at least.
void putText(Bytes &b, size_t ofs, size_t width, const std::string &text);

// One content record of a title metadata.
struct TmdContentPlan {
  uint32_t contentId = 0;
  uint16_t contentIndex = 0;
  uint16_t contentType = 0;
  uint64_t contentSize = 0;
};

struct TmdPlan {
  uint64_t sysVersion = 0;
  uint64_t titleId = 0;
  uint32_t titleType = 0;
  uint16_t groupId = 0;
  uint32_t accessRights = 0;
  uint16_t titleVersion = 0;
  std::vector<TmdContentPlan> contents; // numContents is their count
};
// The TMD bytes: 0x1E4 fixed bytes followed by 36 bytes per content record.
Bytes makeTmd(const TmdPlan &tmd);

// One certificate of the given kind. keyType is written only for sigType
// 0x10001; the length follows the kind (0x400, 0x300/0x240, 0x180), and an
// unknown kind gets `unknownLength` bytes with sigType (and keyType) set.
Bytes makeCert(uint32_t sigType, uint32_t keyType, const std::string &issuer,
               const std::string &name, size_t unknownLength = 0x100);

struct PartitionPlan {
  uint64_t address = 0; // disk address P; the table stores address / 4
  uint32_t type = 0;
  bool writeHeader = true; // false: the table entry only, no header bytes
  // Ticket fields.
  std::string issuer;
  uint64_t ticketTitleId = 0;
  std::array<std::pair<uint32_t, uint32_t>, 8> limits{}; // (limitType, limitValue)
  // Header fields exactly as stored (offsets and dataSize divided by 4).
  uint32_t tmdSize = 0;
  uint32_t tmdOffset = 0;
  uint32_t certSize = 0;
  uint32_t certOffset = 0;
  uint32_t h3Offset = 0;
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  // Written at P + 4 * tmdOffset and P + 4 * certOffset when not empty. When
  // tmdSize / certSize are 0 and these are not empty, their sizes are used.
  Bytes tmd;
  Bytes certs;
  // When nonzero, this many bytes of patterned data are written at the data
  // start (P + 4 * dataOffset), so copies can be checked. The pattern is
  // patternByte(disk address).
  uint64_t dataBytes = 0;
};

struct DiscPlan {
  bool moxBin = false; // false: disk image (fileStartAddress -0x8000)
  // The file is truncated (sparse) to this size after everything is written;
  // 0 means: just past the last byte written.
  uint64_t fileSize = 0;
  bool writeDiskHeader = true;   // disk images only
  std::string gameName = "RTST"; // 4 raw bytes
  std::string company = "01";    // 2 raw bytes
  uint32_t vandelmereMagic = 0x5D1C9EA3;
  uint32_t mirrodelMagic = 0;
  std::string longGameName = "Test Disc";
  uint8_t hashingOff = 0;
  uint8_t encryptionOff = 0;
  bool writeToc = true;
  // GameToc fields as stored; numPartitions defaults to partitions.size().
  int64_t numPartitions = -1;
  uint32_t partitionInfoOffset = 0x10008; // table at disk address 0x40020
  bool writeTable = true;                 // write the partitions' table entries
  std::vector<PartitionPlan> partitions;
  // Bytes in front of disk address 0 in a disk image, and disk addresses up to
  // 0x40000, are filled with patternByte when true (so .unencrypt copies can
  // be checked); disk-header fields are written over the pattern.
  bool patternFront = true;
  // Every byte from the table of contents to the file's end that no record
  // holds (the rest of the table-of-contents region, the space between a
  // partition's header, TMD, certificates and data, the gaps between
  // partitions) gets patternByte too, so that every copied range tells where
  // it came from and the file has no holes past 0x40000.
  bool patternRest = false;
};

// Where the disc's file starts (kDiskImageStart or kMoxBinStart).
inline int64_t fileStartOf(const DiscPlan &disc) { return fileStartOf(disc.moxBin); }
// The disk address just past the file's last byte, for a plan with fileSize set.
inline uint64_t endOf(const DiscPlan &disc) {
  return static_cast<uint64_t>(static_cast<int64_t>(disc.fileSize) + fileStartOf(disc));
}

// The table of contents record (kTocSize bytes: numPartitions, which defaults
// to the number of planned partitions, and partitionInfoOffset).
Bytes tocBytes(const DiscPlan &disc);
// The disk address of the partition table: partitionInfoOffset * 4, modulo 2^32
// as the tool reads it.
uint64_t tableAddress(const DiscPlan &disc);
// The partition table: one entry per planned partition.
Bytes tableBytes(const DiscPlan &disc);

// The byte that patterned regions hold at a disk address (never all zero over
// a run, and different for addresses 1 apart and 256 apart).
uint8_t patternByte(uint64_t diskAddress);

// `length` bytes of the pattern from `diskAddress` on.
Bytes patternBytes(uint64_t diskAddress, size_t length);

// Writes `disc` to `path`, replacing any file there. Returns the file size.
uint64_t writeDisc(const std::string &path, const DiscPlan &disc);

// Fills disk addresses [from, to) of the file at `path` (laid out from `disc`)
// with the pattern, except where a record of `disc` lies; bytes in front of
// the file are dropped.
void patternAround(const std::string &path, const DiscPlan &disc, uint64_t from, uint64_t to);

// Writes raw bytes at a disk address of an existing (or new) file.
void putAt(const std::string &path, int64_t fileStartAddress, uint64_t diskAddress,
           const Bytes &bytes);
// Sets the file's size (sparse extension or truncation), creating it if needed.
void setFileSize(const std::string &path, uint64_t size);

// Reads `length` bytes at a file offset of a file (fewer at its end).
Bytes readFileRange(const std::string &path, uint64_t offset, uint64_t length);
// Reads a whole file; fails the test harness (throws) if it does not exist.
Bytes readFile(const std::string &path);
bool fileExists(const std::string &path);
uint64_t fileSizeOf(const std::string &path);
// Bytes the file system holds for the file (holes hold none); a missing file
// throws.
uint64_t allocatedBytes(const std::string &path);
// True when output file `out` holds exactly input bytes [offset, offset + length)
// of `in`; compares in chunks, so it suits multi-GiB sparse files too.
bool sameAsRange(const std::string &out, const std::string &in, uint64_t offset, uint64_t length);

} // namespace discimg
