#include "decomp_common.h"

#include <new>
#include <sys/stat.h>

#include "../format/disk_format.h"
#include "../util/tool_common.h"

const uint32_t NumPartitionTypes = 3;
const char *const partitionTypeToString[] = {"BootGame", "Update", "Game"};

uint64_t bytesAvailableAt(FILE *input, int64_t offset) {
  struct stat st;
  if (fstat(fileno(input), &st) != 0 || offset < 0 || offset >= st.st_size)
    return 0;
  return static_cast<uint64_t>(st.st_size - offset);
}

bool readPartitionLengths(FILE *input, const char *inputFileName, uint32_t numPartitions,
                          const PartitionInfo *partitionInfos, int64_t fileStartAddress,
                          uint64_t *lengths) {
  uint64_t size;
  if (!fileSize(inputFileName, size)) {
    std::fprintf(stderr, "%s: Can't get length of file %s - exit\n", ProgName, inputFileName);
    return false;
  }
  const uint64_t netFileLength = static_cast<uint64_t>(fileStartAddress) + size;

  for (uint32_t i = 0; i < numPartitions; ++i) {
    const uint64_t partitionAddress = decodeShiftedOffset(partitionInfos[i].partitionOffset);
    if (fseeko(input, diskAddressToFileOffset(partitionAddress, fileStartAddress), SEEK_SET) != 0) {
      std::fprintf(stderr, "%s: Seeking to partition offset failed\n", ProgName);
      return false;
    }
    PartitionHeader header;
    if (std::fread(&header, sizeof header, 1, input) != 1) {
      std::fprintf(stderr, "%s: Can't read partiton %d from file\n", ProgName, static_cast<int>(i));
      return false;
    }
    const uint64_t dataStart = partitionAddress + decodeShiftedOffset(header.dataOffset);
    const uint64_t declaredLength = decodeShiftedOffset(header.dataSize);
    if (isValidDataSize(declaredLength))
      lengths[i] = declaredLength;
    else if (i + 1 < numPartitions)
      lengths[i] = decodeShiftedOffset(partitionInfos[i + 1].partitionOffset) - dataStart;
    else
      lengths[i] = netFileLength - dataStart;
  }
  return true;
}

namespace {

// Messages of one partition reader.
struct ReaderMessages {
  const char *seekFailed;
  const char *allocFailed;
  const char *readFailed;
};

// Reads `size` bytes at `offset` from the partition's start, refusing before
// any allocation a size that the input cannot hold there.
std::optional<ByteBuffer> readPartitionPiece(FILE *input, uint64_t partitionAddress,
                                             int64_t fileStartAddress, ShiftedOffset offset,
                                             uint32_t size, const ReaderMessages &messages) {
  const int64_t fileOffset =
      diskAddressToFileOffset(partitionAddress + decodeShiftedOffset(offset), fileStartAddress);
  if (fseeko(input, fileOffset, SEEK_SET) != 0) {
    std::fprintf(stderr, messages.seekFailed, ProgName);
    return std::nullopt;
  }
  if (size == 0 || size > bytesAvailableAt(input, fileOffset)) {
    std::fprintf(stderr, messages.readFailed, ProgName);
    return std::nullopt;
  }
  ByteBuffer buffer;
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, messages.allocFailed, ProgName);
    return std::nullopt;
  }
  if (std::fread(buffer.data(), size, 1, input) != 1) {
    std::fprintf(stderr, messages.readFailed, ProgName);
    return std::nullopt;
  }
  return buffer;
}

} // namespace

std::optional<ByteBuffer> readTmdFromPartition(FILE *input, const PartitionHeader &header,
                                               uint64_t partitionAddress,
                                               int64_t fileStartAddress) {
  static const ReaderMessages messages = {"%s: Seeking to partition offset failed\n",
                                          "%s: Can't allocate space for TMD\n",
                                          "%s: Can't read TMD from file\n"};
  return readPartitionPiece(input, partitionAddress, fileStartAddress, header.tmdOffset,
                            static_cast<uint32_t>(header.tmdSize), messages);
}

std::optional<ByteBuffer> readCertBlobFromPartition(FILE *input, const PartitionHeader &header,
                                                    uint64_t partitionAddress,
                                                    int64_t fileStartAddress) {
  static const ReaderMessages messages = {"%s: Seeking to partition's certificates failed\n",
                                          "%s: Can't allocate space for certificates\n",
                                          "%s: Can't read certificates from file\n"};
  return readPartitionPiece(input, partitionAddress, fileStartAddress, header.certOffset,
                            static_cast<uint32_t>(header.certSize), messages);
}
