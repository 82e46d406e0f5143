// SPDX-License-Identifier: MIT
// What platform_posix.cpp asks of the piece that each system brings
// (platform_generic.cpp, platform_linux.cpp, platform_macos.cpp), besides
// the seam's own functions that the piece defines. For the platform files
// only.
#pragma once

#include <cstdint>

#include "platform.h"

// The stamp of the regular file open on `fd` (see FileIdentity::stamp).
uint32_t stampOfFile(int fd);
// The whole disk that holds the block device `device`; `device` itself when
// it is no partition or the system cannot tell.
uint64_t wholeDiskOf(uint64_t device);
// The capacity of the block device open on `fd`; false where the system
// cannot tell it.
bool blockDeviceSize(int fd, uint64_t &size);
