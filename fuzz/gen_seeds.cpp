// SPDX-License-Identifier: MIT
// Writes the fuzzers' seed corpus: small well-formed and malformed discs laid
// out by the shared image builder (sample/disc_image.h), each cut into the records of
// fuzz_input.h (one record per structure, offsets relative to the partition
// as its header stores them) and saved once per mode and input kind.
//
// Usage: gen_seeds OUTPUT_DIRECTORY
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "disc_image.h"
#include "fuzz_input.h"

namespace {

using discimg::Bytes;
using discimg::concat;
using discimg::DiscPlan;
using discimg::PartitionPlan;
using fuzzinput::Encoder;

struct Seed {
  std::string name;
  DiscPlan disc;
  uint32_t fileSize = 0; // 0: just past the last byte placed, for either kind
};

Bytes withoutTrailingZeros(Bytes b) {
  while (!b.empty() && b.back() == 0)
    b.pop_back();
  return b;
}

// A partition with everything a report shows: limits, two content records, a
// chain of all three certificate kinds, an H3 table and a little data.
PartitionPlan fullPartition(uint64_t address, uint32_t type) {
  PartitionPlan p;
  p.address = address;
  p.type = type;
  p.issuer = "Root-CA00000001-XS00000003";
  p.ticketTitleId = 0x0001000052545354;
  p.limits[0] = {1, 3600};
  p.limits[3] = {4, 10};
  discimg::TmdPlan tmd;
  tmd.sysVersion = 0x100000038;
  tmd.titleId = 0x0001000052545354;
  tmd.titleType = 1;
  tmd.groupId = 0x3031;
  tmd.accessRights = 3;
  tmd.titleVersion = 2;
  tmd.contents = {{0x10, 0, 0x0001, 0x8000}, {0x11, 1, 0x8003, 0x100000000}};
  p.tmd = discimg::makeTmd(tmd);
  p.tmdOffset = 0x2C0 / 4;
  p.certs = concat({discimg::makeCert(0x10002, 0, "Root-CA00000001", "XS00000003"),
                    discimg::makeCert(0x10001, 2, "Root-CA00000001", "CP00000004"),
                    discimg::makeCert(0x10000, 0, "Root", "CA00000001")});
  p.certOffset = 0x500 / 4;
  p.h3Offset = 0x1000 / 4;
  p.dataOffset = 0x8000 / 4;
  p.dataSize = 0x8000 / 4;
  p.dataBytes = 0x40;
  return p;
}

std::vector<Seed> seeds() {
  std::vector<Seed> all;
  auto add = [&all](const std::string &name, DiscPlan disc, uint32_t fileSize = 0) {
    disc.patternFront = false; // keeps seeds small; those bytes are only copied
    all.push_back({name, std::move(disc), fileSize});
  };

  DiscPlan two;
  two.partitions = {fullPartition(0x50000, 1), fullPartition(0x70000, 0)};
  two.partitions[1].dataSize = 0; // derived from the end of the input
  add("two-partitions", two);
  // The same disc in an input of 2^63 - 1 bytes: the last partition's data
  // runs to the input's end, just past which no disk address fits in 63 bits.
  add("two-partitions-near-2-63", two, fuzzinput::HugeFileSize);

  DiscPlan texts = two;
  texts.vandelmereMagic = 0;
  texts.mirrodelMagic = 0x23339F3D;
  texts.longGameName = std::string(64, 'L');
  texts.gameName = std::string("R\0\x01T", 4);
  texts.hashingOff = 1;
  texts.encryptionOff = 0xFF;
  texts.partitions[0].issuer = std::string(64, 'I');
  texts.partitions[0].certs =
      discimg::makeCert(0x10002, 0, std::string(64, 'C'), std::string(0x180 - 0xC4, 'N'));
  texts.partitions[0].limits = {};
  texts.partitions[0].limits[7] = {9, 0xFFFFFFFF};
  add("texts-without-nul", texts);

  DiscPlan none;
  add("no-partitions", none);
  add("no-partitions-long", none, 0x60000);

  DiscPlan countAll = two;
  countAll.numPartitions = 0xFFFFFFFF;
  add("count-ffffffff", countAll);

  DiscPlan hostile = two;
  hostile.partitions[0].tmdSize = 0xFFFFFFFF;
  hostile.partitions[1].certSize = 0xFFFFFFFF;
  add("hostile-sizes", hostile);

  DiscPlan zeroSizes = two;
  zeroSizes.partitions[0].tmd.clear();
  zeroSizes.partitions[1].certs.clear();
  add("zero-sizes", zeroSizes);

  DiscPlan types = two;
  types.partitions[0].type = 3;
  types.partitions[1].type = 0xFFFFFFFF;
  add("types-out-of-range", types);

  DiscPlan certs = two;
  certs.partitions[0].certs =
      concat({discimg::makeCert(0x10001, 1, "Root", "A"), discimg::makeCert(0x10003, 0, "", "")});
  certs.partitions[1].certs =
      concat({discimg::makeCert(0x10002, 0, "Root", "B"), discimg::makeCert(0x10001, 0, "", "")});
  add("odd-certificates", certs);

  DiscPlan cutCerts = two;
  cutCerts.partitions[0].certSize = 0x180 + 0x100; // ends inside the second certificate
  cutCerts.partitions[1].certSize = 2;             // not even a sigType
  add("cut-certificates", cutCerts);

  DiscPlan shortTmd = two;
  shortTmd.partitions[0].tmdSize = 0x100;
  shortTmd.partitions[1].tmdSize = 0x1E4 + 36; // one record of the two
  add("short-tmd", shortTmd);

  DiscPlan backwards = two;
  backwards.partitions[0].address = 0x70000;
  backwards.partitions[0].dataSize = 0x1234;
  backwards.partitions[1].address = 0x60000;
  add("next-below-data", backwards);

  DiscPlan wrapped = two;
  wrapped.partitionInfoOffset = 0x40010008;
  add("wrapped-table-offset", wrapped);

  DiscPlan lowTable = two;
  lowTable.partitionInfoOffset = 0x8; // disk address 0x20: in front of a mox.bin file
  add("table-below-toc", lowTable);

  DiscPlan lowFirst = two;
  lowFirst.partitions[0].address = 0x30000;
  add("first-below-toc", lowFirst);

  DiscPlan atToc;
  atToc.partitions = {fullPartition(0x40000, 2)};
  atToc.partitions[0].dataSize = 0; // the table lies in the ticket's unread bytes
  add("first-at-toc", atToc);

  DiscPlan shortInput;
  shortInput.partitions = {fullPartition(0x50000, 2)};
  shortInput.partitions[0].dataOffset = 0x20000 / 4;
  shortInput.partitions[0].dataSize = 0x100000 / 4;
  add("data-past-end", shortInput, 0x100000);

  DiscPlan shortForced = two;
  shortForced.partitions[0].dataSize = 0x100000 / 4;
  shortForced.partitions.push_back(fullPartition(0x200000, 1));
  shortForced.partitions[2].writeHeader = false;
  add("pad-past-end", shortForced, 0x90000);

  DiscPlan cutHeader = two;
  add("cut-header", cutHeader, 0x70000 + 0x8000 + 0x100);

  DiscPlan high = two;
  high.partitions[1].dataOffset = 0xFFFFFFFF;
  high.partitions[1].h3Offset = 0xFFFFFFFF;
  high.partitions.push_back(fullPartition(0x3FFFFFFFC, 1));
  high.partitions[2].writeHeader = false;
  add("high-offsets", high);

  DiscPlan tiny;
  tiny.writeToc = false;
  tiny.writeTable = false;
  add("tiny", tiny, 0x8010);
  add("header-only", tiny, 0x8040);

  DiscPlan many;
  many.partitions = {fullPartition(0x50000, 0), fullPartition(0x58000, 1),
                     fullPartition(0x58000, 2), fullPartition(0x80000, 1),
                     fullPartition(0x90000, 0)};
  for (PartitionPlan &p : many.partitions) {
    p.dataOffset = 0x1000 / 4;
    p.dataSize = 0;
    p.h3Offset = 0;
  }
  many.partitions[3].dataSize = 0x8000 / 4;
  add("many-partitions", many);
  return all;
}

// Reads `length` bytes at a disk address of a disk image file.
Bytes readDisk(const std::string &path, uint64_t diskAddress, uint64_t length) {
  return discimg::readFileRange(path, diskAddress + 0x8000, length);
}

// The seed's records, whatever kind of input the flags then choose.
Encoder encode(const Seed &seed, const std::string &scratch, uint8_t flags) {
  DiscPlan disc = seed.disc;
  disc.moxBin = false;
  disc.fileSize = 0;
  discimg::writeDisc(scratch, disc);

  Encoder enc(flags, seed.fileSize);
  if (disc.writeDiskHeader)
    enc.absolute(0, withoutTrailingZeros(readDisk(scratch, 0, 0x62)));
  for (const PartitionPlan &p : disc.partitions) {
    if (!p.writeHeader)
      continue;
    enc.absolute(p.address,
                 withoutTrailingZeros(readDisk(scratch, p.address, discimg::kPartitionHeaderSize)));
    if (!p.tmd.empty())
      enc.relative(p.tmdOffset, withoutTrailingZeros(p.tmd));
    if (!p.certs.empty())
      enc.relative(p.certOffset, withoutTrailingZeros(p.certs));
    if (p.dataBytes != 0)
      enc.relative(p.dataOffset,
                   readDisk(scratch, p.address + 4 * uint64_t{p.dataOffset}, p.dataBytes));
  }
  // The table of contents and the partition table go last, so that a header
  // placed over them (a partition at the table of contents) does not hide them.
  if (disc.writeToc) {
    const Bytes toc = discimg::tocBytes(disc); // its two fields; the rest is zero
    enc.absolute(discimg::kTocAddress, Bytes(toc.begin(), toc.begin() + 8));
  }
  if (disc.writeTable && !disc.partitions.empty())
    enc.absolute(discimg::tableAddress(disc), discimg::tableBytes(disc));
  return enc;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "%s: cannot make %s: %s\n", argv[0], dir.c_str(), std::strerror(errno));
    return 1;
  }
  const std::string scratch = dir + "/.scratch.img";
  // print and extract (also forced, and both) on a disk image; print and
  // extract on a mox.bin file.
  const uint8_t flagSets[] = {
      fuzzinput::FlagPrint,
      fuzzinput::FlagExtract,
      fuzzinput::FlagExtract | fuzzinput::FlagForce,
      fuzzinput::FlagPrint | fuzzinput::FlagExtract,
      fuzzinput::FlagMoxBin | fuzzinput::FlagPrint,
      fuzzinput::FlagMoxBin | fuzzinput::FlagExtract | fuzzinput::FlagForce,
  };
  int written = 0;
  try {
    for (const Seed &seed : seeds()) {
      for (uint8_t flags : flagSets) {
        const Encoder enc = encode(seed, scratch, flags);
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "-%02x", flags);
        const std::string path = dir + "/" + seed.name + suffix;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(enc.bytes().data()),
                  static_cast<std::streamsize>(enc.bytes().size()));
        if (!out) {
          std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
          return 1;
        }
        ++written;
      }
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    ::unlink(scratch.c_str());
    return 1;
  }
  ::unlink(scratch.c_str());
  std::printf("%d seeds in %s\n", written, dir.c_str());
  return 0;
}
