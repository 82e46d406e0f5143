// SPDX-License-Identifier: MIT
// The decodings of the disc records, the partition type tables and the file
// utilities, called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "disc_image.h"
#include "format/DF_structs.h"
#include "format/disk_format.h"
#include "run_tool.h"
#include "tool/decomp_common.h"
#include "tool/decomp_disk.h"
#include "tool_test.h"
#include "util/disk_common.h"
#include "util/input_file.h"
#include "util/tool_common.h"

namespace {

ShiftedOffset stored(uint32_t v) {
  ShiftedOffset so;
  const uint8_t bytes[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  std::memcpy(&so, bytes, 4);
  return so;
}

TEST(Records, BigEndianFieldsConvertOnlyExplicitly) {
  const uint8_t raw[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  Be16 b16;
  Be32 b32;
  Be64 b64;
  std::memcpy(&b16, raw, 2);
  std::memcpy(&b32, raw, 4);
  std::memcpy(&b64, raw, 8);
  EXPECT_EQ(uint16_t(b16), 0x0123);
  EXPECT_EQ(uint32_t(b32), 0x01234567u);
  EXPECT_EQ(uint64_t(b64), 0x0123456789ABCDEFull);
  static_assert(!std::is_convertible_v<Be32, uint32_t>, "conversion must be explicit");
}

TEST(Records, ShiftedOffsetDecodings) {
  struct Row {
    uint32_t stored;
    uint64_t wide;
    uint32_t narrow;
  };
  const Row rows[] = {
      {0x0, 0x0, 0x0},
      {0x2000, 0x8000, 0x8000},
      {0x40000000, 0x100000000, 0x0},
      {0x40000008, 0x100000020, 0x20},
      {0x40010008, 0x100040020, 0x40020},
      {0xFFFFFFFF, 0x3FFFFFFFC, 0xFFFFFFFC},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(decodeShiftedOffset(stored(r.stored)), r.wide) << std::hex << r.stored;
    EXPECT_EQ(decodeShiftedOffset32(stored(r.stored)), r.narrow) << std::hex << r.stored;
  }
}

TEST(Records, DiskAddressToFileOffset) {
  struct Row {
    uint64_t address;
    int64_t fileStart;
    int64_t offset;
  };
  const Row rows[] = {
      {0x0, DiskImageFileStartAddress, 0x8000},
      {0x20, DiskImageFileStartAddress, 0x8020},
      {0x40000, DiskImageFileStartAddress, 0x48000},
      {0x40000, MoxBinFileStartAddress, 0},
      {0x0, MoxBinFileStartAddress, -0x40000},
      {0x3FFFFFFFC, DiskImageFileStartAddress, 0x400007FFC},
  };
  for (const Row &r : rows)
    EXPECT_EQ(diskAddressToFileOffset(r.address, r.fileStart), r.offset) << std::hex << r.address;
}

TEST(Records, DataSizeValidity) {
  EXPECT_TRUE(isValidDataSize(decodeShiftedOffset(stored(0x2000))));
  EXPECT_FALSE(isValidDataSize(decodeShiftedOffset(stored(0x2001))));
  EXPECT_FALSE(isValidDataSize(decodeShiftedOffset(stored(0))));
  EXPECT_TRUE(isValidDataSize(decodeShiftedOffset(stored(0xFFFFE000))));
}

TEST(Records, PartitionTypeTables) {
  ASSERT_EQ(NumPartitionTypes, 3u);
  const char *names[] = {"BootGame", "Update", "Game"};
  const char *exts[] = {"game", "up", "game"};
  for (uint32_t t = 0; t < NumPartitionTypes; ++t) {
    EXPECT_STREQ(partitionTypeToString[t], names[t]);
    EXPECT_STREQ(partitionTypeExt(t), exts[t]);
  }
  for (uint32_t t : {3u, 4u, 0xFFFFFFFFu}) {
    const std::string ext = partitionTypeExt(t);
    EXPECT_TRUE(ext != "game" && ext != "up" && ext != "pad" && !ext.empty()) << ext;
  }
}

TEST(FileUtilities, AlignAddress) {
  struct Row {
    uint64_t address;
    uint32_t alignment;
    uint64_t aligned;
  };
  const Row rows[] = {
      {0x12345, 0x8000, 0x18000},
      {0x18000, 0x8000, 0x18000},
      {0x1FFFFFFFF, 0x1000, 0x200000000},
      {0x12345, 1, 0x12345},
      {0, 0x8000, 0},
  };
  for (const Row &r : rows)
    EXPECT_EQ(alignAddress(r.address, r.alignment), r.aligned) << std::hex << r.address;
}

// Sums of addresses, offsets and lengths wrap around in 64 bits, also next to
// 2^63, where a disk address past the input no longer fits.
TEST(FileUtilities, WrappingArithmetic) {
  EXPECT_EQ(inputEndAddress(0x40000, 0x7FFFFFFFFFFFFFFF), INT64_MIN + 0x3FFFF);
  EXPECT_EQ(inputEndAddress(-0x8000, 0x7FFFFFFFFFFFFFFF), 0x7FFFFFFFFFFF7FFF);
  EXPECT_EQ(wrappingSub(INT64_MIN, 1), INT64_MAX);
  EXPECT_EQ(diskAddressToFileOffset(0, 0x40000), -0x40000);
}

// A tenth of a second's worth, within 4 MiB and 64 MiB where bytes moved,
// up to 1 GiB where blocks were shared.
TEST(FileUtilities, KernelCallSizes) {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  struct Row {
    uint64_t moved;
    double took;
    uint64_t next;
  };
  const Row rows[] = {
      {4 * MiB, 0, 4 * MiB},                   // no time measured
      {4 * MiB, 1, 4 * MiB},                   // slow: never below 4 MiB
      {400 * MiB, 1, 40 * MiB},                // a tenth of a second
      {4 * MiB, 0.001, 64 * MiB},              // 4 GiB/s of copied bytes
      {1024 * MiB, 0.5, 64 * MiB},             // fast at first, throttled any moment
      {4 * MiB, 0.13 / 1024, 64 * MiB},        // 31.5 GiB/s: still copying
      {4 * MiB, 0.125 / 1024 / 2, 1024 * MiB}, // 64 GiB/s: shared blocks
      {1024 * MiB, 0.00001, 1024 * MiB},       // a clone of 1 GiB
  };
  for (const Row &r : rows)
    EXPECT_EQ(nextCallSize(r.moved, r.took), r.next) << r.moved << " bytes in " << r.took << " s";
}

// The outputs a run has written, told apart by device, inode and stamp: every
// one is found however often the table grew, and a later file that was given
// a written file's inode number is not.
TEST(FileUtilities, WrittenFilesTable) {
  WrittenFiles files;
  for (ino_t i = 0; i < 1000; ++i)
    addWrittenFile(files, 1, i * 7919, static_cast<uint32_t>(i));
  addWrittenFile(files, 1, 7919, 1); // written twice: held once
  addWrittenFile(files, 2, 5, 9);
  for (ino_t i = 0; i < 1000; ++i)
    EXPECT_TRUE(containsWrittenFile(files, 1, i * 7919, static_cast<uint32_t>(i))) << i;
  struct Row {
    const char *what;
    dev_t device;
    ino_t inode;
    uint32_t stamp;
    bool held;
  };
  const Row rows[] = {
      {"a file given a written file's inode number later", 1, 7 * 7919, 12345, false},
      {"an inode never written", 1, 3, 3, false},
      {"a written inode number on another device", 2, 7919, 1, false},
      {"the other device's file", 2, 5, 9, true},
      {"a device never written to", 3, 5, 9, false},
  };
  for (const Row &r : rows)
    EXPECT_EQ(containsWrittenFile(files, r.device, r.inode, r.stamp), r.held) << r.what;
  EXPECT_EQ(files.devices[0].used, 1000u);
}

// Which outputs write the input: regular files by device and inode, device
// nodes by the device they stand for (block devices also by the sectors they
// share), and never a pipe.
TEST(FileUtilities, WhatWritingAFileWrites) {
  auto identity = [](FileType type, uint64_t device, uint64_t inode, uint64_t special,
                     uint64_t wholeDisk) {
    FileIdentity id;
    id.type = type;
    id.device = device;
    id.inode = inode;
    id.special = special;
    id.wholeDisk = wholeDisk;
    return id;
  };
  const FileIdentity file = identity(FileType::Regular, 1, 7, 0, 0);
  const FileIdentity disk = identity(FileType::Block, 5, 1, 0x800, 0x800);
  const FileIdentity part1 = identity(FileType::Block, 5, 2, 0x801, 0x800);
  const FileIdentity tty = identity(FileType::Character, 5, 4, 0x103, 0);
  struct Row {
    const char *what;
    FileIdentity a;
    FileIdentity b;
    bool writes;
  };
  const Row rows[] = {
      {"one file", file, file, true},
      {"another inode", file, identity(FileType::Regular, 1, 8, 0, 0), false},
      {"the same inode on another device", file, identity(FileType::Regular, 2, 7, 0, 0), false},
      {"another node of one block device", disk, identity(FileType::Block, 5, 9, 0x800, 0x800),
       true},
      {"a whole disk and its partition", disk, part1, true},
      {"a partition and its whole disk", part1, disk, true},
      {"two partitions of one disk", part1, identity(FileType::Block, 5, 3, 0x802, 0x800), false},
      {"a block device and a file with its node's inode", disk,
       identity(FileType::Regular, 5, 1, 0, 0), false},
      {"a character device under another name", tty, identity(FileType::Character, 5, 9, 0x103, 0),
       true},
      {"another character device", tty, identity(FileType::Character, 5, 4, 0x104, 0), false},
      {"a pipe and itself", identity(FileType::Fifo, 6, 3, 0, 0),
       identity(FileType::Fifo, 6, 3, 0, 0), false},
  };
  for (const Row &r : rows)
    EXPECT_EQ(writesOver(r.a, r.b), r.writes) << r.what;
}

// A temporary directory with a patterned input file of `size` bytes.
class CopyTest : public ToolDirTest {
protected:
  std::string makeInput(uint64_t size) {
    const std::string path = dir + "/in.bin";
    discimg::putAt(path, 0, 0, discimg::patternBytes(0, static_cast<size_t>(size)));
    discimg::setFileSize(path, size);
    return path;
  }

  // Runs the copy into a fresh output file that already holds `prefix`.
  bool copy(const std::string &in, int64_t offset, int64_t length, const std::string &prefix,
            discimg::Bytes &written) {
    const std::string outPath = dir + "/out.bin";
    FilePtr out = openFile(outPath, "wb");
    EXPECT_TRUE(out);
    std::fputs(prefix.c_str(), out.get());
    const bool ok = copyPartialBinFileToOutFile(out.get(), in.c_str(), offset, length);
    out.reset();
    written = discimg::readFile(outPath);
    return ok;
  }
};

TEST_F(CopyTest, BudgetAndEndOfFile) {
  struct Row {
    uint64_t fileSize;
    int64_t offset;
    int64_t length;
    uint64_t expectFrom; // first input byte expected in the output
    uint64_t expectCount;
  };
  const Row rows[] = {
      {0x30000, 0, 0x48000, 0, 0x30000},           // short disk image: the whole file
      {0x100, 0x10, 0, 0x10, 0xF0},                // length 0: to the end
      {0x100, 0x100, 0, 0, 0},                     // offset at the end: nothing
      {0x100, 0x200, 0x10, 0, 0},                  // offset past the end: nothing
      {0x100, 0x10, -5, 0, 0},                     // negative length: nothing
      {0x50000, 0x1000, 0x30000, 0x1000, 0x30000}, // two chunks, the second short
      {0x50000, 0, 0x20000, 0, 0x20000},           // exactly one chunk
      {0x40000, 0x20, 0x7FFFFFFFFFFFFFFF, 0x20, 0x3FFE0},
      {0, 0, 0, 0, 0}, // empty file
  };
  for (const Row &r : rows) {
    const std::string in = makeInput(r.fileSize);
    discimg::Bytes written;
    ASSERT_TRUE(copy(in, r.offset, r.length, "HEAD", written)) << r.offset;
    ASSERT_EQ(written.size(), 4 + r.expectCount) << std::hex << r.offset << " " << r.length;
    EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "HEAD");
    for (uint64_t i = 0; i < r.expectCount; ++i)
      ASSERT_EQ(written[4 + i], discimg::patternByte(r.expectFrom + i)) << i;
  }
}

// A copy into a stream that holds more past its position writes over what
// lies there and leaves the rest; a hole of the input is written as zeros.
TEST_F(CopyTest, CopyIntoAFullerStreamKeepsWhatLiesPastIt) {
  const std::string in = dir + "/holes.bin";
  discimg::setFileSize(in, 1 << 20);
  const std::string outPath = dir + "/out.bin";
  discimg::putAt(outPath, 0, 0, discimg::Bytes(2 << 20, 'Z'));
  FilePtr out = openFile(outPath, "r+b");
  std::fputs("HEAD", out.get());
  ASSERT_TRUE(copyBinFileToOutFile(out.get(), in.c_str()));
  EXPECT_EQ(ftello(out.get()), 4 + (1 << 20));
  out.reset();
  discimg::Bytes want(2 << 20, 'Z');
  std::fill(want.begin(), want.begin() + 4 + (1 << 20), 0);
  std::memcpy(want.data(), "HEAD", 4);
  EXPECT_TRUE(discimg::readFile(outPath) == want);
}

TEST_F(CopyTest, Failures) {
  testing::internal::CaptureStderr();
  discimg::Bytes written;
  EXPECT_FALSE(copy(dir + "/missing", 0, 0, "", written));
  EXPECT_FALSE(copy(makeInput(0x100), -1, 0, "", written));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string(ProgName) + ": Can't access file '" + dir +
                     "/missing' (No such file or directory)\n(" + ProgName +
                     ") Error: Can't seek on file '" + dir + "/in.bin' [Invalid argument]\n");
}

TEST_F(CopyTest, FileSizeAndWholeFileRead) {
  uint64_t size = 77;
  EXPECT_FALSE(fileSize((dir + "/missing").c_str(), size));
  EXPECT_EQ(size, 77u);
  const std::string in = makeInput(0x1234);
  ASSERT_TRUE(fileSize(in.c_str(), size));
  EXPECT_EQ(size, 0x1234u);

  std::vector<uint8_t> data;
  uint32_t count = 0;
  ASSERT_TRUE(readBinFileIntoArray(in.c_str(), data, count));
  EXPECT_EQ(count, 0x1234u);
  EXPECT_EQ(data, discimg::readFile(in));

  discimg::Bytes whole;
  ASSERT_TRUE(copy(in, 0, 0, "", whole));
  FilePtr out = openFile(dir + "/whole.bin", "wb");
  ASSERT_TRUE(copyBinFileToOutFile(out.get(), in.c_str()));
  out.reset();
  EXPECT_EQ(discimg::readFile(dir + "/whole.bin"), whole);
}

TEST_F(CopyTest, WholeFileReadRefusals) {
  const std::string empty = makeInput(0);
  const std::string huge = dir + "/huge.bin";
  discimg::setFileSize(huge, 0x100000000ull);
  std::vector<uint8_t> data{1, 2, 3};
  uint32_t count = 9;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readBinFileIntoArray(empty.c_str(), data, count));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(readBinFileIntoArray(huge.c_str(), data, count));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string(ProgName) + ": Can't read file " + empty + "\n" + ProgName +
                     ": File " + huge + " is too large to read into memory (4294967296 bytes)\n");
}

} // namespace
