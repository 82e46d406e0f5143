// SPDX-License-Identifier: MIT
// On-disc records of the disc image, laid out byte for byte as stored. Every
// multi-byte field is big-endian and is held as a byte array of its width, so
// a record has no padding and a field cannot be used without converting it.
#pragma once

#include <cstddef>
#include <cstdint>

// A big-endian unsigned field of N bytes; its one conversion gives the value.
template <typename T, size_t N> struct BigEndian {
  uint8_t bytes[N];

  constexpr explicit operator T() const {
    T v = 0;
    for (size_t i = 0; i < N; ++i)
      v = static_cast<T>((v << 8) | bytes[i]);
    return v;
  }
};

using Be16 = BigEndian<uint16_t, 2>;
using Be32 = BigEndian<uint32_t, 4>;
using Be64 = BigEndian<uint64_t, 8>;

// A byte count or byte offset stored divided by 4.
struct ShiftedOffset {
  Be32 stored;
};

static_assert(sizeof(Be16) == 2 && sizeof(Be32) == 4 && sizeof(Be64) == 8);
static_assert(sizeof(ShiftedOffset) == 4 && alignof(ShiftedOffset) == 1);

// Disk address 0: what kind of disc this is.
struct DiskId {
  uint8_t gameName[4];
  uint8_t company[2];
  uint8_t unused06[18];
  Be32 vandelmereMagic;
  Be32 mirrodelMagic;
};

// Disk address 0x20: the title and the two switches.
struct DiskInfo {
  char longGameName[64];
  uint8_t hashingOff;
  uint8_t encryptionOff;
};

// Disk address 0x40000: the game table of contents.
struct GameToc {
  Be32 numPartitions;
  ShiftedOffset partitionInfoOffset;
  uint8_t unused08[24];
};

// One entry of the partition info table.
struct PartitionInfo {
  ShiftedOffset partitionOffset;
  Be32 partitionType;
};

struct TicketLimit {
  Be32 limitType;
  Be32 limitValue;
};

// The ticket: the first 676 bytes of a partition header.
struct Eticket {
  uint8_t unused000[320];
  char issuer[64];
  uint8_t unused180[92];
  Be64 titleId;
  uint8_t unused1e4[128];
  TicketLimit limits[8];
};

// The 704 bytes at a partition's first byte.
struct PartitionHeader {
  Eticket ticket;
  Be32 tmdSize;
  ShiftedOffset tmdOffset;
  Be32 certSize;
  ShiftedOffset certOffset;
  ShiftedOffset h3Offset;
  ShiftedOffset dataOffset;
  ShiftedOffset dataSize;
};

// One content record of the title metadata.
struct TmdContent {
  Be32 contentId;
  Be16 contentIndex;
  Be16 contentType;
  Be64 contentSize;
  uint8_t unused10[20];
};

// The fixed part of the title metadata; `numContents` TmdContent records
// follow it back to back.
struct Tmd {
  uint8_t unused000[388];
  Be64 sysVersion;
  Be64 titleId;
  Be32 titleType;
  Be16 groupId;
  uint8_t unused19a[62];
  Be32 accessRights;
  Be16 titleVersion;
  Be16 numContents;
  uint8_t unused1e0[4];
};

// The certificate chain is a run of certificates of varying length; its layout
// is given by the constants in disk_format.h rather than by a record.

static_assert(sizeof(DiskId) == 32 && offsetof(DiskId, vandelmereMagic) == 0x18 &&
              offsetof(DiskId, mirrodelMagic) == 0x1C);
static_assert(sizeof(DiskInfo) == 66 && offsetof(DiskInfo, hashingOff) == 0x40 &&
              offsetof(DiskInfo, encryptionOff) == 0x41);
static_assert(sizeof(GameToc) == 32 && offsetof(GameToc, partitionInfoOffset) == 4);
static_assert(sizeof(PartitionInfo) == 8 && offsetof(PartitionInfo, partitionType) == 4);
static_assert(sizeof(TicketLimit) == 8);
static_assert(sizeof(Eticket) == 676 && offsetof(Eticket, issuer) == 0x140 &&
              offsetof(Eticket, titleId) == 0x1DC && offsetof(Eticket, limits) == 0x264);
static_assert(sizeof(PartitionHeader) == 704 && offsetof(PartitionHeader, tmdSize) == 0x2A4 &&
              offsetof(PartitionHeader, tmdOffset) == 0x2A8 &&
              offsetof(PartitionHeader, certSize) == 0x2AC &&
              offsetof(PartitionHeader, certOffset) == 0x2B0 &&
              offsetof(PartitionHeader, h3Offset) == 0x2B4 &&
              offsetof(PartitionHeader, dataOffset) == 0x2B8 &&
              offsetof(PartitionHeader, dataSize) == 0x2BC);
static_assert(sizeof(TmdContent) == 36 && offsetof(TmdContent, contentType) == 6 &&
              offsetof(TmdContent, contentSize) == 8);
static_assert(sizeof(Tmd) == 0x1E4 && offsetof(Tmd, sysVersion) == 0x184 &&
              offsetof(Tmd, titleId) == 0x18C && offsetof(Tmd, titleType) == 0x194 &&
              offsetof(Tmd, groupId) == 0x198 && offsetof(Tmd, accessRights) == 0x1D8 &&
              offsetof(Tmd, titleVersion) == 0x1DC && offsetof(Tmd, numContents) == 0x1DE);
