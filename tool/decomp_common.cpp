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
    FILE *stream = range.input->stream.get();
    if (fseeko(stream, range.start + static_cast<int64_t>(pos), SEEK_SET) != 0 ||
        std::fread(range.window.data(), 1, range.window.size(), stream) != range.window.size()) {
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

bool readPartitionHeader(const InputFile &input, uint64_t partitionAddress, PartitionHeader &header,
                         const char *shortReadMessage, int index) {
  FILE *stream = input.stream.get();
  if (fseeko(stream, diskAddressToFileOffset(partitionAddress, input.fileStartAddress), SEEK_SET) !=
      0) {
    printError("%s: Seeking to partition offset failed\n", ProgName);
    return false;
  }
  if (std::fread(&header, sizeof header, 1, stream) != 1) {
    printError(shortReadMessage, ProgName, index);
    return false;
  }
  return true;
}

bool readPartitionLengths(const InputFile &input, PartitionTable &table) {
  for (uint32_t i = 0; i < table.count; ++i) {
    const std::optional<uint64_t> address = readPartitionAddress(table, i);
    PartitionHeader header;
    if (!address ||
        !readPartitionHeader(input, *address, header, "%s: Can't read partiton %d from file\n",
                             static_cast<int>(i)))
      return false;
  }
  return true;
}

namespace {

// Messages of one partition reader.
struct ReaderMessages {
  const char *seekFailed;
  const char *readFailed;
};

// The `size` bytes at `offset` from the partition's start, refused when the
// input does not hold them there.
std::optional<InputRange> findPartitionPiece(const InputFile &input, uint64_t partitionAddress,
                                             ShiftedOffset offset, uint32_t size,
                                             const ReaderMessages &messages) {
  const int64_t fileOffset = diskAddressToFileOffset(partitionAddress + decodeShiftedOffset(offset),
                                                     input.fileStartAddress);
  if (fseeko(input.stream.get(), fileOffset, SEEK_SET) != 0) {
    printError(messages.seekFailed, ProgName);
    return std::nullopt;
  }
  if (size == 0 || size > bytesAvailableAt(input, fileOffset)) {
    printError(messages.readFailed, ProgName);
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
  static const ReaderMessages messages = {"%s: Seeking to partition offset failed\n",
                                          "%s: Can't read TMD from file\n"};
  return findPartitionPiece(input, partitionAddress, header.tmdOffset,
                            static_cast<uint32_t>(header.tmdSize), messages);
}

std::optional<InputRange> readCertBlobFromPartition(const InputFile &input,
                                                    const PartitionHeader &header,
                                                    uint64_t partitionAddress) {
  static const ReaderMessages messages = {"%s: Seeking to partition's certificates failed\n",
                                          "%s: Can't read certificates from file\n"};
  return findPartitionPiece(input, partitionAddress, header.certOffset,
                            static_cast<uint32_t>(header.certSize), messages);
}
