// SPDX-License-Identifier: MIT
// The command line, the driver's statuses, the base name and the .unencrypt
// file, through the built binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "disc_image.h"
#include "run_tool.h"
#include "tool/decomp_disk.h"
#include "tool_test.h"

namespace {

using runtool::RunResult;

const std::string OptionList = " Options:\n"
                               " -d, --disk            - input is disk image file\n"
                               " -h, --help            - print usage message\n"
                               " -p, --print           - print file meta data\n"
                               " -r, --mox_bin         - input is an mox.bin file\n"
                               " -v, --verbose         - print out messages\n"
                               " -x, --extract         - extract partitions\n"
                               "\n";

std::string usageText() {
  return toolBanner() + "Usage: decomp_disk [options] input_file_name\n" + OptionList;
}

using Cli = ToolDirTest;

// The banner line names the version and the build date in the
// preprocessor's form, as in "Dec  3 2009".
TEST_F(Cli, BannerHasItsForm) {
  const std::string &first = toolBanner();
  const std::string head = "decomp_disk version 0.10 ";
  const bool dated = first.size() == head.size() + 12 && first.rfind(head, 0) == 0 &&
                     std::isupper(first[head.size()]) && first[head.size() + 3] == ' ' &&
                     std::isdigit(first[head.size() + 5]) && first[head.size() + 6] == ' ' &&
                     std::isdigit(first[head.size() + 7]) && first.back() == '\n';
  EXPECT_TRUE(dated) << first;
}

TEST_F(Cli, CommandLineOutcomes) {
  struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err; // "@U" stands for the usage text
    int status;
    // Standard error appended to this file, which the run names as its
    // input: nothing of the usage text may reach it.
    std::string stderrTo = "";
  };
  const std::string needName = "decomp_disk: Need input file name\n@U";
  const std::string needType = "decomp_disk: Must specify type of input\n@U";
  const std::string needMode = "decomp_disk: Must specify either -p or -x\n@U";
  const std::string cantOpen = "decomp_disk: Can't open file missing.pwx for reading - exit\n";
  const Row rows[] = {
      {{}, "", needName, 1},
      {{"-h"}, "", "@U", 0},
      {{"-d", "-p", "-h"}, "", "@U", 0},
      {{"-h", "-z"}, "", "@U", 0},
      {{"-d", "-p"}, "", needName, 1},
      {{"-v", "-d", "-p"}, "", needName, 1},
      {{"image.pwx"}, "", needType, 1},
      {{"-p", "image.pwx"}, "", needType, 1},
      {{"-v", "-p", "image.pwx"}, "", needType, 1},
      {{"-d", "image.pwx"}, "", needMode, 1},
      {{"-r", "-f", "image.pwx"}, "", needMode, 1},
      {{"-d", "-x", "missing.pwx"}, "", cantOpen, 1},
      {{"-dp", "missing.pwx"}, "", cantOpen, 1},
      {{"-d", "-d", "-f", "-p", "missing.pwx", "second"}, "", cantOpen, 1},
      {{"-d", "-r", "-p", "-x", "missing.pwx"}, "", cantOpen, 1},
      {{"-v", "-d", "-x", "missing.pwx"}, "@B", cantOpen, 1},
      {{"--", "-d"}, "", needType, 1},
      {{"-p", "image.pwx"}, "", "", 1, "image.pwx"},
      {{"-h", "image.pwx"}, "", "", 0, "image.pwx"},
  };
  for (const Row &row : rows) {
    std::string joined;
    for (const std::string &a : row.args)
      joined += a + " ";
    if (!row.stderrTo.empty() && !toolCapabilities().seesStreams) {
      std::printf("[   NOTE   ] %s: not run, the tool under test (%s) cannot tell where a "
                  "standard stream leads\n",
                  joined.c_str(), toolCapabilities().described.c_str());
      continue;
    }
    runtool::RunOptions opt;
    if (!row.stderrTo.empty()) {
      opt.stderrPath = dir + "/" + row.stderrTo;
      discimg::putAt(opt.stderrPath, 0, 0, {'i', 'n'});
    }
    const RunResult r = run(row.args, "", opt);
    if (!row.stderrTo.empty()) {
      EXPECT_EQ(discimg::fileSizeOf(opt.stderrPath), 2u) << joined;
    }
    std::string err = row.err;
    if (size_t at = err.find("@U"); at != std::string::npos)
      err.replace(at, 2, usageText());
    const std::string out = row.out == "@B" ? toolBanner() : row.out;
    EXPECT_EQ(r.out, out) << joined;
    EXPECT_EQ(r.err, err) << joined;
    EXPECT_EQ(r.status, row.status) << joined;
  }
}

TEST_F(Cli, UnknownLettersAndLongForms) {
  // The platform's getopt names the letter first, in its own words.
  const std::vector<std::vector<std::string>> cases = {
      {"-z", "-h"}, {"--help"}, {"--disk", "-p", "x"}, {"-dz", "x"}};
  for (const auto &args : cases) {
    const RunResult r = run(args);
    const std::string tail = "Unknown option '?' - exit\n" + usageText();
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    ASSERT_GT(r.err.size(), tail.size()) << args[0];
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << args[0];
    EXPECT_EQ(r.err.rfind("decomp_disk: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end() - tail.size(), '\n'), 1) << r.err;
  }
}

TEST(BaseName, Table) {
  const std::pair<const char *, const char *> rows[] = {
      {"disc.pwx", "disc"},
      {"/data/disc.obk", "/data/disc"},
      {"mox.bin", "mox"},
      {"disc.final.bin", "disc.final"},
      {"disc.PWX", "disc.PWX"},
      {"disc.iso", "disc.iso"},
      {"disc.bin.old", "disc.bin.old"},
      {"run.d/disc", "run.d/disc"},
      {"disc", "disc"},
      {".bin", ""},
      {"disc.pwx.", "disc.pwx."},
      {"disc.pw", "disc.pw"},
  };
  for (const auto &[input, expected] : rows) {
    std::string base = "stale";
    determineBaseName(input, base);
    EXPECT_EQ(base, expected) << input;
  }
  // Long names are kept whole.
  const std::string longName = std::string(400, 'a') + "/" + std::string(200, 'b') + ".pwx";
  std::string base;
  determineBaseName(longName.c_str(), base);
  EXPECT_EQ(base, longName.substr(0, longName.size() - 4));
}

// A disk image whose table of contents lists no partition.
uint64_t writeEmptyDisc(const std::string &path, uint64_t fileSize = 0) {
  discimg::DiscPlan disc;
  disc.fileSize = fileSize;
  return discimg::writeDisc(path, disc);
}

TEST_F(Cli, UnencryptHoldsEverythingInFrontOfTheToc) {
  const std::string image = dir + "/image.pwx";
  writeEmptyDisc(image, 0x50000);
  const RunResult r = run({"-d", "-x", "image.pwx"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(discimg::sameAsRange(dir + "/image.unencrypt", image, 0, 0x48000));
}

TEST_F(Cli, UnencryptOfAShortImageHoldsTheWholeInput) {
  const std::string image = dir + "/short.bin";
  discimg::DiscPlan disc;
  disc.writeToc = false;
  disc.fileSize = 0x30000;
  discimg::writeDisc(image, disc);
  const RunResult r = run({"-d", "-x", "short.bin"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "decomp_disk: Can't read game TOC from file\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(discimg::sameAsRange(dir + "/short.unencrypt", image, 0, 0x30000));
}

TEST_F(Cli, UnencryptOverwritesAndFollowsTheBaseName) {
  ASSERT_EQ(mkdir((dir + "/run.d").c_str(), 0755), 0);
  const std::pair<std::string, std::string> rows[] = {
      {"disc.PWX", "disc.PWX.unencrypt"},
      {"run.d/disc", "run.d/disc.unencrypt"},
      {".bin", ".unencrypt"},
      {"disc.final.bin", "disc.final.unencrypt"},
  };
  for (const auto &[input, output] : rows) {
    writeEmptyDisc(dir + "/" + input, 0x48040);
    discimg::putAt(dir + "/" + output, 0, 0, discimg::Bytes(0x50000, 0xEE)); // stale, longer
    const RunResult r = run({"-d", "-x", input});
    EXPECT_EQ(r.status, 0) << input << r.err;
    EXPECT_TRUE(discimg::sameAsRange(dir + "/" + output, dir + "/" + input, 0, 0x48000)) << input;
  }
}

TEST_F(Cli, NamesAreNeverCut) {
  // A path far longer than 256 bytes works; a component that the file system
  // refuses fails at its open with the ordinary message.
  std::string sub = dir;
  for (int i = 0; i < 3; ++i) {
    sub += "/" + std::string(120, char('a' + i));
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  }
  writeEmptyDisc(sub + "/disc.pwx", 0x48040);
  RunResult r = run({"-d", "-x", sub + "/disc.pwx"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(discimg::fileExists(sub + "/disc.unencrypt"));
  EXPECT_TRUE(discimg::fileExists(sub + "/disc.TOC"));

  const std::string stem = std::string(250, 'n');
  writeEmptyDisc(dir + "/" + stem + ".pwx", 0x48040);
  r = run({"-d", "-x", stem + ".pwx"});
  EXPECT_EQ(r.err, "decomp_disk: Can't open file " + stem + ".unencrypt for writing\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Cli, VerboseBannerComesFirstOnStandardOutput) {
  writeEmptyDisc(dir + "/image.pwx", 0x48040);
  const RunResult r = run({"-v", "-d", "-p", "image.pwx"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(toolBanner(), 0), 0u) << r.out;
}

} // namespace
