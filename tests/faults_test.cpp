// SPDX-License-Identifier: MIT
// Faults from outside the disc, through the built binary: writes that fall
// short (a file-size limit), output names that cannot be created, an input
// that is a directory or that ends under a copy, a report that cannot be
// written, and hostile headers under a small address space. Every case checks
// both streams byte for byte, the status, and exactly which files are left
// behind with which bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

namespace {

namespace fs = std::filesystem;
using discimg::Bytes;
using discimg::DiscPlan;
using discimg::PartitionPlan;
using runtool::RunResult;

// Two partitions with a gap between them:
//   table of contents region  0x40000-0x48000
//   partition 0 (Update)      0x48000-0x58000, data from 0x50000
//   pad                       0x58000-0x70000
//   partition 1 (BootGame)    0x70000-0x80000, data from 0x78000; the input ends
DiscPlan twoPartitions(bool moxBin) {
  DiscPlan d;
  d.moxBin = moxBin;
  d.partitions = {partitionWithMetadata(0x48000, 1, 0x8000, 0x8000, 0x8000),
                  partitionWithMetadata(0x70000, 0, 0x8000, 0x8000, 0x8000)};
  d.fileSize = static_cast<uint64_t>(0x80000 - discimg::fileStartOf(moxBin));
  return d;
}

using Faults = ToolDirTest;

// The files of twoPartitions() and their ranges, by input kind.
const OutFile ImageUnencrypt{"image.unencrypt", 0, 0x48000};
const OutFile ImageToc{"image.TOC", 0x48000, 0x8000};
const OutFile ImageUp0{"image.up.0", 0x50000, 0x10000};
const OutFile ImagePad0{"image.pad.0", 0x60000, 0x18000};
const OutFile ImageGame1{"image.game.1", 0x78000, 0x10000};
const OutFile MoxToc{"mox.TOC", 0, 0x8000};
const OutFile MoxUp0{"mox.up.0", 0x8000, 0x10000};
const OutFile MoxPad0{"mox.pad.0", 0x18000, 0x18000};
const OutFile MoxGame1{"mox.game.1", 0x30000, 0x10000};

// The same file cut to its first `length` bytes.
OutFile cut(OutFile f, uint64_t length) {
  f.length = length;
  return f;
}

std::function<void(const std::string &)> makeDirectory(const std::string &name) {
  return [name](const std::string &dir) { ASSERT_TRUE(fs::create_directory(dir + "/" + name)); };
}

TEST_F(Faults, WritesThatFallShort) {
  // RLIMIT_FSIZE with SIGXFSZ ignored: a write past the limit stores what fits
  // and then fails. What was written before stays.
  auto limited = [](uint64_t bytes) {
    runtool::RunOptions opt;
    opt.fileSizeLimit = bytes;
    return opt;
  };
  const Row rows[] = {
      {.what = "no limit: every file whole",
       .disc = twoPartitions(false),
       .args = {"-d", "-x", "image.pwx"},
       .out = "",
       .err = "",
       .status = 0,
       .files = {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1}},
      {.what = ".unencrypt",
       .disc = twoPartitions(false),
       .args = {"-d", "-x", "image.pwx"},
       .out = "",
       .err = P + "Write error when copying file image.pwx\n" + P +
              "Extract unencrypted part failed - exit\n",
       .status = 255,
       .files = {cut(ImageUnencrypt, 0x10000)},
       .opt = limited(0x10000)},
      {.what = ".TOC",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = "",
       .err = P + "Write error when copying file mox.bin\n" + P +
              "Can't extract TOC from file mox.TOC - exit\n",
       .status = 255,
       .files = {cut(MoxToc, 0x4000)},
       .opt = limited(0x4000)},
      {.what = "partition file",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0 failed\n",
       .err = "Write error when writing file mox.up.0\n",
       .status = 255,
       .files = {MoxToc, cut(MoxUp0, 0xC000)},
       .opt = limited(0xC000)},
      {.what = "pad file",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0-1 pad failed\n",
       .err = "Write error when writing file mox.pad.0\n",
       .status = 255,
       .files = {MoxToc, MoxUp0, cut(MoxPad0, 0x10000)},
       .opt = limited(0x10000)},
      {.what = "pad file after a forced cut is no different",
       .disc = twoPartitions(true),
       .args = {"-r", "-f", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0-1 pad failed\n",
       .err = "Write error when writing file mox.pad.0\n",
       .status = 255,
       .files = {MoxToc, MoxUp0, cut(MoxPad0, 0x10000)},
       .opt = limited(0x10000)},
  };
  for (const Row &row : rows)
    checkRow(newDir(), row);
}

TEST_F(Faults, OutputsThatCannotBeCreated) {
  // A directory where an output file should go, and a name longer than the
  // file system takes: the open fails with the ordinary message, and the
  // files before it stay.
  const std::string stem(250, 'n'); // stem.TOC and stem.up.0 fit in 255 bytes, stem.pad.0 not
  const Row rows[] = {
      {.what = "image.unencrypt is a directory",
       .disc = twoPartitions(false),
       .args = {"-d", "-x", "image.pwx"},
       .out = "",
       .err = P + "Can't open file image.unencrypt for writing\n",
       .status = 255,
       .files = {},
       .prepare = makeDirectory("image.unencrypt")},
      {.what = "mox.TOC is a directory",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = "",
       .err = P + "Can't open file mox.TOC for writing\n",
       .status = 255,
       .files = {},
       .prepare = makeDirectory("mox.TOC")},
      {.what = "image.TOC is a directory, after the .unencrypt file",
       .disc = twoPartitions(false),
       .args = {"-d", "-x", "image.pwx"},
       .out = "",
       .err = P + "Can't open file image.TOC for writing\n",
       .status = 255,
       .files = {ImageUnencrypt},
       .prepare = makeDirectory("image.TOC")},
      {.what = "a partition file is a directory",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0 failed\n",
       .err = P + "Can't open file mox.up.0 for writing\n",
       .status = 255,
       .files = {MoxToc},
       .prepare = makeDirectory("mox.up.0")},
      {.what = "a pad file is a directory",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0-1 pad failed\n",
       .err = P + "Can't open file mox.pad.0 for writing\n",
       .status = 255,
       .files = {MoxToc, MoxUp0},
       .prepare = makeDirectory("mox.pad.0")},
      {.what = "a pad file name longer than 255 bytes",
       .disc = twoPartitions(true),
       .args = {"-r", "-x", stem + ".bin"},
       .out = P + "Extraction of partition 0-1 pad failed\n",
       .err = P + "Can't open file " + stem + ".pad.0 for writing\n",
       .status = 255,
       .files = {{stem + ".TOC", 0, 0x8000}, {stem + ".up.0", 0x8000, 0x10000}},
       .input = stem + ".bin"},
  };
  for (const Row &row : rows)
    checkRow(newDir(), row);
}

TEST_F(Faults, InputIsADirectory) {
  // A directory opens for reading, but holds no bytes to read: it is refused
  // as an input that cannot be opened, before anything is written.
  const std::vector<std::vector<std::string>> optionSets = {
      {"-r", "-p"}, {"-r", "-x"}, {"-r", "-p", "-x"}, {"-d", "-p"}, {"-d", "-x"}};
  for (const std::vector<std::string> &options : optionSets) {
    const std::string dir = newDir();
    fs::create_directories(dir + "/disc.d");
    discimg::putAt(dir + "/disc.d/entry", 0, 0, Bytes(16, 1)); // a directory that is not empty
    std::vector<std::string> args = options;
    args.push_back("disc.d");
    const RunResult r = run(args, dir);
    const std::string what = options[0] + " " + options[1];
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, P + "Can't open file disc.d for reading - exit\n") << what;
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(regularFilesIn(dir), std::set<std::string>{}) << what;
  }
}

TEST_F(Faults, InputEndingEarly) {
  // A disk image of 0x100000 bytes whose one partition declares 0x100000
  // bytes of data from disk address 0x70000: 0x78000 bytes are missing.
  DiscPlan shortDisc;
  shortDisc.partitions = {partitionWithMetadata(0x50000, 0, 0x20000, 0x100000, 0xF8000 - 0x70000)};
  shortDisc.fileSize = 0x100000;
  const std::string shortage = P +
                               "File image.pwx does not contain enough data for partition 0.\n" +
                               P + "File needs 0x78000 (491520) more bytes.\n" + P +
                               "Data start: 0x70000; Length: 0x100000; netFileLength: 0xf8000\n";
  const OutFile toc{"image.TOC", 0x48000, 0x10000};

  // The pad's output name is a symbolic link to the input: refused before it
  // is opened, so the input keeps every byte.
  auto linkPadToInput = [](const std::string &dir) {
    ASSERT_EQ(::symlink("mox.bin", (dir + "/mox.pad.0").c_str()), 0);
  };

  const Row rows[] = {
      {.what = "data past the end, cut with -f",
       .disc = shortDisc,
       .args = {"-d", "-f", "-x", "image.pwx"},
       .out = shortage,
       .err = "",
       .status = 0,
       .files = {ImageUnencrypt, toc, {"image.game.0", 0x58000, 0xA8000}}},
      {.what = "data past the end, without -f",
       .disc = shortDisc,
       .args = {"-d", "-x", "image.pwx"},
       .out = shortage + P + "Extraction of partition 0 and beyond not done.\n",
       .err = "",
       .status = 255,
       .files = {ImageUnencrypt, toc}},
      {.what = "pad file linked to the input",
       .disc = twoPartitions(true),
       .args = {"-r", "-f", "-x", "mox.bin"},
       .out = P + "Extraction of partition 0-1 pad failed\n",
       .err = P + "Refusing to write mox.pad.0: it is the input file\n",
       .status = 255,
       .files = {MoxToc, MoxUp0},
       .prepare = linkPadToInput},
  };
  for (const Row &row : rows)
    checkRow(newDir(), row);
}

TEST_F(Faults, PadThatCannotBeWritten) {
  // A pad file of 0x800 bytes whose name is a link to /dev/full. The pad is
  // smaller than a stream's buffer, so its write may succeed and only the
  // close see that the bytes cannot be stored; whichever call sees it, the
  // run fails there with a message and writes nothing after.
  for (const bool moxBin : {false, true}) {
    DiscPlan d;
    d.moxBin = moxBin;
    d.partitions = {partitionWithMetadata(0x48000, 1, 0x8000, 0x8000, 0x8000),
                    partitionWithMetadata(0x58800, 0, 0x8000, 0x8000, 0x8000)};
    d.fileSize = static_cast<uint64_t>(0x68800 - discimg::fileStartOf(moxBin));
    const std::string base = moxBin ? "mox" : "image";
    const std::string what = moxBin ? "mox.bin" : "disk image";
    const int64_t start = discimg::fileStartOf(moxBin);
    auto at = [start](uint64_t diskAddress) {
      return static_cast<uint64_t>(static_cast<int64_t>(diskAddress) - start);
    };
    const std::string caseDir = newDir();
    const std::string input = caseDir + "/" + inputName(d);
    layOut(input, d);
    ASSERT_EQ(::symlink("/dev/full", (caseDir + "/" + base + ".pad.0").c_str()), 0);

    const RunResult r = run({moxBin ? "-r" : "-d", "-x", inputName(d)}, caseDir);
    EXPECT_EQ(r.out, P + "Extraction of partition 0-1 pad failed\n") << what;
    EXPECT_NE(r.err, "") << what;
    EXPECT_EQ(r.status, 255) << what;
    EXPECT_EQ(r.signal, 0) << what;
    std::vector<OutFile> files = {{base + ".TOC", at(0x40000), 0x8000},
                                  {base + ".up.0", at(0x48000), 0x10000}};
    if (!moxBin)
      files.push_back(ImageUnencrypt);
    expectOutputs(caseDir, inputName(d), input, files, what);
  }
}

// The listing of a table that counts `count` entries, where the input
// cannot hold them.
std::string hugeListing(bool moxBin, uint32_t count) {
  return "Number of partitions: " + std::to_string(count) +
         "\n -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:" +
         (moxBin ? "0x00000020" : "0x00048020") + "\n";
}

TEST_F(Faults, ReportThatCannotBeWritten) {
  SKIP_UNLESS_TOOL_CAN(systemErrors, "tell why a write failed as the system says it");
  // Standard output on a full device: a lost report is a failure, said in one
  // line on standard error. A run that has no report to give is unaffected.
  runtool::RunOptions full;
  full.stdoutPath = "/dev/full";
  const std::string lost =
      P + "Can't write the report to standard output (No space left on device)\n";
  const Row rows[] = {
      {.what = "print, disk image",
       .disc = twoPartitions(false),
       .args = {"-d", "-p", "image.pwx"},
       .out = "",
       .err = lost,
       .status = 255,
       .files = {},
       .opt = full},
      {.what = "print, mox.bin",
       .disc = twoPartitions(true),
       .args = {"-r", "-p", "mox.bin"},
       .out = "",
       .err = lost,
       .status = 255,
       .files = {},
       .opt = full},
      {.what = "print and extract",
       .disc = twoPartitions(false),
       .args = {"-d", "-p", "-x", "image.pwx"},
       .out = "",
       .err = lost,
       .status = 255,
       .files = {ImageToc, ImageUp0, ImagePad0, ImageGame1},
       .opt = full},
      {.what = "extract only: nothing to report",
       .disc = twoPartitions(false),
       .args = {"-d", "-x", "image.pwx"},
       .out = "",
       .err = "",
       .status = 0,
       .files = {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1},
       .opt = full},
      {.what = "extract with -v: the progress lines are lost",
       .disc = twoPartitions(false),
       .args = {"-v", "-d", "-x", "image.pwx"},
       .out = "",
       .err = lost,
       .status = 255,
       .files = {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1},
       .opt = full},
  };
  for (const Row &row : rows)
    checkRow(newDir(), row);
}

TEST_F(Faults, HostileHeadersInASmallAddressSpace) {
  // Counts and sizes of 0xFFFFFFFF fail with the read messages under a
  // 256 MiB address space: nothing is allocated for what the input cannot
  // hold.
  if (UnderAddressSanitizer)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit a 256 MiB address space";
  SKIP_UNLESS_TOOL_CAN(ownAddressSpace, "be given a small address space of its own");
  runtool::RunOptions small;
  small.addressSpaceLimit = uint64_t{256} << 20;
  auto counted = [](bool moxBin, uint32_t count = 0xFFFFFFFF) {
    DiscPlan d = twoPartitions(moxBin);
    d.numPartitions = count;
    return d;
  };
  DiscPlan sizes = twoPartitions(true);
  sizes.partitions[0].tmdSize = 0xFFFFFFFF;
  sizes.partitions[1].certSize = 0xFFFFFFFF;
  const std::string infos = P + "Can't read partition infos from file\n";
  // Partition 0 stops at its TMD, partition 1 at its chain.
  const std::string sizesReport = dataFile("report/hostile_sizes_mox_bin.txt");
  const std::string sizesErr =
      P + "Can't read TMD from file\n" + P + "Can't read certificates from file\n";
  const Row rows[] = {
      {.what = "numPartitions, print",
       .disc = counted(false),
       .args = {"-d", "-p", "image.pwx"},
       .out = DefaultDiskHeader + hugeListing(false, 0xFFFFFFFF),
       .err = infos,
       .status = 255,
       .files = {},
       .opt = small},
      {.what = "numPartitions whose table is 4 GiB, a size that 32 bits wrap to 0",
       .disc = counted(false, 0x20000000),
       .args = {"-d", "-p", "image.pwx"},
       .out = DefaultDiskHeader + hugeListing(false, 0x20000000),
       .err = infos,
       .status = 255,
       .files = {},
       .opt = small},
      {.what = "numPartitions, extract",
       .disc = counted(true),
       .args = {"-r", "-x", "mox.bin"},
       .out = "",
       .err = infos,
       .status = 255,
       .files = {},
       .opt = small},
      {.what = "tmdSize and certSize, print",
       .disc = sizes,
       .args = {"-r", "-p", "mox.bin"},
       .out = sizesReport,
       .err = sizesErr,
       .status = 255,
       .files = {},
       .opt = small},
      {.what = "tmdSize and certSize, print and extract",
       .disc = sizes,
       .args = {"-r", "-p", "-x", "mox.bin"},
       .out = sizesReport,
       .err = sizesErr,
       .status = 255,
       .files = {MoxToc, MoxUp0, MoxPad0, MoxGame1},
       .opt = small},
      {.what = "a sound disc in the same space",
       .disc = twoPartitions(false),
       .args = {"-d", "-p", "-x", "image.pwx"},
       .out = dataFile("report/two_small_partitions_disk_image.txt"),
       .err = "",
       .status = 0,
       .files = {ImageToc, ImageUp0, ImagePad0, ImageGame1},
       .opt = small},
  };
  for (const Row &row : rows)
    checkRow(newDir(), row);
}

} // namespace
