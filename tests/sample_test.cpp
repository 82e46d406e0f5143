// SPDX-License-Identifier: MIT
// The sample image program (sample/make_disc_image): the sample disc gives
// the report that the README shows, and each mode writes the image it
// promises.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

namespace {

using runtool::RunResult;

constexpr uint64_t MiB = uint64_t{1} << 20;

class Sample : public ToolDirTest {
protected:
  // Runs make_disc_image with `args` in the test's directory; it must succeed.
  void make(const std::vector<std::string> &args) {
    runtool::RunOptions opt;
    opt.cwd = dir;
    const RunResult r = runtool::runProgram(DECOMP_SAMPLE_BIN_PATH, args, opt);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
  }
};

// The file offset of the first hole (the file's size when it has none).
uint64_t firstHole(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  const off_t at = ::lseek(fd, 0, SEEK_HOLE);
  ::close(fd);
  return static_cast<uint64_t>(at);
}

size_t count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

TEST_F(Sample, SampleDiscGivesTheReadmeReport) {
  make({"sample.pwx"});
  const RunResult r = run({"-d", "-p", "sample.pwx"});
  expectTextFile(r.out, "report/sample_disk_image.txt");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Sample, DenseHasNoHoleAndTheSameRecords) {
  for (const bool mox : {false, true}) {
    const std::vector<std::string> kind =
        mox ? std::vector<std::string>{"--mox"} : std::vector<std::string>{};
    std::vector<std::string> plain = kind;
    plain.push_back("plain.img");
    std::vector<std::string> dense = kind;
    dense.push_back("--dense");
    dense.push_back("dense.img");
    make(plain);
    make(dense);
    const std::string path = dir + "/dense.img";
    EXPECT_EQ(discimg::fileSizeOf(path), discimg::fileSizeOf(dir + "/plain.img"));
    EXPECT_EQ(firstHole(path), discimg::fileSizeOf(path)) << (mox ? "mox.bin" : "disk image");
    const std::string mode = mox ? "-r" : "-d";
    const RunResult a = run({mode, "-p", "plain.img"});
    const RunResult b = run({mode, "-p", "dense.img"});
    EXPECT_EQ(a.status, 0);
    expectText(b.out, a.out, "--dense", "report");
  }
}

TEST_F(Sample, HolesWriteOneMiBInEverySixtyFour) {
  make({"--holes", "--size", "1G", "holes.pwx"});
  const std::string path = dir + "/holes.pwx";
  EXPECT_EQ(discimg::fileSizeOf(path), uint64_t{1} << 30);
  // 16 pieces of 1 MiB and the small partition; far from 1 GiB.
  EXPECT_LT(discimg::allocatedBytes(path), 24 * MiB);
  EXPECT_GE(discimg::allocatedBytes(path), 16 * MiB);
  const RunResult r = run({"-d", "-p", "holes.pwx"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Sample, LongTableListsEveryEntry) {
  make({"--long-table", "1000", "long.pwx"});
  RunResult r = run({"-d", "-p", "long.pwx"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count(r.out, " details:\n"), 1000u);
  EXPECT_NE(r.out.find("Number of partitions: 1000\n"), std::string::npos);

  make({"--long-table", "3", "--second-past-end", "past.pwx"});
  r = run({"-d", "-x", "past.pwx"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, P + "Can't read partiton 1 from file\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Sample, HostileSizesRunToTheEndOfTheInput) {
  make({"--hostile", "2", "--size", "16M", "hostile.pwx"});
  const std::string path = dir + "/hostile.pwx";
  EXPECT_EQ(discimg::fileSizeOf(path), 16 * MiB);
  EXPECT_LT(discimg::allocatedBytes(path), MiB);
  const RunResult r = run({"-d", "-p", "hostile.pwx"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The partition lies at 0x50000, its TMD 0x2C0 bytes in; the input ends at
  // disk address 16 MiB - 0x8000.
  const uint64_t tmdSize = 16 * MiB - 0x8000 - 0x502C0;
  EXPECT_EQ(count(r.out, "\tTMD size: " + std::to_string(tmdSize) + ";"), 2u) << r.out;
  EXPECT_EQ(count(r.out, "Disk address (byte): 0x50000\n"), 2u);
}

} // namespace
