// SPDX-License-Identifier: MIT
// Turns a fuzz input into the run it stands for: writes the sparse input file
// and prints the command line (and the output cap) that the harness used, so a
// finding can be replayed with the ordinary binary.
//
// Usage: unpack_input FUZZ_INPUT IMAGE_PATH [any|print|extract]
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_input.h"

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s FUZZ_INPUT IMAGE_PATH [any|print|extract]\n", argv[0]);
    return 2;
  }
  fuzzinput::Modes modes = fuzzinput::Modes::Any;
  if (argc == 4 && std::strcmp(argv[3], "print") == 0)
    modes = fuzzinput::Modes::Print;
  else if (argc == 4 && std::strcmp(argv[3], "extract") == 0)
    modes = fuzzinput::Modes::Extract;
  else if (argc == 4 && std::strcmp(argv[3], "any") != 0) {
    std::fprintf(stderr, "%s: unknown mode set %s\n", argv[0], argv[3]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  const fuzzinput::Run run = fuzzinput::decode(data.data(), data.size(), modes);
  if (!fuzzinput::writeInput(argv[2], run)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[2], std::strerror(errno));
    return 1;
  }
  std::printf("# %zu pieces, file size 0x%" PRIx64 ", output cap 0x%" PRIx64 " bytes%s\n",
              run.pieces.size(), run.fileSize, run.outputLimit,
              run.stdoutFull ? ", standard output /dev/full" : "");
  for (const fuzzinput::Piece &p : run.pieces)
    std::printf("#   file offset 0x%" PRIx64 ": 0x%zx bytes\n", p.fileOffset, p.bytes.size());
  std::printf("decomp_disk");
  for (const std::string &a : run.options())
    std::printf(" %s", a.c_str());
  std::printf(" %s\n", argv[2]);
  return 0;
}
