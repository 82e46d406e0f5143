// SPDX-License-Identifier: MIT
// Print mode through the built binary: the disk header block, the partition
// listing and every partition's block (ticket, title metadata, certificate
// chain), compared byte for byte with what the report must say, on synthetic
// images that each test lays out itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool/decomp_disk.h"
#include "tool_test.h"

namespace {

using discimg::Bytes;
using discimg::concat;
using discimg::DiscPlan;
using discimg::makeCert;
using discimg::makeTmd;
using discimg::PartitionPlan;
using discimg::TmdContentPlan;
using discimg::TmdPlan;
using runtool::RunResult;

Bytes textBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

// ---------------------------------------------------------------------------
// The two-partition disc of the whole-report tests. Its expected reports are
// written out in data/report/.

DiscPlan twoPartitionDisc(bool moxBin) {
  DiscPlan disc;
  disc.moxBin = moxBin;
  disc.encryptionOff = 1;

  PartitionPlan update;
  update.address = 0x50000;
  update.type = 1;
  update.issuer = "Root-CA01-TK01";
  update.ticketTitleId = 0x0001000152544553;
  update.limits[2] = {1, 3600};
  update.limits[7] = {4, 10};
  update.h3Offset = 0x2000;   // 0x8000 bytes into the partition
  update.tmdOffset = 0xA00;   // 0x2800
  update.certOffset = 0xB00;  // 0x2C00
  update.dataOffset = 0x8000; // 0x20000
  update.dataSize = 0x2000;   // 0x8000 bytes
  update.dataBytes = 0x8000;
  update.tmd = makeTmd(
      TmdPlan{0x100000038,
              0x0001000152544554,
              1,
              0x3031,
              3,
              0x102,
              {{0x0, 0, 0x0001, 0x3E0}, {0x1, 1, 0x8003, 0x100000000}, {0x1A, 2, 0x4000, 0x8000}}});
  update.certs =
      concat({makeCert(0x10000, 0, "Root", "CA01"), makeCert(0x10001, 1, "Root-CA01", "TK01"),
              makeCert(0x10002, 0, "Root-CA01-TK01", "TM01")});

  PartitionPlan game;
  game.address = 0x100000;
  game.type = 0;
  game.issuer = "Root-CA02-TK02";
  game.ticketTitleId = 0x0001000052544541;
  game.limits[3] = {0, 99}; // an empty entry, whatever its value
  game.tmdOffset = 0x800;   // 0x2000
  game.certOffset = 0x900;  // 0x2400
  game.dataOffset = 0x5000; // 0x14000
  game.dataSize = 0x4000;   // 0x10000 bytes
  game.dataBytes = 0x10000;
  game.tmd = makeTmd(TmdPlan{
      0, 0x0001000052544541, 2, 0, 0, 0, {{0x10, 0, 0x2, 0x1C00}, {0x11, 1, 0x8002, 0x20}}});
  game.certs = concat(
      {makeCert(0x10001, 2, "Root-CA02", "TK02"), makeCert(0x10002, 0, "Root-CA02-TK02", "TM02")});

  disc.partitions = {update, game};
  return disc;
}

// ---------------------------------------------------------------------------
// One partition alone on a mox.bin disc, and the block that it prints. The
// small cases change one thing each and state the block sections they expect.

PartitionPlan plainPartition(uint64_t address = 0x50000) {
  PartitionPlan p;
  p.address = address;
  p.type = 2;
  p.issuer = "Root-CA01-TK01";
  p.ticketTitleId = 0x1;
  p.tmdOffset = 0xA00;  // 0x2800
  p.certOffset = 0xB00; // 0x2C00
  p.dataOffset = 0x8000;
  p.dataSize = 0x2000;
  p.tmd = makeTmd(TmdPlan{});
  p.certs = makeCert(0x10002, 0, "Root-CA01", "TM01");
  return p;
}

const std::string MoxListing = "Number of partitions: 1\n"
                               " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n"
                               "Partition info structs:\n"
                               "Partition 0: Type: 2 (Game); Disk address (byte): 0x50000\n"
                               "Partition 0 details:\n";

const std::string PlainH3 = "\tUnencrypted partition\n";
const std::string PlainLength = "\tPartition data area length: 32768 (0x8000) bytes\n";
const std::string PlainTicket = "\tTicket size: 676\n"
                                "\tTicket issuer: Root-CA01-TK01\n"
                                "\tTicket title id: 0x1\n"
                                "\tTicket limits: NONE\n";
const std::string PlainTmdFields = "\t\tTitle Id : 0x0; Group ID: 0x0\n"
                                   "\t\tTitle Type : 0x0 (NONE)\n"
                                   "\t\tRequired system software version: 0x0 (0)\n"
                                   "\t\tTitle version: 0x0\n"
                                   "\t\tAccess rights: 0x0 (No access rights)\n";
const std::string PlainTmd = "\tTMD size: 484; offset from partition start: 0x2800\n"
                             "\tTMD:\n" +
                             PlainTmdFields + "\t\tNumber of contents: 0\n";
const std::string PlainCerts = "\tCertificates:\n"
                               "\t\tBlob (List) size: 384\n"
                               "\t\tIssuer: Root-CA01; Certificate: TM01\n";

struct Block {
  std::string h3 = PlainH3;
  std::string length = PlainLength;
  std::string ticket = PlainTicket;
  std::string tmd = PlainTmd;
  std::string certs = PlainCerts;
  std::string text() const { return h3 + length + ticket + tmd + certs; }
};

struct Case {
  std::string name;
  std::function<void(PartitionPlan &)> change;
  Block want;
  std::string err = "";
  int status = 0;
};

std::string truncatedTmd(unsigned size) {
  return "decomp_disk: TMD of " + std::to_string(size) +
         " bytes is truncated; only what lies inside it is shown\n";
}

const std::string CantReadTmd = "decomp_disk: Can't read TMD from file\n";
const std::string CantReadCerts = "decomp_disk: Can't read certificates from file\n";
const std::string PrintingFailed = "Printing disk beginning failed - exit\n";

class Report : public ToolDirTest {
protected:
  // Each case: its partition alone on a mox.bin disc, printed whole.
  void checkCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      PartitionPlan p = plainPartition();
      c.change(p);
      DiscPlan disc;
      disc.moxBin = true;
      disc.partitions = {p};
      discimg::writeDisc(dir + "/mox.bin", disc);
      const RunResult r = run({"-r", "-p", "mox.bin"});
      expectText(r.out, MoxListing + c.want.text(), c.name, "standard output");
      expectText(r.err, c.err, c.name, "standard error");
      EXPECT_EQ(r.status, c.status) << c.name;
    }
  }
};

// ---------------------------------------------------------------------------
// Whole reports

TEST_F(Report, TwoPartitionDiskImage) {
  discimg::writeDisc(dir + "/image.pwx", twoPartitionDisc(false));
  const RunResult r = run({"-d", "-p", "image.pwx"});
  expectTextFile(r.out, "report/two_partitions_disk_image.txt");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Report, TwoPartitionMoxBinHasNoDiskHeaderBlock) {
  discimg::writeDisc(dir + "/mox.bin", twoPartitionDisc(true));
  const RunResult r = run({"-r", "-p", "mox.bin"});
  expectTextFile(r.out, "report/two_partitions_mox_bin.txt");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Report, PrintAndExtractPrintsFirstThenWritesWhatExtractAloneWrites) {
  const std::string alone = dir + "/alone";
  const std::string both = dir + "/both";
  std::filesystem::create_directory(alone);
  std::filesystem::create_directory(both);
  discimg::writeDisc(alone + "/image.pwx", twoPartitionDisc(false));
  discimg::writeDisc(both + "/image.pwx", twoPartitionDisc(false));

  const RunResult x = run({"-d", "-x", "image.pwx"}, alone);
  EXPECT_EQ(x.out, "");
  EXPECT_EQ(x.err, "");
  EXPECT_EQ(x.status, 0);
  const RunResult px = run({"-d", "-p", "-x", "image.pwx"}, both);
  expectTextFile(px.out, "report/two_partitions_disk_image.txt");
  EXPECT_EQ(px.err, "");
  EXPECT_EQ(px.status, 0);

  const std::set<std::string> written = {"image.pwx", "image.TOC", "image.up.0", "image.pad.0",
                                         "image.game.1"};
  std::set<std::string> withUnencrypt = written;
  withUnencrypt.insert("image.unencrypt");
  EXPECT_EQ(regularFilesIn(alone), withUnencrypt);
  EXPECT_EQ(regularFilesIn(both), written);
  for (const std::string &name : written)
    EXPECT_EQ(discimg::readFile(both + "/" + name), discimg::readFile(alone + "/" + name)) << name;

  // The pieces are the input's own bytes: TOC region, partition 0 up to its
  // data end, the gap up to partition 1, partition 1 up to its data end.
  const std::string input = both + "/image.pwx";
  EXPECT_TRUE(discimg::sameAsRange(both + "/image.TOC", input, 0x48000, 0x10000));
  EXPECT_TRUE(discimg::sameAsRange(both + "/image.up.0", input, 0x58000, 0x28000));
  EXPECT_TRUE(discimg::sameAsRange(both + "/image.pad.0", input, 0x80000, 0x88000));
  EXPECT_TRUE(discimg::sameAsRange(both + "/image.game.1", input, 0x108000, 0x24000));
}

// ---------------------------------------------------------------------------
// Disk header block

TEST_F(Report, DiskHeaderBlock) {
  struct Row {
    std::string name;
    std::function<void(DiscPlan &)> change;
    std::string header;
  };
  const std::string top = "*** Disk Header ***\n"
                          "Game name:       RTST\n"
                          "Company:         01\n";
  const std::string tail = "Long game name:  Test Disc\n"
                           "Hashing:         ON\n"
                           "Encryption:      ON\n"
                           "************\n";
  const std::string vandelmere = top + "Disk type:       Vandelmere\n" + tail;
  const std::string mirrodel = top + "Disk type:       Mirrodel\n" + tail;
  const std::string unknown = top + "Disk type:       Unknown\n" + tail;
  const std::string lines123 = top + "Disk type:       Vandelmere\n";
  const Row rows[] = {
      {"first magic only", [](DiscPlan &) {}, vandelmere},
      {"both magics", [](DiscPlan &d) { d.mirrodelMagic = 0x23339F3D; }, vandelmere},
      {"second magic only",
       [](DiscPlan &d) {
         d.vandelmereMagic = 0;
         d.mirrodelMagic = 0x23339F3D;
       },
       mirrodel},
      {"neither", [](DiscPlan &d) { d.vandelmereMagic = 0; }, unknown},
      {"byte-swapped magics",
       [](DiscPlan &d) {
         d.vandelmereMagic = 0xA39E1C5D;
         d.mirrodelMagic = 0x3D9F3323;
       },
       unknown},
      {"one byte off",
       [](DiscPlan &d) {
         d.vandelmereMagic = 0x5D1C9EA2;
         d.mirrodelMagic = 0x22339F3D;
       },
       unknown},
      {"magics in each other's field",
       [](DiscPlan &d) {
         d.vandelmereMagic = 0x23339F3D;
         d.mirrodelMagic = 0x5D1C9EA3;
       },
       unknown},
      {"raw code bytes",
       [](DiscPlan &d) {
         d.gameName = std::string("R\0\x01\xff", 4);
         d.company = std::string("\0Z", 2);
       },
       "*** Disk Header ***\nGame name:       " + std::string("R\0\x01\xff", 4) +
           "\nCompany:         " + std::string("\0Z", 2) + "\nDisk type:       Vandelmere\n" +
           tail},
      {"switches 0xFF and 0x01",
       [](DiscPlan &d) {
         d.hashingOff = 0xFF;
         d.encryptionOff = 0x01;
       },
       lines123 + "Long game name:  Test Disc\nHashing:         OFF\nEncryption:      OFF\n" +
           "************\n"},
      {"switches 0x01 and 0xFF",
       [](DiscPlan &d) {
         d.hashingOff = 0x01;
         d.encryptionOff = 0xFF;
       },
       lines123 + "Long game name:  Test Disc\nHashing:         OFF\nEncryption:      OFF\n" +
           "************\n"},
      {"empty long name", [](DiscPlan &d) { d.longGameName = ""; },
       lines123 + "Long game name:  \nHashing:         ON\nEncryption:      ON\n************\n"},
      {"long name of 63 bytes", [](DiscPlan &d) { d.longGameName = std::string(63, 'L'); },
       lines123 + "Long game name:  " + std::string(63, 'L') +
           "\nHashing:         ON\nEncryption:      ON\n************\n"},
      // No NUL in the field: the whole field and nothing of the byte after it.
      {"long name filling its field",
       [](DiscPlan &d) {
         d.longGameName = std::string(64, 'L');
         d.hashingOff = 'X';
         d.encryptionOff = 'Y';
       },
       lines123 + "Long game name:  " + std::string(64, 'L') +
           "\nHashing:         OFF\nEncryption:      OFF\n************\n"},
  };
  const std::string emptyListing =
      "Number of partitions: 0\n"
      " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00048020\n"
      "Partition info structs:\n";
  for (const Row &row : rows) {
    DiscPlan disc;
    disc.fileSize = 0x48040;
    row.change(disc);
    discimg::writeDisc(dir + "/image.pwx", disc);
    const RunResult r = run({"-d", "-p", "image.pwx"});
    EXPECT_EQ(r.out, row.header + emptyListing) << row.name;
    EXPECT_EQ(r.err, "") << row.name;
    EXPECT_EQ(r.status, 0) << row.name;
  }
}

TEST_F(Report, ShortDiskImages) {
  struct Row {
    uint64_t size;
    std::string out;
    std::string err;
  };
  const std::string lines1to4 = "*** Disk Header ***\n"
                                "Game name:       RTST\n"
                                "Company:         01\n"
                                "Disk type:       Vandelmere\n";
  const std::string noId = "decomp_disk: Can't read DVD Disk Id from file\n" + PrintingFailed;
  const std::string noInfo = "decomp_disk: Can't read DVD disk info from file\n" + PrintingFailed;
  const Row rows[] = {
      {0, "", noId},
      {0x7FFF, "", noId},
      {0x801F, "", noId},
      {0x8020, lines1to4, noInfo},
      {0x8061, lines1to4, noInfo},
      // The whole header is there; the run ends at the table of contents.
      {0x8062,
       lines1to4 + "Long game name:  Test Disc\nHashing:         ON\nEncryption:      ON\n" +
           "************\n",
       "decomp_disk: Can't read game TOC from file\n"},
  };
  for (const Row &row : rows) {
    discimg::writeDisc(dir + "/image.pwx", DiscPlan{});
    discimg::setFileSize(dir + "/image.pwx", row.size);
    const RunResult r = run({"-d", "-p", "image.pwx"});
    EXPECT_EQ(r.out, row.out) << std::hex << row.size;
    EXPECT_EQ(r.err, row.err) << std::hex << row.size;
    EXPECT_EQ(r.status, 255) << std::hex << row.size;
  }
}

TEST_F(Report, DiskAndMoxBinTogetherFailAtTheDiskHeader) {
  // The mox.bin start wins, so disk address 0 lies in front of the file.
  discimg::writeDisc(dir + "/image.pwx", twoPartitionDisc(false));
  const RunResult r = run({"-d", "-r", "-p", "image.pwx"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "decomp_disk: Seeking to partition offset failed\n" + PrintingFailed);
  EXPECT_EQ(r.status, 255);
}

// ---------------------------------------------------------------------------
// Listing

TEST_F(Report, NoPartitions) {
  DiscPlan disc;
  disc.moxBin = true;
  disc.numPartitions = 0;
  disc.partitions = {plainPartition()}; // a table entry that the count leaves out
  discimg::writeDisc(dir + "/mox.bin", disc);
  const RunResult r = run({"-r", "-p", "mox.bin"});
  EXPECT_EQ(r.out, "Number of partitions: 0\n"
                   " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n"
                   "Partition info structs:\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Report, TypesOutOfRangeAreListedAndDetailed) {
  DiscPlan disc;
  disc.moxBin = true;
  PartitionPlan first = plainPartition(0x50000);
  first.type = 3;
  PartitionPlan second = plainPartition(0x80000);
  second.type = 0xFFFFFFFF;
  disc.partitions = {first, second};
  discimg::writeDisc(dir + "/mox.bin", disc);
  const RunResult r = run({"-r", "-p", "mox.bin"});
  const std::string block = Block{}.text();
  EXPECT_EQ(r.out,
            "Number of partitions: 2\n"
            " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n"
            "Partition info structs:\n"
            "Partition 0: Type: 3 (ERROR: OUT OF RANGE); Disk address (byte): 0x50000\n"
            "Partition 1: Type: 4294967295 (ERROR: OUT OF RANGE); Disk address (byte): 0x80000\n"
            "Partition 0 details:\n" +
                block + "Partition 1 details:\n" + block);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// ---------------------------------------------------------------------------
// Partition block: H3 line and data area length

TEST_F(Report, H3LineShowsTheLow32BitsOfTheFileOffset) {
  struct Row {
    bool moxBin;
    uint64_t address;
    uint32_t h3Offset;
    std::string addressText; // as the listing shows it
    std::string h3;
  };
  const Row rows[] = {
      {false, 0x50000, 0x2000, "0x50000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x00002000, H3 start addr: 0x00060000, end addr: 0x00077fff\n"},
      {true, 0x50000, 0x2000, "0x50000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x00002000, H3 start addr: 0x00018000, end addr: 0x0002ffff\n"},
      // Above 4 GiB, in a sparse file.
      {false, 0x123450000, 0x2000, "0x123450000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x00002000, H3 start addr: 0x23460000, end addr: 0x23477fff\n"},
      {true, 0x140000000, 0x1, "0x140000000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x00000001, H3 start addr: 0x3ffc0004, end addr: 0x3ffd8003\n"},
      // The end wraps past 2^32.
      {false, 0xFFFE0000, 0x2000, "0xfffe0000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x00002000, H3 start addr: 0xffff0000, end addr: 0x00007fff\n"},
      // The start itself wraps: the offset counts modulo 2^32.
      {true, 0x50000, 0x40000000, "0x50000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0x40000000, H3 start addr: 0x00010000, end addr: 0x00027fff\n"},
      {true, 0x50000, 0xFFFFFFFF, "0x50000",
       "\tEncrypted partition\n"
       "\tH3 ofs: 0xffffffff, H3 start addr: 0x0000fffc, end addr: 0x00027ffb\n"},
      {true, 0x50000, 0, "0x50000", "\tUnencrypted partition\n"},
  };
  for (const Row &row : rows) {
    DiscPlan disc;
    disc.moxBin = row.moxBin;
    PartitionPlan p = plainPartition(row.address);
    p.h3Offset = row.h3Offset;
    disc.partitions = {p};
    const std::string path = dir + (row.moxBin ? "/mox.bin" : "/image.pwx");
    discimg::writeDisc(path, disc);
    const RunResult r = run({row.moxBin ? "-r" : "-d", "-p", path});
    const std::string listing = "Number of partitions: 1\n"
                                " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x" +
                                std::string(row.moxBin ? "00000020" : "00048020") +
                                "\nPartition info structs:\n"
                                "Partition 0: Type: 2 (Game); Disk address (byte): " +
                                row.addressText + "\nPartition 0 details:\n";
    Block want;
    want.h3 = row.h3;
    EXPECT_EQ(r.out, (row.moxBin ? "" : DefaultDiskHeader) + listing + want.text())
        << row.addressText;
    EXPECT_EQ(r.err, "") << row.addressText;
    EXPECT_EQ(r.status, 0) << row.addressText;
    std::filesystem::remove(path);
  }
}

TEST_F(Report, DataAreaLengthIsPrintedAsStored) {
  checkCases({
      {"4 GiB", [](PartitionPlan &p) { p.dataSize = 0x40000000; },
       Block{.length = "\tPartition data area length: 4294967296 (0x100000000) bytes\n"}},
      {"zero", [](PartitionPlan &p) { p.dataSize = 0; },
       Block{.length = "\tPartition data area length: 0 (0x0) bytes\n"}},
      {"not a multiple of 0x8000", [](PartitionPlan &p) { p.dataSize = 0x2001; },
       Block{.length = "\tPartition data area length: 32772 (0x8004) bytes\n"}},
      {"largest", [](PartitionPlan &p) { p.dataSize = 0xFFFFFFFF; },
       Block{.length = "\tPartition data area length: 17179869180 (0x3fffffffc) bytes\n"}},
  });
}

// ---------------------------------------------------------------------------
// Ticket

TEST_F(Report, TicketLines) {
  const std::string head = "\tTicket size: 676\n"
                           "\tTicket issuer: Root-CA01-TK01\n"
                           "\tTicket title id: 0x1\n";
  checkCases({
      {"empty entries with values",
       [](PartitionPlan &p) {
         p.limits[0] = {0, 5};
         p.limits[5] = {0, 0xFFFFFFFF};
       },
       Block{.ticket = head + "\tTicket limits: NONE\n"}},
      {"entries 2 and 7",
       [](PartitionPlan &p) {
         p.limits[2] = {2, 1700000000};
         p.limits[7] = {3, 5};
       },
       Block{.ticket = head + "\tTicket limits:\n"
                              "\t\tAbsolute time: 1700000000\n"
                              "\t\tNumber of titles: 5\n"}},
      {"unknown type 9, largest value",
       [](PartitionPlan &p) {
         p.limits[0] = {9, 0xFFFFFFFF};
       },
       Block{.ticket = head + "\tTicket limits:\n"
                              "\t\tUnknown limit: 4294967295\n"}},
      {"every kind in entry order",
       [](PartitionPlan &p) {
         p.limits = {{{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {0, 6}, {0xFFFFFFFF, 0}, {9, 8}}};
       },
       Block{.ticket = head + "\tTicket limits:\n"
                              "\t\tTime duration: 1\n"
                              "\t\tAbsolute time: 2\n"
                              "\t\tNumber of titles: 3\n"
                              "\t\tNumber of launches: 4\n"
                              "\t\tUnknown limit: 5\n"
                              "\t\tUnknown limit: 0\n"
                              "\t\tUnknown limit: 8\n"}},
      {"title id of 64 bits, empty issuer",
       [](PartitionPlan &p) {
         p.ticketTitleId = 0xFEDCBA9876543210;
         p.issuer = "";
       },
       Block{.ticket = "\tTicket size: 676\n"
                       "\tTicket issuer: \n"
                       "\tTicket title id: 0xfedcba9876543210\n"
                       "\tTicket limits: NONE\n"}},
      {"title id 0", [](PartitionPlan &p) { p.ticketTitleId = 0; },
       Block{.ticket = "\tTicket size: 676\n"
                       "\tTicket issuer: Root-CA01-TK01\n"
                       "\tTicket title id: 0x0\n"
                       "\tTicket limits: NONE\n"}},
  });
}

TEST_F(Report, TicketIssuerWithoutNulShowsItsWholeFieldOnly) {
  PartitionPlan p = plainPartition();
  p.issuer = std::string(64, 'T');
  DiscPlan disc;
  disc.moxBin = true;
  disc.partitions = {p};
  discimg::writeDisc(dir + "/mox.bin", disc);
  // The bytes right after the field are not text of the issuer.
  discimg::putAt(dir + "/mox.bin", discimg::kMoxBinStart, 0x50000 + 0x180, textBytes("JUNK"));
  const RunResult r = run({"-r", "-p", "mox.bin"});
  Block want;
  want.ticket = "\tTicket size: 676\n"
                "\tTicket issuer: " +
                std::string(64, 'T') +
                "\n"
                "\tTicket title id: 0x1\n"
                "\tTicket limits: NONE\n";
  EXPECT_EQ(r.out, MoxListing + want.text());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// ---------------------------------------------------------------------------
// Title metadata

TEST_F(Report, TitleMetadataFields) {
  checkCases({
      {"system version with a high word",
       [](PartitionPlan &p) {
         p.tmd = makeTmd(TmdPlan{.sysVersion = 0x200000005, .contents = {}});
       },
       Block{.tmd = "\tTMD size: 484; offset from partition start: 0x2800\n"
                    "\tTMD:\n"
                    "\t\tTitle Id : 0x0; Group ID: 0x0\n"
                    "\t\tTitle Type : 0x0 (NONE)\n"
                    "\t\tRequired system software version: 0x200000005 (5)\n"
                    "\t\tTitle version: 0x0\n"
                    "\t\tAccess rights: 0x0 (No access rights)\n"
                    "\t\tNumber of contents: 0\n"}},
      {"system version with a zero low word",
       [](PartitionPlan &p) {
         p.tmd = makeTmd(TmdPlan{.sysVersion = 0x500000000, .contents = {}});
       },
       Block{.tmd = "\tTMD size: 484; offset from partition start: 0x2800\n"
                    "\tTMD:\n"
                    "\t\tTitle Id : 0x0; Group ID: 0x0\n"
                    "\t\tTitle Type : 0x0 (NONE)\n"
                    "\t\tRequired system software version: 0x500000000 (0)\n"
                    "\t\tTitle version: 0x0\n"
                    "\t\tAccess rights: 0x0 (No access rights)\n"
                    "\t\tNumber of contents: 0\n"}},
      {"widest values",
       [](PartitionPlan &p) {
         p.tmd = makeTmd(TmdPlan{
             0xFFFFFFFFFFFFFFFF,
             0xFEDCBA9876543210,
             0,
             0xFFFF,
             0,
             0xFFFF,
             {{0xFFFFFFFF, 0xFFFF, 0, 0xFFFFFFFFFFFFFFFF}, {0x12345678, 1, 0, 0x100000000}}});
       },
       Block{.tmd = "\tTMD size: 556; offset from partition start: 0x2800\n"
                    "\tTMD:\n"
                    "\t\tTitle Id : 0xfedcba9876543210; Group ID: 0xffff\n"
                    "\t\tTitle Type : 0x0 (NONE)\n"
                    "\t\tRequired system software version: 0xffffffffffffffff (4294967295)\n"
                    "\t\tTitle version: 0xffff\n"
                    "\t\tAccess rights: 0x0 (No access rights)\n"
                    "\t\tNumber of contents: 2\n"
                    "\t\tContent #0:\n"
                    "\t\t\tId: 0xffffffff; Index: 0xffff; Type: 0x0 (NONE)\n"
                    "\t\t\tSize: 0xffffffffffffffff (18446744073709551615)\n"
                    "\t\tContent #1:\n"
                    "\t\t\tId: 0x12345678; Index: 0x1; Type: 0x0 (NONE)\n"
                    "\t\t\tSize: 0x100000000 (4294967296)\n"}},
      // The TMD line decodes the offset in 64 bits; the TMD lies 4 GiB in.
      {"TMD beyond 4 GiB", [](PartitionPlan &p) { p.tmdOffset = 0x40000000; },
       Block{.tmd = "\tTMD size: 484; offset from partition start: 0x100000000\n"
                    "\tTMD:\n" +
                    PlainTmdFields + "\t\tNumber of contents: 0\n"}},
      {"longer than its records",
       [](PartitionPlan &p) {
         p.tmd = makeTmd(TmdPlan{.contents = {{7, 0, 1, 9}}});
         p.tmd.resize(p.tmd.size() + 100, 0xEE);
       },
       Block{.tmd = "\tTMD size: 620; offset from partition start: 0x2800\n"
                    "\tTMD:\n" +
                    PlainTmdFields +
                    "\t\tNumber of contents: 1\n"
                    "\t\tContent #0:\n"
                    "\t\t\tId: 0x7; Index: 0x0; Type: 0x1 (KT_EXE )\n"
                    "\t\t\tSize: 0x9 (9)\n"}},
  });
}

TEST_F(Report, TitleTypeAndAccessRightsTexts) {
  struct Row {
    uint32_t titleType;
    uint32_t accessRights;
    std::string titleLine;
    std::string rightsLine;
  };
  const Row rows[] = {
      {0x1, 0x1, "Title Type : 0x1 (KT_TITLE )", "Access rights: 0x1 (ACR )"},
      {0x2, 0x2, "Title Type : 0x2 (YL_TITLE )", "Access rights: 0x2 (DVD )"},
      {0x3, 0x3, "Title Type : 0x3 (KT_TITLE YL_TITLE )", "Access rights: 0x3 (ACR DVD )"},
      {0x0, 0x4, "Title Type : 0x0 (NONE)", "Access rights: 0x4 (No access rights)"},
      {0x100, 0x5, "Title Type : 0x100 (NONE)", "Access rights: 0x5 (ACR )"},
      {0x80000002, 0x80000002, "Title Type : 0x80000002 (YL_TITLE )",
       "Access rights: 0x80000002 (DVD )"},
      {0xFFFFFFFF, 0xFFFFFFFC, "Title Type : 0xffffffff (KT_TITLE YL_TITLE )",
       "Access rights: 0xfffffffc (No access rights)"},
  };
  std::vector<Case> cases;
  for (const Row &row : rows) {
    cases.push_back({row.titleLine,
                     [row](PartitionPlan &p) {
                       p.tmd = makeTmd(TmdPlan{.titleType = row.titleType,
                                               .accessRights = row.accessRights,
                                               .contents = {}});
                     },
                     Block{.tmd = "\tTMD size: 484; offset from partition start: 0x2800\n"
                                  "\tTMD:\n"
                                  "\t\tTitle Id : 0x0; Group ID: 0x0\n"
                                  "\t\t" +
                                  row.titleLine +
                                  "\n"
                                  "\t\tRequired system software version: 0x0 (0)\n"
                                  "\t\tTitle version: 0x0\n"
                                  "\t\t" +
                                  row.rightsLine +
                                  "\n"
                                  "\t\tNumber of contents: 0\n"}});
  }
  checkCases(cases);
}

TEST_F(Report, ContentTypeTexts) {
  const uint16_t types[] = {0x8003, 0x8002, 0x0003, 0x4000, 0x0001, 0x8000,
                            0x0002, 0x8001, 0xFFFF, 0x0000, 0x7FFC};
  TmdPlan tmd;
  for (uint16_t i = 0; i < std::size(types); ++i)
    tmd.contents.push_back({0x100u + i, i, types[i], 0x10u * i});
  checkCases({{"eleven records", [&tmd](PartitionPlan &p) { p.tmd = makeTmd(tmd); },
               Block{.tmd = "\tTMD size: 880; offset from partition start: 0x2800\n"
                            "\tTMD:\n" +
                            PlainTmdFields +
                            "\t\tNumber of contents: 11\n"
                            "\t\tContent #0:\n"
                            "\t\t\tId: 0x100; Index: 0x0; Type: 0x8003 (KT_EXE SHARED DISC )\n"
                            "\t\t\tSize: 0x0 (0)\n"
                            "\t\tContent #1:\n"
                            "\t\t\tId: 0x101; Index: 0x1; Type: 0x8002 (SHARED DISC )\n"
                            "\t\t\tSize: 0x10 (16)\n"
                            "\t\tContent #2:\n"
                            "\t\t\tId: 0x102; Index: 0x2; Type: 0x3 (KT_EXE DISC )\n"
                            "\t\t\tSize: 0x20 (32)\n"
                            "\t\tContent #3:\n"
                            "\t\t\tId: 0x103; Index: 0x3; Type: 0x4000 (NONE)\n"
                            "\t\t\tSize: 0x30 (48)\n"
                            "\t\tContent #4:\n"
                            "\t\t\tId: 0x104; Index: 0x4; Type: 0x1 (KT_EXE )\n"
                            "\t\t\tSize: 0x40 (64)\n"
                            "\t\tContent #5:\n"
                            "\t\t\tId: 0x105; Index: 0x5; Type: 0x8000 (SHARED )\n"
                            "\t\t\tSize: 0x50 (80)\n"
                            "\t\tContent #6:\n"
                            "\t\t\tId: 0x106; Index: 0x6; Type: 0x2 (DISC )\n"
                            "\t\t\tSize: 0x60 (96)\n"
                            "\t\tContent #7:\n"
                            "\t\t\tId: 0x107; Index: 0x7; Type: 0x8001 (KT_EXE SHARED )\n"
                            "\t\t\tSize: 0x70 (112)\n"
                            "\t\tContent #8:\n"
                            "\t\t\tId: 0x108; Index: 0x8; Type: 0xffff (KT_EXE SHARED DISC )\n"
                            "\t\t\tSize: 0x80 (128)\n"
                            "\t\tContent #9:\n"
                            "\t\t\tId: 0x109; Index: 0x9; Type: 0x0 (NONE)\n"
                            "\t\t\tSize: 0x90 (144)\n"
                            "\t\tContent #10:\n"
                            "\t\t\tId: 0x10a; Index: 0xa; Type: 0x7ffc (NONE)\n"
                            "\t\t\tSize: 0xa0 (160)\n"}}});
}

TEST(FlagTexts, Tables) {
  const std::pair<uint32_t, const char *> titleTypes[] = {
      {0x0, "NONE"},
      {0x1, "KT_TITLE "},
      {0x2, "YL_TITLE "},
      {0x3, "KT_TITLE YL_TITLE "},
      {0x100, "NONE"},
      {0xFFFFFFFC, "NONE"},
      {0xFFFFFFFD, "KT_TITLE "},
      {0xFFFFFFFF, "KT_TITLE YL_TITLE "},
  };
  for (const auto &[value, text] : titleTypes)
    EXPECT_STREQ(titleTypeToStr(value), text) << std::hex << value;

  const std::pair<uint32_t, const char *> rights[] = {
      {0x0, "No access rights"}, {0x1, "ACR "}, {0x2, "DVD "},        {0x3, "ACR DVD "},
      {0x4, "No access rights"}, {0x5, "ACR "}, {0x80000002, "DVD "}, {0xFFFFFFFF, "ACR DVD "},
  };
  for (const auto &[value, text] : rights)
    EXPECT_STREQ(accessRightsToStr(value), text) << std::hex << value;

  const std::pair<uint16_t, const char *> contentTypes[] = {
      {0x0000, "NONE"},
      {0x0001, "KT_EXE "},
      {0x0002, "DISC "},
      {0x0003, "KT_EXE DISC "},
      {0x4000, "NONE"},
      {0x8000, "SHARED "},
      {0x8001, "KT_EXE SHARED "},
      {0x8002, "SHARED DISC "},
      {0x8003, "KT_EXE SHARED DISC "},
      {0x7FFC, "NONE"},
      {0xFFFF, "KT_EXE SHARED DISC "},
  };
  for (const auto &[value, text] : contentTypes)
    EXPECT_STREQ(contentTypeToStr(value), text) << std::hex << value;
}

TEST(LimitTexts, Table) {
  const std::pair<uint32_t, const char *> rows[] = {
      {0, "None"},
      {1, "Time duration"},
      {2, "Absolute time"},
      {3, "Number of titles"},
      {4, "Number of launches"},
      {5, "Unknown limit"},
      {9, "Unknown limit"},
      {0xFFFFFFFF, "Unknown limit"},
  };
  for (const auto &[value, text] : rows)
    EXPECT_STREQ(limitTypeToStr(value), text) << value;
}

// A title metadata buffer shorter than it says: the fixed lines only when the
// fixed fields (up to numContents) are inside it, then only whole records.
TEST_F(Report, TruncatedTitleMetadata) {
  const Bytes threeRecords =
      makeTmd(TmdPlan{.titleId = 0x10001,
                      .titleType = 1,
                      .contents = {{1, 0, 0x1, 0x100}, {2, 1, 0x2, 0x200}, {3, 2, 0x8000, 0x300}}});
  const std::string fields = "\t\tTitle Id : 0x10001; Group ID: 0x0\n"
                             "\t\tTitle Type : 0x1 (KT_TITLE )\n"
                             "\t\tRequired system software version: 0x0 (0)\n"
                             "\t\tTitle version: 0x0\n"
                             "\t\tAccess rights: 0x0 (No access rights)\n"
                             "\t\tNumber of contents: 3\n";
  const std::string record0 = "\t\tContent #0:\n"
                              "\t\t\tId: 0x1; Index: 0x0; Type: 0x1 (KT_EXE )\n"
                              "\t\t\tSize: 0x100 (256)\n";
  const std::string record1 = "\t\tContent #1:\n"
                              "\t\t\tId: 0x2; Index: 0x1; Type: 0x2 (DISC )\n"
                              "\t\t\tSize: 0x200 (512)\n";
  const std::string record2 = "\t\tContent #2:\n"
                              "\t\t\tId: 0x3; Index: 0x2; Type: 0x8000 (SHARED )\n"
                              "\t\t\tSize: 0x300 (768)\n";
  auto sized = [threeRecords](uint32_t size) {
    return [threeRecords, size](PartitionPlan &p) {
      p.tmd = threeRecords;
      p.tmdSize = size;
    };
  };
  auto sizeLine = [](unsigned size) {
    return "\tTMD size: " + std::to_string(size) + "; offset from partition start: 0x2800\n";
  };
  checkCases({
      {"whole", sized(592),
       Block{.tmd = sizeLine(592) + "\tTMD:\n" + fields + record0 + record1 + record2}},
      {"4 bytes", sized(4), Block{.tmd = sizeLine(4) + "\tTMD:\n"}, truncatedTmd(4), 255},
      {"one byte short of numContents", sized(0x1DF), Block{.tmd = sizeLine(479) + "\tTMD:\n"},
       truncatedTmd(479), 255},
      {"up to numContents", sized(0x1E0), Block{.tmd = sizeLine(480) + "\tTMD:\n" + fields},
       truncatedTmd(480), 255},
      {"one byte short of the records", sized(0x1E3),
       Block{.tmd = sizeLine(483) + "\tTMD:\n" + fields}, truncatedTmd(483), 255},
      {"one record", sized(0x1E4 + 36), Block{.tmd = sizeLine(520) + "\tTMD:\n" + fields + record0},
       truncatedTmd(520), 255},
      {"two records and a part", sized(0x1E4 + 2 * 36 + 35),
       Block{.tmd = sizeLine(591) + "\tTMD:\n" + fields + record0 + record1}, truncatedTmd(591),
       255},
      // Nothing announced lies outside: not truncated.
      {"no records, up to numContents",
       [](PartitionPlan &p) {
         p.tmd = makeTmd(TmdPlan{});
         p.tmdSize = 0x1E0;
       },
       Block{.tmd = sizeLine(480) + "\tTMD:\n" + PlainTmdFields + "\t\tNumber of contents: 0\n"}},
  });
}

TEST_F(Report, UnreadableTitleMetadataOrChain) {
  checkCases({
      {"TMD size 0",
       [](PartitionPlan &p) {
         p.tmd.clear();
         p.tmdSize = 0;
       },
       Block{.tmd = "", .certs = ""}, CantReadTmd, 255},
      {"TMD beyond the input",
       [](PartitionPlan &p) {
         p.tmd.clear();
         p.tmdSize = 0x1E4;
         p.tmdOffset = 0x100000;
       },
       Block{.tmd = "", .certs = ""}, CantReadTmd, 255},
      {"TMD running past the input", [](PartitionPlan &p) { p.tmdSize = 0x10000000; },
       Block{.tmd = "", .certs = ""}, CantReadTmd, 255},
      {"TMD size 0xFFFFFFFF", [](PartitionPlan &p) { p.tmdSize = 0xFFFFFFFF; },
       Block{.tmd = "", .certs = ""}, CantReadTmd, 255},
      {"chain size 0",
       [](PartitionPlan &p) {
         p.certs.clear();
         p.certSize = 0;
       },
       Block{.certs = ""}, CantReadCerts, 255},
      {"chain beyond the input",
       [](PartitionPlan &p) {
         p.certs.clear();
         p.certSize = 0x180;
         p.certOffset = 0x100000;
       },
       Block{.certs = ""}, CantReadCerts, 255},
      {"chain running past the input", [](PartitionPlan &p) { p.certSize = 0x10000000; },
       Block{.certs = ""}, CantReadCerts, 255},
      {"chain size 0xFFFFFFFF", [](PartitionPlan &p) { p.certSize = 0xFFFFFFFF; },
       Block{.certs = ""}, CantReadCerts, 255},
  });
}

// ---------------------------------------------------------------------------
// Certificate chain

TEST_F(Report, CertificateChains) {
  auto chain = [](Bytes certs, uint32_t size = 0) {
    return [certs, size](PartitionPlan &p) {
      p.certs = certs;
      p.certSize = size;
    };
  };
  auto certLines = [](unsigned size, const std::string &lines) {
    return "\tCertificates:\n\t\tBlob (List) size: " + std::to_string(size) + "\n" + lines;
  };
  const Bytes big = makeCert(0x10000, 0, "Root", "CA01");
  const Bytes key1 = makeCert(0x10001, 1, "Root-CA01", "TK01");
  const Bytes key2 = makeCert(0x10001, 2, "Root-CA02", "TK02");
  const Bytes small = makeCert(0x10002, 0, "Root-CA01-TK01", "TM01");
  const std::string bigLine = "\t\tIssuer: Root; Certificate: CA01\n";
  const std::string key1Line = "\t\tIssuer: Root-CA01; Certificate: TK01\n";
  const std::string key2Line = "\t\tIssuer: Root-CA02; Certificate: TK02\n";
  const std::string smallLine = "\t\tIssuer: Root-CA01-TK01; Certificate: TM01\n";
  const Bytes unknown = makeCert(0x10003, 0, "", "", 0x100);
  const Bytes keyType0 = makeCert(0x10001, 0, "", "", 0x300);
  const Bytes keyType3 = makeCert(0x10001, 3, "", "", 0x300);
  // Text bytes right after a field, so a name or issuer read past its end shows.
  const Bytes after = makeCert(0x41414141, 0, "", "", 0x10);

  Bytes smallNoNulIssuer = makeCert(0x10002, 0, std::string(64, 'I'), "CP1");
  discimg::putText(smallNoNulIssuer, 0xC0, 4, "JUNK");
  Bytes bigNoNulIssuer = makeCert(0x10000, 0, std::string(64, 'J'), "CA1");
  discimg::putText(bigNoNulIssuer, 0x280, 4, "JUNK");

  checkCases({
      {"one of 0x400", chain(big), Block{.certs = certLines(1024, bigLine)}},
      {"key type 1 then 0x10002", chain(concat({key1, small})),
       Block{.certs = certLines(1152, key1Line + smallLine)}},
      {"key type 2 then 0x10000", chain(concat({key2, big})),
       Block{.certs = certLines(1600, key2Line + bigLine)}},
      {"0x10002 then 0x10000", chain(concat({small, big})),
       Block{.certs = certLines(1408, smallLine + bigLine)}},
      {"all three kinds", chain(concat({big, key1, small, key2})),
       Block{.certs = certLines(2752, bigLine + key1Line + smallLine + key2Line)}},
      // An unrecognised certificate ends the walk; that is no failure.
      {"stops at 0x10003", chain(concat({small, unknown, small})),
       Block{.certs = certLines(1024, smallLine)}},
      {"key type 0", chain(keyType0), Block{.certs = certLines(768, "")}},
      {"key type 3 after one", chain(concat({big, keyType3})),
       Block{.certs = certLines(1792, bigLine)}},
      {"sigType 0", chain(Bytes(0x180, 0)), Block{.certs = certLines(384, "")}},
      // Certificates that would reach past the chain are not printed.
      {"length past the chain", chain(big, 0x3FF), Block{.certs = certLines(1023, "")}},
      {"second length past the chain", chain(concat({small, small}), 0x2FF),
       Block{.certs = certLines(767, smallLine)}},
      {"sigType past the chain", chain(concat({small, Bytes{0x00, 0x01, 0x00}})),
       Block{.certs = certLines(387, smallLine)}},
      {"keyType past the chain", chain(key1, 0x183), Block{.certs = certLines(387, "")}},
      {"keyType inside, length past", chain(key1, 0x184), Block{.certs = certLines(388, "")}},
      // Texts with no NUL: the issuer's 64 bytes, the name up to the end of
      // its certificate.
      {"0x10002 issuer without NUL", chain(smallNoNulIssuer),
       Block{.certs =
                 certLines(384, "\t\tIssuer: " + std::string(64, 'I') + "; Certificate: CP1\n")}},
      {"0x10000 issuer without NUL", chain(bigNoNulIssuer),
       Block{.certs =
                 certLines(1024, "\t\tIssuer: " + std::string(64, 'J') + "; Certificate: CA1\n")}},
      {"0x10002 name to the end",
       chain(concat({makeCert(0x10002, 0, "Root", std::string(0x180, 'N')), after})),
       Block{.certs = certLines(400, "\t\tIssuer: Root; Certificate: " + std::string(0xBC, 'N') +
                                         "\n")}},
      {"0x10000 name to the end",
       chain(concat({makeCert(0x10000, 0, "Root", std::string(0x400, 'M')), after})),
       Block{.certs = certLines(1040, "\t\tIssuer: Root; Certificate: " + std::string(0x17C, 'M') +
                                          "\n")}},
      {"0x10001 name to the end",
       chain(concat({makeCert(0x10001, 2, "Root", std::string(0x300, 'K')), after})),
       Block{.certs = certLines(592, "\t\tIssuer: Root; Certificate: " + std::string(0xBC, 'K') +
                                         "\n")}},
  });
}

TEST(PrintCerts, EmptyChainPrintsTheHeadingsOnly) {
  const uint8_t chain[4] = {0x00, 0x01, 0x00, 0x02};
  testing::internal::CaptureStdout();
  const bool walked = printCerts(chain, 0, "\t");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(walked);
  EXPECT_EQ(out, "\tCertificates:\n\t\tBlob (List) size: 0\n");
}

// ---------------------------------------------------------------------------
// A partition that cannot be printed whole does not stop the run; the run
// ends with status 255.

TEST_F(Report, FailedPartitionsDoNotStopTheRun) {
  struct Row {
    std::string name;
    std::function<void(PartitionPlan &)> change;
    std::string address;
    std::string block;
    std::string err;
    int status;
  };
  const std::string ticketEnd = PlainH3 + PlainLength + PlainTicket;
  const Row rows[] = {
      {"header beyond the input",
       [](PartitionPlan &p) {
         p.address = 0x1000000;
         p.writeHeader = false;
       },
       "0x1000000", "", "decomp_disk: Can't read partition from input file\n", 255},
      {"header in front of the file",
       [](PartitionPlan &p) {
         p.address = 0x20000;
         p.writeHeader = false;
       },
       "0x20000", "", "decomp_disk: Seeking to partition offset failed\n", 255},
      {"TMD unreadable",
       [](PartitionPlan &p) {
         p.tmd.clear();
         p.tmdSize = 0;
       },
       "0x50000", ticketEnd, CantReadTmd, 255},
      {"chain unreadable",
       [](PartitionPlan &p) {
         p.certs.clear();
         p.certSize = 0;
       },
       "0x50000", ticketEnd + PlainTmd, CantReadCerts, 255},
      {"TMD truncated", [](PartitionPlan &p) { p.tmdSize = 4; }, "0x50000",
       ticketEnd + "\tTMD size: 4; offset from partition start: 0x2800\n\tTMD:\n" + PlainCerts,
       truncatedTmd(4), 255},
      {"walk stopped early",
       [](PartitionPlan &p) {
         p.certs = concat({p.certs, makeCert(0x10003, 0, "", "", 0x40)});
       },
       "0x50000",
       ticketEnd + PlainTmd + "\tCertificates:\n\t\tBlob (List) size: 448\n" +
           "\t\tIssuer: Root-CA01; Certificate: TM01\n",
       "", 0},
  };
  for (const Row &row : rows) {
    PartitionPlan first = plainPartition(0x50000);
    row.change(first);
    DiscPlan disc;
    disc.moxBin = true;
    disc.partitions = {first, plainPartition(0x80000)};
    discimg::writeDisc(dir + "/mox.bin", disc);
    const RunResult r = run({"-r", "-p", "mox.bin"});
    EXPECT_EQ(r.out, "Number of partitions: 2\n"
                     " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n"
                     "Partition info structs:\n"
                     "Partition 0: Type: 2 (Game); Disk address (byte): " +
                         row.address +
                         "\n"
                         "Partition 1: Type: 2 (Game); Disk address (byte): 0x80000\n"
                         "Partition 0 details:\n" +
                         row.block + "Partition 1 details:\n" + Block{}.text())
        << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
    EXPECT_EQ(r.status, row.status) << row.name;
  }
}

} // namespace
