// SPDX-License-Identifier: MIT
// How outputs are copied, through the built binary: holes of the input stay
// holes in the outputs, and a copy that the kernel cannot finish ends exactly
// as a plain read-and-write copy ends, bytes and messages alike.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

// A namespace of its own: the unity build joins several suites in one unit.
namespace copy_test {

using discimg::Bytes;
using discimg::DiscPlan;
using runtool::RunResult;

constexpr uint64_t MiB = uint64_t{1} << 20;
// A mox.bin file with one partition at disk address 0x50000 (file offset
// 0x10000) whose data area runs to the end of the input, `size` bytes, and
// holds patterned data only in `segments` (data-area offset, length); the
// rest of the data area is a hole.
std::string layOutSparse(const std::string &path, uint64_t size,
                         const std::vector<std::pair<uint64_t, uint64_t>> &segments) {
  DiscPlan d;
  d.moxBin = true;
  d.partitions = {partitionWithMetadata(0x50000, 0, 0x8000, 0)};
  d.fileSize = size;
  discimg::writeDisc(path, d);
  for (const auto &[at, length] : segments)
    discimg::putAt(path, discimg::kMoxBinStart, 0x58000 + at,
                   discimg::patternBytes(0x58000 + at, length));
  return path;
}

// The same bytes with every hole written out as zeros.
void writeDense(const std::string &from, const std::string &to) {
  const uint64_t size = discimg::fileSizeOf(from);
  for (uint64_t at = 0; at < size; at += 4 * MiB)
    discimg::putAt(to, 0, at, discimg::readFileRange(from, at, 4 * MiB));
}

// Folders to run the tool in on a sparse input: `dir` itself, and where there
// is a memory file system, a folder of `dir` whose input is a symbolic link to
// an input there, so that the outputs land on another file system than the
// input and the kernel refuses to copy between them.
struct Place {
  std::string what;
  std::string folder; // where the tool runs and the outputs land
  std::string input;  // where the input's bytes live
};

class Copy : public ToolDirTest {
protected:
  std::vector<Place> places(const std::string &name) {
    std::vector<Place> all = {{"one file system", dir + "/same", dir + "/same/" + name}};
    EXPECT_EQ(::mkdir(all[0].folder.c_str(), 0755), 0);
    const std::string memory = memoryDir();
    if (memory.empty()) {
      std::printf("[   NOTE   ] no memory file system: copies across file systems not tested\n");
      return all;
    }
    all.push_back({"input on another file system", dir + "/across", memory + "/" + name});
    EXPECT_EQ(::mkdir(all[1].folder.c_str(), 0755), 0);
    EXPECT_EQ(::symlink(all[1].input.c_str(), (all[1].folder + "/" + name).c_str()), 0);
    return all;
  }
};

TEST_F(Copy, HolesStayHolesAndBytesStayTheSame) {
  SKIP_UNLESS_TOOL_CAN(keepsHoles, "keep holes");
  const std::string dense = dir + "/dense";
  ASSERT_EQ(::mkdir(dense.c_str(), 0755), 0);
  // Holes inside, at the start and at the end of the partition's data area,
  // whose range ends with the input; its last chunk (8 MiB less 64 KiB) is
  // partial and holds data, then a hole.
  const std::vector<std::pair<uint64_t, uint64_t>> segments = {
      {2 * MiB, MiB}, {12 * MiB, 3 * MiB + 4096}, {17 * MiB, 4096}};
  const std::vector<Place> sparse = places("mox.bin");
  for (const Place &p : sparse)
    layOutSparse(p.input, 24 * MiB, segments);
  writeDense(sparse[0].input, dense + "/mox.bin");
  const RunResult r = run({"-r", "-x", "mox.bin"}, dense);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(discimg::allocatedBytes(dense + "/mox.game.0"), 23 * MiB) << "the dense copy is dense";
  for (const Place &p : sparse) {
    const RunResult s = run({"-r", "-x", "mox.bin"}, p.folder);
    EXPECT_EQ(s.out + s.err, "") << p.what;
    EXPECT_EQ(s.status, 0) << p.what;
    for (const char *name : {"mox.TOC", "mox.game.0"})
      EXPECT_TRUE(discimg::readFile(p.folder + "/" + name) == discimg::readFile(dense + "/" + name))
          << p.what << ": " << name;
    const uint64_t outputs = discimg::allocatedBytes(p.folder + "/mox.TOC") +
                             discimg::allocatedBytes(p.folder + "/mox.game.0");
    EXPECT_LE(outputs, discimg::allocatedBytes(p.input)) << p.what;
  }
}

TEST_F(Copy, WritesCutShortEndAsAPlainCopyEnds) {
  // A file-size limit stops the partition copy. Wherever it falls, and
  // whichever way the bytes go (the kernel's copy, or the buffer when the
  // input lies on another file system), the file holds the input's bytes up
  // to the limit, and the messages are those of a plain copy.
  struct Row {
    std::string what;
    std::vector<std::pair<uint64_t, uint64_t>> segments;
    uint64_t limit;
  };
  const Row rows[] = {
      {"inside a hole that the kernel copy skipped",
       {{0, MiB}, {12 * MiB, 2 * MiB}},
       5 * MiB + 123},
      {"inside the second data segment, after a hole and a whole chunk",
       {{0, 9 * MiB}, {20 * MiB, 10 * MiB}},
       25 * MiB + 4567},
      {"in the first chunk", {{0, 9 * MiB}}, 4 * MiB + 1},
      {"inside the hole at the end, which only the output's size makes", {{0, MiB}}, 20 * MiB + 77},
  };
  const std::vector<Place> where = places("mox.bin");
  for (const Row &row : rows) {
    for (const Place &p : where) {
      const std::string what = row.what + ", " + p.what;
      layOutSparse(p.input, 32 * MiB, row.segments);
      runtool::RunOptions opt;
      opt.cwd = p.folder;
      opt.fileSizeLimit = row.limit;
      const RunResult r = runtool::runTool({"-r", "-x", "mox.bin"}, opt);
      EXPECT_EQ(r.out, P + "Extraction of partition 0 failed\n") << what;
      EXPECT_EQ(r.err, "Write error when writing file mox.game.0\n") << what;
      EXPECT_EQ(r.status, 255) << what;
      EXPECT_TRUE(discimg::sameAsRange(p.folder + "/mox.game.0", p.input, 0x10000, row.limit))
          << what;
      // Holes past the restart at a whole chunk stay holes: at most that
      // chunk is written out beyond the input's data.
      if (toolCapabilities().keepsHoles) {
        EXPECT_LE(discimg::allocatedBytes(p.folder + "/mox.game.0"),
                  discimg::allocatedBytes(p.input) + 8 * MiB)
            << what;
      }
    }
  }
}

TEST_F(Copy, ALogOfBothStreamsKeepsTheirOrder) {
  // Standard output is fully buffered off a terminal; every message flushes
  // it first, so the report, the refusal of an output that is the input and
  // the failure line stand in a joined log in the order they were written.
  DiscPlan d;
  d.moxBin = true;
  d.partitions = {partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                  partitionWithMetadata(0x70000, 0, 0x8000, 0x8000)};
  discimg::writeDisc(dir + "/mox.bin", d);
  ASSERT_EQ(::symlink("mox.bin", (dir + "/mox.up.0").c_str()), 0);
  const RunResult r = run({"-v", "-r", "-p", "-x", "mox.bin"});
  const std::string failed = P + "Extraction of partition 0 failed\n";
  ASSERT_GT(r.out.size(), failed.size()) << r.err;
  ASSERT_EQ(r.out.substr(r.out.size() - failed.size()), failed);
  EXPECT_EQ(r.err, P + "Refusing to write mox.up.0: it is the input file\n");

  if (!toolCapabilities().namedByShell) {
    std::printf("[   NOTE   ] a log joined by the shell: not run, the tool under test (%s) "
                "cannot keep the name that a shell starts it with\n",
                toolCapabilities().described.c_str());
    return;
  }
  // Through the shell, which joins the streams; found on PATH, so that the
  // program name is the usual one.
  ASSERT_EQ(::mkdir((dir + "/bin").c_str(), 0755), 0);
  if (runtool::toolCommand("decomp_disk").size() == 1) {
    ASSERT_EQ(::symlink(runtool::toolPath().c_str(), (dir + "/bin/decomp_disk").c_str()), 0);
  } else { // a tool that an emulator runs: a script that starts it under that name
    const std::string script =
        "#!/bin/sh\nexec " + runtool::toolCommandLine("decomp_disk") + " \"$@\"\n";
    discimg::putAt(dir + "/bin/decomp_disk", 0, 0, discimg::Bytes(script.begin(), script.end()));
    ASSERT_EQ(::chmod((dir + "/bin/decomp_disk").c_str(), 0755), 0);
  }
  const std::string command =
      "cd '" + dir + "' && PATH='" + dir + "/bin' decomp_disk -v -r -p -x mox.bin >log 2>&1";
  EXPECT_EQ(std::system(command.c_str()) >> 8, 255);
  const Bytes log = discimg::readFile(dir + "/log");
  EXPECT_EQ(std::string(log.begin(), log.end()),
            r.out.substr(0, r.out.size() - failed.size()) + r.err + failed);
}

} // namespace copy_test
