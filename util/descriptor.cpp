// SPDX-License-Identifier: MIT
#include "descriptor.h"

#include "platform.h"

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

int Descriptor::close() {
  if (fd_ < 0)
    return 0;
  const int result = closeDescriptor(fd_);
  fd_ = -1;
  return result;
}
