// Reading the parts of a partition that its header points to, and the names
// of the partition types.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "../format/DF_structs.h"

// Rows of the partition type tables; types at or above this have no row.
extern const uint32_t NumPartitionTypes;
// The name of each partition type in the partition listing.
extern const char *const partitionTypeToString[];

using ByteBuffer = std::vector<uint8_t>;

// Fills lengths[i] with the data-area length of table entry i, reading every
// partition header once: the declared data size when valid, else the distance
// to the next entry's partition (or to the end of the input for the last
// entry), wrapped modulo 2^64. False after a message; entries before the one
// that failed are filled.
bool readPartitionLengths(FILE *input, const char *inputFileName, uint32_t numPartitions,
                          const PartitionInfo *partitionInfos, int64_t fileStartAddress,
                          uint64_t *lengths);

// Reads a partition's title metadata, exactly tmdSize bytes. Nothing is
// allocated for bytes that the input cannot hold. Empty after a message.
std::optional<ByteBuffer> readTmdFromPartition(FILE *input, const PartitionHeader &header,
                                               uint64_t partitionAddress, int64_t fileStartAddress);

// Reads a partition's certificate chain, exactly certSize bytes, under the
// same rules as readTmdFromPartition.
std::optional<ByteBuffer> readCertBlobFromPartition(FILE *input, const PartitionHeader &header,
                                                    uint64_t partitionAddress,
                                                    int64_t fileStartAddress);

// Bytes that the input stream holds from `offset` to its end; 0 when the
// offset lies at or past the end or the size cannot be found.
uint64_t bytesAvailableAt(FILE *input, int64_t offset);
