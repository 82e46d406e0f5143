// SPDX-License-Identifier: MIT
#include "decomp_common.h"

#include <algorithm>
#include <cstring>

#include "../format/disk_format.h"
#include "../util/tool_common.h"

const uint32_t NumPartitionTypes = 3;
const char *const partitionTypeToString[] = {"BootGame", "Update", "Game"};

bool readRange(InputRange &range, uint64_t pos, void *into, size_t count) {
  if (pos > range.size || count > range.size - pos || count > InputWindowSize)
    return false;
  if (range.memory != nullptr) {
    std::memcpy(into, range.memory + pos, count);
    return true;
  }
  if (pos < range.windowStart || pos + count > range.windowStart + range.window.size()) {
    range.window.resize(static_cast<size_t>(std::min<uint64_t>(InputWindowSize, range.size - pos)));
    range.windowStart = pos;
    if (readRecord(*range.input, range.start + static_cast<int64_t>(pos), range.window.data(),
                   range.window.size()) != RecordRead::Whole) {
      range.window.clear();
      return false;
    }
  }
  std::memcpy(into, range.window.data() + (pos - range.windowStart), count);
  return true;
}

bool readTableEntry(PartitionTable &table, uint32_t index, PartitionInfo &entry) {
  if (!readRange(table.range, uint64_t{index} * sizeof entry, &entry, sizeof entry)) {
    printError("%s: Can't read partition infos from file\n", ProgName);
    return false;
  }
  return true;
}

std::optional<uint64_t> readPartitionAddress(PartitionTable &table, uint32_t index) {
  PartitionInfo entry;
  if (!readTableEntry(table, index, entry))
    return std::nullopt;
  return decodeShiftedOffset(entry.partitionOffset);
}

RecordRead readPartitionHeader(const InputFile &input, uint64_t partitionAddress,
                               PartitionHeader &header) {
  const RecordRead read =
      readRecord(input, diskAddressToFileOffset(partitionAddress, input.fileStartAddress), &header,
                 sizeof header);
  if (read == RecordRead::Unreachable)
    printError("%s: Seeking to partition offset failed\n", ProgName);
  return read;
}

bool readPartitionLengths(const InputFile &input, PartitionTable &table) {
  for (uint32_t i = 0; i < table.count; ++i) {
    const std::optional<uint64_t> address = readPartitionAddress(table, i);
    if (!address)
      return false;
    PartitionHeader header;
    const RecordRead read = readPartitionHeader(input, *address, header);
    if (read == RecordRead::Short)
      printError("%s: Can't read partiton %d from file\n", ProgName, static_cast<int>(i));
    if (read != RecordRead::Whole)
      return false;
  }
  return true;
}

namespace {

// What a partition reader fetches; it names the piece in the messages.
enum class Piece { Tmd, Certificates };

// The `size` bytes at `offset` from the partition's start, refused when the
// input does not hold them there.
std::optional<InputRange> findPartitionPiece(const InputFile &input, uint64_t partitionAddress,
                                             ShiftedOffset offset, uint32_t size, Piece piece) {
  const int64_t fileOffset = diskAddressToFileOffset(partitionAddress + decodeShiftedOffset(offset),
                                                     input.fileStartAddress);
  if (offsetError(input, fileOffset) != 0) {
    if (piece == Piece::Tmd)
      printError("%s: Seeking to partition offset failed\n", ProgName);
    else
      printError("%s: Seeking to partition's certificates failed\n", ProgName);
    return std::nullopt;
  }
  if (size == 0 || size > bytesAvailableAt(input, fileOffset)) {
    if (piece == Piece::Tmd)
      printError("%s: Can't read TMD from file\n", ProgName);
    else
      printError("%s: Can't read certificates from file\n", ProgName);
    return std::nullopt;
  }
  InputRange range;
  range.input = &input;
  range.start = fileOffset;
  range.size = size;
  return range;
}

} // namespace

std::optional<InputRange> readTmdFromPartition(const InputFile &input,
                                               const PartitionHeader &header,
                                               uint64_t partitionAddress) {
  return findPartitionPiece(input, partitionAddress, header.tmdOffset,
                            static_cast<uint32_t>(header.tmdSize), Piece::Tmd);
}

std::optional<InputRange> readCertBlobFromPartition(const InputFile &input,
                                                    const PartitionHeader &header,
                                                    uint64_t partitionAddress) {
  return findPartitionPiece(input, partitionAddress, header.certOffset,
                            static_cast<uint32_t>(header.certSize), Piece::Certificates);
}
