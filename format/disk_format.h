// SPDX-License-Identifier: MIT
// Constants of the disc layout and the arithmetic that maps stored fields to
// disk addresses and disk addresses to offsets in the input file.
#pragma once

#include <cstdint>
#include <optional>

#include "DF_structs.h"

// Fixed disk addresses.
constexpr uint64_t DiskIdAddress = 0x0;
constexpr uint64_t DiskInfoAddress = 0x20;
constexpr uint64_t GameTocAddress = 0x40000;

// Disk address of the input file's first byte, per kind of input file.
constexpr int64_t MoxBinFileStartAddress = 0x40000;
constexpr int64_t DiskImageFileStartAddress = -0x8000;

// The magic numbers that name the disk type.
constexpr uint32_t VandelmereMagic = 0x5D1C9EA3;
constexpr uint32_t MirrodelMagic = 0x23339F3D;

// A stored data size is valid only when nonzero and a multiple of this.
constexpr uint64_t DataSizeGranule = 0x8000;
// The H3 table's length in bytes.
constexpr uint32_t H3TableSize = 0x18000;

// Certificate kinds of a certificate chain.
constexpr uint32_t SigTypeRsa4096 = 0x10000;
constexpr uint32_t SigTypeRsa2048 = 0x10001;
constexpr uint32_t SigTypeEcc = 0x10002;

// Where a certificate's fields lie, from its first byte, and its length.
struct CertLayout {
  uint32_t issuerOffset;
  uint32_t nameOffset;
  uint32_t length;
};
constexpr uint32_t CertIssuerSize = 64;
constexpr uint32_t CertKeyTypeOffset = 0x180; // read for SigTypeRsa2048 only

// Decodes a ShiftedOffset in 64 bits: nothing is lost, 0xFFFFFFFF gives
// 0x3FFFFFFFC.
constexpr uint64_t decodeShiftedOffset(ShiftedOffset so) {
  return static_cast<uint64_t>(static_cast<uint32_t>(so.stored)) << 2;
}

// Decodes a ShiftedOffset in 32 bits, as the partition info table's address
// is: the top two stored bits are lost.
constexpr uint32_t decodeShiftedOffset32(ShiftedOffset so) {
  return static_cast<uint32_t>(static_cast<uint32_t>(so.stored) << 2);
}

// Sums and differences of disk addresses, file offsets and lengths wrap
// around in 64 bits, as two's complement: none is tested for overflow unless
// its user says so, and none is undefined for any value.
constexpr int64_t wrappingAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
constexpr int64_t wrappingSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// The disk address just past the input's last byte (netFileLength): where
// the file starts plus its size, wrapped like every other sum.
constexpr int64_t inputEndAddress(int64_t fileStartAddress, uint64_t fileSize) {
  return wrappingAdd(fileStartAddress, static_cast<int64_t>(fileSize));
}

// The input file offset of a disk address; negative for addresses in front of
// the file, which makes a seek there fail.
constexpr int64_t diskAddressToFileOffset(uint64_t diskAddress, int64_t fileStartAddress) {
  return wrappingSub(static_cast<int64_t>(diskAddress), fileStartAddress);
}

// True when a decoded data size can be trusted as the data area's length.
constexpr bool isValidDataSize(uint64_t declaredLength) {
  return declaredLength != 0 && (declaredLength & (DataSizeGranule - 1)) == 0;
}

// The length of a partition's data area: the declared length when it is
// valid; otherwise up to the next table entry's partition, modulo 2^64 (so a
// next entry below the data start gives a wrapped length); for the last entry
// (no next address) up to the end of the input, and none at all when the data
// would start at or past that end.
constexpr std::optional<uint64_t> partitionDataLength(uint64_t declaredLength, uint64_t dataStart,
                                                      std::optional<uint64_t> nextAddress,
                                                      int64_t netFileLength) {
  if (isValidDataSize(declaredLength))
    return declaredLength;
  if (nextAddress)
    return *nextAddress - dataStart;
  if (netFileLength > static_cast<int64_t>(dataStart))
    return static_cast<uint64_t>(netFileLength) - dataStart;
  return std::nullopt;
}
