// SPDX-License-Identifier: MIT
// Writes sample disc images: a small, well-formed one, so the tool can be
// tried without owning a disc, and the large, sparse, dense and hostile ones
// that the benchmark needs.
//
//   make_disc_image [--size BYTES] [--mox] [MODE] OUTPUT
//
// The sample disc holds a disk header, a table of contents with two
// partitions (an update partition, type 1, and a game partition, type 0), a
// pad between them, and in each partition a ticket (the game's with limits,
// the update's without), title metadata with several content records and a
// certificate chain of all three kinds. Every data byte is written
// (patterned, mostly non-zero), so copying the image costs what copying real
// data costs. --size grows the game partition's data area until the file is
// about that size. The modes (usage() lists them) change which bytes are
// written, or write another disc for the benchmark's hard cases. Every image
// is the same byte for byte for the same options.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "disc_image.h"

namespace {

using discimg::Bytes;

const char *ProgName = "make_disc_image";

// The layout shared by both partitions, as offsets from the partition's start.
constexpr uint64_t kTmdOffset = 0x2C0;    // right after the 704-byte header
constexpr uint64_t kCertOffset = 0x540;   // after the longer of the two TMDs
constexpr uint64_t kH3Offset = 0x8000;    // the H3 table: 0x18000 bytes
constexpr uint64_t kDataOffset = 0x20000; // the data area, right after the H3 table

constexpr uint64_t kGranule = 0x8000; // a data size is valid only in whole granules

constexpr uint64_t kUpdateAddress = 0x50000;
constexpr uint64_t kUpdateDataSize = 0x100000;
constexpr uint64_t kPadSize = 0x10000;
constexpr uint64_t kGameAddress = kUpdateAddress + kDataOffset + kUpdateDataSize + kPadSize;
constexpr uint64_t kGameDataStart = kGameAddress + kDataOffset;
constexpr uint64_t kDefaultGameDataSize = 0x200000;
// The largest data size the stored field (size / 4, 32 bits) holds in whole
// granules.
constexpr uint64_t kMaxGameDataSize = (uint64_t{0xFFFFFFFF} * 4) / kGranule * kGranule;

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t GiB = uint64_t{1} << 30;

void usage(FILE *to) {
  std::fprintf(to,
               "Usage: %s [--size BYTES] [--mox] [MODE] OUTPUT\n"
               "Writes a sample disc image to OUTPUT; the same options give the same bytes.\n"
               "  --size BYTES   grow the game partition so that the file is about BYTES\n"
               "                 long (a number, optionally followed by K, M or G for\n"
               "                 KiB, MiB or GiB, e.g. 2G); default: a few MiB\n"
               "  --mox          write a mox.bin file (the disc from the table of contents\n"
               "                 on) instead of a disk image\n"
               "Modes (one at most; without one, every data byte is written and the file\n"
               "has holes only between a partition's records):\n"
               "  --sparse       leave both partitions' data areas holes\n"
               "  --dense        no hole anywhere: the pad, the gaps between records and\n"
               "                 all data are written with the pattern\n"
               "  --holes        write 1 MiB of the game data area in every 64 MiB and\n"
               "                 leave the rest holes (--size 4G: 64 MiB allocated)\n"
               "  --hostile [N]  a sparse image of --size bytes (default 1G) whose table\n"
               "                 has N entries (default 1), all naming one partition whose\n"
               "                 TMD and certificate chain each run from near its start to\n"
               "                 the end of the input\n"
               "  --long-table N a sparse image whose table has N entries, all naming one\n"
               "                 small valid partition after the table\n"
               "  --second-past-end\n"
               "                 with --long-table: entry 1 names a partition whose header\n"
               "                 lies past the end of the input\n",
               ProgName);
}

// Parses "2G", "512M", "3000000"; nothing else.
std::optional<uint64_t> parseSize(const std::string &text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return std::nullopt;
  }
  errno = 0;
  char *end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) {
    return std::nullopt;
  }
  const std::string_view suffix(end);
  unsigned shift = 0;
  if (suffix == "K" || suffix == "k") {
    shift = 10;
  } else if (suffix == "M" || suffix == "m") {
    shift = 20;
  } else if (suffix == "G" || suffix == "g") {
    shift = 30;
  } else if (!suffix.empty()) {
    return std::nullopt;
  }
  if (number > (UINT64_MAX >> shift)) {
    return std::nullopt;
  }
  return uint64_t{number} << shift;
}

// Parses a count of table entries: a plain decimal number from 1 to `most`.
std::optional<uint64_t> parseCount(const std::string &text, uint64_t most) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 12) {
    return std::nullopt;
  }
  const uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
  if (n == 0 || n > most) {
    return std::nullopt;
  }
  return n;
}

Bytes certificateChain(uint32_t middleKeyType, const std::string &leafName) {
  return discimg::concat({discimg::makeCert(0x10000, 0, "Sample", "Authority"),
                          discimg::makeCert(0x10001, middleKeyType, "Sample-Authority", "Tickets"),
                          discimg::makeCert(0x10002, 0, "Sample-Authority", leafName)});
}

// Fields common to both partitions; offsets are stored divided by 4.
discimg::PartitionPlan partitionAt(uint64_t address, uint32_t type) {
  discimg::PartitionPlan p;
  p.address = address;
  p.type = type;
  p.issuer = "Sample-Authority-Tickets";
  p.tmdOffset = static_cast<uint32_t>(kTmdOffset / 4);
  p.certOffset = static_cast<uint32_t>(kCertOffset / 4);
  p.dataOffset = static_cast<uint32_t>(kDataOffset / 4);
  return p;
}

// What the file holds besides the records; see usage().
enum class Mode { Full, Sparse, Dense, Holes, Hostile, LongTable };

discimg::DiscPlan samplePlan(bool moxBin, uint64_t gameDataSize, Mode mode) {
  discimg::DiscPlan disc;
  disc.moxBin = moxBin;
  disc.gameName = "SMPL";
  disc.company = "00";
  disc.longGameName = "Sample disc for decomp_disk";
  disc.partitionInfoOffset = 0x10008; // the table right behind the table of contents

  // The update partition: unencrypted (no H3 table), a ticket without limits.
  discimg::PartitionPlan update = partitionAt(kUpdateAddress, 1);
  update.ticketTitleId = 0x0000000200000001;
  discimg::TmdPlan updateTmd;
  updateTmd.sysVersion = 0x0000000100000010;
  updateTmd.titleId = 0x0000000200000001;
  updateTmd.titleType = 0x1;
  updateTmd.groupId = 0x3030;
  updateTmd.accessRights = 0x0;
  updateTmd.titleVersion = 0x3;
  updateTmd.contents = {{0x00000000, 0, 0x0001, 0x40000},
                        {0x00000001, 1, 0x0001, 0x80000},
                        {0x00000002, 2, 0x8001, 0x20000}};
  update.tmd = discimg::makeTmd(updateTmd);
  update.certs = certificateChain(1, "UpdateMetadata");
  update.dataSize = static_cast<uint32_t>(kUpdateDataSize / 4);
  update.dataBytes = mode == Mode::Sparse ? 0 : kUpdateDataSize;

  // The game partition: encrypted, a ticket with two limits, and a data area
  // that --size grows.
  discimg::PartitionPlan game = partitionAt(kGameAddress, 0);
  game.ticketTitleId = 0x00000001534D504C;
  game.limits[0] = {1, 3600}; // time duration
  game.limits[1] = {4, 10};   // number of launches
  game.h3Offset = static_cast<uint32_t>(kH3Offset / 4);
  discimg::TmdPlan gameTmd;
  gameTmd.sysVersion = 0x0000000100000024;
  gameTmd.titleId = 0x00000001534D504C;
  gameTmd.titleType = 0x1;
  gameTmd.groupId = 0x3030;
  gameTmd.accessRights = 0x3;
  gameTmd.titleVersion = 0x2;
  gameTmd.contents = {{0x00000000, 0, 0x0001, 0x100000},
                      {0x00000001, 1, 0x0003, 0x200000},
                      {0x00000002, 2, 0x8001, 0x8000},
                      {0x00000003, 3, 0x0002, gameDataSize}};
  game.tmd = discimg::makeTmd(gameTmd);
  game.certs = certificateChain(2, "GameMetadata");
  game.dataSize = static_cast<uint32_t>(gameDataSize / 4);
  // A sparse image still ends with the data area, but holds no data bytes
  // (--holes writes its pieces afterwards).
  const bool holes = mode == Mode::Sparse || mode == Mode::Holes;
  game.dataBytes = holes ? 0 : gameDataSize;
  if (holes)
    disc.fileSize =
        kGameDataStart + gameDataSize - static_cast<uint64_t>(discimg::fileStartOf(moxBin));
  disc.patternRest = mode == Mode::Dense;

  disc.partitions = {update, game};
  return disc;
}

// The game partition's data size that makes a file of about `fileSize` bytes:
// the file ends with that data area, which holds whole granules only.
std::optional<uint64_t> gameDataSizeFor(uint64_t fileSize, int64_t fileStartAddress) {
  const uint64_t dataStartInFile = kGameDataStart - static_cast<uint64_t>(fileStartAddress);
  if (fileSize < dataStartInFile + kGranule) {
    return std::nullopt;
  }
  const uint64_t size = (fileSize - dataStartInFile) / kGranule * kGranule;
  if (size > kMaxGameDataSize) {
    return std::nullopt;
  }
  return size;
}

constexpr uint64_t alignUp(uint64_t value, uint64_t granule) {
  return (value + granule - 1) / granule * granule;
}

// A disc whose table lists `entries` partitions. Only the table of contents
// and one partition come from the plan; the table is written by writeTable,
// in pieces, so that millions of entries cost no more memory than one piece.
struct TableDisc {
  discimg::DiscPlan plan;
  uint64_t entries = 0;
  uint64_t partition = 0; // the disk address that every entry names
  uint64_t pastEnd = 0;   // when not 0: what entry 1 names instead
};

// The first granule past the table, and past the usual first partition.
uint64_t partitionAfterTable(const discimg::DiscPlan &plan, uint64_t entries) {
  const uint64_t tableEnd = discimg::tableAddress(plan) + discimg::kTableEntrySize * entries;
  return std::max(kUpdateAddress, alignUp(tableEnd, kGranule));
}

// A sparse disc of `entries` table entries that name one partition after the
// table; the caller describes that partition.
TableDisc tableDisc(bool moxBin, uint64_t entries, const std::string &longName) {
  TableDisc d;
  d.entries = entries;
  d.plan.moxBin = moxBin;
  d.plan.gameName = "SMPL";
  d.plan.company = "00";
  d.plan.longGameName = longName;
  d.plan.patternFront = false;
  d.plan.writeTable = false;
  d.plan.numPartitions = static_cast<int64_t>(entries);
  d.partition = partitionAfterTable(d.plan, entries);
  return d;
}

// --hostile: a partition whose TMD and certificate chain sizes reach the end
// of the input, which holds little but holes.
TableDisc hostileDisc(bool moxBin, uint64_t fileSize, uint64_t entries) {
  TableDisc d = tableDisc(moxBin, entries, "Hostile sample disc for decomp_disk");
  d.plan.fileSize = fileSize;
  discimg::PartitionPlan p = partitionAt(d.partition, 0);
  p.tmdOffset = static_cast<uint32_t>(discimg::kPartitionHeaderSize / 4);
  p.certOffset = static_cast<uint32_t>((discimg::kPartitionHeaderSize + 0x40) / 4);
  p.dataOffset = static_cast<uint32_t>(kGranule / 4);
  p.dataSize = 0; // the data runs to the end of the input
  const uint64_t end = discimg::endOf(d.plan);
  auto toEnd = [end](uint64_t from) {
    return static_cast<uint32_t>(std::min<uint64_t>(end - from, UINT32_MAX));
  };
  p.tmdSize = toEnd(d.partition + 4 * uint64_t{p.tmdOffset});
  p.certSize = toEnd(d.partition + 4 * uint64_t{p.certOffset});
  d.plan.partitions = {p};
  return d;
}

// --long-table: every entry names one small, whole partition.
TableDisc longTableDisc(bool moxBin, uint64_t entries, bool secondPastEnd) {
  TableDisc d = tableDisc(moxBin, entries, "Long table sample disc for decomp_disk");
  discimg::PartitionPlan p = partitionAt(d.partition, 0);
  p.ticketTitleId = 0x00000001534D504C;
  discimg::TmdPlan tmd;
  tmd.titleId = 0x00000001534D504C;
  tmd.titleType = 0x1;
  tmd.contents = {{0x00000000, 0, 0x0001, kGranule}};
  p.tmd = discimg::makeTmd(tmd);
  p.certs = certificateChain(2, "GameMetadata");
  p.dataOffset = static_cast<uint32_t>(kGranule / 4);
  p.dataSize = static_cast<uint32_t>(kGranule / 4);
  p.dataBytes = kGranule;
  d.plan.partitions = {p};
  if (secondPastEnd)
    d.pastEnd = d.partition + 3 * kGranule; // a granule past the input's end
  return d;
}

// The table of a TableDisc, 1 MiB at a time.
void writeTable(const std::string &path, const TableDisc &d) {
  constexpr uint64_t perPiece = MiB / discimg::kTableEntrySize;
  const uint64_t table = discimg::tableAddress(d.plan);
  for (uint64_t first = 0; first < d.entries; first += perPiece) {
    const uint64_t count = std::min(perPiece, d.entries - first);
    Bytes piece(static_cast<size_t>(count * discimg::kTableEntrySize));
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t address = first + i == 1 && d.pastEnd != 0 ? d.pastEnd : d.partition;
      discimg::putBe32(piece, static_cast<size_t>(i * discimg::kTableEntrySize),
                       static_cast<uint32_t>(address / 4));
      discimg::putBe32(piece, static_cast<size_t>(i * discimg::kTableEntrySize + 4), 0);
    }
    discimg::putAt(path, discimg::fileStartOf(d.plan), table + first * discimg::kTableEntrySize,
                   piece);
  }
}

// --holes: 1 MiB of data at the start of every 64 MiB of the game data area.
void writeDataPieces(const std::string &path, bool moxBin, uint64_t gameDataSize) {
  for (uint64_t at = 0; at < gameDataSize; at += 64 * MiB) {
    const uint64_t length = std::min(MiB, gameDataSize - at);
    discimg::putAt(path, discimg::fileStartOf(moxBin), kGameDataStart + at,
                   discimg::patternBytes(kGameDataStart + at, static_cast<size_t>(length)));
  }
}

int fail(const std::string &message) {
  std::fprintf(stderr, "%s: %s\n", ProgName, message.c_str());
  usage(stderr);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  std::optional<uint64_t> requestedSize;
  bool moxBin = false;
  Mode mode = Mode::Full;
  int modes = 0;
  uint64_t entries = 1;
  bool secondPastEnd = false;
  std::string output;
  // The table may hold up to 2^28 entries (2 GiB), and must lie below the
  // partition it names, whose address the table stores divided by 4.
  constexpr uint64_t kMostEntries = uint64_t{1} << 28;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    }
    if (arg == "--mox") {
      moxBin = true;
    } else if (arg == "--sparse" || arg == "--dense" || arg == "--holes") {
      mode = arg == "--sparse" ? Mode::Sparse : arg == "--dense" ? Mode::Dense : Mode::Holes;
      ++modes;
    } else if (arg == "--hostile") {
      mode = Mode::Hostile;
      ++modes;
      // The count is optional: a plain number right after the option.
      if (i + 1 < argc && i + 2 < argc && parseCount(argv[i + 1], kMostEntries)) {
        entries = *parseCount(argv[++i], kMostEntries);
      }
    } else if (arg == "--long-table") {
      mode = Mode::LongTable;
      ++modes;
      if (i + 1 == argc) {
        return fail("--long-table needs a number of entries");
      }
      const std::optional<uint64_t> n = parseCount(argv[++i], kMostEntries);
      if (!n) {
        return fail(std::string("bad number of entries '") + argv[i] + "'");
      }
      entries = *n;
    } else if (arg == "--second-past-end") {
      secondPastEnd = true;
    } else if (arg == "--size" || arg.rfind("--size=", 0) == 0) {
      std::string value;
      if (arg == "--size") {
        if (i + 1 == argc) {
          return fail("--size needs a value");
        }
        value = argv[++i];
      } else {
        value = arg.substr(std::strlen("--size="));
      }
      requestedSize = parseSize(value);
      if (!requestedSize) {
        return fail("bad size '" + value + "'");
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option '" + arg + "'");
    } else if (output.empty()) {
      output = arg;
    } else {
      return fail("only one output file");
    }
  }
  if (output.empty()) {
    return fail("need an output file name");
  }
  if (modes > 1) {
    return fail("one mode at most");
  }
  if (secondPastEnd && mode != Mode::LongTable) {
    return fail("--second-past-end goes with --long-table");
  }
  if (secondPastEnd && entries < 2) {
    return fail("--second-past-end needs at least 2 entries");
  }
  if (requestedSize && mode == Mode::LongTable) {
    return fail("--size does not go with --long-table");
  }

  const int64_t fileStart = discimg::fileStartOf(moxBin);
  try {
    uint64_t written = 0;
    std::string holds;
    if (mode == Mode::Hostile || mode == Mode::LongTable) {
      TableDisc d;
      if (mode == Mode::Hostile) {
        const uint64_t size = requestedSize ? *requestedSize : GiB;
        const uint64_t least = static_cast<uint64_t>(
            static_cast<int64_t>(partitionAfterTable(discimg::DiscPlan{}, entries) + kGranule) -
            fileStart);
        if (size < least) {
          return fail("size " + std::to_string(size) + " out of range: at least " +
                      std::to_string(least) + " bytes for " + std::to_string(entries) + " entries");
        }
        d = hostileDisc(moxBin, size, entries);
      } else {
        d = longTableDisc(moxBin, entries, secondPastEnd);
      }
      discimg::writeDisc(output, d.plan);
      writeTable(output, d);
      written = discimg::fileSizeOf(output);
      holds = std::to_string(entries) + (entries == 1 ? " table entry" : " table entries");
    } else {
      uint64_t gameDataSize = kDefaultGameDataSize;
      if (requestedSize) {
        const std::optional<uint64_t> fitted = gameDataSizeFor(*requestedSize, fileStart);
        if (!fitted) {
          std::fprintf(stderr,
                       "%s: size %" PRIu64 " out of range: at least %" PRIu64
                       " and at most %" PRIu64 " bytes\n",
                       ProgName, *requestedSize,
                       kGameDataStart - static_cast<uint64_t>(fileStart) + kGranule,
                       kGameDataStart - static_cast<uint64_t>(fileStart) + kMaxGameDataSize);
          return 1;
        }
        gameDataSize = *fitted;
      }
      written = discimg::writeDisc(output, samplePlan(moxBin, gameDataSize, mode));
      // The gap between the partitions gets patterned bytes too, so the pad
      // file is not empty-looking zeros.
      const uint64_t padStart = kGameAddress - kPadSize;
      discimg::putAt(output, fileStart, padStart, discimg::patternBytes(padStart, kPadSize));
      if (mode == Mode::Holes) {
        writeDataPieces(output, moxBin, gameDataSize);
      }
      holds = "2 partitions";
    }
    std::printf("%s: wrote %s, a %s of %" PRIu64 " bytes with %s\n", ProgName, output.c_str(),
                moxBin ? "mox.bin file" : "disk image", written, holds.c_str());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", ProgName, e.what());
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: can't write to standard output\n", ProgName);
    return 1;
  }
  return 0;
}
