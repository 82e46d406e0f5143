// Writes a small, well-formed sample disc image, so the tool can be tried
// without owning a disc, and so the benchmark can make large ones:
//
//   make_disc_image [--size BYTES] [--sparse] [--mox] OUTPUT
//
// The image holds a disk header, a table of contents with two partitions (an
// update partition, type 1, and a game partition, type 0), a pad between them,
// and in each partition a ticket (the game's with limits, the update's
// without), title metadata with several content records and a certificate
// chain of all three kinds. Every data byte is written (patterned, mostly
// non-zero), so copying the image costs what copying real data costs.
// --size grows the game partition's data area until the file is about that
// size; --sparse leaves the game partition's data area a hole (for print-mode
// timing on huge images); --mox writes the same disc as a mox.bin file.
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

void usage(FILE *to) {
  std::fprintf(to,
               "Usage: %s [--size BYTES] [--sparse] [--mox] OUTPUT\n"
               "Writes a sample disc image to OUTPUT.\n"
               "  --size BYTES  grow the game partition so that the file is about BYTES\n"
               "                long (a number, optionally followed by K, M or G for\n"
               "                KiB, MiB or GiB, e.g. 2G); default: a few MiB\n"
               "  --sparse      leave the game partition's data area a hole\n"
               "  --mox         write a mox.bin file (the disc from the table of contents\n"
               "                on) instead of a disk image\n",
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

Bytes certificateChain(uint32_t middleKeyType, const std::string &leafName) {
  Bytes chain = discimg::makeCert(0x10000, 0, "Sample", "Authority");
  const Bytes middle = discimg::makeCert(0x10001, middleKeyType, "Sample-Authority", "Tickets");
  const Bytes leaf = discimg::makeCert(0x10002, 0, "Sample-Authority", leafName);
  chain.insert(chain.end(), middle.begin(), middle.end());
  chain.insert(chain.end(), leaf.begin(), leaf.end());
  return chain;
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

discimg::DiscPlan samplePlan(bool moxBin, uint64_t gameDataSize, bool sparse) {
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
  update.dataBytes = kUpdateDataSize;

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
  // A sparse image still ends with the data area, but holds no data bytes.
  game.dataBytes = sparse ? 0 : gameDataSize;
  if (sparse)
    disc.fileSize =
        kGameDataStart + gameDataSize -
        static_cast<uint64_t>(disc.moxBin ? discimg::kMoxBinStart : discimg::kDiskImageStart);

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

} // namespace

int main(int argc, char **argv) {
  std::optional<uint64_t> requestedSize;
  bool moxBin = false;
  bool sparse = false;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    }
    if (arg == "--mox") {
      moxBin = true;
    } else if (arg == "--sparse") {
      sparse = true;
    } else if (arg == "--size" || arg.rfind("--size=", 0) == 0) {
      std::string value;
      if (arg == "--size") {
        if (i + 1 == argc) {
          std::fprintf(stderr, "%s: --size needs a value\n", ProgName);
          usage(stderr);
          return 1;
        }
        value = argv[++i];
      } else {
        value = arg.substr(std::strlen("--size="));
      }
      requestedSize = parseSize(value);
      if (!requestedSize) {
        std::fprintf(stderr, "%s: bad size '%s'\n", ProgName, value.c_str());
        usage(stderr);
        return 1;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "%s: unknown option '%s'\n", ProgName, arg.c_str());
      usage(stderr);
      return 1;
    } else if (output.empty()) {
      output = arg;
    } else {
      std::fprintf(stderr, "%s: only one output file\n", ProgName);
      usage(stderr);
      return 1;
    }
  }
  if (output.empty()) {
    std::fprintf(stderr, "%s: need an output file name\n", ProgName);
    usage(stderr);
    return 1;
  }

  const int64_t fileStart = moxBin ? discimg::kMoxBinStart : discimg::kDiskImageStart;
  uint64_t gameDataSize = kDefaultGameDataSize;
  if (requestedSize) {
    const std::optional<uint64_t> fitted = gameDataSizeFor(*requestedSize, fileStart);
    if (!fitted) {
      std::fprintf(
          stderr,
          "%s: size %" PRIu64 " out of range: at least %" PRIu64 " and at most %" PRIu64 " bytes\n",
          ProgName, *requestedSize, kGameDataStart - static_cast<uint64_t>(fileStart) + kGranule,
          kGameDataStart - static_cast<uint64_t>(fileStart) + kMaxGameDataSize);
      return 1;
    }
    gameDataSize = *fitted;
  }

  try {
    const uint64_t written = discimg::writeDisc(output, samplePlan(moxBin, gameDataSize, sparse));
    // The gap between the partitions gets patterned bytes too, so the pad file
    // is not empty-looking zeros.
    Bytes pad(kPadSize);
    const uint64_t padStart = kGameAddress - kPadSize;
    for (uint64_t i = 0; i < kPadSize; ++i) {
      pad[i] = discimg::patternByte(padStart + i);
    }
    discimg::putAt(output, fileStart, padStart, pad);
    std::printf("%s: wrote %s, a %s of %" PRIu64 " bytes with 2 partitions\n", ProgName,
                output.c_str(), moxBin ? "mox.bin file" : "disk image", written);
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
