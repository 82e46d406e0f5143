// Faults from outside the disc, through the built binary: writes that fall
// short (a file-size limit), output names that cannot be created, an input
// that is a directory or that ends under a copy, a report that cannot be
// written, and hostile headers under a small address space. Every case checks
// both streams byte for byte, the status, and exactly which files are left
// behind with which bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DECOMP_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DECOMP_UNDER_ASAN 1
#endif

namespace {

namespace fs = std::filesystem;
using discimg::Bytes;
using discimg::DiscPlan;
using discimg::PartitionPlan;
using runtool::RunResult;

const std::string P = "decomp_disk: ";
constexpr uint64_t TocAddress = 0x40000;
constexpr uint64_t TableAddress = 0x40020; // partitionInfoOffset 0x10008

int64_t startOf(const DiscPlan &d) {
  return d.moxBin ? discimg::kMoxBinStart : discimg::kDiskImageStart;
}

// A partition with a small title metadata and one certificate after its
// header, and `dataSize` bytes of patterned data `dataOffset` bytes in.
PartitionPlan partition(uint64_t address, uint32_t type, uint64_t dataOffset, uint64_t dataSize) {
  PartitionPlan p = partitionWithMetadata(address, type, dataOffset, dataSize);
  p.dataBytes = dataSize;
  return p;
}

// Two partitions with a gap between them:
//   table of contents region  0x40000-0x48000
//   partition 0 (Update)      0x48000-0x58000, data from 0x50000
//   pad                       0x58000-0x70000
//   partition 1 (BootGame)    0x70000-0x80000, data from 0x78000; the input ends
DiscPlan twoPartitions(bool moxBin) {
  DiscPlan d;
  d.moxBin = moxBin;
  d.partitions = {partition(0x48000, 1, 0x8000, 0x8000), partition(0x70000, 0, 0x8000, 0x8000)};
  d.fileSize = static_cast<uint64_t>(0x80000 - startOf(d));
  return d;
}

// Puts the address pattern on disk addresses [from, to).
void putPattern(const std::string &path, const DiscPlan &d, uint64_t from, uint64_t to) {
  Bytes b(static_cast<size_t>(to - from));
  for (size_t i = 0; i < b.size(); ++i)
    b[i] = discimg::patternByte(from + i);
  discimg::putAt(path, startOf(d), from, b);
}

// Writes the disc, then patterns the rest of the table-of-contents region and
// the gaps between partitions, so every copied byte tells where it came from.
void layout(const std::string &path, const DiscPlan &d) {
  discimg::writeDisc(path, d);
  const uint64_t end = static_cast<uint64_t>(static_cast<int64_t>(d.fileSize) + startOf(d));
  const uint64_t tableEnd = TableAddress + 8 * d.partitions.size();
  if (!d.partitions.empty() && d.partitions[0].address > tableEnd)
    putPattern(path, d, tableEnd, d.partitions[0].address);
  for (size_t i = 0; i + 1 < d.partitions.size(); ++i) {
    const PartitionPlan &p = d.partitions[i];
    const uint64_t dataEnd = p.address + 4 * (uint64_t{p.dataOffset} + p.dataSize);
    const uint64_t next = std::min(d.partitions[i + 1].address, end);
    if (next > dataEnd)
      putPattern(path, d, dataEnd, next);
  }
  discimg::setFileSize(path, d.fileSize);
}

struct Row {
  std::string what;
  DiscPlan disc;
  std::string input; // the input's name in the test's directory
  std::vector<std::string> options;
  std::string out;
  std::string err;
  int status;
  std::vector<OutFile> files; // every regular file the run leaves, besides the input
  runtool::RunOptions opt = {};
  std::function<void(const std::string &dir)> prepare = nullptr; // before the run
  uint64_t inputSizeAfter = UINT64_MAX;                          // when the run changes it
};

class Faults : public ::testing::Test {
protected:
  void SetUp() override { root = runtool::makeTempDir(); }
  void TearDown() override { runtool::removeTree(root); }

  // Lays out the row's disc (kept aside as the reference for the outputs),
  // runs it in a directory of its own and checks everything it left.
  void check(const Row &row) {
    const std::string dir = root + "/" + std::to_string(cases++);
    fs::create_directory(dir);
    const std::string reference = dir + ".reference";
    layout(reference, row.disc);
    layout(dir + "/" + row.input, row.disc);
    if (row.prepare)
      row.prepare(dir);

    runtool::RunOptions opt = row.opt;
    opt.cwd = dir;
    std::vector<std::string> args = row.options;
    args.push_back(row.input);
    const RunResult r = runtool::runTool(args, opt);
    EXPECT_EQ(r.out, row.out) << row.what;
    EXPECT_EQ(r.err, row.err) << row.what;
    EXPECT_EQ(r.status, row.status) << row.what;
    EXPECT_EQ(r.signal, 0) << row.what;
    expectOutputs(dir, row.input, reference, row.files, row.what);
    if (row.inputSizeAfter != UINT64_MAX) {
      EXPECT_EQ(discimg::fileSizeOf(dir + "/" + row.input), row.inputSizeAfter) << row.what;
    }
  }

  std::string root;
  int cases = 0;
};

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
      {"no limit: every file whole",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-x"},
       "",
       "",
       0,
       {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1}},
      {".unencrypt",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-x"},
       "",
       P + "Write error when copying file image.pwx\n" + P +
           "Extract unencrypted part failed - exit\n",
       255,
       {cut(ImageUnencrypt, 0x10000)},
       limited(0x10000)},
      {".TOC",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       "",
       P + "Write error when copying file mox.bin\n" + P +
           "Can't extract TOC from file mox.TOC - exit\n",
       255,
       {cut(MoxToc, 0x4000)},
       limited(0x4000)},
      {"partition file",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       P + "Extraction of partition 0 failed\n",
       "Write error when writing file mox.up.0\n",
       255,
       {MoxToc, cut(MoxUp0, 0xC000)},
       limited(0xC000)},
      {"pad file",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       P + "Extraction of partition 0-1 pad failed\n",
       "Write error when writing file mox.pad.0\n",
       255,
       {MoxToc, MoxUp0, cut(MoxPad0, 0x10000)},
       limited(0x10000)},
      {"pad file after a forced cut is no different",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-f", "-x"},
       P + "Extraction of partition 0-1 pad failed\n",
       "Write error when writing file mox.pad.0\n",
       255,
       {MoxToc, MoxUp0, cut(MoxPad0, 0x10000)},
       limited(0x10000)},
  };
  for (const Row &row : rows)
    check(row);
}

TEST_F(Faults, OutputsThatCannotBeCreated) {
  // A directory where an output file should go, and a name longer than the
  // file system takes: the open fails with the ordinary message, and the
  // files before it stay.
  const std::string stem(250, 'n'); // stem.TOC and stem.up.0 fit in 255 bytes, stem.pad.0 not
  const Row rows[] = {
      {"image.unencrypt is a directory",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-x"},
       "",
       P + "Can't open file image.unencrypt for writing\n",
       255,
       {},
       {},
       makeDirectory("image.unencrypt")},
      {"mox.TOC is a directory",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       "",
       P + "Can't open file mox.TOC for writing\n",
       255,
       {},
       {},
       makeDirectory("mox.TOC")},
      {"image.TOC is a directory, after the .unencrypt file",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-x"},
       "",
       P + "Can't open file image.TOC for writing\n",
       255,
       {ImageUnencrypt},
       {},
       makeDirectory("image.TOC")},
      {"a partition file is a directory",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       P + "Extraction of partition 0 failed\n",
       P + "Can't open file mox.up.0 for writing\n",
       255,
       {MoxToc},
       {},
       makeDirectory("mox.up.0")},
      {"a pad file is a directory",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-x"},
       P + "Extraction of partition 0-1 pad failed\n",
       P + "Can't open file mox.pad.0 for writing\n",
       255,
       {MoxToc, MoxUp0},
       {},
       makeDirectory("mox.pad.0")},
      {"a pad file name longer than 255 bytes",
       twoPartitions(true),
       stem + ".bin",
       {"-r", "-x"},
       P + "Extraction of partition 0-1 pad failed\n",
       P + "Can't open file " + stem + ".pad.0 for writing\n",
       255,
       {{stem + ".TOC", 0, 0x8000}, {stem + ".up.0", 0x8000, 0x10000}}},
  };
  for (const Row &row : rows)
    check(row);
}

TEST_F(Faults, InputIsADirectory) {
  // A directory opens for reading, but every read of it fails. (A disk image
  // in print mode is left out: whether a directory can be sought to 0x8000
  // depends on the file system.)
  struct DirRow {
    std::vector<std::string> options;
    std::string err;
    std::vector<std::string> files;
  };
  const DirRow rows[] = {
      {{"-r", "-p"}, P + "Can't read game TOC from file\n", {}},
      {{"-r", "-x"}, P + "Can't read game TOC from file\n", {}},
      {{"-r", "-p", "-x"}, P + "Can't read game TOC from file\n", {}},
      {{"-d", "-x"},
       P + "Read error on file disc.d\n" + P + "Extract unencrypted part failed - exit\n",
       {"disc.d.unencrypt"}},
  };
  for (const DirRow &row : rows) {
    const std::string dir = root + "/" + std::to_string(cases++);
    fs::create_directories(dir + "/disc.d");
    discimg::putAt(dir + "/disc.d/entry", 0, 0, Bytes(16, 1)); // a directory that is not empty
    std::vector<std::string> args = row.options;
    args.push_back("disc.d");
    runtool::RunOptions opt;
    opt.cwd = dir;
    const RunResult r = runtool::runTool(args, opt);
    const std::string what = row.options[0] + " " + row.options[1];
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, row.err) << what;
    EXPECT_EQ(r.status, 255) << what;
    std::set<std::string> have;
    for (const fs::directory_entry &e : fs::directory_iterator(dir))
      if (e.is_regular_file())
        have.insert(e.path().filename().string());
    EXPECT_EQ(have, std::set<std::string>(row.files.begin(), row.files.end())) << what;
    for (const std::string &f : row.files)
      EXPECT_EQ(discimg::fileSizeOf(dir + "/" + f), 0u) << what << ": " << f;
  }
}

TEST_F(Faults, InputEndingEarly) {
  // A disk image of 0x100000 bytes whose one partition declares 0x100000
  // bytes of data from disk address 0x70000: 0x78000 bytes are missing.
  DiscPlan shortDisc;
  shortDisc.partitions = {partition(0x50000, 0, 0x20000, 0x100000)};
  shortDisc.partitions[0].dataBytes = 0xF8000 - 0x70000;
  shortDisc.fileSize = 0x100000;
  const std::string shortage = P +
                               "File image.pwx does not contain enough data for partition 0.\n" +
                               P + "File needs 0x78000 (491520) more bytes.\n" + P +
                               "Data start: 0x70000; Length: 0x100000; netFileLength: 0xf8000\n";
  const OutFile toc{"image.TOC", 0x48000, 0x10000};

  // The input emptied under the pad copy: its output name is a symbolic link
  // to the input, so creating the pad file truncates the input. The copy meets
  // the input's end at once; its message has no line end.
  auto linkPadToInput = [](const std::string &dir) {
    ASSERT_EQ(::symlink("mox.bin", (dir + "/mox.pad.0").c_str()), 0);
  };

  const Row rows[] = {
      {"data past the end, cut with -f",
       shortDisc,
       "image.pwx",
       {"-d", "-f", "-x"},
       shortage,
       "",
       0,
       {ImageUnencrypt, toc, {"image.game.0", 0x58000, 0xA8000}}},
      {"data past the end, without -f",
       shortDisc,
       "image.pwx",
       {"-d", "-x"},
       shortage + P + "Extraction of partition 0 and beyond not done.\n",
       "",
       255,
       {ImageUnencrypt, toc}},
      {"input emptied under the pad copy",
       twoPartitions(true),
       "mox.bin",
       {"-r", "-f", "-x"},
       P + "Extraction of partition 0-1 pad failed\n",
       P + "EOF reached on input file before end of partiton",
       255,
       {MoxToc, MoxUp0},
       {},
       linkPadToInput,
       0},
  };
  for (const Row &row : rows)
    check(row);
}

// The report blocks of twoPartitions(): both partitions have no ticket
// limits, an empty title metadata and one certificate.
std::string partitionBlock(int index) {
  return "Partition " + std::to_string(index) +
         " details:\n"
         "\tUnencrypted partition\n"
         "\tPartition data area length: 32768 (0x8000) bytes\n"
         "\tTicket size: 676\n"
         "\tTicket issuer: \n"
         "\tTicket title id: 0x0\n"
         "\tTicket limits: NONE\n";
}
const std::string TmdLines = "\tTMD size: 484; offset from partition start: 0x2c0\n"
                             "\tTMD:\n"
                             "\t\tTitle Id : 0x0; Group ID: 0x0\n"
                             "\t\tTitle Type : 0x0 (NONE)\n"
                             "\t\tRequired system software version: 0x0 (0)\n"
                             "\t\tTitle version: 0x0\n"
                             "\t\tAccess rights: 0x0 (No access rights)\n"
                             "\t\tNumber of contents: 0\n";
const std::string CertLines = "\tCertificates:\n"
                              "\t\tBlob (List) size: 384\n"
                              "\t\tIssuer: Root; Certificate: CA01\n";
const std::string DiskHeader = "*** Disk Header ***\n"
                               "Game name:       RTST\n"
                               "Company:         01\n"
                               "Disk type:       Vandelmere\n"
                               "Long game name:  Test Disc\n"
                               "Hashing:         ON\n"
                               "Encryption:      ON\n"
                               "************\n";

std::string listing(bool moxBin, uint32_t count) {
  std::string text = "Number of partitions: " + std::to_string(count) +
                     "\n -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:" +
                     (moxBin ? "0x00000020" : "0x00048020") + "\n";
  if (count == 2)
    text += "Partition info structs:\n"
            "Partition 0: Type: 1 (Update); Disk address (byte): 0x48000\n"
            "Partition 1: Type: 0 (BootGame); Disk address (byte): 0x70000\n";
  return text;
}

TEST_F(Faults, ReportThatCannotBeWritten) {
  // Standard output on a full device: a lost report is a failure, said in one
  // line on standard error. A run that has no report to give is unaffected.
  runtool::RunOptions full;
  full.stdoutPath = "/dev/full";
  const std::string lost = P + "Can't write the report to standard output\n";
  const Row rows[] = {
      {"print, disk image",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-p"},
       "",
       lost,
       255,
       {},
       full},
      {"print, mox.bin", twoPartitions(true), "mox.bin", {"-r", "-p"}, "", lost, 255, {}, full},
      {"print and extract",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-p", "-x"},
       "",
       lost,
       255,
       {ImageToc, ImageUp0, ImagePad0, ImageGame1},
       full},
      {"extract only: nothing to report",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-x"},
       "",
       "",
       0,
       {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1},
       full},
      {"extract with -v: the progress lines are lost",
       twoPartitions(false),
       "image.pwx",
       {"-v", "-d", "-x"},
       "",
       lost,
       255,
       {ImageUnencrypt, ImageToc, ImageUp0, ImagePad0, ImageGame1},
       full},
  };
  for (const Row &row : rows)
    check(row);
}

TEST_F(Faults, HostileHeadersInASmallAddressSpace) {
  // Counts and sizes of 0xFFFFFFFF fail with the read messages under a
  // 256 MiB address space: nothing is allocated for what the input cannot
  // hold.
#if defined(DECOMP_UNDER_ASAN)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit a 256 MiB address space";
#endif
  runtool::RunOptions small;
  small.addressSpaceLimit = uint64_t{256} << 20;
  auto counted = [](bool moxBin) {
    DiscPlan d = twoPartitions(moxBin);
    d.numPartitions = 0xFFFFFFFF;
    return d;
  };
  DiscPlan sizes = twoPartitions(true);
  sizes.partitions[0].tmdSize = 0xFFFFFFFF;
  sizes.partitions[1].certSize = 0xFFFFFFFF;
  const std::string infos = P + "Can't read partition infos from file\n";
  const std::string sizesReport =
      listing(true, 2) + partitionBlock(0) + partitionBlock(1) + TmdLines;
  const std::string sizesErr =
      P + "Can't read TMD from file\n" + P + "Can't read certificates from file\n";
  const Row rows[] = {
      {"numPartitions, print",
       counted(false),
       "image.pwx",
       {"-d", "-p"},
       DiskHeader + listing(false, 0xFFFFFFFF),
       infos,
       255,
       {},
       small},
      {"numPartitions, extract", counted(true), "mox.bin", {"-r", "-x"}, "", infos, 255, {}, small},
      {"tmdSize and certSize, print",
       sizes,
       "mox.bin",
       {"-r", "-p"},
       sizesReport,
       sizesErr,
       255,
       {},
       small},
      {"tmdSize and certSize, print and extract",
       sizes,
       "mox.bin",
       {"-r", "-p", "-x"},
       sizesReport,
       sizesErr,
       255,
       {MoxToc, MoxUp0, MoxPad0, MoxGame1},
       small},
      {"a sound disc in the same space",
       twoPartitions(false),
       "image.pwx",
       {"-d", "-p", "-x"},
       DiskHeader + listing(false, 2) + partitionBlock(0) + TmdLines + CertLines +
           partitionBlock(1) + TmdLines + CertLines,
       "",
       0,
       {ImageToc, ImageUp0, ImagePad0, ImageGame1},
       small},
  };
  for (const Row &row : rows)
    check(row);
}

} // namespace
