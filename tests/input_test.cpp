// SPDX-License-Identifier: MIT
// The one open input through the built binary: outputs that lead to the input
// or to each other are refused, an input renamed over or shrinking during the
// run is read as it was opened, and a block device reads as its file does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "disc_image.h"
#include "run_tool.h"
#include "tool_test.h"

// A namespace of its own: the unity build joins several suites in one unit.
namespace input_test {

using discimg::DiscPlan;
using runtool::RunResult;

// Two partitions in an input of 0x80000 disk bytes: image.up.0 holds file
// bytes 0x58000..0x67fff, image.pad.0 0x68000..0x77fff and image.game.1 the
// rest.
DiscPlan twoPartitionDisc(bool moxBin) {
  DiscPlan d;
  d.moxBin = moxBin;
  d.partitions = {partitionWithMetadata(0x50000, 1, 0x8000, 0x8000),
                  partitionWithMetadata(0x70000, 0, 0x8000, 0)};
  d.partitions[1].dataBytes = 0x8000;
  d.fileSize = moxBin ? 0x40000 : 0x88000;
  return d;
}
const OutFile Unencrypt{"image.unencrypt", 0, 0x48000};
const OutFile Toc{"image.TOC", 0x48000, 0x10000};
const OutFile Up0{"image.up.0", 0x58000, 0x10000};
const OutFile Pad0{"image.pad.0", 0x68000, 0x10000};
const OutFile Game1{"image.game.1", 0x78000, 0x10000};

std::string refusedAsInput(const std::string &name) {
  return P + "Refusing to write " + name + ": it is the input file\n";
}

class InputGuard : public ToolDirTest {
protected:
  // Lays out the disc as image.pwx in `folder` (the test's own when empty)
  // and once more as the reference, outside the folders the tool writes in.
  void layOut(const DiscPlan &d, const std::string &folder = "") {
    reference = dir + "/reference.img";
    discimg::writeDisc((folder.empty() ? dir : folder) + "/image.pwx", d);
    discimg::writeDisc(reference, d);
  }
  std::string reference;
};

// An output name that already exists as a link before the run.
struct Link {
  std::string name;
  std::string target; // relative to the test's folder, or absolute
  bool hard;
};

TEST_F(InputGuard, OutputsThatAreTheInputOrEachOther) {
  struct Row {
    std::string what;
    std::vector<Link> links;
    std::string out;
    std::string err;
    int status;
    std::vector<OutFile> files; // regular files besides the input, checked whole
    std::vector<std::string> args = {"-d", "-x", "image.pwx"};
    std::string stdoutTo = ""; // appended to: a name in the row's folder
    std::string stderrTo = "";
    std::string streamFile = ""; // what the stream's file holds at the end
  };
  const std::string padFailed = P + "Extraction of partition 0-1 pad failed\n";
  const std::string intoInput =
      P + "Refusing to run: standard output leads to the input file image.pwx\n";
  const DiscPlan d = twoPartitionDisc(false);
  const std::string plain = newDir();
  layOut(d, plain);
  const RunResult printed = run({"-d", "-p", "image.pwx"}, plain);
  ASSERT_EQ(printed.status, 0) << printed.err;
  const std::string report = printed.out;
  const Row rows[] = {
      {"the .unencrypt file a symbolic link to the input",
       {{"image.unencrypt", "image.pwx", false}},
       "",
       refusedAsInput("image.unencrypt"),
       255,
       {}},
      {"the .TOC file a hard link to the input",
       {{"image.TOC", "image.pwx", true}},
       "",
       refusedAsInput("image.TOC"),
       255,
       {Unencrypt}},
      {"a partition file a symbolic link to the input",
       {{"image.up.0", "image.pwx", false}},
       P + "Extraction of partition 0 failed\n",
       refusedAsInput("image.up.0"),
       255,
       {Unencrypt, Toc}},
      {"the last partition file a symbolic link to the input",
       {{"image.game.1", "image.pwx", false}},
       P + "Extraction of partition 1 failed\n",
       refusedAsInput("image.game.1"),
       255,
       {Unencrypt, Toc, Up0, Pad0}},
      {"a pad file a hard link to the input",
       {{"image.pad.0", "image.pwx", true}},
       padFailed,
       refusedAsInput("image.pad.0"),
       255,
       {Unencrypt, Toc, Up0}},
      {"two outputs that are one regular file",
       {{"image.pad.0", "image.up.0", true}},
       padFailed,
       P + "Refusing to write image.pad.0: this run has already written that file\n",
       255,
       {Unencrypt, Toc, Up0}},
      {"several outputs to /dev/null",
       {{"image.up.0", "/dev/null", false},
        {"image.pad.0", "/dev/null", false},
        {"image.game.1", "/dev/null", false}},
       "",
       "",
       0,
       {Unencrypt, Toc}},
      {"standard output appending to the input",
       {},
       "",
       intoInput,
       1,
       {},
       {"-d", "-p", "image.pwx"},
       "image.pwx"},
      {"-v: the banner does not reach the input either",
       {},
       "",
       intoInput,
       1,
       {},
       {"-v", "-d", "-x", "image.pwx"},
       "image.pwx"},
      {"standard output a hard link to the input",
       {{"log", "image.pwx", true}},
       "",
       intoInput,
       1,
       {},
       {"-d", "-p", "image.pwx"},
       "log"},
      {"standard error appending to the input: nothing said, nothing written",
       {{"image.TOC", "image.pwx", false}},
       "",
       "",
       1,
       {},
       {"-d", "-x", "image.pwx"},
       "",
       "image.pwx"},
      {"both standard streams appending to the input: nothing said, nothing written",
       {},
       "",
       "",
       1,
       {},
       {"-d", "-p", "image.pwx"},
       "image.pwx",
       "image.pwx"},
      {"standard output the .TOC file: refused, the report whole in it",
       {},
       "",
       P + "Refusing to write image.TOC: it is standard output\n",
       255,
       {},
       {"-d", "-p", "-x", "image.pwx"},
       "image.TOC",
       "",
       report},
      {"standard error a pad file",
       {},
       padFailed,
       "",
       255,
       {Unencrypt, Toc, Up0},
       {"-d", "-x", "image.pwx"},
       "",
       "image.pad.0",
       P + "Refusing to write image.pad.0: it is standard error\n"},
      {"the input a character device, an output another name of it",
       {{"image.pwx", "/dev/zero", false}, {"image.unencrypt", "/dev/zero", false}},
       "",
       refusedAsInput("image.unencrypt"),
       255,
       {}},
  };
  for (const Row &row : rows) {
    const std::string folder = newDir();
    layOut(d, folder);
    bool inputReplaced = false;
    for (const Link &l : row.links) {
      const std::string path = folder + "/" + l.name;
      if (l.name == "image.pwx") { // the input itself leads elsewhere
        inputReplaced = true;
        ::unlink(path.c_str());
      }
      const std::string target = l.target[0] == '/' ? l.target : folder + "/" + l.target;
      if (l.hard && !discimg::fileExists(target))
        discimg::setFileSize(target, 0); // an output that the run writes later
      if (l.hard)
        ASSERT_EQ(::link(target.c_str(), path.c_str()), 0) << row.what;
      else
        ASSERT_EQ(::symlink(l.target.c_str(), path.c_str()), 0) << row.what;
    }
    const bool characterInput = !row.links.empty() && row.links[0].target.rfind("/dev/", 0) == 0 &&
                                row.links[0].name == "image.pwx";
    if (characterInput && !toolCapabilities().characterDevices) {
      std::printf("[   NOTE   ] %s: not run, the tool under test (%s) reads no disk as a "
                  "character device\n",
                  row.what.c_str(), toolCapabilities().described.c_str());
      continue;
    }
    if ((!row.stdoutTo.empty() || !row.stderrTo.empty()) && !toolCapabilities().seesStreams) {
      std::printf("[   NOTE   ] %s: not run, the tool under test (%s) cannot tell where a "
                  "standard stream leads\n",
                  row.what.c_str(), toolCapabilities().described.c_str());
      continue;
    }
    runtool::RunOptions opt;
    if (!row.stdoutTo.empty()) {
      opt.stdoutPath = folder + "/" + row.stdoutTo;
      opt.appendStdout = true;
    }
    if (!row.stderrTo.empty())
      opt.stderrPath = folder + "/" + row.stderrTo;
    const RunResult r = run(row.args, folder, opt);
    EXPECT_EQ(r.out, row.out) << row.what;
    EXPECT_EQ(r.err, row.err) << row.what;
    EXPECT_EQ(r.status, row.status) << row.what;
    EXPECT_TRUE(inputReplaced || discimg::sameAsRange(folder + "/image.pwx", reference, 0,
                                                      discimg::fileSizeOf(reference)))
        << row.what << ": the input changed";
    for (const OutFile &f : row.files)
      EXPECT_TRUE(discimg::sameAsRange(folder + "/" + f.name, reference, f.from, f.length))
          << row.what << ": " << f.name;
    if (row.status == 1) {
      EXPECT_FALSE(discimg::fileExists(folder + "/image.unencrypt")) << row.what;
    }
    if (!row.streamFile.empty()) {
      const discimg::Bytes held = discimg::readFile(folder + "/" + row.stdoutTo + row.stderrTo);
      EXPECT_EQ(std::string(held.begin(), held.end()), row.streamFile) << row.what;
    }
  }
}

TEST_F(InputGuard, SymbolicLinksToOtherFilesAreFollowed) {
  layOut(twoPartitionDisc(true));
  ASSERT_EQ(::mkdir((dir + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("elsewhere/toc.bin", (dir + "/mox.TOC").c_str()), 0);
  ::rename((dir + "/image.pwx").c_str(), (dir + "/mox.bin").c_str());
  const RunResult r = run({"-r", "-x", "mox.bin"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(discimg::sameAsRange(dir + "/elsewhere/toc.bin", reference, 0, 0x10000));
}

// Stops the run at a known point: the tool blocks opening `fifo` for writing
// until the reader opens it; then `step` runs while the tool waits for the
// reader to take what it writes. join() returns what came through.
class FifoSeam {
public:
  FifoSeam(const std::string &fifo, std::function<void()> step) : fifo_(fifo) {
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    thread_ = std::thread([this, step] {
      const int fd = ::open(fifo_.c_str(), O_RDONLY | O_CLOEXEC);
      opened_ = true;
      step();
      char buf[65536];
      ssize_t n;
      while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
        data_.append(buf, static_cast<size_t>(n));
      if (fd >= 0)
        ::close(fd);
    });
  }
  std::string join() {
    if (!opened_) { // the run never reached the seam: let the reader go
      const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0)
        ::close(fd);
    }
    thread_.join();
    return data_;
  }

private:
  std::string fifo_;
  std::thread thread_;
  std::atomic<bool> opened_{false};
  std::string data_;
};

TEST_F(InputGuard, InputRenamedOverDuringTheRun) {
  // While the .unencrypt file is written, a new image is renamed over the
  // input's name; the .TOC and partition files still come from the input
  // that was opened.
  const DiscPlan d = twoPartitionDisc(false);
  layOut(d);
  discimg::putAt(dir + "/new.pwx", 0, 0, discimg::Bytes(0x88000, 0xEE));
  FifoSeam seam(dir + "/image.unencrypt", [this] {
    ASSERT_EQ(::rename((dir + "/new.pwx").c_str(), (dir + "/image.pwx").c_str()), 0);
  });
  const RunResult r = run({"-d", "-x", "image.pwx"});
  const std::string unencrypt = seam.join();
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  const discimg::Bytes front = discimg::readFileRange(reference, 0, 0x48000);
  EXPECT_TRUE(unencrypt == std::string(front.begin(), front.end()));
  for (const OutFile &f : {Toc, Up0, Pad0, Game1})
    EXPECT_TRUE(discimg::sameAsRange(dir + "/" + f.name, reference, f.from, f.length)) << f.name;
}

TEST_F(InputGuard, InputShrinkingUnderACopy) {
  // Once partition 0 is being written (through a FIFO, larger than a pipe
  // holds, so the tool cannot finish it first), the input is cut. A later
  // copy meets the input's end (its message has no line end), and its file
  // keeps what a plain copy keeps: the whole chunks of 8 MiB before the end,
  // though the kernel copied further before it met the end.
  struct Row {
    std::string what;
    DiscPlan disc;
    uint64_t cutAt;
    std::string out;
    std::vector<OutFile> files; // besides image.up.0, which the FIFO took
    std::string missing;        // an output that must not exist
  };
  DiscPlan padCut;
  padCut.partitions = {partitionWithMetadata(0x50000, 1, 0x8000, 0x100000),
                       partitionWithMetadata(0x170000, 0, 0x8000, 0)};
  padCut.partitions[0].dataBytes = 0x118000; // the data area and the pad
  padCut.fileSize = 0x188000;
  DiscPlan gameCut;
  gameCut.partitions = {partitionWithMetadata(0x50000, 1, 0x8000, 0x100000, 0x100000),
                        partitionWithMetadata(0x200000, 0, 0x8000, 0, 20 << 20)};
  gameCut.fileSize = 0x210000 + (20 << 20);
  const Row rows[] = {
      {"inside the pad: the pad file keeps nothing",
       padCut,
       0x170000,
       P + "Extraction of partition 0-1 pad failed\n",
       {{"image.pad.0", 0x160000, 0}},
       "image.game.1"},
      {"12 MiB into the game partition's range: its file keeps 8 MiB",
       gameCut,
       0x208000 + (12 << 20) + 0x1234,
       P + "Extraction of partition 1 failed\n",
       {{"image.pad.0", 0x160000, 0xA8000}, {"image.game.1", 0x208000, 8 << 20}},
       ""},
  };
  for (const Row &row : rows) {
    const std::string folder = newDir();
    layOut(row.disc, folder);
    FifoSeam seam(folder + "/image.up.0",
                  [&] { discimg::setFileSize(folder + "/image.pwx", row.cutAt); });
    const RunResult r = run({"-d", "-x", "image.pwx"}, folder);
    const std::string up0 = seam.join();
    EXPECT_EQ(r.out, row.out) << row.what;
    EXPECT_EQ(r.err, P + "EOF reached on input file before end of partiton") << row.what;
    EXPECT_EQ(r.status, 255) << row.what;
    const discimg::Bytes want = discimg::readFileRange(reference, 0x58000, 0x108000);
    EXPECT_TRUE(up0 == std::string(want.begin(), want.end())) << row.what;
    for (const OutFile &f : row.files)
      EXPECT_TRUE(discimg::sameAsRange(folder + "/" + f.name, reference, f.from, f.length))
          << row.what << ": " << f.name;
    if (!row.missing.empty()) {
      EXPECT_FALSE(discimg::fileExists(folder + "/" + row.missing)) << row.what;
    }
  }
}

TEST_F(InputGuard, InputFromAPipe) {
  SKIP_UNLESS_TOOL_CAN(namedByShell, "keep the name that a shell starts it with");
  // An input that cannot seek is read in order from its start: a mox.bin
  // file in a pipe gives its two table-of-contents lines, then the first step
  // that needs another position fails with its seek message. The writer
  // sends the table of contents in two pieces with a pause between, so a
  // read that comes back short is no end of the input.
  layOut(twoPartitionDisc(true));
  const std::string tool = runtool::toolPath();
  runtool::RunOptions opt;
  opt.cwd = dir;
  const RunResult r =
      runtool::runProgram("sh",
                          {"-c", "{ head -c 16 image.pwx; sleep 0.3; tail -c +17 image.pwx; } | " +
                                     runtool::toolCommandLine(tool) + " -r -p /dev/stdin"},
                          opt);
  EXPECT_EQ(r.out, "Number of partitions: 2\n"
                   " -> partitionInfoRawOfs: 0x00040020 partitionInfoOfs:0x00000020\n");
  EXPECT_EQ(r.err, tool + ": Seeking to partition info offset failed\n");
  EXPECT_EQ(r.status, 255);

  // Extraction needs offsets that such an input cannot reach: it is refused
  // before anything is printed or written (as a disk image, whose files
  // would be named after /dev/stdin). A file left there by an earlier run
  // (a regular file on standard input extracts into /dev) would hide this.
  ::unlink("/dev/stdin.unencrypt");
  for (const char *kind : {"-d", "-r"}) {
    const RunResult x =
        runtool::runProgram("sh",
                            {"-c", "cat image.pwx | " + runtool::toolCommandLine(tool) + " " +
                                       kind + " -p -x /dev/stdin"},
                            opt);
    EXPECT_EQ(x.out, "") << kind;
    EXPECT_EQ(x.err, tool + ": Can't extract from /dev/stdin: it can only be read in order (a "
                            "pipe, a FIFO or a terminal)\n")
        << kind;
    EXPECT_EQ(x.status, 1) << kind;
  }
  EXPECT_FALSE(discimg::fileExists("/dev/stdin.unencrypt"));
}

// Attaches a loop device to `file`; its name, or empty with losetup's words in
// `why` where the machine refuses.
std::string attachLoop(const std::string &file, bool readOnly, std::string &why) {
  std::vector<std::string> args = {"-f", "--show", file};
  if (readOnly)
    args.insert(args.begin(), "-r");
  const RunResult r = runtool::runProgram("losetup", args);
  why = r.err;
  return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

struct Detach {
  std::vector<std::string> devices;
  ~Detach() {
    for (const std::string &d : devices)
      runtool::runProgram("losetup", {"-d", d});
  }
};

TEST_F(InputGuard, LoopDevicesAreTheFilesTheyRead) {
  // A loop device reads like the image file it holds, and the guard takes it
  // for that file both ways round: an output that leads to a loop device over
  // the input, and an input given as a loop device whose file an output leads
  // to. Two device nodes are one device when they stand for one, wherever
  // they lie.
  SKIP_UNLESS_TOOL_CAN(loopDevices, "tell the file a loop device reads");
  const DiscPlan d = twoPartitionDisc(false); // 0x88000 bytes: whole 512-byte sectors
  layOut(d);
  const std::string pristine = dir + "/pristine.img";
  discimg::writeDisc(pristine, d);
  Detach detach;
  std::string why;
  const std::string overInput = attachLoop(dir + "/image.pwx", false, why);
  if (overInput.empty())
    GTEST_SKIP() << "no loop device here (losetup: " << why << "): loop devices not tested";
  detach.devices.push_back(overInput);
  const std::string overReference = attachLoop(reference, true, why);
  ASSERT_FALSE(overReference.empty()) << why;
  detach.devices.push_back(overReference);
  // A loop device that has nothing to do with the input, over a file of
  // exactly the .TOC file's size.
  const std::string otherFile = dir + "/other.img";
  discimg::setFileSize(otherFile, Toc.length);
  const std::string other = attachLoop(otherFile, false, why);
  ASSERT_FALSE(other.empty()) << why;
  // Loop devices stacked on loop devices: eight over the input (the first
  // is overInput), a ninth over those, and one over the reference's.
  std::vector<std::string> stack = {overInput};
  while (stack.size() < 9) {
    stack.push_back(attachLoop(stack.back(), false, why));
    ASSERT_FALSE(stack.back().empty()) << why;
    detach.devices.push_back(stack.back());
  }
  const std::string overOverReference = attachLoop(overReference, true, why);
  ASSERT_FALSE(overOverReference.empty()) << why;
  detach.devices.push_back(overOverReference);
  // One over a node of overReference that is gone by the time the tool runs:
  // the kernel still knows which device it reads.
  struct stat device;
  ASSERT_EQ(::stat(overReference.c_str(), &device), 0);
  const std::string gone = dir + "/gone";
  ASSERT_EQ(::mknod(gone.c_str(), S_IFBLK | 0600, device.st_rdev), 0);
  const std::string overGone = attachLoop(gone, true, why);
  ASSERT_FALSE(overGone.empty()) << why;
  detach.devices.push_back(overGone);
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  const RunResult freeDevice = runtool::runProgram("losetup", {"-f"});
  const std::string unbound = freeDevice.out.substr(0, freeDevice.out.find('\n'));

  struct Case {
    std::string what;
    std::string input; // the device image.pwx leads to; empty: the image itself
    std::vector<Link> links;
    std::string out;
    std::string err;
    std::vector<OutFile> files;
  };
  const Case cases[] = {
      {"the .TOC file a loop device over the input",
       "",
       {{"image.TOC", overInput, false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input a loop device, the .TOC file its file",
       overReference,
       {{"image.TOC", reference, false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input a loop device, the .TOC file another node of that device",
       overReference,
       {{"image.TOC", "node", false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input a loop device, the .TOC file an unrelated loop device",
       overReference,
       {{"image.TOC", other, false}},
       "",
       "",
       {Unencrypt}},
      {"the input a loop device, outputs to /dev/null",
       overReference,
       {{"image.up.0", "/dev/null", false},
        {"image.pad.0", "/dev/null", false},
        {"image.game.1", "/dev/null", false}},
       "",
       "",
       {Unencrypt, Toc}},
      {"the .TOC file a loop device without a file",
       "",
       {{"image.TOC", unbound, false}},
       "",
       P + "Refusing to write image.TOC: it is a loop device whose file can't be learned (No "
           "such device or address)\n",
       {Unencrypt}},
      {"the .TOC file a loop device over a loop device over the input",
       "",
       {{"image.TOC", stack[1], false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the .TOC file eight loop devices over the input",
       "",
       {{"image.TOC", stack[7], false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the .TOC file nine loop devices over the input",
       "",
       {{"image.TOC", stack[8], false}},
       "",
       P + "Refusing to write image.TOC: its loop devices nest more than 8 deep\n",
       {Unencrypt}},
      {"the input a loop device over a loop device, the .TOC file the file below both",
       overOverReference,
       {{"image.TOC", reference, false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input a loop device over a node since deleted, the .TOC file the file below",
       overGone,
       {{"image.TOC", reference, false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input a loop device over a loop device, the .TOC file the one between",
       overOverReference,
       {{"image.TOC", overReference, false}},
       "",
       refusedAsInput("image.TOC"),
       {Unencrypt}},
      {"the input nine loop devices over a file: no regular file can be ruled out",
       stack[8],
       {},
       "",
       P + "Refusing to write image.unencrypt: the input's loop devices nest more than 8 deep\n",
       {}},
  };

  for (const Case &c : cases) {
    const std::string folder = newDir();
    if (!c.input.empty())
      ASSERT_EQ(::symlink(c.input.c_str(), (folder + "/image.pwx").c_str()), 0);
    else
      ASSERT_EQ(::link((dir + "/image.pwx").c_str(), (folder + "/image.pwx").c_str()), 0);
    ASSERT_EQ(::mknod((folder + "/node").c_str(), S_IFBLK | 0600, device.st_rdev), 0) << c.what;
    for (const Link &l : c.links)
      ASSERT_EQ(::symlink(l.target.c_str(), (folder + "/" + l.name).c_str()), 0) << c.what;
    const RunResult r = run({"-d", "-x", "image.pwx"}, folder);
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 255) << c.what;
    for (const std::string &input : {dir + "/image.pwx", reference})
      EXPECT_TRUE(discimg::sameAsRange(input, pristine, 0, discimg::fileSizeOf(pristine)))
          << c.what << ": " << input << " changed";
    for (const OutFile &f : c.files)
      EXPECT_TRUE(discimg::sameAsRange(folder + "/" + f.name, reference, f.from, f.length))
          << c.what << ": " << f.name;
  }

  // What went into the unrelated device is in its file once it is detached.
  ASSERT_EQ(runtool::runProgram("losetup", {"-d", other}).status, 0);
  EXPECT_TRUE(discimg::sameAsRange(otherFile, reference, Toc.from, Toc.length));

  // Read through the device, the report and the files are those of the file.
  ASSERT_EQ(::mkdir((dir + "/dev").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(overReference.c_str(), (dir + "/dev/image.pwx").c_str()), 0);
  for (const char *mode : {"-p", "-x"}) {
    const RunResult fromFile = run({"-d", mode, "image.pwx"});
    const RunResult fromDevice = run({"-d", mode, "image.pwx"}, dir + "/dev");
    EXPECT_EQ(fromDevice.out, fromFile.out) << mode;
    EXPECT_EQ(fromDevice.err, fromFile.err) << mode;
    EXPECT_EQ(fromDevice.status, 0) << mode << fromDevice.err;
  }
  for (const OutFile &f : {Unencrypt, Toc, Up0, Pad0, Game1})
    EXPECT_TRUE(discimg::sameAsRange(dir + "/dev/" + f.name, reference, f.from, f.length))
        << f.name;
}

// A master boot record with one Linux partition of 8 MiB from 1 MiB on.
discimg::Bytes partitionTable() {
  discimg::Bytes mbr(512, 0);
  discimg::Bytes entry = {0, 0, 0, 0, 0x83, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x40, 0, 0};
  std::copy(entry.begin(), entry.end(), mbr.begin() + 446);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return mbr;
}

// Unmounts a scratch file system; a loop device over one of its files lets it
// go only once the kernel has released that device, which it may do a little
// after the device was detached.
bool unmount(const std::string &at) {
  for (int tries = 0; tries < 50; ++tries) {
    if (runtool::runProgram("umount", {at}).status == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST_F(InputGuard, DevicesUnderTheInputsFileSystem) {
  SKIP_UNLESS_TOOL_CAN(fileSystemDevices, "tell the devices under a file system");
  // The input on a scratch file system: ext4 in the first partition of a
  // disk image on a loop device, and btrfs, which gives its files a device
  // number of its own, on a whole one. The device, its whole disk and the
  // image file under it all hold the file system, and none may be written;
  // nor may a device that another mount holds.
  struct FileSystem {
    std::string kind;
    uint64_t size;
    bool partitioned;
    std::vector<std::string> check; // read-only check of the unmounted device
  };
  const FileSystem systems[] = {{"ext4", 16 << 20, true, {"fsck.ext4", "-n"}},
                                {"btrfs", 128 << 20, false, {"btrfs", "check", "--readonly"}}};
  struct Mounted {
    std::string device;
    std::string at;
    const FileSystem *system;
  };
  std::vector<Mounted> mounted; // unmounted when the test ends, then checked
  struct UnmountAll {
    std::vector<Mounted> &all;
    ~UnmountAll() {
      for (const Mounted &m : all)
        unmount(m.at);
    }
  } unmountAll{mounted};
  Detach detach;
  std::vector<std::string> inners; // loop devices over files on the mounts
  for (const FileSystem &f : systems) {
    SCOPED_TRACE(f.kind);
    if (f.kind == "btrfs" && toolCapabilities().emulated) {
      std::printf("[   NOTE   ] btrfs not tried: an emulator does not pass its requests on\n");
      continue;
    }
    const std::string disk = dir + "/" + f.kind + ".img";
    discimg::setFileSize(disk, f.size);
    if (f.partitioned)
      discimg::putAt(disk, 0, 0, partitionTable());
    const RunResult attached = runtool::runProgram("losetup", {"-P", "-f", "--show", disk});
    if (attached.status != 0)
      GTEST_SKIP() << "no loop device here (losetup: " << attached.err << ")";
    const std::string whole = attached.out.substr(0, attached.out.find('\n'));
    detach.devices.push_back(whole);
    if (f.partitioned) // where the kernel has not read the table itself
      runtool::runProgram("partx", {"-a", whole});
    const std::string device = f.partitioned ? whole + "p1" : whole;
    const std::string mount = dir + "/" + f.kind;
    ASSERT_EQ(::mkdir(mount.c_str(), 0755), 0);
    if (!discimg::fileExists(device) ||
        runtool::runProgram("mkfs." + f.kind, {"-q", device}).status != 0 ||
        runtool::runProgram("mount", {device, mount}).status != 0) {
      std::printf("[   NOTE   ] no %s on a loop device here: not tested\n", f.kind.c_str());
      continue;
    }
    const std::string inUseElsewhere = mounted.empty() ? "" : mounted.back().device;
    mounted.push_back({device, mount, &f});
    layOut(twoPartitionDisc(false), mount);
    // The same image once more on the file system, read through a loop device.
    discimg::writeDisc(mount + "/inner.img", twoPartitionDisc(false));
    std::string why;
    const std::string inner = attachLoop(mount + "/inner.img", true, why);
    ASSERT_FALSE(inner.empty()) << why;
    detach.devices.push_back(inner);
    inners.push_back(inner);

    struct Case {
      std::string what;
      std::string target; // where image.TOC leads; empty: nowhere, a new file
      std::string err;
      bool stdoutOnIt = false; // with -p, standard output appending to the target instead
      std::string input = "";  // where image.pwx leads; empty: the image on the file system
      // Run in a folder off the file system, whose image.unencrypt is a link
      // to a file not yet made on it.
      bool linkedIn = false;
    };
    const std::string holds =
        P + "Refusing to write image.TOC: it holds the input file's file system\n";
    std::vector<Case> cases = {
        {"the device that holds the file system", device, holds},
        {"its whole disk", whole, holds},
        {"the file under the whole disk", disk, holds},
        {"standard output on the device", device,
         P + "Refusing to run: standard output leads to the input file image.pwx\n", true},
        {"the input a loop device over a file there, the device", device, holds, false, inner},
        {"the input the file under the whole disk, an output on its file system", "",
         P + "Refusing to write image.unencrypt: its file system lies in the input file\n", false,
         disk},
        {"the input the file under the whole disk, an output linked to a new file on it", "",
         P + "Refusing to write image.unencrypt: its file system lies in the input file\n", false,
         disk, true},
        {"the input the file under the whole disk, standard output on its file system",
         mount + "/report",
         P + "Refusing to run: standard output leads to the input file image.pwx\n", true, disk},
    };
    if (!inUseElsewhere.empty())
      cases.push_back({"a device that another mount holds", inUseElsewhere,
                       P + "Refusing to write image.TOC: it is in use (mounted, or part of "
                           "another device)\n"});
    for (const Case &c : cases) {
      const std::string n = std::to_string(&c - cases.data());
      const std::string folder = c.linkedIn ? dir + "/" + f.kind + n : mount + "/" + n;
      ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
      if (c.linkedIn) {
        ASSERT_EQ(::symlink((mount + "/made" + n).c_str(), (folder + "/image.unencrypt").c_str()),
                  0);
      }
      if (c.input.empty())
        ASSERT_EQ(::link((mount + "/image.pwx").c_str(), (folder + "/image.pwx").c_str()), 0);
      else
        ASSERT_EQ(::symlink(c.input.c_str(), (folder + "/image.pwx").c_str()), 0);
      runtool::RunOptions opt;
      if (c.stdoutOnIt) {
        opt.stdoutPath = c.target;
        opt.appendStdout = true;
      } else if (!c.target.empty()) {
        ASSERT_EQ(::symlink(c.target.c_str(), (folder + "/image.TOC").c_str()), 0);
      }
      const RunResult r = run({"-d", c.stdoutOnIt ? "-p" : "-x", "image.pwx"}, folder, opt);
      EXPECT_EQ(r.err, c.err) << c.what;
      EXPECT_EQ(r.status, c.stdoutOnIt ? 1 : 255) << c.what;
      if (c.target.empty()) { // making the file would write the input
        EXPECT_FALSE(discimg::fileExists(folder + "/image.unencrypt")) << c.what;
      }
    }
    EXPECT_TRUE(
        discimg::sameAsRange(mount + "/image.pwx", reference, 0, discimg::fileSizeOf(reference)));
  }
  for (const std::string &inner : inners) // before their file systems go
    runtool::runProgram("losetup", {"-d", inner});
  for (const Mounted &m : mounted) {
    ASSERT_TRUE(unmount(m.at)) << m.at;
    std::vector<std::string> check(m.system->check.begin() + 1, m.system->check.end());
    check.push_back(m.device);
    const RunResult checked = runtool::runProgram(m.system->check[0], check);
    EXPECT_EQ(checked.status, 0) << "the " << m.system->kind
                                 << " file system was written: " << checked.out << checked.err;
  }
  mounted.clear();
}

} // namespace input_test
