// SPDX-License-Identifier: MIT
// Images far beyond 4 GiB, laid out sparse: addresses, lengths and offsets
// must stay 64-bit from the stored fields through the report lines to the
// bytes that land in the output files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

namespace {

using discimg::Bytes;
using discimg::DiscPlan;
using discimg::PartitionPlan;
using runtool::RunResult;

constexpr uint64_t GiB = uint64_t{1} << 30;

using Large = ToolDirTest;
using LargeInMemory = ToolDirTest;

// The report of partitions whose stored offsets have their top bits set, and
// of data areas of 4 GiB and more.
TEST_F(Large, ReportAboveSixteenGiB) {
  DiscPlan d;
  PartitionPlan high =
      partitionWithMetadata(0x300000000, 2, 0x20000, 0x100000000); // stored 0xC0000000
  high.h3Offset = 0x2000;
  PartitionPlan top =
      partitionWithMetadata(0x3FFFFFFFC, 1, 0x8000, 0x3FFFF8000); // stored 0xFFFFFFFF
  top.h3Offset = 0xFFFFFFFF;
  d.partitions = {high, top};
  d.fileSize = 0x3FFFFFFFC + 0x8000 + 0x10000;
  discimg::writeDisc(dir + "/image.pwx", d);

  const RunResult r = run({"-d", "-p", "image.pwx"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  const std::string expected[] = {
      "Partition 0: Type: 2 (Game); Disk address (byte): 0x300000000\n",
      "Partition 1: Type: 1 (Update); Disk address (byte): 0x3fffffffc\n",
      // File offset 0x300008000 keeps its low 32 bits only.
      "\tH3 ofs: 0x00002000, H3 start addr: 0x00010000, end addr: 0x00027fff\n",
      "\tPartition data area length: 4294967296 (0x100000000) bytes\n",
      // 0x400007FFC + 0x3FFFFFFFC, modulo 2^32.
      "\tH3 ofs: 0xffffffff, H3 start addr: 0x00007ff8, end addr: 0x0001fff7\n",
      "\tPartition data area length: 17179836416 (0x3ffff8000) bytes\n",
  };
  size_t from = 0;
  for (const std::string &line : expected) {
    const size_t at = r.out.find(line, from);
    ASSERT_NE(at, std::string::npos) << line << "\n" << r.out;
    from = at + line.size();
  }
}

// A declared data area of about 16 GiB that the input does not hold: the
// shortage lines carry full 64-bit values, and -f cuts at the input's end.
TEST_F(Large, ShortageOfAHugeDeclaredArea) {
  DiscPlan d;
  d.partitions = {partitionWithMetadata(0x50000, 0, 0x20000, 0x3FFFF8000, 0x1000)};
  d.fileSize = 0x50000 + 0x20000 + 0x1000 + 0x8000;
  discimg::writeDisc(dir + "/image.pwx", d);

  RunResult r = run({"-d", "-x", "image.pwx"});
  EXPECT_EQ(r.out, P + "File image.pwx does not contain enough data for partition 0.\n" + P +
                       "File needs 0x3ffff7000 (17179832320) more bytes.\n" + P +
                       "Data start: 0x70000; Length: 0x3ffff8000; netFileLength: 0x71000\n" + P +
                       "Extraction of partition 0 and beyond not done.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(discimg::fileExists(dir + "/image.game.0"));

  r = run({"-d", "-x", "-f", "image.pwx"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.game.0", dir + "/image.pwx", 0x58000, 0x21000));
}

// Partitions, a pad and a data end above 16 GiB, extracted byte for byte. The
// table-of-contents region then spans 16 GiB, almost all hole: the .TOC file
// keeps the hole, so it costs neither time nor space. The test runs where a
// 16 GiB image is cheap to lay out.
TEST_F(LargeInMemory, ExtractionAboveSixteenGiB) {
  SKIP_UNLESS_TOOL_CAN(keepsHoles, "keep holes: the outputs would be 16 GiB of zeros");
  const std::string dir = memoryDir();
  if (dir.empty())
    GTEST_SKIP() << "no memory file system to lay out a 16 GiB image cheaply";

  const uint64_t p0 = 0x3FFFC0000; // stored 0xFFFF0000
  const uint64_t p1 = 0x3FFFE0000; // stored 0xFFFF8000
  DiscPlan d;
  d.partitions = {partitionWithMetadata(p0, 2, 0x8000, 0x8000, 0x8000),
                  partitionWithMetadata(p1, 1, 0x8000, 0x40000, 0x40000)};
  const uint64_t dataEnd = p1 + 0x8000 + 0x40000; // 0x400028000
  d.fileSize = dataEnd + 0x8000;
  const std::string image = dir + "/image.pwx";
  discimg::writeDisc(image, d);
  discimg::putAt(image, discimg::kDiskImageStart, p0 + 0x10000,
                 discimg::patternBytes(p0 + 0x10000, 0x10000));

  const RunResult r = run({"-v", "-d", "-x", "image.pwx"}, dir);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, toolBanner() + "Partition #0 length: 32768 (0x8000) bytes\n"
                                  "Extracting partition #0 to image.game.0...\n"
                                  "Partition #1 length: 262144 (0x40000) bytes\n"
                                  "Extracting partition #1 to image.up.1...\n");
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.TOC", image, 0x48000, p0 - 0x40000));
  EXPECT_LT(discimg::allocatedBytes(dir + "/image.TOC"), uint64_t{1} << 20);
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.game.0", image, p0 + 0x8000, 0x10000));
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.pad.0", image, p0 + 0x18000, 0x10000));
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.up.1", image, p1 + 0x8000, 0x48000));
  // The last data byte, read at its known place.
  EXPECT_EQ(discimg::readFileRange(dir + "/image.up.1", 0x47FFF, 1),
            Bytes{discimg::patternByte(dataEnd - 1)});
}

// Inputs of 2^63 - 1 bytes, the largest a file can have, which a memory file
// system holds as a hole. Just past a mox.bin file's end the disk address no
// longer fits in 63 bits: it wraps, as every sum of addresses does, so the
// last partition, whose data would run to the end, has no data in the input.
// A disk image's end still fits, and its last partition is cut out whole: a
// file of almost 2^63 bytes that keeps its holes.
TEST_F(LargeInMemory, InputsOfTheLargestSize) {
  SKIP_UNLESS_TOOL_CAN(keepsHoles, "keep holes: an output would be 2^63 bytes of zeros");
  const std::string dir = memoryDir();
  if (dir.empty())
    GTEST_SKIP() << "no memory file system to hold a file of 2^63 - 1 bytes";
  for (const bool moxBin : {true, false}) {
    DiscPlan d;
    d.moxBin = moxBin;
    d.partitions = {partitionWithMetadata(0x50000, 1, 0x8000, 0x8000, 0x8000),
                    partitionWithMetadata(0x70000, 0, 0x8000, 0, 0x8000)};
    d.fileSize = INT64_MAX;
    const std::string name = moxBin ? "mox.bin" : "image.pwx";
    const std::string base = moxBin ? "mox" : "image";
    discimg::writeDisc(dir + "/" + name, d);
    const RunResult r = run({"-v", moxBin ? "-r" : "-d", "-x", name}, dir);
    const std::string first = toolBanner() + "Partition #0 length: 32768 (0x8000) bytes\n" +
                              "Extracting partition #0 to " + base + ".up.0...\n";
    const uint64_t fileOffset = moxBin ? 0x30000 : 0x78000; // of the last partition
    if (moxBin) {
      EXPECT_EQ(r.out, first + P + "File mox.bin does not contain the data for partition 1.\n" + P +
                           "Extraction of partition 1 and beyond not done.\n");
      EXPECT_EQ(r.status, 255);
      EXPECT_FALSE(discimg::fileExists(dir + "/mox.game.1"));
    } else {
      EXPECT_EQ(r.out, first + "Partition #1 length: 9223372036854251519 (0x7ffffffffff7ffff) "
                               "bytes\nExtracting partition #1 to image.game.1...\n");
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(discimg::fileSizeOf(dir + "/image.game.1"), uint64_t{INT64_MAX} - fileOffset);
      EXPECT_EQ(discimg::readFileRange(dir + "/image.game.1", 0, 0x20000),
                discimg::readFileRange(dir + "/" + name, fileOffset, 0x20000));
      EXPECT_LT(discimg::allocatedBytes(dir + "/image.game.1"), uint64_t{1} << 20);
    }
    EXPECT_EQ(r.err, "") << name;
    EXPECT_TRUE(discimg::sameAsRange(dir + "/" + base + ".pad.0", dir + "/" + name,
                                     fileOffset - 0x10000, 0x10000));
  }
}

} // namespace
