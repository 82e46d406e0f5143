// SPDX-License-Identifier: MIT
#include "decomp_disk.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <unistd.h>

#include "../format/disk_format.h"
#include "../util/disk_common.h"
#include "../util/output_guard.h"
#include "../util/platform.h"
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

// The length of the .unencrypt copy: everything in front of the game table
// of contents in a disk image.
constexpr int64_t UnencryptedPartLength = 0x48000;

} // namespace

// The file-name component of each partition type with a row.
const char *const partitionTypeToExt[] = {"game", "up", "game"};

// ---------------------------------------------------------------------------
// Command line

// One write of the whole text: a reader that stops after the first line (as
// `| head -n 1` does) then closes its end after the tool has finished
// writing, and the tool never meets a closed pipe.
void usage() {
  const std::string text =
      shownMessage(formatText("%s version %s %s\n", ProgName, VersionText, __DATE__)) +
      shownMessage(formatText("Usage: %s [options] input_file_name\n", ProgName)) + OptionList;
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Ends the process after a command-line error: its message is written, the
// usage text follows.
[[noreturn]] static void failCommandLine() {
  usage();
  std::exit(1);
}

// True when standard error leads to a file that an argument names: the text
// of a command-line error would land in what is meant as the input, so the
// run ends without it.
static bool errorsLeadToAnArgument(int argc, char **argv) {
  FileIdentity error;
  if (!identityOfDescriptor(StandardError, error))
    return false;
  for (int i = 1; i < argc; ++i) {
    FileIdentity named;
    if (argv[i][0] != '-' && identityOfPath(argv[i], named) && writesOver(error, named))
      return true;
  }
  return false;
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
      if (!errorsLeadToAnArgument(argc, argv))
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
      if (errorsLeadToAnArgument(argc, argv))
        std::exit(1);
      printError("Unknown option '%c' - exit\n", letter);
      failCommandLine();
    }
  }

  if (optind >= argc) {
    if (errorsLeadToAnArgument(argc, argv))
      std::exit(1);
    printError("%s: Need input file name\n", ProgName);
    failCommandLine();
  }
  opts->inputFileName = argv[optind];
  if ((!opts->moxBin && !opts->diskImage) || (!opts->print && !opts->extract)) {
    if (errorsLeadToAnArgument(argc, argv))
      std::exit(1);
  }
  if (!opts->moxBin && !opts->diskImage) {
    printError("%s: Must specify type of input\n", ProgName);
    failCommandLine();
  }
  if (!opts->print && !opts->extract) {
    printError("%s: Must specify either -p or -x\n", ProgName);
    failCommandLine();
  }
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

// How an output file is filled from the input.
enum class Fill {
  Nothing, // created empty
  Prefix,  // up to `length` bytes (0: all) from `offset`, fewer where the input ends
  Slice,   // exactly `length` bytes from `offset`; an input that ends first fails it
};

// How writing one output file went; its caller prints the lines that name it.
struct OutputEnd {
  bool opened = false;
  bool filled = false;
  bool closed = false;
  int closeError = 0; // why the close failed
};

static bool copySlice(const std::string &outputFileName, OutputFile &out, const InputFile &input,
                      int64_t offset, int64_t length);

// One whole output file: opened through the guard (a refusal or a failed
// open prints its message), filled as `fill` says (the copy prints its own
// failures), then closed, whatever the fill did.
static OutputEnd writeOutputFile(OutputGuard &guard, const InputFile &input,
                                 const std::string &name, Fill fill, int64_t offset,
                                 int64_t length) {
  OutputEnd end;
  OutputFile out;
  if (!openOutputFile(guard, name, out))
    return end;
  end.opened = true;
  switch (fill) {
  case Fill::Nothing:
    end.filled = true;
    break;
  case Fill::Prefix:
    end.filled = copyPartialInputToOutFile(out, input, offset, length, name.c_str());
    break;
  case Fill::Slice:
    end.filled = copySlice(name, out, input, offset, length);
    break;
  }
  end.closeError = out.descriptor.close();
  end.closed = end.closeError == 0;
  return end;
}

// Writes the .unencrypt file: every byte of a disk image in front of the game
// table of contents. False after a message.
static bool writeUnencryptedPart(OutputGuard &guard, const InputFile &input,
                                 const std::string &baseName) {
  const std::string name = baseName + ".unencrypt";
  const OutputEnd end = writeOutputFile(guard, input, name, Fill::Prefix, 0, UnencryptedPartLength);
  if (!end.opened)
    return false;
  if (!end.filled) {
    printError("%s: Extract unencrypted part failed - exit\n", ProgName);
    return false;
  }
  if (!end.closed) {
    printError("%s: Can't close file %s\n", ProgName, name.c_str());
    return false;
  }
  return true;
}

// The run after the input is open: 0 when everything asked for was done,
// -1 otherwise.
static int runOnInput(const DecompOptions &opts, const InputFile &input, OutputGuard &guard) {
  std::string baseName;
  if (opts.extract)
    determineBaseName(opts.inputFileName, baseName);

  if (opts.diskImage && opts.print && !dumpDiskBeginning(&opts, input)) {
    printError("Printing disk beginning failed - exit\n");
    return -1;
  }
  if (!opts.moxBin && !opts.print && !writeUnencryptedPart(guard, input, baseName))
    return -1;
  return decomposeSecurityRegion(&opts, input, guard, baseName) ? 0 : -1;
}

// Refuses, right after the open and before anything is printed or written, a
// run that would write into its own input through a standard stream, and
// an extraction from an input that can only be read in order (the partitions
// lie at offsets that such an input cannot reach). False after a message
// (none where standard error is the way into the input).
static bool inputCanBeRunOn(const DecompOptions &opts, const InputFile &input, OutputGuard &guard) {
  learnInputSet(guard, input);
  switch (standardStreamOnInput(guard)) {
  case StandardStream::Output:
    printError("%s: Refusing to run: standard output leads to the input file %s\n", ProgName,
               opts.inputFileName);
    return false;
  case StandardStream::Error:
    return false;
  case StandardStream::None:
    break;
  }
  if (opts.extract && !input.seekable) {
    printError("%s: Can't extract from %s: it can only be read in order (a pipe, a FIFO or a "
               "terminal)\n",
               ProgName, opts.inputFileName);
    return false;
  }
  return true;
}

int decompDiskMain(int argc, char **argv) {
  if (argc > 0 && argv[0] != nullptr)
    ProgName = argv[0];
  OutputGuard guard;
  learnStandardStreams(guard);
  DecompOptions opts;
  processOptions(argc, argv, &opts);

  // The banner waits for the input's checks, since standard output may lead
  // into the input; it still comes before any message about the input.
  InputFile input;
  const bool opened = openInputFile(
      input, opts.inputFileName, opts.moxBin ? MoxBinFileStartAddress : DiskImageFileStartAddress);
  if (opened && !inputCanBeRunOn(opts, input, guard))
    return 1;
  if (Verbose)
    report("%s version %s %s\n", shownName(ProgName).c_str(), VersionText, __DATE__);
  if (!opened) {
    printError("%s: Can't open file %s for reading - exit\n", ProgName, opts.inputFileName);
    return 1;
  }
  int status = runOnInput(opts, input, guard);
  input.descriptor.reset();

  // A report that never reached its reader is a failure, not a success.
  int reason;
  if (!finishReport(reason)) {
    printError("%s: Can't write the report to standard output (%s)\n", ProgName,
               std::strerror(reason));
    status = -1;
  }
  return status;
}

// ---------------------------------------------------------------------------
// Disk header report

// Reads a record of the disk header at its disk address. Unreachable after
// the seek message; Short without a message.
static RecordRead readDiskRecord(const InputFile &input, uint64_t diskAddress, void *into,
                                 size_t count) {
  const RecordRead read =
      readRecord(input, diskAddressToFileOffset(diskAddress, input.fileStartAddress), into, count);
  if (read == RecordRead::Unreachable)
    printError("%s: Seeking to partition offset failed\n", ProgName);
  return read;
}

// Prints the lines of the disk header that the DiskId record gives.
static void printDiskId(const DiskId &id) {
  report("*** Disk Header ***\n");
  const ShownText game = showBytes(id.gameName, sizeof id.gameName);
  const ShownText company = showBytes(id.company, sizeof id.company);
  report("Game name:       ");
  reportBytes(game.data(), static_cast<size_t>(game.length()));
  report("\nCompany:         ");
  reportBytes(company.data(), static_cast<size_t>(company.length()));
  report("\nDisk type:       ");
  if (static_cast<uint32_t>(id.vandelmereMagic) == VandelmereMagic)
    report("Vandelmere\n");
  else if (static_cast<uint32_t>(id.mirrodelMagic) == MirrodelMagic)
    report("Mirrodel\n");
  else
    report("Unknown\n");
}

bool dumpDiskBeginning(const DecompOptions *, const InputFile &input) {
  DiskId id;
  RecordRead read = readDiskRecord(input, DiskIdAddress, &id, sizeof id);
  if (read == RecordRead::Short)
    printError("%s: Can't read DVD Disk Id from file\n", ProgName);
  if (read != RecordRead::Whole)
    return false;
  printDiskId(id);

  DiskInfo info;
  read = readDiskRecord(input, DiskInfoAddress, &info, sizeof info);
  if (read == RecordRead::Short)
    printError("%s: Can't read DVD disk info from file\n", ProgName);
  if (read != RecordRead::Whole)
    return false;
  const ShownText title = showField(info.longGameName, sizeof info.longGameName);
  report("Long game name:  %.*s\n", title.length(), title.data());
  report("Hashing:         %s\n", info.hashingOff ? "OFF" : "ON");
  report("Encryption:      %s\n", info.encryptionOff ? "OFF" : "ON");
  report("************\n");
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
  report("%sTicket size: %u\n", indent, static_cast<unsigned>(sizeof(Eticket)));
  const ShownText issuer = showField(ticket.issuer, sizeof ticket.issuer);
  report("%sTicket issuer: %.*s\n", indent, issuer.length(), issuer.data());
  report("%sTicket title id: 0x%" PRIx64 "\n", indent, static_cast<uint64_t>(ticket.titleId));
  bool anyLimit = false;
  for (const TicketLimit &limit : ticket.limits) {
    const uint32_t type = static_cast<uint32_t>(limit.limitType);
    if (type == 0)
      continue;
    if (!anyLimit)
      report("%sTicket limits:\n", indent);
    anyLimit = true;
    report("%s\t%s: %u\n", indent, limitTypeToStr(type), static_cast<uint32_t>(limit.limitValue));
  }
  if (!anyLimit)
    report("%sTicket limits: NONE\n", indent);
}

// The lines of a partition block that its header alone gives: encryption
// state, H3 location, data area length and the ticket.
static void printPartitionHeader(const PartitionHeader &header, int64_t fileOffset,
                                 const char *indent) {
  const uint32_t h3Stored = static_cast<uint32_t>(header.h3Offset.stored);
  if (h3Stored != 0) {
    // The low 32 bits of the H3 table's file offset, as the report has always
    // shown it.
    const uint32_t start = static_cast<uint32_t>(fileOffset) + (h3Stored << 2);
    report("%sEncrypted partition\n", indent);
    report("%sH3 ofs: 0x%08x, H3 start addr: 0x%08x, end addr: 0x%08x\n", indent, h3Stored, start,
           static_cast<uint32_t>(start + H3TableSize - 1));
  } else {
    report("%sUnencrypted partition\n", indent);
  }
  const uint64_t dataLength = decodeShiftedOffset(header.dataSize);
  report("%sPartition data area length: %" PRIu64 " (0x%" PRIx64 ") bytes\n", indent, dataLength,
         dataLength);
  printEticket(header.ticket, indent);
}

bool printPartition(const InputFile &input, uint64_t partitionAddress, const char *indent) {
  PartitionHeader header;
  const RecordRead read = readPartitionHeader(input, partitionAddress, header);
  if (read == RecordRead::Short)
    printError("%s: Can't read partition from input file\n", ProgName);
  if (read != RecordRead::Whole)
    return false;
  printPartitionHeader(header, diskAddressToFileOffset(partitionAddress, input.fileStartAddress),
                       indent);

  std::optional<InputRange> tmd = readTmdFromPartition(input, header, partitionAddress);
  if (!tmd)
    return false;
  report("%sTMD size: %u; offset from partition start: 0x%" PRIx64 "\n", indent,
         static_cast<uint32_t>(header.tmdSize), decodeShiftedOffset(header.tmdOffset));
  const bool tmdWhole = printTmd(*tmd, indent);

  std::optional<InputRange> certs = readCertBlobFromPartition(input, header, partitionAddress);
  if (!certs)
    return false;
  return printCertChain(*certs, indent) != CertWalk::Unreadable && tmdWhole;
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
  const unsigned bits = contentType;
  const unsigned index = (bits & 0x1) | ((bits >> 15) & 0x1) << 1 | ((bits >> 1) & 0x1) << 2;
  return texts[index];
}

// A title metadata shorter than what it announces: said on standard error,
// and the report of it ends there.
static bool reportTruncatedTmd(uint64_t size) {
  printError("%s: TMD of %u bytes is truncated; only what lies inside it is shown\n", ProgName,
             static_cast<uint32_t>(size));
  return false;
}

// The input no longer holds the title metadata (it shrank while being read).
static bool reportUnreadableTmd() {
  printError("%s: Can't read TMD from file\n", ProgName);
  return false;
}

// Prints the fixed fields of the title metadata; returns its content count.
static uint16_t printTmdFields(const Tmd &head, const char *indent) {
  const uint32_t titleType = static_cast<uint32_t>(head.titleType);
  const uint64_t sysVersion = static_cast<uint64_t>(head.sysVersion);
  const uint32_t accessRights = static_cast<uint32_t>(head.accessRights);
  const uint16_t numContents = static_cast<uint16_t>(head.numContents);
  report("%s\tTitle Id : 0x%" PRIx64 "; Group ID: 0x%x\n", indent,
         static_cast<uint64_t>(head.titleId), static_cast<uint16_t>(head.groupId));
  report("%s\tTitle Type : 0x%x (%s)\n", indent, titleType, titleTypeToStr(titleType));
  report("%s\tRequired system software version: 0x%" PRIx64 " (%" PRIu64 ")\n", indent, sysVersion,
         sysVersion & 0xFFFFFFFFu);
  report("%s\tTitle version: 0x%hx\n", indent, static_cast<uint16_t>(head.titleVersion));
  report("%s\tAccess rights: 0x%x (%s)\n", indent, accessRights, accessRightsToStr(accessRights));
  report("%s\tNumber of contents: %u\n", indent, numContents);
  return numContents;
}

static void printTmdContent(const TmdContent &content, unsigned index, const char *indent) {
  const uint16_t contentType = static_cast<uint16_t>(content.contentType);
  const uint64_t contentSize = static_cast<uint64_t>(content.contentSize);
  report("%s\tContent #%i:\n", indent, static_cast<int>(index));
  report("%s\t\tId: 0x%x; Index: 0x%x; Type: 0x%hx (%s)\n", indent,
         static_cast<uint32_t>(content.contentId),
         static_cast<unsigned>(static_cast<uint16_t>(content.contentIndex)), contentType,
         contentTypeToStr(contentType));
  report("%s\t\tSize: 0x%" PRIx64 " (%" PRIu64 ")\n", indent, contentSize, contentSize);
}

bool printTmd(InputRange &tmd, const char *indent) {
  report("%sTMD:\n", indent);
  // The fixed fields end where the not-interpreted word before the content
  // records begins.
  constexpr uint32_t fixedFieldsEnd = offsetof(Tmd, numContents) + sizeof(Be16);
  if (tmd.size < fixedFieldsEnd)
    return reportTruncatedTmd(tmd.size);
  Tmd head{};
  if (!readRange(tmd, 0, &head, static_cast<size_t>(std::min<uint64_t>(tmd.size, sizeof head))))
    return reportUnreadableTmd();
  const uint16_t numContents = printTmdFields(head, indent);
  // Only the records that are printed are read, one window at a time.
  for (unsigned i = 0; i < numContents; ++i) {
    const uint64_t recordStart = sizeof(Tmd) + uint64_t{i} * sizeof(TmdContent);
    if (recordStart + sizeof(TmdContent) > tmd.size)
      return reportTruncatedTmd(tmd.size);
    TmdContent content;
    if (!readRange(tmd, recordStart, &content, sizeof content))
      return reportUnreadableTmd();
    printTmdContent(content, i, indent);
  }
  return true;
}

// Where a certificate of `left` bytes (those of the chain from it on, at most
// one certificate's worth) keeps its texts and how long it is; false when it
// is of no known kind or its fixed fields do not fit in the chain.
static bool findCertLayout(const uint8_t *cert, uint64_t left, CertLayout &layout) {
  Be32 word;
  if (left < sizeof word)
    return false;
  std::memcpy(&word, cert, sizeof word);
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
    std::memcpy(&word, cert + CertKeyTypeOffset, sizeof word);
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

CertWalk printCertChain(InputRange &chain, const char *indent) {
  report("%sCertificates:\n", indent);
  report("%s\tBlob (List) size: %u\n", indent, static_cast<uint32_t>(chain.size));
  // The longest certificate; each is read whole, and only it.
  uint8_t cert[0x400];
  uint64_t pos = 0;
  while (pos < chain.size) {
    const size_t left = static_cast<size_t>(std::min<uint64_t>(sizeof cert, chain.size - pos));
    if (!readRange(chain, pos, cert, left)) {
      printError("%s: Can't read certificates from file\n", ProgName);
      return CertWalk::Unreadable;
    }
    CertLayout layout;
    if (!findCertLayout(cert, left, layout))
      return CertWalk::Stopped;
    const ShownText issuer =
        showField(reinterpret_cast<const char *>(cert + layout.issuerOffset), CertIssuerSize);
    const ShownText name = showField(reinterpret_cast<const char *>(cert + layout.nameOffset),
                                     layout.length - layout.nameOffset);
    report("%s\tIssuer: %.*s; Certificate: %.*s\n", indent, issuer.length(), issuer.data(),
           name.length(), name.data());
    pos += layout.length;
  }
  return CertWalk::Complete;
}

bool printCerts(const uint8_t *chain, uint32_t size, const char *indent) {
  InputRange range;
  range.memory = chain;
  range.size = size;
  return printCertChain(range, indent) == CertWalk::Complete;
}

// ---------------------------------------------------------------------------
// Security region decomposition

// Finds the partition table of `count` entries at file offset `offset` and
// decides, from the input's measured size, whether it is there whole. False
// after the message of the first step that fails.
static bool findPartitionTable(const InputFile &input, uint32_t count, int64_t offset,
                               PartitionTable &table) {
  if (offsetError(input, offset) != 0) {
    printError("%s: Seeking to partition info offset failed\n", ProgName);
    return false;
  }
  // A count that the input cannot hold is refused before anything is read.
  if (uint64_t{count} * sizeof(PartitionInfo) > bytesAvailableAt(input, offset)) {
    printError("%s: Can't read partition infos from file\n", ProgName);
    return false;
  }
  table.range.input = &input;
  table.range.start = offset;
  table.range.size = uint64_t{count} * sizeof(PartitionInfo);
  table.count = count;
  return true;
}

// The listing: one line per table entry. False when the table can no longer
// be read.
static bool printPartitionListing(PartitionTable &table) {
  report("Partition info structs:\n");
  for (uint32_t i = 0; i < table.count; ++i) {
    PartitionInfo entry;
    if (!readTableEntry(table, i, entry))
      return false;
    const uint32_t type = static_cast<uint32_t>(entry.partitionType);
    report("Partition %d: Type: %u (%s); Disk address (byte): 0x%" PRIx64 "\n", static_cast<int>(i),
           type, type < NumPartitionTypes ? partitionTypeToString[type] : "ERROR: OUT OF RANGE",
           decodeShiftedOffset(entry.partitionOffset));
  }
  return true;
}

// The listing, then every partition's block. False when the table can no
// longer be read; `allPrinted` turns false for a partition that could not be
// printed whole.
static bool printPartitions(const InputFile &input, PartitionTable &table, bool &allPrinted) {
  if (!printPartitionListing(table))
    return false;
  for (uint32_t i = 0; i < table.count; ++i) {
    const std::optional<uint64_t> address = readPartitionAddress(table, i);
    if (!address)
      return false;
    report("Partition %d details:\n", static_cast<int>(i));
    if (!printPartition(input, *address, "\t"))
      allPrinted = false;
  }
  return true;
}

// Writes the .TOC file: disk addresses from the game table of contents up to
// the partition of table entry 0, or to the end of the input when the table
// is empty. A first partition at the table of contents leaves the file empty,
// one below it too, and then `tocSound` turns false. False after a message.
static bool writeTocFile(OutputGuard &guard, const InputFile &input, PartitionTable &table,
                         const std::string &baseName, bool &tocSound) {
  std::optional<uint64_t> first;
  if (table.count != 0 && !(first = readPartitionAddress(table, 0)))
    return false;
  const std::string name = baseName + ".TOC";
  const int64_t tocFileOffset = diskAddressToFileOffset(GameTocAddress, input.fileStartAddress);
  const bool below = first && *first < GameTocAddress;
  const OutputEnd end = !first ? writeOutputFile(guard, input, name, Fill::Prefix, tocFileOffset, 0)
                        : *first <= GameTocAddress
                            ? writeOutputFile(guard, input, name, Fill::Nothing, 0, 0)
                            : writeOutputFile(guard, input, name, Fill::Prefix, tocFileOffset,
                                              static_cast<int64_t>(*first - GameTocAddress));
  if (!end.opened)
    return false;
  if (below) {
    printError("%s: First partition address 0x%" PRIx64
               " lies below the table of contents at 0x%" PRIx64 "; nothing copied to %s\n",
               ProgName, *first, GameTocAddress, name.c_str());
    tocSound = false;
  }
  if (!end.filled) {
    printError("%s: Can't extract TOC from file %s - exit\n", ProgName, name.c_str());
    return false;
  }
  if (!end.closed) {
    printError("%s: Can't close file %s\n", ProgName, name.c_str());
    return false;
  }
  return true;
}

bool decomposeSecurityRegion(const DecompOptions *opts, const InputFile &input, OutputGuard &guard,
                             const std::string &baseName) {
  // Read without a position check: an input that cannot seek (a pipe) is at
  // its start here, where a mox.bin file holds the game table of contents.
  GameToc toc;
  size_t got;
  if (!readInput(input, diskAddressToFileOffset(GameTocAddress, input.fileStartAddress), &toc,
                 sizeof toc, got) ||
      got != sizeof toc) {
    printError("%s: Can't read game TOC from file\n", ProgName);
    return false;
  }
  const uint32_t numPartitions = static_cast<uint32_t>(toc.numPartitions);
  const uint32_t partitionInfoRawOfs = decodeShiftedOffset32(toc.partitionInfoOffset);
  const int64_t partitionInfoOfs =
      diskAddressToFileOffset(uint64_t{partitionInfoRawOfs}, input.fileStartAddress);
  if (opts->print) {
    report("Number of partitions: %u\n", numPartitions);
    report(" -> partitionInfoRawOfs: 0x%08x partitionInfoOfs:0x%08x\n", partitionInfoRawOfs,
           static_cast<uint32_t>(partitionInfoOfs));
  }
  PartitionTable table;
  if (!findPartitionTable(input, numPartitions, partitionInfoOfs, table))
    return false;

  bool allDone = true;
  if (opts->print && !printPartitions(input, table, allDone))
    return false;
  if (opts->extract) {
    if (!writeTocFile(guard, input, table, baseName, allDone))
      return false;
    if (!extractPartitions(opts, input, guard, table, baseName))
      allDone = false;
  }
  return allDone;
}

// ---------------------------------------------------------------------------
// Partition extraction

const char *partitionTypeExt(uint32_t partitionType) {
  return partitionType < NumPartitionTypes ? partitionTypeToExt[partitionType] : "unknown";
}

namespace {

// What extraction works out for one table entry. Addresses and lengths are
// two's complement: a length derived from the next entry may be negative.
struct PartitionSlice {
  int index = 0;
  uint64_t address = 0; // P
  uint32_t type = 0;
  std::optional<uint64_t> next; // the next entry's partition, unless this is the last
  int64_t dataOffset = 0;
  int64_t dataStart = 0;
  int64_t dataLength = 0;
  int64_t dataEnd = 0;
};

} // namespace

// The disk address just past the input's last byte.
static int64_t netFileLengthOf(const InputFile &input) {
  return inputEndAddress(input.fileStartAddress, input.size);
}

// Reads entry i's header and settles its data length by the length rule.
// False after a message, or after the two stop lines when the last entry's
// data lies beyond the input.
static bool settleDataLength(const DecompOptions &opts, const InputFile &input, PartitionSlice &s) {
  PartitionHeader header;
  const RecordRead read = readPartitionHeader(input, s.address, header);
  if (read == RecordRead::Short)
    printError("%s: Can't read partition structure %d from file\n", ProgName, s.index);
  if (read != RecordRead::Whole)
    return false;
  s.dataOffset = static_cast<int64_t>(decodeShiftedOffset(header.dataOffset));
  s.dataStart = wrappingAdd(static_cast<int64_t>(s.address), s.dataOffset);
  const int64_t netFileLength = netFileLengthOf(input);
  const std::optional<uint64_t> length =
      partitionDataLength(decodeShiftedOffset(header.dataSize), static_cast<uint64_t>(s.dataStart),
                          s.next, netFileLength);
  if (!length) {
    const std::string program = shownName(ProgName);
    report("%s: File %s does not contain the data for partition %d.\n", program.c_str(),
           shownName(opts.inputFileName).c_str(), s.index);
    report("%s: Extraction of partition %d and beyond not done.\n", program.c_str(), s.index);
    return false;
  }
  s.dataLength = static_cast<int64_t>(*length);
  s.dataEnd = wrappingAdd(s.dataStart, s.dataLength);
  if (Verbose)
    report("Partition #%d length: %" PRIu64 " (0x%" PRIx64 ") bytes\n", s.index, *length, *length);
  return true;
}

// A data area that reaches past the input: the three shortage lines, then
// the stop, or with -f the cut at the input's end. False for the stop.
static bool fitToInput(const DecompOptions &opts, const InputFile &input, PartitionSlice &s) {
  const int64_t netFileLength = netFileLengthOf(input);
  if (static_cast<uint64_t>(s.dataEnd) <= static_cast<uint64_t>(netFileLength))
    return true;
  const uint64_t missing = static_cast<uint64_t>(s.dataEnd) - static_cast<uint64_t>(netFileLength);
  const std::string program = shownName(ProgName);
  report("%s: File %s does not contain enough data for partition %d.\n", program.c_str(),
         shownName(opts.inputFileName).c_str(), s.index);
  report("%s: File needs 0x%" PRIx64 " (%" PRId64 ") more bytes.\n", program.c_str(), missing,
         static_cast<int64_t>(missing));
  report("%s: Data start: 0x%" PRIx64 "; Length: 0x%" PRIx64 "; netFileLength: 0x%" PRIx64 "\n",
         program.c_str(), static_cast<uint64_t>(s.dataStart), static_cast<uint64_t>(s.dataLength),
         static_cast<uint64_t>(netFileLength));
  if (!opts.force) {
    report("%s: Extraction of partition %d and beyond not done.\n", program.c_str(), s.index);
    return false;
  }
  s.dataLength = wrappingSub(netFileLength, s.dataStart);
  s.dataEnd = netFileLength;
  return true;
}

// Writes the partition file of one entry and the pad file after it. False
// after a message.
static bool writePartitionFiles(OutputGuard &guard, const InputFile &input, const PartitionSlice &s,
                                const std::string &baseName) {
  // A range that ends before it begins (the next entry's partition lies
  // below this one, or the partition starts past the input) has no file.
  const int64_t rangeLength = wrappingAdd(s.dataOffset, s.dataLength);
  if (rangeLength < 0) {
    printError("%s: Partition %d at 0x%" PRIx64
               " would end before it begins; extraction of partition %d and beyond not done\n",
               ProgName, s.index, s.address, s.index);
    return false;
  }
  const std::string name =
      formatText("%s.%s.%d", baseName.c_str(), partitionTypeExt(s.type), s.index);
  if (Verbose)
    report("Extracting partition #%d to %s...\n", s.index, shownName(name.c_str()).c_str());
  if (!sliceFile(guard, name, input, diskAddressToFileOffset(s.address, input.fileStartAddress),
                 rangeLength)) {
    report("%s: Extraction of partition %d failed\n", shownName(ProgName).c_str(), s.index);
    return false;
  }
  if (!s.next || static_cast<int64_t>(*s.next) <= s.dataEnd)
    return true;
  const std::string padName = formatText("%s.pad.%d", baseName.c_str(), s.index);
  if (!sliceFile(guard, padName, input,
                 diskAddressToFileOffset(static_cast<uint64_t>(s.dataEnd), input.fileStartAddress),
                 wrappingSub(static_cast<int64_t>(*s.next), s.dataEnd))) {
    report("%s: Extraction of partition %d-%d pad failed\n", shownName(ProgName).c_str(), s.index,
           s.index + 1);
    return false;
  }
  return true;
}

bool extractPartitions(const DecompOptions *opts, const InputFile &input, OutputGuard &guard,
                       PartitionTable &table, const std::string &baseName) {
  // Every header is read before any file is written, so a table with an
  // unreadable header writes nothing.
  if (!readPartitionLengths(input, table))
    return false;
  for (uint32_t i = 0; i < table.count; ++i) {
    PartitionInfo entry;
    if (!readTableEntry(table, i, entry))
      return false;
    PartitionSlice s;
    s.index = static_cast<int>(i);
    s.address = decodeShiftedOffset(entry.partitionOffset);
    s.type = static_cast<uint32_t>(entry.partitionType);
    if (i + 1 < table.count && !(s.next = readPartitionAddress(table, i + 1)))
      return false;
    if (!settleDataLength(*opts, input, s) || !fitToInput(*opts, input, s) ||
        !writePartitionFiles(guard, input, s, baseName))
      return false;
  }
  return true;
}

// The buffer that sliceFile moves a partition through.
constexpr size_t SliceBufferSize = 0x800000;

// Copies the range into `out`; false after its message.
static bool copySlice(const std::string &outputFileName, OutputFile &out, const InputFile &input,
                      int64_t offset, int64_t length) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[SliceBufferSize]);
  if (!buffer) {
    printError("%s: Can't allocate %u bytes\n", ProgName, static_cast<unsigned>(SliceBufferSize));
    return false;
  }
  if (offsetError(input, offset) != 0) {
    printError("%s: Seeking to partition data start failed\n", ProgName);
    return false;
  }
  CopyRequest request;
  request.input = &input;
  request.offset = offset;
  request.count = static_cast<uint64_t>(length);
  request.output = &out;
  request.buffer = {buffer.get(), SliceBufferSize};
  request.progressLabel = outputFileName.c_str();
  switch (copyRange(request)) {
  case CopyEnd::Done:
    return true;
  case CopyEnd::InputEnded:
    printError("%s: EOF reached on input file before end of partiton", ProgName);
    return false;
  case CopyEnd::ReadFailed:
    printError("%s: Read error on input file\n", ProgName);
    return false;
  case CopyEnd::WriteFailed:
    break;
  }
  printError("Write error when writing file %s\n", outputFileName.c_str());
  return false;
}

bool sliceFile(OutputGuard &guard, const std::string &outputFileName, const InputFile &input,
               int64_t offset, int64_t length) {
  // Callers never ask for a negative length; copying nothing is the only
  // safe answer to one.
  const OutputEnd end = writeOutputFile(guard, input, outputFileName,
                                        length < 0 ? Fill::Nothing : Fill::Slice, offset, length);
  if (!end.opened)
    return false;
  if (length < 0)
    printError("%s: Refusing to copy a negative length into %s\n", ProgName,
               outputFileName.c_str());
  if (!end.closed)
    printError("%s: Closing output file %s failed (%s)\n", ProgName, outputFileName.c_str(),
               std::strerror(end.closeError));
  return end.filled && length >= 0 && end.closed;
}
