// SPDX-License-Identifier: MIT
// A file descriptor owned by the code that opened it.
#pragma once

// Owns a file descriptor and closes it when it goes out of scope. Code that
// must see the result of the close calls close() itself.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor &operator=(Descriptor &&other) noexcept;
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  // Closes the descriptor; 0, or the errno of a close that failed.
  int close();
  void reset() { (void)close(); }

private:
  int fd_ = -1;
};
