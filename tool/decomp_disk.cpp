#include "decomp_disk.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <unistd.h>
#include <vector>

#include "../format/disk_format.h"
#include "../util/disk_common.h"
#include "../util/tool_common.h"
#include "decomp_common.h"

bool Verbose = false;
const char *const VersionText = "0.10";

namespace {

// The letters getopt is handed, unchanged.
const char *const options = "dfhprvx";

// The option list of the usage text, printed as one block.
const char OptionList[] = " Options:\n"
                          " -d, --disk            - input is disk image file\n"
                          " -h, --help            - print usage message\n"
                          " -p, --print           - print file meta data\n"
                          " -r, --mox_bin         - input is an mox.bin file\n"
                          " -v, --verbose         - print out messages\n"
                          " -x, --extract         - extract partitions\n"
                          "\n";
static_assert(sizeof OptionList - 1 == 290);

// File offset of the game table of contents in a disk image; also the length
// of the .unencrypt copy, which holds everything in front of it.
constexpr int64_t DiskImageTocFileOffset = 0x48000;

} // namespace

// The file-name component of each partition type with a row.
const char *const partitionTypeToExt[] = {"game", "up", "game"};

// ---------------------------------------------------------------------------
// Command line

void usage() {
  std::fprintf(stderr, "%s version %s %s\n", ProgName, VersionText, __DATE__);
  std::fprintf(stderr, "Usage: %s [options] input_file_name\n", ProgName);
  std::fwrite(OptionList, 1, sizeof OptionList - 1, stderr);
}

// Prints a command-line error with the usage text and ends the process.
[[noreturn]] static void failCommandLine(const char *message) {
  std::fprintf(stderr, message, ProgName);
  usage();
  std::exit(1);
}

void processOptions(int argc, char **argv, DecompOptions *opts) {
  if (argc > 0 && argv[0] != nullptr)
    ProgName = argv[0];
  *opts = DecompOptions{nullptr, false, false, false, false, false};

  int letter;
  while ((letter = getopt(argc, argv, options)) != -1) {
    switch (letter) {
    case 'd':
      opts->diskImage = true;
      break;
    case 'f':
      opts->force = true;
      break;
    case 'h':
      usage();
      std::exit(0);
    case 'p':
      opts->print = true;
      break;
    case 'r':
      opts->moxBin = true;
      break;
    case 'v':
      Verbose = true;
      break;
    case 'x':
      opts->extract = true;
      break;
    default:
      std::fprintf(stderr, "Unknown option '%c' - exit\n", letter);
      usage();
      std::exit(1);
    }
  }

  if (optind >= argc)
    failCommandLine("%s: Need input file name\n");
  opts->inputFileName = argv[optind];
  if (!opts->moxBin && !opts->diskImage)
    failCommandLine("%s: Must specify type of input\n");
  if (!opts->print && !opts->extract)
    failCommandLine("%s: Must specify either -p or -x\n");
}

void determineBaseName(const char *inputFileName, std::string &baseName) {
  baseName = inputFileName;
  const size_t dot = baseName.rfind('.');
  if (dot == std::string::npos)
    return;
  const char *extension = baseName.c_str() + dot;
  if (std::strcmp(extension, ".bin") == 0 || std::strcmp(extension, ".obk") == 0 ||
      std::strcmp(extension, ".pwx") == 0)
    baseName.resize(dot);
}

// ---------------------------------------------------------------------------
// Driver

// Writes the .unencrypt file: every byte of a disk image in front of the game
// table of contents. False after a message.
static bool writeUnencryptedPart(const DecompOptions &opts, const std::string &baseName) {
  const std::string name = baseName + ".unencrypt";
  FilePtr out = openFile(name, "wb");
  if (!out) {
    std::fprintf(stderr, "%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return false;
  }
  if (!copyPartialBinFileToOutFile(out.get(), opts.inputFileName, 0, DiskImageTocFileOffset)) {
    std::fprintf(stderr, "%s: Extract unencrypted part failed - exit\n", ProgName);
    return false;
  }
  if (closeFile(out) != 0) {
    std::fprintf(stderr, "%s: Can't close file %s\n", ProgName, name.c_str());
    return false;
  }
  return true;
}

// The run after the input is open: 0 when everything asked for was done,
// -1 otherwise.
static int runOnInput(const DecompOptions &opts, FILE *input) {
  const int64_t fileStartAddress = opts.moxBin ? MoxBinFileStartAddress : DiskImageFileStartAddress;
  std::string baseName;
  if (opts.extract)
    determineBaseName(opts.inputFileName, baseName);

  if (opts.diskImage && opts.print && !dumpDiskBeginning(&opts, input, fileStartAddress)) {
    std::fputs("Printing disk beginning failed - exit\n", stderr);
    return -1;
  }
  if (!opts.moxBin) {
    if (!opts.print && !writeUnencryptedPart(opts, baseName))
      return -1;
    if (fseeko(input, DiskImageTocFileOffset, SEEK_SET) != 0) {
      std::fprintf(stderr, "%s: Seeking to partition offset failed\n", ProgName);
      return -1;
    }
  }
  return decomposeSecurityRegion(&opts, input, fileStartAddress, baseName) ? 0 : -1;
}

int decompDiskMain(int argc, char **argv) {
  if (argc > 0 && argv[0] != nullptr)
    ProgName = argv[0];
  DecompOptions opts;
  processOptions(argc, argv, &opts);
  if (Verbose)
    std::printf("%s version %s %s\n", ProgName, VersionText, __DATE__);

  FilePtr input = openFile(opts.inputFileName, "rb");
  if (!input) {
    std::fprintf(stderr, "%s: Can't open file %s for reading - exit\n", ProgName,
                 opts.inputFileName);
    return 1;
  }
  int status = runOnInput(opts, input.get());
  input.reset();

  // A report that never reached its reader is a failure, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: Can't write the report to standard output\n", ProgName);
    status = -1;
  }
  return status;
}

// ---------------------------------------------------------------------------
// Disk header report

// Seeks `input` to a disk address; false after the seek message.
static bool seekToDiskAddress(FILE *input, uint64_t diskAddress, int64_t fileStartAddress) {
  if (fseeko(input, diskAddressToFileOffset(diskAddress, fileStartAddress), SEEK_SET) != 0) {
    std::fprintf(stderr, "%s: Seeking to partition offset failed\n", ProgName);
    return false;
  }
  return true;
}

// The length of a text field that may lack its NUL: never past `width`.
static int fieldTextLength(const char *text, size_t width) {
  return static_cast<int>(strnlen(text, width));
}

bool dumpDiskBeginning(const DecompOptions *, FILE *input, int64_t fileStartAddress) {
  if (!seekToDiskAddress(input, DiskIdAddress, fileStartAddress))
    return false;
  DiskId id;
  if (std::fread(&id, sizeof id, 1, input) != 1) {
    std::fprintf(stderr, "%s: Can't read DVD Disk Id from file\n", ProgName);
    return false;
  }
  std::printf("*** Disk Header ***\n");
  std::printf("Game name:       ");
  for (uint8_t c : id.gameName)
    std::putchar(c);
  std::printf("\nCompany:         ");
  for (uint8_t c : id.company)
    std::putchar(c);
  std::printf("\nDisk type:       ");
  if (static_cast<uint32_t>(id.vandelmereMagic) == VandelmereMagic)
    std::printf("Vandelmere\n");
  else if (static_cast<uint32_t>(id.mirrodelMagic) == MirrodelMagic)
    std::printf("Mirrodel\n");
  else
    std::printf("Unknown\n");

  if (!seekToDiskAddress(input, DiskInfoAddress, fileStartAddress))
    return false;
  DiskInfo info;
  if (std::fread(&info, sizeof info, 1, input) != 1) {
    std::fprintf(stderr, "%s: Can't read DVD disk info from file\n", ProgName);
    return false;
  }
  std::printf("Long game name:  %.*s\n",
              fieldTextLength(info.longGameName, sizeof info.longGameName), info.longGameName);
  std::printf("Hashing:         %s\n", info.hashingOff ? "OFF" : "ON");
  std::printf("Encryption:      %s\n", info.encryptionOff ? "OFF" : "ON");
  std::printf("************\n");
  return true;
}

// ---------------------------------------------------------------------------
// Partition report and ticket

const char *limitTypeToStr(uint32_t limitType) {
  static const char *const names[] = {"None", "Time duration", "Absolute time", "Number of titles",
                                      "Number of launches"};
  return limitType < std::size(names) ? names[limitType] : "Unknown limit";
}

void printEticket(const Eticket &ticket, const char *indent) {
  std::printf("%sTicket size: %u\n", indent, static_cast<unsigned>(sizeof(Eticket)));
  std::printf("%sTicket issuer: %.*s\n", indent,
              fieldTextLength(ticket.issuer, sizeof ticket.issuer), ticket.issuer);
  std::printf("%sTicket title id: 0x%" PRIx64 "\n", indent, static_cast<uint64_t>(ticket.titleId));
  bool anyLimit = false;
  for (const TicketLimit &limit : ticket.limits) {
    const uint32_t type = static_cast<uint32_t>(limit.limitType);
    if (type == 0)
      continue;
    if (!anyLimit)
      std::printf("%sTicket limits:\n", indent);
    anyLimit = true;
    std::printf("%s\t%s: %u\n", indent, limitTypeToStr(type),
                static_cast<uint32_t>(limit.limitValue));
  }
  if (!anyLimit)
    std::printf("%sTicket limits: NONE\n", indent);
}

bool printPartition(FILE *input, uint64_t partitionAddress, int64_t fileStartAddress,
                    const char *indent) {
  const int64_t fileOffset = diskAddressToFileOffset(partitionAddress, fileStartAddress);
  if (!seekToDiskAddress(input, partitionAddress, fileStartAddress))
    return false;
  PartitionHeader header;
  if (std::fread(&header, sizeof header, 1, input) != 1) {
    std::fprintf(stderr, "%s: Can't read partition from input file\n", ProgName);
    return false;
  }

  const uint32_t h3Stored = static_cast<uint32_t>(header.h3Offset.stored);
  if (h3Stored != 0) {
    // The low 32 bits of the H3 table's file offset, as the report has always
    // shown it.
    const uint32_t start = static_cast<uint32_t>(fileOffset) + (h3Stored << 2);
    std::printf("%sEncrypted partition\n", indent);
    std::printf("%sH3 ofs: 0x%08x, H3 start addr: 0x%08x, end addr: 0x%08x\n", indent, h3Stored,
                start, static_cast<uint32_t>(start + H3TableSize - 1));
  } else {
    std::printf("%sUnencrypted partition\n", indent);
  }
  const uint64_t dataLength = decodeShiftedOffset(header.dataSize);
  std::printf("%sPartition data area length: %" PRIu64 " (0x%" PRIx64 ") bytes\n", indent,
              dataLength, dataLength);
  printEticket(header.ticket, indent);

  const std::optional<ByteBuffer> tmd =
      readTmdFromPartition(input, header, partitionAddress, fileStartAddress);
  if (!tmd)
    return false;
  const uint32_t tmdSize = static_cast<uint32_t>(header.tmdSize);
  std::printf("%sTMD size: %u; offset from partition start: 0x%" PRIx64 "\n", indent, tmdSize,
              decodeShiftedOffset(header.tmdOffset));
  const bool tmdWhole = printTmd(tmd->data(), tmdSize, indent);

  const std::optional<ByteBuffer> certs =
      readCertBlobFromPartition(input, header, partitionAddress, fileStartAddress);
  if (!certs)
    return false;
  printCerts(certs->data(), static_cast<uint32_t>(header.certSize), indent);
  return tmdWhole;
}

// ---------------------------------------------------------------------------
// Title metadata and certificate report

const char *titleTypeToStr(uint32_t titleType) {
  static const char *const texts[] = {"NONE", "KT_TITLE ", "YL_TITLE ", "KT_TITLE YL_TITLE "};
  return texts[titleType & 0x3];
}

const char *accessRightsToStr(uint32_t accessRights) {
  static const char *const texts[] = {"No access rights", "ACR ", "DVD ", "ACR DVD "};
  return texts[accessRights & 0x3];
}

const char *contentTypeToStr(uint16_t contentType) {
  // Words are appended in the order 0x1, 0x8000, 0x2; index bit k is the k-th.
  static const char *const texts[] = {
      "NONE",  "KT_EXE ",      "SHARED ",      "KT_EXE SHARED ",
      "DISC ", "KT_EXE DISC ", "SHARED DISC ", "KT_EXE SHARED DISC "};
  const unsigned index =
      (contentType & 0x1) | ((contentType >> 15) & 0x1) << 1 | ((contentType >> 1) & 0x1) << 2;
  return texts[index];
}

bool printTmd(const uint8_t *tmd, uint32_t size, const char *indent) {
  std::printf("%sTMD:\n", indent);
  // The fixed fields end where the not-interpreted word before the content
  // records begins.
  constexpr uint32_t fixedFieldsEnd = offsetof(Tmd, numContents) + sizeof(Be16);
  if (size < fixedFieldsEnd) {
    std::fprintf(stderr, "%s: TMD of %u bytes is truncated; only what lies inside it is shown\n",
                 ProgName, size);
    return false;
  }
  Tmd head{};
  std::memcpy(&head, tmd, size < sizeof head ? size : sizeof head);

  const uint32_t titleType = static_cast<uint32_t>(head.titleType);
  const uint64_t sysVersion = static_cast<uint64_t>(head.sysVersion);
  const uint32_t accessRights = static_cast<uint32_t>(head.accessRights);
  const uint16_t numContents = static_cast<uint16_t>(head.numContents);
  std::printf("%s\tTitle Id : 0x%" PRIx64 "; Group ID: 0x%x\n", indent,
              static_cast<uint64_t>(head.titleId), static_cast<uint16_t>(head.groupId));
  std::printf("%s\tTitle Type : 0x%x (%s)\n", indent, titleType, titleTypeToStr(titleType));
  std::printf("%s\tRequired system software version: 0x%" PRIx64 " (%" PRIu64 ")\n", indent,
              sysVersion, sysVersion & 0xFFFFFFFFu);
  std::printf("%s\tTitle version: 0x%hx\n", indent, static_cast<uint16_t>(head.titleVersion));
  std::printf("%s\tAccess rights: 0x%x (%s)\n", indent, accessRights,
              accessRightsToStr(accessRights));
  std::printf("%s\tNumber of contents: %u\n", indent, numContents);

  for (unsigned i = 0; i < numContents; ++i) {
    const uint64_t recordEnd = sizeof(Tmd) + uint64_t{i + 1} * sizeof(TmdContent);
    if (recordEnd > size) {
      std::fprintf(stderr, "%s: TMD of %u bytes is truncated; only what lies inside it is shown\n",
                   ProgName, size);
      return false;
    }
    TmdContent content;
    std::memcpy(&content, tmd + recordEnd - sizeof content, sizeof content);
    const uint16_t contentType = static_cast<uint16_t>(content.contentType);
    const uint64_t contentSize = static_cast<uint64_t>(content.contentSize);
    std::printf("%s\tContent #%i:\n", indent, static_cast<int>(i));
    std::printf("%s\t\tId: 0x%x; Index: 0x%x; Type: 0x%hx (%s)\n", indent,
                static_cast<uint32_t>(content.contentId),
                static_cast<unsigned>(static_cast<uint16_t>(content.contentIndex)), contentType,
                contentTypeToStr(contentType));
    std::printf("%s\t\tSize: 0x%" PRIx64 " (%" PRIu64 ")\n", indent, contentSize, contentSize);
  }
  return true;
}

// Where the certificate at `pos` keeps its texts and how long it is; false
// when it is of no known kind or its fixed fields do not fit in the chain.
static bool findCertLayout(const uint8_t *chain, uint64_t pos, uint32_t size, CertLayout &layout) {
  const uint64_t left = size - pos;
  Be32 word;
  if (left < sizeof word)
    return false;
  std::memcpy(&word, chain + pos, sizeof word);
  switch (static_cast<uint32_t>(word)) {
  case SigTypeRsa4096:
    layout = {0x240, 0x284, 0x400};
    break;
  case SigTypeEcc:
    layout = {0x80, 0xC4, 0x180};
    break;
  case SigTypeRsa2048:
    if (left < CertKeyTypeOffset + sizeof word)
      return false;
    std::memcpy(&word, chain + pos + CertKeyTypeOffset, sizeof word);
    if (static_cast<uint32_t>(word) == 1)
      layout = {0x140, 0x184, 0x300};
    else if (static_cast<uint32_t>(word) == 2)
      layout = {0x140, 0x184, 0x240};
    else
      return false;
    break;
  default:
    return false;
  }
  return layout.length <= left;
}

bool printCerts(const uint8_t *chain, uint32_t size, const char *indent) {
  std::printf("%sCertificates:\n", indent);
  std::printf("%s\tBlob (List) size: %u\n", indent, size);
  uint64_t pos = 0;
  while (pos < size) {
    CertLayout layout;
    if (!findCertLayout(chain, pos, size, layout))
      return false;
    const char *cert = reinterpret_cast<const char *>(chain + pos);
    const char *issuer = cert + layout.issuerOffset;
    const char *name = cert + layout.nameOffset;
    std::printf("%s\tIssuer: %.*s; Certificate: %.*s\n", indent,
                fieldTextLength(issuer, CertIssuerSize), issuer,
                fieldTextLength(name, layout.length - layout.nameOffset), name);
    pos += layout.length;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Security region decomposition

// Writes the .TOC file: disk addresses from the game table of contents up to
// the partition of table entry 0, or to the end of the input when the table
// is empty. False after a message.
static bool writeTocFile(const DecompOptions &opts, const std::vector<PartitionInfo> &table,
                         int64_t fileStartAddress, const std::string &baseName, bool &tocSound) {
  const std::string name = baseName + ".TOC";
  FilePtr out = openFile(name, "wb");
  if (!out) {
    std::fprintf(stderr, "%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return false;
  }
  const int64_t tocFileOffset = diskAddressToFileOffset(GameTocAddress, fileStartAddress);
  bool copied = true;
  tocSound = true;
  if (table.empty()) {
    // No partition ends the region: it runs to the end of the input.
    copied = copyPartialBinFileToOutFile(out.get(), opts.inputFileName, tocFileOffset, 0);
  } else {
    const uint64_t first = decodeShiftedOffset(table[0].partitionOffset);
    if (first < GameTocAddress) {
      std::fprintf(stderr,
                   "%s: First partition address 0x%" PRIx64
                   " lies below the table of contents at 0x%" PRIx64 "; nothing copied to %s\n",
                   ProgName, first, GameTocAddress, name.c_str());
      tocSound = false;
    } else if (first > GameTocAddress) {
      copied = copyPartialBinFileToOutFile(out.get(), opts.inputFileName, tocFileOffset,
                                           static_cast<int64_t>(first - GameTocAddress));
    }
  }
  if (!copied) {
    std::fprintf(stderr, "%s: Can't extract TOC from file %s - exit\n", ProgName, name.c_str());
    return false;
  }
  if (closeFile(out) != 0) {
    std::fprintf(stderr, "%s: Can't close file %s\n", ProgName, name.c_str());
    return false;
  }
  return true;
}

bool decomposeSecurityRegion(const DecompOptions *opts, FILE *input, int64_t fileStartAddress,
                             const std::string &baseName) {
  GameToc toc;
  if (std::fread(&toc, sizeof toc, 1, input) != 1) {
    std::fprintf(stderr, "%s: Can't read game TOC from file\n", ProgName);
    return false;
  }
  const uint32_t numPartitions = static_cast<uint32_t>(toc.numPartitions);
  const uint32_t partitionInfoRawOfs = decodeShiftedOffset32(toc.partitionInfoOffset);
  const int64_t partitionInfoOfs =
      diskAddressToFileOffset(uint64_t{partitionInfoRawOfs}, fileStartAddress);
  if (opts->print) {
    std::printf("Number of partitions: %u\n", numPartitions);
    std::printf(" -> partitionInfoRawOfs: 0x%08x partitionInfoOfs:0x%08x\n", partitionInfoRawOfs,
                static_cast<uint32_t>(partitionInfoOfs));
  }

  if (fseeko(input, partitionInfoOfs, SEEK_SET) != 0) {
    std::fprintf(stderr, "%s: Seeking to partition info offset failed\n", ProgName);
    return false;
  }
  // A count that the input cannot hold must not size an allocation.
  if (uint64_t{numPartitions} * sizeof(PartitionInfo) > bytesAvailableAt(input, partitionInfoOfs)) {
    std::fprintf(stderr, "%s: Can't read partition infos from file\n", ProgName);
    return false;
  }
  std::vector<PartitionInfo> table;
  try {
    table.resize(numPartitions);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "%s: Can't allocate space for partition infos\n", ProgName);
    return false;
  }
  if (std::fread(table.data(), sizeof(PartitionInfo), numPartitions, input) != numPartitions) {
    std::fprintf(stderr, "%s: Can't read partition infos from file\n", ProgName);
    return false;
  }

  bool allDone = true;
  if (opts->print) {
    std::printf("Partition info structs:\n");
    for (uint32_t i = 0; i < numPartitions; ++i) {
      const uint32_t type = static_cast<uint32_t>(table[i].partitionType);
      std::printf("Partition %d: Type: %u (%s); Disk address (byte): 0x%" PRIx64 "\n",
                  static_cast<int>(i), type,
                  type < NumPartitionTypes ? partitionTypeToString[type] : "ERROR: OUT OF RANGE",
                  decodeShiftedOffset(table[i].partitionOffset));
    }
    for (uint32_t i = 0; i < numPartitions; ++i) {
      std::printf("Partition %d details:\n", static_cast<int>(i));
      if (!printPartition(input, decodeShiftedOffset(table[i].partitionOffset), fileStartAddress,
                          "\t"))
        allDone = false;
    }
  }

  if (opts->extract) {
    bool tocSound;
    if (!writeTocFile(*opts, table, fileStartAddress, baseName, tocSound))
      return false;
    if (!tocSound)
      allDone = false;
    if (!extractPartitions(opts, input, numPartitions, table.data(), fileStartAddress, baseName))
      allDone = false;
  }
  return allDone;
}

// ---------------------------------------------------------------------------
// Partition extraction

const char *partitionTypeExt(uint32_t partitionType) {
  return partitionType < NumPartitionTypes ? partitionTypeToExt[partitionType] : "unknown";
}

bool extractPartitions(const DecompOptions *opts, FILE *input, uint32_t numPartitions,
                       const PartitionInfo *partitionInfos, int64_t fileStartAddress,
                       const std::string &baseName) {
  uint64_t size;
  if (!fileSize(opts->inputFileName, size)) {
    std::fprintf(stderr, "%s: Can't get length of file %s - exit\n", ProgName, opts->inputFileName);
    return false;
  }
  const int64_t netFileLength = fileStartAddress + static_cast<int64_t>(size);
  {
    std::vector<uint64_t> lengths;
    try {
      lengths.resize(numPartitions);
    } catch (const std::bad_alloc &) {
      std::fprintf(stderr, "%s: Allocation of memory for partition lengths failed\n", ProgName);
      return false;
    }
    // Reads every header before any file is written, so a table with an
    // unreadable header writes nothing.
    if (!readPartitionLengths(input, opts->inputFileName, numPartitions, partitionInfos,
                              fileStartAddress, lengths.data()))
      return false;
  }

  for (uint32_t i = 0; i < numPartitions; ++i) {
    const int index = static_cast<int>(i);
    const uint64_t partitionAddress = decodeShiftedOffset(partitionInfos[i].partitionOffset);
    const uint32_t type = static_cast<uint32_t>(partitionInfos[i].partitionType);
    const int64_t partitionFileOffset = diskAddressToFileOffset(partitionAddress, fileStartAddress);
    if (fseeko(input, partitionFileOffset, SEEK_SET) != 0) {
      std::fprintf(stderr, "%s: Seeking to partition offset failed\n", ProgName);
      return false;
    }
    PartitionHeader header;
    if (std::fread(&header, sizeof header, 1, input) != 1) {
      std::fprintf(stderr, "%s: Can't read partition structure %d from file\n", ProgName, index);
      return false;
    }
    const bool last = i + 1 == numPartitions;
    const uint64_t nextAddress =
        last ? 0 : decodeShiftedOffset(partitionInfos[i + 1].partitionOffset);
    const int64_t dataOffset = static_cast<int64_t>(decodeShiftedOffset(header.dataOffset));
    const int64_t dataStart = static_cast<int64_t>(partitionAddress) + dataOffset;
    const uint64_t declaredLength = decodeShiftedOffset(header.dataSize);

    int64_t dataLength;
    if (isValidDataSize(declaredLength)) {
      dataLength = static_cast<int64_t>(declaredLength);
    } else if (!last) {
      dataLength = static_cast<int64_t>(nextAddress - static_cast<uint64_t>(dataStart));
    } else if (netFileLength > dataStart) {
      dataLength = netFileLength - dataStart;
    } else {
      std::printf("%s: File %s does not contain the data for partition %d.\n", ProgName,
                  opts->inputFileName, index);
      std::printf("%s: Extraction of partition %d and beyond not done.\n", ProgName, index);
      return false;
    }
    if (Verbose)
      std::printf("Partition #%d length: %" PRIu64 " (0x%" PRIx64 ") bytes\n", index,
                  static_cast<uint64_t>(dataLength), static_cast<uint64_t>(dataLength));

    int64_t dataEnd =
        static_cast<int64_t>(static_cast<uint64_t>(dataStart) + static_cast<uint64_t>(dataLength));
    if (static_cast<uint64_t>(dataEnd) > static_cast<uint64_t>(netFileLength)) {
      const int64_t missing = static_cast<int64_t>(static_cast<uint64_t>(dataEnd) -
                                                   static_cast<uint64_t>(netFileLength));
      std::printf("%s: File %s does not contain enough data for partition %d.\n", ProgName,
                  opts->inputFileName, index);
      std::printf("%s: File needs 0x%" PRIx64 " (%" PRId64 ") more bytes.\n", ProgName,
                  static_cast<uint64_t>(missing), missing);
      std::printf("%s: Data start: 0x%" PRIx64 "; Length: 0x%" PRIx64 "; netFileLength: 0x%" PRIx64
                  "\n",
                  ProgName, static_cast<uint64_t>(dataStart), static_cast<uint64_t>(dataLength),
                  static_cast<uint64_t>(netFileLength));
      if (!opts->force) {
        std::printf("%s: Extraction of partition %d and beyond not done.\n", ProgName, index);
        return false;
      }
      dataLength = netFileLength - dataStart;
      dataEnd = netFileLength;
    }

    // A range that ends before it begins (the next entry's partition lies
    // below this one, or the partition starts past the input) has no file.
    const int64_t rangeLength =
        static_cast<int64_t>(static_cast<uint64_t>(dataOffset) + static_cast<uint64_t>(dataLength));
    if (rangeLength < 0) {
      std::fprintf(stderr,
                   "%s: Partition %d at 0x%" PRIx64
                   " would end before it begins; extraction of partition %d and beyond not "
                   "done\n",
                   ProgName, index, partitionAddress, index);
      return false;
    }

    const std::string name =
        formatText("%s.%s.%d", baseName.c_str(), partitionTypeExt(type), index);
    if (Verbose)
      std::printf("Extracting partition #%d to %s...\n", index, name.c_str());
    if (!sliceFile(name, input, partitionFileOffset, rangeLength)) {
      std::printf("%s: Extraction of partition %d failed\n", ProgName, index);
      return false;
    }

    if (!last && static_cast<int64_t>(nextAddress) > dataEnd) {
      const std::string padName = formatText("%s.pad.%d", baseName.c_str(), index);
      if (!sliceFile(padName, input, diskAddressToFileOffset(dataEnd, fileStartAddress),
                     static_cast<int64_t>(nextAddress) - dataEnd)) {
        std::printf("%s: Extraction of partition %d-%d pad failed\n", ProgName, index, index + 1);
        return false;
      }
    }
  }
  return true;
}

// The buffer that sliceFile moves a partition through.
constexpr size_t SliceBufferSize = 0x800000;

// Copies one chunk with the classic read and write, so that every failure is
// told by its own message; false after it, with the progress line erased
// first so that the message stands on its own.
static bool copyChunkByStream(const std::string &outputFileName, FILE *out, FILE *input,
                              uint8_t *buffer, size_t chunk, CopyProgress &progress) {
  const size_t got = std::fread(buffer, 1, chunk, input);
  if (got < chunk) {
    endProgress(progress);
    if (std::ferror(input))
      std::fprintf(stderr, "%s: Read error on input file\n", ProgName);
    else
      std::fprintf(stderr, "%s: EOF reached on input file before end of partiton", ProgName);
    return false;
  }
  if (std::fwrite(buffer, 1, got, out) < got) {
    endProgress(progress);
    std::fprintf(stderr, "Write error when writing file %s\n", outputFileName.c_str());
    return false;
  }
  return true;
}

// Copies the range into `out` chunk by chunk; false after its message. A
// chunk goes through the kernel when it can, which leaves the data out of
// user space; a chunk that the kernel cannot copy whole is undone and done
// again through the buffer, so short inputs and short writes leave exactly
// the bytes, and give exactly the messages, of a plain read and write.
static bool copyRange(const std::string &outputFileName, FILE *out, FILE *input, int64_t offset,
                      int64_t length) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[SliceBufferSize]);
  if (!buffer) {
    std::fprintf(stderr, "%s: Can't allocate %u bytes\n", ProgName,
                 static_cast<unsigned>(SliceBufferSize));
    return false;
  }
  if (fseeko(input, offset, SEEK_SET) != 0) {
    std::fprintf(stderr, "%s: Seeking to partition data start failed\n", ProgName);
    return false;
  }
  CopyProgress progress;
  startProgress(progress, outputFileName.c_str(), static_cast<uint64_t>(length));
  // Once a chunk has gone through the stream, the output's stdio buffer may
  // hold bytes, so the kernel must not write behind it any more.
  bool kernelUsable = true;
  bool streamInPlace = true;
  uint64_t done = 0;
  uint64_t remaining = static_cast<uint64_t>(length);
  do {
    const size_t chunk = remaining < SliceBufferSize ? remaining : SliceBufferSize;
    const int64_t chunkOffset = offset + static_cast<int64_t>(done);
    if (kernelUsable && chunk != 0 && bytesAvailableAt(input, chunkOffset) >= chunk) {
      if (copyChunkInKernel(fileno(input), chunkOffset, fileno(out), done, chunk)) {
        streamInPlace = false;
        done += chunk;
        remaining -= chunk;
        updateProgress(progress, done);
        continue;
      }
    }
    kernelUsable = false;
    if (!streamInPlace && fseeko(input, chunkOffset, SEEK_SET) != 0) {
      endProgress(progress);
      std::fprintf(stderr, "%s: Seeking to partition data start failed\n", ProgName);
      return false;
    }
    streamInPlace = true;
    if (!copyChunkByStream(outputFileName, out, input, buffer.get(), chunk, progress))
      return false;
    done += chunk;
    remaining -= chunk;
    updateProgress(progress, done);
  } while (remaining != 0);
  endProgress(progress);
  return true;
}

bool sliceFile(const std::string &outputFileName, FILE *input, int64_t offset, int64_t length) {
  FilePtr out = openFile(outputFileName, "wb");
  if (!out) {
    std::fprintf(stderr, "%s: Can't open file %s for writing\n", ProgName, outputFileName.c_str());
    return false;
  }
  bool ok;
  if (length < 0) {
    // Callers never ask for this; copying nothing is the only safe answer.
    std::fprintf(stderr, "%s: Refusing to copy a negative length into %s\n", ProgName,
                 outputFileName.c_str());
    ok = false;
  } else {
    ok = copyRange(outputFileName, out.get(), input, offset, length);
  }
  if (closeFile(out) != 0) {
    std::fprintf(stderr, "%s: Closing output file %s failed (%s)\n", ProgName,
                 outputFileName.c_str(), std::strerror(errno));
    ok = false;
  }
  return ok;
}
