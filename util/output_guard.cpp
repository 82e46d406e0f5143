// SPDX-License-Identifier: MIT
#include "output_guard.h"

#include <cstring>

#include "input_file.h"
#include "tool_common.h"

namespace {

// Regular files and block devices are what a write can land on and change;
// character devices, pipes and sockets take what they are given and are
// never compared.
bool canHoldData(const FileIdentity &id) {
  return id.type == FileType::Regular || id.type == FileType::Block || id.type == FileType::Other;
}

// How a walk down a stack of loop devices ended.
struct ChainEnd {
  enum class State { Whole, Unknown, TooDeep } state = State::Whole;
  int error = 0; // Unknown: why
};

// The files that writing `id` writes: `id`, then through each loop device
// the file it reads, appended to `chain` down to a file that is no loop
// device. `fd` is a descriptor on `id` or -1; `path` names it when there is
// none.
ChainEnd followChain(const FileIdentity &id, int fd, const std::string &path,
                     std::vector<FileIdentity> &chain) {
  chain.push_back(id);
  FileIdentity device = id;
  std::string name = path;
  for (int depth = 0; device.type == FileType::Block; ++depth) {
    const DeviceBacking backing = backingOfDevice(device, fd, name);
    if (backing.state == DeviceBacking::State::None)
      break;
    if (backing.state == DeviceBacking::State::Unknown)
      return {ChainEnd::State::Unknown, backing.error};
    if (depth == MostLoopDepth)
      return {ChainEnd::State::TooDeep, 0};
    chain.push_back(backing.file);
    device = backing.file;
    name = backing.path;
    fd = -1;
  }
  return {};
}

// The member of the input's set that `id` overlaps; null when none does.
const OutputGuard::Member *memberOverlapping(const OutputGuard &guard, const FileIdentity &id) {
  for (const OutputGuard::Member &m : guard.inputSet)
    if (writesOver(id, m.id))
      return &m;
  return nullptr;
}

// Adds `id` to the input's set unless a member is that file already; false
// when it was there.
bool addMember(OutputGuard &guard, const FileIdentity &id, bool holdsFileSystem) {
  for (const OutputGuard::Member &m : guard.inputSet)
    if (m.id.type == id.type && writesOver(m.id, id) &&
        (id.type != FileType::Block || m.id.special == id.special))
      return false;
  guard.inputSet.push_back({id, holdsFileSystem});
  return true;
}

// Adds what writing `id` would write, `id` and the files its loop devices
// read, to the input's set.
void addChain(OutputGuard &guard, const FileIdentity &id, int fd, bool holdsFileSystem) {
  std::vector<FileIdentity> chain;
  if (followChain(id, fd, "", chain).state == ChainEnd::State::TooDeep)
    guard.inputSetWhole = false;
  for (const FileIdentity &member : chain)
    addMember(guard, member, holdsFileSystem);
}

// Whether writing to the standard stream `fd`, known as `id`, writes the
// input's set.
bool streamOnInput(const OutputGuard &guard, const FileIdentity &id, int fd) {
  std::vector<FileIdentity> chain;
  followChain(id, fd, "", chain);
  for (const FileIdentity &member : chain)
    if (memberOverlapping(guard, member) != nullptr)
      return true;
  return false;
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
  guard.standardOutputKnown = identityOfDescriptor(StandardOutput, id) && canHoldData(id);
  guard.standardOutput = guard.standardOutputKnown ? id : FileIdentity{};
  guard.standardErrorKnown = identityOfDescriptor(StandardError, id) && canHoldData(id);
  guard.standardError = guard.standardErrorKnown ? id : FileIdentity{};
}

void learnInputSet(OutputGuard &guard, const InputFile &input) {
  guard.inputSet.clear();
  guard.inputSetWhole = true;
  FileIdentity id;
  if (!identityOfDescriptor(input.fd(), id))
    return;
  addChain(guard, id, input.fd(), false);
  // Under every file of the set lies the device of its file system, and
  // under that device whatever it is made of; each of those is walked in
  // turn. The set stays small: a few devices per file system.
  constexpr size_t MostMembers = 64;
  for (size_t i = 0; i < guard.inputSet.size() && guard.inputSet.size() < MostMembers; ++i) {
    const FileIdentity member = guard.inputSet[i].id;
    if (member.type != FileType::Regular && member.type != FileType::Other)
      continue;
    for (const FileIdentity &device : devicesHolding(member.device, i == 0 ? input.fd() : -1))
      addChain(guard, device, -1, true);
  }
}

StandardStream standardStreamOnInput(const OutputGuard &guard) {
  if (guard.standardOutputKnown && streamOnInput(guard, guard.standardOutput, StandardOutput))
    return StandardStream::Output;
  if (guard.standardErrorKnown && streamOnInput(guard, guard.standardError, StandardError))
    return StandardStream::Error;
  return StandardStream::None;
}

RefusalReason refusalFor(const OutputGuard &guard, const FileIdentity &id, int fd,
                         const std::string &path) {
  if (!canHoldData(id))
    return {};
  std::vector<FileIdentity> chain;
  const ChainEnd end = followChain(id, fd, path, chain);
  for (const FileIdentity &member : chain)
    if (const OutputGuard::Member *m = memberOverlapping(guard, member))
      return {m->holdsFileSystem ? Refusal::HoldsFileSystem : Refusal::IsInput, 0};
  if (end.state == ChainEnd::State::Unknown)
    return {Refusal::UnknownLoop, end.error};
  if (end.state == ChainEnd::State::TooDeep)
    return {Refusal::NestsTooDeep, 0};
  if (!guard.inputSetWhole)
    return {Refusal::InputNestsTooDeep, 0};
  if (guard.standardOutputKnown && writesOver(id, guard.standardOutput))
    return {Refusal::IsStandardOutput, 0};
  if (guard.standardErrorKnown && writesOver(id, guard.standardError))
    return {Refusal::IsStandardError, 0};
  if (fd >= 0 && id.type == FileType::Regular &&
      containsWrittenFile(guard.written, id.device, id.inode, id.stamp))
    return {Refusal::WrittenBefore, 0};
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
  case Refusal::NestsTooDeep:
    printError("%s: Refusing to write %s: its loop devices nest more than 8 deep\n", ProgName, n);
    break;
  case Refusal::InputNestsTooDeep:
    printError("%s: Refusing to write %s: the input's loop devices nest more than 8 deep\n",
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
