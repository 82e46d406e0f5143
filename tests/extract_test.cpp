// SPDX-License-Identifier: MIT
// Extract mode through the built binary: the .TOC file, the partition and pad
// files with their exact bytes, the shortage and stop lines on standard
// output, the messages on standard error and the exit statuses. Every image
// is laid out here, sparse where it is large.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

namespace {

namespace fs = std::filesystem;
using discimg::Bytes;
using discimg::DiscPlan;
using discimg::kTocAddress;
using discimg::PartitionPlan;
using runtool::RunResult;

// A disc whose table lies at its usual place (disk address 0x40020) and whose
// input ends at disk address `end`.
DiscPlan disc(std::vector<PartitionPlan> parts, uint64_t end, bool mox = false,
              uint32_t partitionInfoOffset = 0x10008) {
  DiscPlan d;
  d.moxBin = mox;
  d.partitions = std::move(parts);
  d.partitionInfoOffset = partitionInfoOffset;
  d.fileSize = static_cast<uint64_t>(static_cast<int64_t>(end) - discimg::fileStartOf(mox));
  return d;
}

DiscPlan withCount(DiscPlan d, uint32_t numPartitions) {
  d.numPartitions = numPartitions;
  return d;
}

// A table entry whose partition header is some other entry's.
PartitionPlan entryOnly(uint64_t address, uint32_t type) {
  PartitionPlan p;
  p.address = address;
  p.type = type;
  p.writeHeader = false;
  return p;
}

using Extract = ToolDirTest;

const OutFile Unencrypt{"image.unencrypt", 0, 0x48000};
const OutFile Toc{"image.TOC", 0x48000, 0x10000}; // for a first partition at 0x50000
const std::string Stop0 = P + "Extraction of partition 0 and beyond not done.\n";
const std::string Stop1 = P + "Extraction of partition 1 and beyond not done.\n";

std::vector<Row> extractRows() {
  // One partition at 0x50000 with data from 0x70000 and 0x100000 declared bytes
  // in an input of 0x100000 bytes.
  const DiscPlan shortImage = disc({partitionWithMetadata(0x50000, 2, 0x20000, 0x100000)}, 0xF8000);
  const std::string shortLines = P +
                                 "File image.pwx does not contain enough data for partition 0.\n" +
                                 P + "File needs 0x78000 (491520) more bytes.\n" + P +
                                 "Data start: 0x70000; Length: 0x100000; netFileLength: 0xf8000\n";
  const OutFile shortCut{"image.game.0", 0x58000, 0xA8000};

  // A short partition 0, then a partition whose header is the input's last bytes.
  const DiscPlan cutThenHeader = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x100000),
                                       partitionWithMetadata(0x7FD40, 0, 0x8000, 0x8000)},
                                      0x80000);
  const std::string short0 = P + "File image.pwx does not contain enough data for partition 0.\n" +
                             P + "File needs 0xd8000 (884736) more bytes.\n" + P +
                             "Data start: 0x58000; Length: 0x100000; netFileLength: 0x80000\n";
  const std::string short1 = P + "File image.pwx does not contain enough data for partition 1.\n" +
                             P + "File needs 0xfd40 (64832) more bytes.\n" + P +
                             "Data start: 0x87d40; Length: 0x8000; netFileLength: 0x80000\n";

  // The last partition's data would start past the input.
  const DiscPlan lastPastEnd = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                                     partitionWithMetadata(0x7FD40, 0, 0x8000, 0)},
                                    0x80000);
  const std::string noData = P + "File image.pwx does not contain the data for partition 1.\n";
  const std::vector<OutFile> lastPastEndFiles = {
      Unencrypt, Toc, {"image.up.0", 0x58000, 0x10000}, {"image.pad.0", 0x68000, 0x1FD40}};

  // The last partition's data would start exactly at the input's end: no
  // byte of it is there, which is no partition of length 0.
  const DiscPlan lastAtEnd = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                                   partitionWithMetadata(0x70000, 0, 0x8000, 0)},
                                  0x78000);
  const DiscPlan lastAtEndMox = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                                      partitionWithMetadata(0x70000, 0, 0x8000, 0)},
                                     0x78000, true);

  const std::string first30000 = P + "First partition address 0x30000 lies below the table of "
                                     "contents at 0x40000; nothing copied to ";
  const std::vector<PartitionPlan> belowToc = {partitionWithMetadata(0x30000, 1, 0x8000, 0x8000),
                                               partitionWithMetadata(0x50000, 0, 0x8000, 0)};
  const std::vector<std::string> dx = {"-d", "-x", "image.pwx"};
  auto closed = [](unsigned descriptors) {
    runtool::RunOptions opt;
    opt.closedDescriptors = descriptors;
    return opt;
  };

  return {
      {.what = "short partition without -f",
       .disc = shortImage,
       .args = dx,
       .out = shortLines + Stop0,
       .err = "",
       .status = 255,
       .files = {Unencrypt, Toc}},
      {.what = "short partition with -f",
       .disc = shortImage,
       .args = {"-d", "-f", "-x", "image.pwx"},
       .out = shortLines,
       .err = "",
       .status = 0,
       .files = {Unencrypt, Toc, shortCut}},
      {.what = "short partition with -v -f: the length line shows the declared length",
       .disc = shortImage,
       .args = {"-v", "-f", "-d", "-x", "image.pwx"},
       .out = "@BPartition #0 length: 1048576 (0x100000) bytes\n" + shortLines +
              "Extracting partition #0 to image.game.0...\n",
       .err = "",
       .status = 0,
       .files = {Unencrypt, Toc, shortCut}},
      {.what = "cut partition 0 stops the run without -f",
       .disc = cutThenHeader,
       .args = dx,
       .out = short0 + Stop0,
       .err = "",
       .status = 255,
       .files = {Unencrypt, Toc}},
      {.what = "-f cuts both partitions at the input's end; no pad follows a cut",
       .disc = cutThenHeader,
       .args = {"-d", "-x", "-f", "image.pwx"},
       .out = short0 + short1,
       .err = "",
       .status = 0,
       .files =
           {Unencrypt, Toc, {"image.up.0", 0x58000, 0x30000}, {"image.game.1", 0x87D40, 0x2C0}}},
      {.what = "last partition without data in the input",
       .disc = lastPastEnd,
       .args = dx,
       .out = noData + Stop1,
       .err = "",
       .status = 255,
       .files = lastPastEndFiles},
      {.what = "last partition without data, -v -f: stop comes before its length line",
       .disc = lastPastEnd,
       .args = {"-v", "-f", "-d", "-x", "image.pwx"},
       .out = "@BPartition #0 length: 32768 (0x8000) bytes\n"
              "Extracting partition #0 to image.up.0...\n" +
              noData + Stop1,
       .err = "",
       .status = 255,
       .files = lastPastEndFiles},
      {.what = "last partition's data starting at the input's end",
       .disc = lastAtEnd,
       .args = dx,
       .out = noData + Stop1,
       .err = "",
       .status = 255,
       .files =
           {Unencrypt, Toc, {"image.up.0", 0x58000, 0x10000}, {"image.pad.0", 0x68000, 0x10000}}},
      {.what = "last partition's data starting at the input's end, mox.bin with -f",
       .disc = lastAtEndMox,
       .args = {"-r", "-f", "-x", "mox.bin"},
       .out = P + "File mox.bin does not contain the data for partition 1.\n" + Stop1,
       .err = "",
       .status = 255,
       .files = {{"mox.TOC", 0, 0x10000},
                 {"mox.up.0", 0x10000, 0x10000},
                 {"mox.pad.0", 0x20000, 0x10000}}},
      {.what = "negative derived length",
       .disc = disc({partitionWithMetadata(0x50000, 1, 0x20000, 0),
                     partitionWithMetadata(0x60000, 0, 0x8000, 0x8000)},
                    0x70000),
       .args = {"-v", "-d", "-x", "image.pwx"},
       .out = "@BPartition #0 length: 18446744073709486080 (0xffffffffffff0000) bytes\n"
              "Extracting partition #0 to image.up.0...\n"
              "Partition #1 length: 32768 (0x8000) bytes\n"
              "Extracting partition #1 to image.game.1...\n",
       .err = "",
       .status = 0,
       .files =
           {Unencrypt, Toc, {"image.up.0", 0x58000, 0x10000}, {"image.game.1", 0x68000, 0x10000}}},
      {.what = "a pad between partitions, none where the next starts at the data end; stale files",
       .disc = disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                     partitionWithMetadata(0x70000, 1, 0x8000, 0x10000),
                     partitionWithMetadata(0x88000, 2, 0x8000, 0)},
                    0xA0000),
       .args = {"-v", "-d", "-x", "image.pwx"},
       .out = "@BPartition #0 length: 32768 (0x8000) bytes\n"
              "Extracting partition #0 to image.game.0...\n"
              "Partition #1 length: 65536 (0x10000) bytes\n"
              "Extracting partition #1 to image.up.1...\n"
              "Partition #2 length: 65536 (0x10000) bytes\n"
              "Extracting partition #2 to image.game.2...\n",
       .err = "",
       .status = 0,
       .files = {Unencrypt,
                 Toc,
                 {"image.game.0", 0x58000, 0x10000},
                 {"image.pad.0", 0x68000, 0x10000},
                 {"image.up.1", 0x78000, 0x18000},
                 {"image.game.2", 0x90000, 0x18000}},
       .stale = {"image.unencrypt", "image.TOC", "image.game.0", "image.pad.0"}},
      {.what = "declared data running into the next partition: no pad",
       .disc = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x18000),
                     partitionWithMetadata(0x60000, 0, 0x8000, 0x8000)},
                    0x70000),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files =
           {Unencrypt, Toc, {"image.up.0", 0x58000, 0x20000}, {"image.game.1", 0x68000, 0x10000}}},
      {.what = "wrapped partitionInfoOffset finds the table at 0x40020",
       .disc =
           disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000)}, 0x60000, false, 0x40010008),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files = {Unencrypt, Toc, {"image.up.0", 0x58000, 0x10000}}},
      {.what = "types 3 and above get the extension unknown",
       .disc = disc({partitionWithMetadata(0x50000, 3, 0x8000, 0x8000),
                     partitionWithMetadata(0x60000, 0xFFFFFFFF, 0x8000, 0)},
                    0x70000),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files = {Unencrypt,
                 Toc,
                 {"image.unknown.0", 0x58000, 0x10000},
                 {"image.unknown.1", 0x68000, 0x10000}}},
      {.what = "input ends inside entry 2's header: nothing past the TOC is written",
       .disc = disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                     partitionWithMetadata(0x60000, 1, 0x8000, 0x8000),
                     partitionWithMetadata(0x70000, 2, 0x8000, 0x8000)},
                    0x70100),
       .args = dx,
       .out = "",
       .err = P + "Can't read partiton 2 from file\n",
       .status = 255,
       .files = {Unencrypt, Toc}},
      {.what = "no partitions: the TOC gets the rest of a disk image",
       .disc = disc({}, 0x58000),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files = {Unencrypt, {"image.TOC", 0x48000, 0x18000}}},
      {.what = "no partitions: the TOC gets the rest of a mox.bin file",
       .disc = disc({}, 0x58000, true),
       .args = {"-r", "-x", "mox.bin"},
       .out = "",
       .err = "",
       .status = 0,
       .files = {{"mox.TOC", 0, 0x18000}}},
      {.what = "first partition at 0x40000: empty TOC",
       .disc = disc({partitionWithMetadata(0x40000, 0, 0x8000, 0)}, 0x60000, false, 0xC000),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files = {Unencrypt, {"image.TOC", 0x48000, 0}, {"image.game.0", 0x48000, 0x20000}},
       .stale = {"image.TOC"}},
      {.what = "first partition below the TOC: empty TOC, partitions still written",
       .disc = disc(belowToc, 0x60000),
       .args = dx,
       .out = "",
       .err = first30000 + "image.TOC\n",
       .status = 255,
       .files = {Unencrypt,
                 {"image.TOC", 0x48000, 0},
                 {"image.up.0", 0x38000, 0x10000},
                 {"image.pad.0", 0x48000, 0x10000},
                 {"image.game.1", 0x58000, 0x10000}},
       .stale = {"image.TOC"}},
      // With standard output closed, the first output must not take its
      // descriptor, or the text flushed before a message lands in image.TOC.
      {.what = "first partition below the TOC, -v with standard input and output closed",
       .disc = disc(belowToc, 0x60000),
       .args = {"-v", "-d", "-x", "image.pwx"},
       .out = "",
       .err = first30000 + "image.TOC\n" + P +
              "Can't write the report to standard output (Bad file descriptor)\n",
       .status = 255,
       .files = {Unencrypt,
                 {"image.TOC", 0x48000, 0},
                 {"image.up.0", 0x38000, 0x10000},
                 {"image.pad.0", 0x48000, 0x10000},
                 {"image.game.1", 0x58000, 0x10000}},
       .opt = closed(0x3)},
      {.what = "the same with standard error closed too",
       .disc = disc(belowToc, 0x60000),
       .args = {"-v", "-d", "-x", "image.pwx"},
       .out = "",
       .err = "",
       .status = 255,
       .files = {Unencrypt,
                 {"image.TOC", 0x48000, 0},
                 {"image.up.0", 0x38000, 0x10000},
                 {"image.pad.0", 0x48000, 0x10000},
                 {"image.game.1", 0x58000, 0x10000}},
       .opt = closed(0x7)},
      {.what = "first partition below a mox.bin file",
       .disc = disc(belowToc, 0x60000, true),
       .args = {"-r", "-x", "mox.bin"},
       .out = "",
       .err = first30000 + "mox.TOC\n" + P + "Seeking to partition offset failed\n",
       .status = 255,
       .files = {{"mox.TOC", 0, 0}}},
      {.what = "a name beyond ASCII, in UTF-8, whatever the system's code page",
       .disc = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000)}, 0x60000),
       .args = {"-v", "-d", "-x", "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.pwx"},
       .out = "@BPartition #0 length: 32768 (0x8000) bytes\n"
              "Extracting partition #0 to \xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.up.0...\n",
       .err = "",
       .status = 0,
       .files = {{"\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.unencrypt", 0, 0x48000},
                 {"\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.TOC", 0x48000, 0x10000},
                 {"\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.up.0", 0x58000, 0x10000}},
       .input = "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA_\xC3\xBC.pwx"},
      {.what = "the next entry at the same address: an empty partition file",
       .disc = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0), entryOnly(0x50000, 0)}, 0x70000),
       .args = dx,
       .out = "",
       .err = "",
       .status = 0,
       .files = {Unencrypt, Toc, {"image.up.0", 0x58000, 0}, {"image.game.1", 0x58000, 0x20000}},
       .stale = {"image.up.0"}},
      {.what = "a partition whose range would end before it begins stops the run",
       .disc = disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                     partitionWithMetadata(0x70000, 1, 0x8000, 0x1234),
                     partitionWithMetadata(0x68000, 2, 0x8000, 0x8000)},
                    0x80000),
       .args = dx,
       .out = "",
       .err = P +
              "Partition 1 at 0x70000 would end before it begins; extraction of partition 1 and "
              "beyond not done\n",
       .status = 255,
       .files =
           {Unencrypt, Toc, {"image.game.0", 0x58000, 0x10000}, {"image.pad.0", 0x68000, 0x10000}}},
  };
}

TEST_F(Extract, Outcomes) {
  for (const Row &row : extractRows())
    checkRow(newDir(), row);
}

// The two-partition disc: a TOC region of 0x10000 bytes, an update partition
// with a declared length, a gap of 0xF690000 bytes, and a game partition
// whose length runs to the end of the input at disk address 0x20000000. The
// mox.bin run sends its two large files to /dev/null through links made
// beforehand: the disk image run checks them, and writing them twice only
// costs time.
TEST_F(Extract, WorkedExampleAsDiskImageAndMoxBin) {
  for (bool mox : {false, true}) {
    const std::string dir = newDir();
    const DiscPlan d = disc({partitionWithMetadata(0x50000, 1, 0x20000, 0x100000),
                             partitionWithMetadata(0xF800000, 0, 0x20000, 0)},
                            0x20000000, mox);
    const std::string input = dir + "/" + inputName(d);
    layOut(input, d);
    discimg::patternAround(input, d, kTocAddress, 0x180000);
    discimg::patternAround(input, d, 0xF7F0000, 0xF900000);
    discimg::patternAround(input, d, 0x1FF00000, 0x20000000);

    // Print mode lists the table the same way for both kinds; only the file
    // offset of the table differs.
    RunResult r = run({mox ? "-r" : "-d", "-p", inputName(d)}, dir);
    const std::string listing = std::string("Number of partitions: 2\n") +
                                " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x" +
                                (mox ? "00000020" : "00048020") +
                                "\nPartition info structs:\n"
                                "Partition 0: Type: 1 (Update); Disk address (byte): 0x50000\n"
                                "Partition 1: Type: 0 (BootGame); Disk address (byte): 0xf800000\n"
                                "Partition 0 details:\n";
    const size_t at = r.out.find("Number of partitions: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at, listing.size()), listing);
    if (mox) {
      EXPECT_EQ(at, 0u) << "a mox.bin file has no disk header block";
    }
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    const std::string base = mox ? "mox" : "image";
    if (mox) {
      fs::create_symlink("/dev/null", dir + "/mox.pad.0");
      fs::create_symlink("/dev/null", dir + "/mox.game.1");
    }
    r = run({mox ? "-r" : "-d", "-x", inputName(d)}, dir);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    auto ofs = [&](uint64_t diskAddress) { return diskAddress - discimg::fileStartOf(mox); };
    std::vector<OutFile> files = {{base + ".TOC", ofs(0x40000), 0x10000},
                                  {base + ".up.0", ofs(0x50000), 0x120000}};
    if (!mox) {
      files.push_back(Unencrypt);
      files.push_back({"image.pad.0", 0x178000, 0xF690000});
      files.push_back({"image.game.1", 0xF808000, 0x10800000});
    }
    expectOutputs(dir, inputName(d), input, files, mox ? "mox.bin" : "disk image");
  }
}

// .unencrypt, .TOC, then each partition file followed by its pad file give
// back the input. The last partition is over 16 MiB, so it is copied in
// several chunks with a short last one.
TEST_F(Extract, FilesConcatenateToTheInput) {
  for (bool mox : {false, true}) {
    const std::string dir = newDir();
    const DiscPlan d = disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                             partitionWithMetadata(0x70000, 1, 0x8000, 0x10000),
                             partitionWithMetadata(0x88000, 2, 0x8000, 0)},
                            0x1190000, mox);
    const std::string input = dir + "/" + inputName(d);
    layOut(input, d);
    const RunResult r = run({mox ? "-r" : "-d", "-x", inputName(d)}, dir);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    const std::string base = dir + (mox ? "/mox" : "/image");
    std::vector<std::string> order = {".TOC", ".game.0", ".pad.0", ".up.1", ".game.2"};
    if (!mox)
      order.insert(order.begin(), ".unencrypt");
    Bytes joined;
    for (const std::string &ext : order) {
      ASSERT_TRUE(discimg::fileExists(base + ext)) << ext;
      const Bytes b = discimg::readFile(base + ext);
      joined.insert(joined.end(), b.begin(), b.end());
    }
    EXPECT_FALSE(discimg::fileExists(base + ".pad.1"));
    EXPECT_TRUE(joined == discimg::readFile(input)) << (mox ? "mox.bin" : "disk image");
  }
}

// Partitions above 4 GiB, with partitionOffset values whose top bits are set.
// The 4 GiB gap in front of them goes to a pad file that is linked to
// /dev/null beforehand: it holds nothing but a hole. Reading that hole costs
// seconds on a disk and a fraction of one in memory.
TEST_F(Extract, PartitionsAboveFourGiB) {
  std::string dir = memoryDir();
  if (dir.empty())
    dir = newDir();
  const DiscPlan d = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                           partitionWithMetadata(0x100060000, 0, 0x8000, 0x10000),
                           partitionWithMetadata(0x100080000, 2, 0x8000, 0)},
                          0x1000A0000);
  const std::string input = dir + "/image.pwx";
  layOut(input, d);
  discimg::patternAround(input, d, kTocAddress, 0x60000);
  discimg::patternAround(input, d, 0x100060000, 0x1000A0000);
  fs::create_symlink("/dev/null", dir + "/image.pad.0");

  const RunResult r = run({"-v", "-d", "-x", "image.pwx"}, dir);
  EXPECT_EQ(r.out, toolBanner() + "Partition #0 length: 32768 (0x8000) bytes\n"
                                  "Extracting partition #0 to image.up.0...\n"
                                  "Partition #1 length: 65536 (0x10000) bytes\n"
                                  "Extracting partition #1 to image.game.1...\n"
                                  "Partition #2 length: 98304 (0x18000) bytes\n"
                                  "Extracting partition #2 to image.game.2...\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  expectOutputs(dir, "image.pwx", input,
                {Unencrypt,
                 Toc,
                 {"image.up.0", 0x58000, 0x10000},
                 {"image.game.1", 0x100068000, 0x18000},
                 {"image.pad.1", 0x100080000, 0x8000},
                 {"image.game.2", 0x100088000, 0x20000}},
                "above 4 GiB");
  EXPECT_TRUE(fs::is_symlink(dir + "/image.pad.0"));
}

// An output name that is a hard link to the input is refused before it is
// opened, so the input keeps every byte; the failure line follows on standard
// output. (An input that really ends under a copy is tested with an input that
// shrinks during the run.)
TEST_F(Extract, OutputsLinkedToTheInputAreRefused) {
  struct Case {
    std::string link;
    std::string out;
    std::vector<OutFile> files;
  };
  const OutFile game0{"image.game.0", 0x58000, 0x10000};
  constexpr uint64_t InputSize = 0x88000; // a hard link to the input holds all of it
  const Case cases[] = {
      {"image.pad.0",
       P + "Extraction of partition 0-1 pad failed\n",
       {Unencrypt, Toc, game0, {"image.pad.0", 0, InputSize}}},
      {"image.up.1",
       P + "Extraction of partition 1 failed\n",
       {Unencrypt, Toc, game0, {"image.pad.0", 0x68000, 0x10000}, {"image.up.1", 0, InputSize}}},
  };
  const DiscPlan d = disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                           partitionWithMetadata(0x70000, 1, 0x8000, 0)},
                          0x80000);
  for (const Case &c : cases) {
    const std::string dir = newDir();
    const std::string reference = dir + ".reference";
    layOut(reference, d);
    layOut(dir + "/image.pwx", d);
    ASSERT_EQ(::link((dir + "/image.pwx").c_str(), (dir + "/" + c.link).c_str()), 0);
    const RunResult r = run({"-d", "-f", "-x", "image.pwx"}, dir);
    EXPECT_EQ(r.out, c.out) << c.link;
    EXPECT_EQ(r.err, P + "Refusing to write " + c.link + ": it is the input file\n") << c.link;
    EXPECT_EQ(r.status, 255) << c.link;
    expectOutputs(dir, "image.pwx", reference, c.files, c.link);
  }
}

// Reading the table: offsets that wrap or fall in front of the file, and
// counts and sizes that the input cannot hold.
struct TableRow {
  Row row;
  bool hostile = false; // sized by a field of 0xFFFFFFFF
};

std::vector<TableRow> tableRows() {
  PartitionPlan bigTmd = partitionWithMetadata(0x50000, 1, 0x8000, 0x8000);
  bigTmd.tmdSize = 0xFFFFFFFF;
  PartitionPlan bigCerts = partitionWithMetadata(0x50000, 1, 0x8000, 0x8000);
  bigCerts.certSize = 0xFFFFFFFF;
  const DiscPlan behind = withCount(disc({}, 0x50000, true, 8), 1); // table at disk address 0x20
  const DiscPlan huge = withCount(disc({}, 0x50000, true), 0xFFFFFFFF);
  const DiscPlan cut = withCount(disc({partitionWithMetadata(0x50000, 0, 0x8000, 0x8000),
                                       partitionWithMetadata(0x60000, 1, 0x8000, 0x8000)},
                                      0x40034, true),
                                 3);
  const std::string head20 = " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n";
  const std::string oneListed = "Number of partitions: 1\n" + head20 +
                                "Partition info structs:\n"
                                "Partition 0: Type: 1 (Update); Disk address (byte): 0x50000\n"
                                "Partition 0 details:\n";
  const std::string behindLines =
      "Number of partitions: 1\n -> partitionInfoRawOfs: 0x00000020 partitionInfoOfs:0xfffc0020\n";
  // A table longer than the 64 KiB window it is read through: entry 0 names a
  // partition, the others one past the input's end. The details read entry 0
  // again after the listing has moved the window to the table's end.
  constexpr uint32_t longCount = 8200;
  std::vector<PartitionPlan> longParts(longCount);
  std::string longListing = "Number of partitions: 8200\n" + head20 + "Partition info structs:\n";
  std::string longErr;
  for (uint32_t i = 0; i < longCount; ++i) {
    longParts[i].address = i == 0 ? 0x60000 : 0x100000;
    longParts[i].writeHeader = false;
    longListing +=
        "Partition " + std::to_string(i) +
        ": Type: 0 (BootGame); Disk address (byte): " + (i == 0 ? "0x60000\n" : "0x100000\n");
    if (i != 0)
      longErr += P + "Can't read partition from input file\n";
  }
  longParts[0] = partitionWithMetadata(0x60000, 0, 0x8000, 0x8000);
  const std::string seekFails = P + "Seeking to partition info offset failed\n";
  const std::string infos = P + "Can't read partition infos from file\n";
  return {
      {.row = {.what = "wrapped partitionInfoOffset",
               .disc = disc({partitionWithMetadata(0x50000, 1, 0x8000, 0x8000)}, 0x60000, true,
                            0x40010008),
               .args = {"-r", "-p", "mox.bin"},
               .out = oneListed,
               .err = "",
               .status = 0,
               .files = {},
               .outPrefix = true}},
      {.row = {.what = "table in front of a mox.bin file, print",
               .disc = behind,
               .args = {"-r", "-p", "mox.bin"},
               .out = behindLines,
               .err = seekFails,
               .status = 255,
               .files = {}}},
      {.row = {.what = "table in front of a mox.bin file, extract",
               .disc = behind,
               .args = {"-r", "-x", "mox.bin"},
               .out = "",
               .err = seekFails,
               .status = 255,
               .files = {}}},
      {.row = {.what = "table cut by the input's end",
               .disc = cut,
               .args = {"-r", "-p", "mox.bin"},
               .out = "Number of partitions: 3\n" + head20,
               .err = infos,
               .status = 255,
               .files = {}}},
      {.row = {.what = "a table longer than its reading window, read again from its start",
               .disc = disc(longParts, 0x70000, true),
               .args = {"-r", "-p", "mox.bin"},
               .out = longListing + "Partition 0 details:\n\tUnencrypted partition\n",
               .err = longErr,
               .status = 255,
               .files = {},
               .outPrefix = true}},
      {.row = {.what = "numPartitions 0xFFFFFFFF, print",
               .disc = huge,
               .args = {"-r", "-p", "mox.bin"},
               .out = "Number of partitions: 4294967295\n" + head20,
               .err = infos,
               .status = 255,
               .files = {}},
       .hostile = true},
      {.row = {.what = "numPartitions 0xFFFFFFFF, extract",
               .disc = withCount(disc({}, 0x50000), 0xFFFFFFFF),
               .args = {"-d", "-x", "image.pwx"},
               .out = "",
               .err = infos,
               .status = 255,
               .files = {Unencrypt}},
       .hostile = true},
      {.row = {.what = "tmdSize 0xFFFFFFFF",
               .disc = disc({bigTmd}, 0x60000, true),
               .args = {"-r", "-p", "mox.bin"},
               .out = oneListed,
               .err = P + "Can't read TMD from file\n",
               .status = 255,
               .files = {},
               .outPrefix = true},
       .hostile = true},
      {.row = {.what = "certSize 0xFFFFFFFF",
               .disc = disc({bigCerts}, 0x60000, true),
               .args = {"-r", "-p", "mox.bin"},
               .out = oneListed,
               .err = P + "Can't read certificates from file\n",
               .status = 255,
               .files = {},
               .outPrefix = true},
       .hostile = true},
  };
}

TEST_F(Extract, TableReading) {
  for (const TableRow &t : tableRows())
    checkRow(newDir(), t.row);
}

// Counts and sizes of 0xFFFFFFFF must fail with the read message before
// anything is allocated for them: under a 1 GiB address space an allocation
// of that size would fail with another message.
TEST_F(Extract, HostileSizesFailInLittleMemory) {
  if (UnderAddressSanitizer)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit a 1 GiB address space";
  SKIP_UNLESS_TOOL_CAN(ownAddressSpace, "be given a small address space of its own");
  for (TableRow t : tableRows()) {
    if (!t.hostile)
      continue;
    t.row.opt.addressSpaceLimit = uint64_t{1} << 30;
    checkRow(newDir(), t.row);
  }
}

} // namespace
