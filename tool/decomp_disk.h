// SPDX-License-Identifier: MIT
// The decomp_disk tool: the command line, the driver, the metadata reports and
// the extraction of partitions. Declared here so the tests can call the
// routines directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "../format/DF_structs.h"
#include "../util/input_file.h"
#include "../util/output_guard.h"
#include "decomp_common.h"

// The parsed command line; filled once, then only read.
struct DecompOptions {
  const char *inputFileName; // the argument itself, not a copy
  bool diskImage;            // -d
  bool moxBin;               // -r
  bool extract;              // -x
  bool force;                // -f: cut a partition at the end of the input
  bool print;                // -p
};

// Set by -v: the version banner and two progress lines per partition.
extern bool Verbose;

// The version text of the banner.
extern const char *const VersionText;

// The whole run; returns the exit status (0, 1, or -1 for a failure after the
// input was opened). -h and command-line errors end the process directly.
int decompDiskMain(int argc, char **argv);

// Prints the banner, the usage line and the option list on standard error.
void usage();
// Fills `options` from the command line, or ends the process with the usage
// text: status 0 for -h, 1 for any error.
void processOptions(int argc, char **argv, DecompOptions *options);
// The output file-name stem: the input name without a trailing ".bin", ".obk"
// or ".pwx"; never cut, whatever its length.
void determineBaseName(const char *inputFileName, std::string &baseName);

// Prints the disk header block of a disk image. False after a message.
bool dumpDiskBeginning(const DecompOptions *options, const InputFile &input);

// Reads the game table of contents at its disk address and the partition
// table, then prints and/or extracts as the options ask. True only
// when everything asked for was done.
bool decomposeSecurityRegion(const DecompOptions *options, const InputFile &input,
                             OutputGuard &guard, const std::string &baseName);

// Prints one partition's block. True only when its header, its title metadata
// (whole) and its certificate chain were read.
bool printPartition(const InputFile &input, uint64_t partitionAddress, const char *indent);
void printEticket(const Eticket &ticket, const char *indent);
const char *limitTypeToStr(uint32_t limitType);

// Prints the title metadata; only what lies inside its tmdSize bytes is
// printed. False when it is shorter than its records need, or unreadable.
bool printTmd(InputRange &tmd, const char *indent);

// How a walk of a certificate chain ended.
enum class CertWalk {
  Complete,  // every certificate was printed
  Stopped,   // at a certificate that is unknown or does not fit in the chain
  Unreadable // the input no longer held the chain (after a message)
};
CertWalk printCertChain(InputRange &chain, const char *indent);
// Prints the certificate chain held in `size` bytes. False when the walk
// stopped at a certificate that is unknown or does not fit in the chain.
bool printCerts(const uint8_t *chain, uint32_t size, const char *indent);
// Flag words as text; every word ends with a blank. Constant texts.
const char *titleTypeToStr(uint32_t titleType);
const char *accessRightsToStr(uint32_t accessRights);
const char *contentTypeToStr(uint16_t contentType);

// Writes every partition, and every gap before the next entry's partition, to
// files of their own. True only when every entry was written.
bool extractPartitions(const DecompOptions *options, const InputFile &input, OutputGuard &guard,
                       PartitionTable &table, const std::string &baseName);

// Copies `length` bytes at file offset `offset` of the input into a new file,
// which the guard must let it write.
bool sliceFile(OutputGuard &guard, const std::string &outputFileName, const InputFile &input,
               int64_t offset, int64_t length);

// The file-name component of a partition type's files.
const char *partitionTypeExt(uint32_t partitionType);
