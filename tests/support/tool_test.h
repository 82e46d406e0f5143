// What the binary-driven test suites share: a fixture that gives each test a
// fresh directory to run the tool in, and a partition that print mode reads
// without complaint.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"

// Runs the tool in a temporary directory of the test's own, removed after it.
class ToolDirTest : public ::testing::Test {
protected:
  void SetUp() override { dir = runtool::makeTempDir(); }
  void TearDown() override { runtool::removeTree(dir); }

  // Runs the tool with `args` in `cwd` (the test's directory when empty).
  runtool::RunResult run(const std::vector<std::string> &args, const std::string &cwd = "") {
    runtool::RunOptions opt;
    opt.cwd = cwd.empty() ? dir : cwd;
    return runtool::runTool(args, opt);
  }

  std::string dir;
};

// A partition given in bytes (the header stores offsets and sizes / 4), with a
// small title metadata and one certificate right after its header.
inline discimg::PartitionPlan partitionWithMetadata(uint64_t address, uint32_t type,
                                                    uint64_t dataOffset, uint64_t dataSize) {
  constexpr uint64_t headerSize = 0x2C0;
  discimg::PartitionPlan p;
  p.address = address;
  p.type = type;
  p.dataOffset = static_cast<uint32_t>(dataOffset / 4);
  p.dataSize = static_cast<uint32_t>(dataSize / 4);
  p.tmd = discimg::makeTmd({});
  p.tmdOffset = headerSize / 4;
  p.certs = discimg::makeCert(0x10002, 0, "Root", "CA01");
  p.certOffset = static_cast<uint32_t>((headerSize + p.tmd.size()) / 4);
  return p;
}

// One output file: `length` bytes of the input from file offset `from`.
struct OutFile {
  std::string name;
  uint64_t from;
  uint64_t length;
};

// True when `out` holds bytes [from, from + length) of `in`. Outputs over
// 64 MiB are compared in three 1 MiB windows: start, middle and end.
inline bool holdsRange(const std::string &out, const std::string &in, uint64_t from,
                       uint64_t length) {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  if (length <= 64 * MiB)
    return discimg::sameAsRange(out, in, from, length);
  for (uint64_t at : {uint64_t{0}, (length / 2) & ~uint64_t{0xFFF}, length - MiB})
    if (discimg::readFileRange(out, at, MiB) != discimg::readFileRange(in, from + at, MiB))
      return false;
  return true;
}

// `dir` holds exactly `files` besides the input (directories and symbolic
// links that the case made aside), each holding its range of `reference`,
// the input as it was laid out.
inline void expectOutputs(const std::string &dir, const std::string &input,
                          const std::string &reference, const std::vector<OutFile> &files,
                          const std::string &what) {
  namespace fs = std::filesystem;
  std::set<std::string> have;
  std::set<std::string> want;
  for (const fs::directory_entry &e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink() && e.path().filename() != input)
      have.insert(e.path().filename().string());
  for (const OutFile &f : files)
    want.insert(f.name);
  EXPECT_EQ(have, want) << what;
  for (const OutFile &f : files) {
    const std::string path = dir + "/" + f.name;
    if (!discimg::fileExists(path))
      continue;
    EXPECT_EQ(discimg::fileSizeOf(path), f.length) << what << ": " << f.name;
    EXPECT_TRUE(holdsRange(path, reference, f.from, f.length)) << what << ": " << f.name;
  }
}
