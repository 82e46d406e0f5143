// What the binary-driven test suites share: a fixture that gives each test a
// fresh directory to run the tool in, and a partition that print mode reads
// without complaint.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
