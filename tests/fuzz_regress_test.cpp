// SPDX-License-Identifier: MIT
// Replays the inputs that fuzzing left in data/fuzz through the built binary.
// Each one runs as the fuzzer ran it, then as a disk image and as a mox.bin
// file in print mode and in extract mode, every run in a directory of its own.
// A run must end by itself with one of the tool's statuses, never by a signal
// or a sanitizer report, and must not call a failure a success. Outside the
// sanitizer build every run has a 64 MiB address space and must not need to
// say that it cannot allocate: no buffer may follow a size that the image
// declares.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "disc_image.h"
#include "fuzz_input.h"
#include "run_tool.h"
#include "tool_test.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> savedInputs() {
  std::vector<std::string> paths;
  for (const fs::directory_entry &e :
       fs::directory_iterator(std::string(DECOMP_TEST_DATA_DIR) + "/fuzz"))
    if (e.is_regular_file())
      paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

struct Variant {
  std::string label;
  fuzzinput::Run run;
};

// The run as fuzzed, and the four runs of the two kinds and the two modes.
// The records place their bytes by disk address, so the other kind of input
// holds the same disc.
std::vector<Variant> variants(const std::vector<uint8_t> &data) {
  std::vector<Variant> all = {{"as fuzzed", fuzzinput::decode(data.data(), data.size())}};
  const uint8_t modeBits = fuzzinput::FlagPrint | fuzzinput::FlagExtract | fuzzinput::FlagMoxBin |
                           fuzzinput::FlagAlsoDisk | fuzzinput::FlagStdoutFull;
  for (const bool moxBin : {false, true}) {
    for (const bool extract : {false, true}) {
      std::vector<uint8_t> bytes = data.empty() ? std::vector<uint8_t>(1, 0) : data;
      bytes[0] = static_cast<uint8_t>(bytes[0] & ~modeBits);
      bytes[0] |= extract ? fuzzinput::FlagExtract : fuzzinput::FlagPrint;
      if (moxBin)
        bytes[0] |= fuzzinput::FlagMoxBin;
      all.push_back(
          {std::string(moxBin ? "mox.bin" : "disk image") + (extract ? ", extract" : ", print"),
           fuzzinput::decode(bytes.data(), bytes.size())});
    }
  }
  return all;
}

bool contains(const std::string &text, const char *part) {
  return text.find(part) != std::string::npos;
}

using FuzzRegress = ToolDirTest;

TEST_F(FuzzRegress, SavedInputsEndCleanly) {
  const std::vector<std::string> inputs = savedInputs();
  ASSERT_FALSE(inputs.empty()) << "no saved inputs in " << DECOMP_TEST_DATA_DIR << "/fuzz";
  for (const std::string &path : inputs) {
    for (const Variant &v : variants(discimg::readFile(path))) {
      const std::string what = fs::path(path).filename().string() + " (" + v.label + ")";
      // A file of a size near 2^63 only fits on a memory file system.
      const bool huge = v.run.fileSize > fuzzinput::MaxFileSize;
      if (huge && !toolCapabilities().keepsHoles) {
        std::printf("[   NOTE   ] %s not replayed: the tool under test (%s) keeps no holes\n",
                    what.c_str(), toolCapabilities().described.c_str());
        continue;
      }
      const std::string caseDir = huge ? memoryDir() : newDir();
      if (caseDir.empty()) {
        std::printf("[   NOTE   ] no memory file system: %s not replayed\n", what.c_str());
        continue;
      }
      ASSERT_TRUE(fuzzinput::writeInput(caseDir + "/image.pwx", v.run)) << what;

      runtool::RunOptions opt;
      opt.fileSizeLimit = v.run.outputLimit;
      if (v.run.stdoutFull)
        opt.stdoutPath = "/dev/full";
      opt.timeoutSeconds = 60;
      if (!UnderAddressSanitizer && toolCapabilities().ownAddressSpace)
        opt.addressSpaceLimit = uint64_t{64} << 20;
      std::vector<std::string> args = v.run.options();
      args.push_back("image.pwx");
      const runtool::RunResult r = run(args, caseDir, opt);
      runtool::removeTree(caseDir);

      EXPECT_EQ(r.signal, 0) << what << "\n" << r.err;
      EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 255)
          << what << ": status " << r.status << "\n"
          << r.err;
      // A sanitizer report, fatal or not.
      EXPECT_FALSE(contains(r.err, "ERROR: AddressSanitizer")) << what << "\n" << r.err;
      EXPECT_FALSE(contains(r.err, "ERROR: LeakSanitizer")) << what << "\n" << r.err;
      EXPECT_FALSE(contains(r.err, "runtime error:")) << what << "\n" << r.err;
      EXPECT_FALSE(contains(r.err, "Can't allocate")) << what << "\n" << r.err;
      // Every message on standard error is a failure, and every failure says so.
      if (r.status == 0) {
        EXPECT_EQ(r.err, "") << what;
      }
      if (r.status == 255) {
        EXPECT_NE(r.out + r.err, "") << what;
      }
    }
  }
}

} // namespace
