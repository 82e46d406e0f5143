// SPDX-License-Identifier: MIT
// The floor of the copy benchmark: one file copied whole by the kernel, with
// as few copy_file_range calls as it takes. Usage: whole_file_copy FROM TO
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: whole_file_copy FROM TO\n");
    return 2;
  }
  const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  struct stat st;
  if (in < 0 || out < 0 || fstat(in, &st) != 0) {
    std::fprintf(stderr, "whole_file_copy: %s\n", std::strerror(errno));
    return 1;
  }
  off_t left = st.st_size;
  while (left > 0) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
    if (n <= 0) {
      std::fprintf(stderr, "whole_file_copy: %s\n", n < 0 ? std::strerror(errno) : "short input");
      return 1;
    }
    left -= n;
  }
  return close(out) == 0 ? 0 : 1;
}
