// SPDX-License-Identifier: MIT
#include "output_guard.h"

#include <cstring>

#include "input_file.h"
#include "tool_common.h"

namespace {

// Regular files and block devices are what a write can land on and change.
bool canHoldData(const FileIdentity &id) {
  return id.type == FileType::Regular || id.type == FileType::Block || id.type == FileType::Other;
}

// Files and folders keep their bytes in their file system; device nodes,
// pipes and sockets lead elsewhere.
bool keptInFileSystem(const FileIdentity &id) {
  return id.type == FileType::Regular || id.type == FileType::Directory ||
         id.type == FileType::Other;
}

// One file or device met on a walk, with what is needed to ask further.
struct Step {
  FileIdentity id;
  std::string path; // where it can be opened; empty: by its descriptor or number
  int fd = -1;
  int loopDepth = 0; // loop devices passed on the way to it
  bool holdsFileSystem = false;
};

// How a walk ended.
struct WalkEnd {
  enum class State { Whole, Unknown, TooDeep } state = State::Whole;
  int error = 0; // Unknown: why
};

// Appends to `walked` what writing `from` writes (itself, then for a block
// device the file a loop device reads and the devices it is built on, down
// to the end) and, with `fileSystems`, also the devices under the file
// system of every file met, and what those write. At most MostWalked steps.
WalkEnd walk(const Step &from, bool fileSystems, std::vector<Step> &walked) {
  WalkEnd end;
  auto note = [&end](WalkEnd::State state, int error) {
    if (end.state == WalkEnd::State::Whole)
      end = {state, error};
  };
  auto known = [&walked](const FileIdentity &id) {
    for (const Step &w : walked)
      if (w.id.type == id.type && writesOver(w.id, id) &&
          (id.type != FileType::Block || w.id.special == id.special))
        return true;
    return false;
  };
  std::vector<Step> queue = {from};
  for (size_t next = 0; next < queue.size(); ++next) {
    if (walked.size() >= MostWalked) {
      note(WalkEnd::State::Unknown, E2BIG);
      break;
    }
    const Step step = queue[next];
    if (known(step.id))
      continue;
    walked.push_back(step);
    if (step.id.type == FileType::Block) {
      const DeviceBacking backing = backingOfDevice(step.id, step.fd, step.path);
      if (backing.state == DeviceBacking::State::Unknown) {
        note(WalkEnd::State::Unknown, backing.error);
      } else if (backing.state == DeviceBacking::State::File) {
        if (step.loopDepth == MostLoopDepth)
          note(WalkEnd::State::TooDeep, 0);
        else
          queue.push_back(
              {backing.file, backing.path, -1, step.loopDepth + 1, step.holdsFileSystem});
      }
      for (const FileIdentity &member : devicesBeneath(step.id))
        queue.push_back({member, "", -1, step.loopDepth, step.holdsFileSystem});
    } else if (fileSystems && keptInFileSystem(step.id)) {
      std::vector<FileIdentity> holders;
      if (!devicesHolding(step.id.device, step.fd, step.path, holders))
        note(WalkEnd::State::Unknown, ENOENT);
      for (const FileIdentity &holder : holders)
        queue.push_back({holder, "", -1, 0, true});
    }
  }
  return end;
}

// The member of the input's set that `id` writes over; null when none does.
const OutputGuard::Member *memberOverlapping(const OutputGuard &guard, const FileIdentity &id) {
  for (const OutputGuard::Member &m : guard.inputSet)
    if (writesOver(id, m.id))
      return &m;
  return nullptr;
}

// Whether the file `from` lies on a file system that is kept in the input or
// in what the input reads through (a file system image mounted through a
// loop device, say), so that writing the file writes the input. The devices
// under the input's own file system are passed: files beside the input lie
// there too. What cannot be learned on this side is passed as well.
bool fileSystemInInput(const OutputGuard &guard, const Step &from) {
  if (!keptInFileSystem(from.id))
    return false;
  std::vector<Step> walked;
  walk(from, true, walked);
  for (size_t i = 1; i < walked.size(); ++i) {
    const OutputGuard::Member *m = memberOverlapping(guard, walked[i].id);
    if (m != nullptr && !m->holdsFileSystem)
      return true;
  }
  return false;
}

// fileSystemInInput for an output, with the file systems found apart from
// the input remembered.
bool outputFileSystemInInput(OutputGuard &guard, const Step &from) {
  for (uint64_t device : guard.fileSystemsApart)
    if (device == from.id.device)
      return false;
  if (fileSystemInInput(guard, from))
    return true;
  if (keptInFileSystem(from.id))
    guard.fileSystemsApart.push_back(from.id.device);
  return false;
}

// Whether writing to the standard stream `fd`, known as `id`, writes the
// input's set.
bool streamOnInput(const OutputGuard &guard, const FileIdentity &id, int fd) {
  std::vector<Step> walked;
  walk({id, "", fd, 0, false}, false, walked);
  for (const Step &w : walked)
    if (memberOverlapping(guard, w.id) != nullptr)
      return true;
  return fileSystemInInput(guard, {id, "", fd, 0, false});
}

// A used slot holds the stamp with its top bit set, so that 0 marks an empty
// one whatever the inode number.
uint32_t slotStamp(uint32_t stamp) { return stamp | 0x80000000u; }

// The slot where (inode, stamp) is, or the empty slot where it would go.
size_t findSlot(const WrittenFiles::Device &d, uint64_t inode, uint32_t stamp) {
  const size_t mask = d.inodes.size() - 1;
  size_t i = static_cast<size_t>((inode * 0x9E3779B97F4A7C15u) >> 32) & mask;
  while (d.stamps[i] != 0 && (d.inodes[i] != inode || d.stamps[i] != slotStamp(stamp)))
    i = (i + 1) & mask;
  return i;
}

void putSlot(WrittenFiles::Device &d, uint64_t inode, uint32_t stamp) {
  const size_t i = findSlot(d, inode, stamp);
  d.inodes[i] = inode;
  d.stamps[i] = slotStamp(stamp);
}

} // namespace

bool writesOver(const FileIdentity &a, const FileIdentity &b) {
  if (a.type == FileType::Block || b.type == FileType::Block)
    return a.type == b.type &&
           (a.special == b.special || a.special == b.wholeDisk || a.wholeDisk == b.special);
  // A character device is the device it stands for, under any name (on some
  // systems every disk is one).
  if (a.type == FileType::Character || b.type == FileType::Character)
    return a.type == b.type && a.special == b.special;
  return canHoldData(a) && canHoldData(b) && a.device == b.device && a.inode == b.inode;
}

bool containsWrittenFile(const WrittenFiles &files, uint64_t device, uint64_t inode,
                         uint32_t stamp) {
  for (const WrittenFiles::Device &d : files.devices)
    if (d.device == device)
      return !d.inodes.empty() && d.stamps[findSlot(d, inode, stamp)] != 0;
  return false;
}

void addWrittenFile(WrittenFiles &files, uint64_t device, uint64_t inode, uint32_t stamp) {
  WrittenFiles::Device *d = nullptr;
  for (WrittenFiles::Device &candidate : files.devices)
    if (candidate.device == device)
      d = &candidate;
  if (d == nullptr)
    d = &files.devices.emplace_back(WrittenFiles::Device{device, {}, {}, 0});
  if (!d->inodes.empty() && d->stamps[findSlot(*d, inode, stamp)] != 0)
    return; // held already
  // At most half full, so every probe ends soon at an empty slot.
  if (2 * (d->used + 1) > d->inodes.size()) {
    WrittenFiles::Device bigger{device, {}, {}, d->used};
    const size_t size = d->inodes.empty() ? 64 : 2 * d->inodes.size();
    bigger.inodes.assign(size, 0);
    bigger.stamps.assign(size, 0);
    for (size_t i = 0; i < d->inodes.size(); ++i)
      if (d->stamps[i] != 0)
        putSlot(bigger, d->inodes[i], d->stamps[i]);
    *d = std::move(bigger);
  }
  putSlot(*d, inode, stamp);
  ++d->used;
}

void learnStandardStreams(OutputGuard &guard) {
  FileIdentity id;
  guard.standardOutputKnown = identityOfDescriptor(StandardOutput, id) &&
                              (canHoldData(id) || id.type == FileType::Character);
  guard.standardOutput = guard.standardOutputKnown ? id : FileIdentity{};
  guard.standardErrorKnown = identityOfDescriptor(StandardError, id) &&
                             (canHoldData(id) || id.type == FileType::Character);
  guard.standardError = guard.standardErrorKnown ? id : FileIdentity{};
}

void learnInputSet(OutputGuard &guard, const InputFile &input) {
  guard.inputSet.clear();
  guard.gap = InputSetGap::None;
  FileIdentity id;
  if (!identityOfDescriptor(input.fd(), id))
    return;
  std::vector<Step> walked;
  const WalkEnd end = walk({id, "", input.fd(), 0, false}, true, walked);
  for (const Step &w : walked)
    guard.inputSet.push_back({w.id, w.holdsFileSystem});
  if (end.state == WalkEnd::State::TooDeep)
    guard.gap = InputSetGap::TooDeep;
  else if (end.state == WalkEnd::State::Unknown)
    guard.gap = InputSetGap::Unknown;
}

StandardStream standardStreamOnInput(const OutputGuard &guard) {
  if (guard.standardErrorKnown && streamOnInput(guard, guard.standardError, StandardError))
    return StandardStream::Error;
  if (guard.standardOutputKnown && streamOnInput(guard, guard.standardOutput, StandardOutput))
    return StandardStream::Output;
  return StandardStream::None;
}

RefusalReason refusalFor(OutputGuard &guard, const FileIdentity &id, int fd,
                         const std::string &path) {
  if (id.type == FileType::Character) {
    const OutputGuard::Member *m = memberOverlapping(guard, id);
    return m == nullptr
               ? RefusalReason{}
               : RefusalReason{m->holdsFileSystem ? Refusal::HoldsFileSystem : Refusal::IsInput, 0};
  }
  if (!canHoldData(id))
    return {};
  const Step from{id, fd >= 0 ? "" : path, fd, 0, false};
  std::vector<Step> walked;
  const WalkEnd end = walk(from, false, walked);
  for (const Step &w : walked)
    if (const OutputGuard::Member *m = memberOverlapping(guard, w.id))
      return {m->holdsFileSystem ? Refusal::HoldsFileSystem : Refusal::IsInput, 0};
  if (outputFileSystemInInput(guard, from))
    return {Refusal::FileSystemInInput, 0};
  if (end.state == WalkEnd::State::Unknown)
    return {Refusal::UnknownLoop, end.error};
  if (end.state == WalkEnd::State::TooDeep)
    return {Refusal::NestsTooDeep, 0};
  if (guard.gap == InputSetGap::TooDeep)
    return {Refusal::InputNestsTooDeep, 0};
  if (guard.gap == InputSetGap::Unknown)
    return {Refusal::InputUnknown, 0};
  if (id.type == FileType::Block && blockDeviceInUse(id, fd >= 0 ? "" : path))
    return {Refusal::InUse, 0};
  for (const Step &w : walked) {
    if (guard.standardOutputKnown && canHoldData(guard.standardOutput) &&
        writesOver(w.id, guard.standardOutput))
      return {Refusal::IsStandardOutput, 0};
    if (guard.standardErrorKnown && canHoldData(guard.standardError) &&
        writesOver(w.id, guard.standardError))
      return {Refusal::IsStandardError, 0};
  }
  if (fd >= 0 && id.type == FileType::Regular &&
      containsWrittenFile(guard.written, id.device, id.inode, id.stamp))
    return {Refusal::WrittenBefore, 0};
  return {};
}

RefusalReason refusalForNewFile(OutputGuard &guard, const std::string &name) {
  // The folder where the file will be made: through a symbolic link that
  // leads nowhere yet, the folder its target names.
  const std::string made = nameCreatedBy(name);
  const size_t slash = made.find_last_of(PathSeparators);
  const std::string folder = slash == std::string::npos ? "." : made.substr(0, slash + 1);
  FileIdentity id;
  if (identityOfPath(folder.c_str(), id) &&
      outputFileSystemInInput(guard, {id, folder, -1, 0, false}))
    return {Refusal::FileSystemInInput, 0};
  return {};
}

bool reportRefusal(const RefusalReason &reason, const std::string &name) {
  const char *n = name.c_str();
  switch (reason.refusal) {
  case Refusal::None:
    return false;
  case Refusal::IsInput:
    printError("%s: Refusing to write %s: it is the input file\n", ProgName, n);
    break;
  case Refusal::HoldsFileSystem:
    printError("%s: Refusing to write %s: it holds the input file's file system\n", ProgName, n);
    break;
  case Refusal::FileSystemInInput:
    printError("%s: Refusing to write %s: its file system lies in the input file\n", ProgName, n);
    break;
  case Refusal::NestsTooDeep:
    printError("%s: Refusing to write %s: its loop devices nest more than 8 deep\n", ProgName, n);
    break;
  case Refusal::InputNestsTooDeep:
    printError("%s: Refusing to write %s: the input's loop devices nest more than 8 deep\n",
               ProgName, n);
    break;
  case Refusal::InputUnknown:
    printError("%s: Refusing to write %s: what lies under the input file can't be learned\n",
               ProgName, n);
    break;
  case Refusal::InUse:
    printError("%s: Refusing to write %s: it is in use (mounted, or part of another device)\n",
               ProgName, n);
    break;
  case Refusal::UnknownLoop:
    printError("%s: Refusing to write %s: it is a loop device whose file can't be learned (%s)\n",
               ProgName, n, std::strerror(reason.error));
    break;
  case Refusal::IsStandardOutput:
    printError("%s: Refusing to write %s: it is standard output\n", ProgName, n);
    break;
  case Refusal::IsStandardError:
    printError("%s: Refusing to write %s: it is standard error\n", ProgName, n);
    break;
  case Refusal::WrittenBefore:
    printError("%s: Refusing to write %s: this run has already written that file\n", ProgName, n);
    break;
  }
  return true;
}
