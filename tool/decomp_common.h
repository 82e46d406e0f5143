// SPDX-License-Identifier: MIT
// Reading what the partition table and the partition headers point to, and
// the names of the partition types. Every read sizes its buffer by what it
// reads now, never by a count or size that the image declares.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "../format/DF_structs.h"
#include "../util/input_file.h"

// Rows of the partition type tables; types at or above this have no row.
extern const uint32_t NumPartitionTypes;
// The name of each partition type in the partition listing.
extern const char *const partitionTypeToString[];

// A byte range that lay whole inside the input when it was measured (or in a
// buffer, when `memory` is set), read through a small window: walking it
// costs one read per window, and no buffer grows with its declared size.
struct InputRange {
  const InputFile *input = nullptr;
  const uint8_t *memory = nullptr;
  int64_t start = 0; // file offset of the range's first byte
  uint64_t size = 0;
  std::vector<uint8_t> window;
  uint64_t windowStart = 0;
};

// The most that one readRange may ask for.
constexpr size_t InputWindowSize = 0x10000;

// Copies `count` bytes at `pos` of the range; false when they lie outside it
// or the input no longer holds them (it shrank, or a read failed).
bool readRange(InputRange &range, uint64_t pos, void *into, size_t count);

// The partition info table: `count` entries that lay inside the input.
struct PartitionTable {
  InputRange range;
  uint32_t count = 0;
};

// Reads table entry `index`; false after "Can't read partition infos from
// file" when the input no longer holds it.
bool readTableEntry(PartitionTable &table, uint32_t index, PartitionInfo &entry);

// The decoded disk address of table entry `index`; nullopt after the message
// of readTableEntry.
std::optional<uint64_t> readPartitionAddress(PartitionTable &table, uint32_t index);

// Reads the 704-byte header of the partition at `partitionAddress`.
// Unreachable after "Seeking to partition offset failed"; Short without a
// message, since each caller names the header it could not read.
RecordRead readPartitionHeader(const InputFile &input, uint64_t partitionAddress,
                               PartitionHeader &header);

// The length pass: reads the header of every table entry, on which every
// data length depends, so that a table with an unreadable header is refused
// before any partition file is written. False after a message.
bool readPartitionLengths(const InputFile &input, PartitionTable &table);

// The partition's title metadata as a range of the input: exactly tmdSize
// bytes, refused (with "Can't read TMD from file") when the input does not
// hold them. Nothing is read yet; empty after a message.
std::optional<InputRange> readTmdFromPartition(const InputFile &input,
                                               const PartitionHeader &header,
                                               uint64_t partitionAddress);

// The partition's certificate chain, exactly certSize bytes, under the same
// rules as readTmdFromPartition.
std::optional<InputRange> readCertBlobFromPartition(const InputFile &input,
                                                    const PartitionHeader &header,
                                                    uint64_t partitionAddress);
