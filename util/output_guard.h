// SPDX-License-Identifier: MIT
// The guard over every file a run writes. It knows what writing would change
// the input (the input's set), where standard output and standard error
// lead, and which files the run has written, and it refuses an output that
// leads to any of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

struct InputFile;

// The regular files that a run has opened for writing, as (inode, stamp) per
// device in open-addressing hash tables at most half full: 12 bytes a slot,
// so remembering an output costs 24 to 48 bytes, however many outputs a
// partition table names. Where the file system reports neither birth time
// nor generation, a file that reuses the inode number of a written output
// that was deleted meanwhile is taken for it.
struct WrittenFiles {
  struct Device {
    uint64_t device = 0;
    std::vector<uint64_t> inodes;
    std::vector<uint32_t> stamps; // 0: an empty slot; the top bit marks a used one
    size_t used = 0;
  };
  std::vector<Device> devices; // almost always one
};
bool containsWrittenFile(const WrittenFiles &files, uint64_t device, uint64_t inode,
                         uint32_t stamp);
void addWrittenFile(WrittenFiles &files, uint64_t device, uint64_t inode, uint32_t stamp);

// True when writing `a` writes `b`: one file, one device under two names, or
// block devices that share sectors (a whole disk and a partition of it).
// Pipes and sockets take what they are given and are never compared.
bool writesOver(const FileIdentity &a, const FileIdentity &b);

// The deepest stack of loop devices that the guard follows, and the most
// files and devices it walks from one file.
constexpr int MostLoopDepth = 8;
constexpr size_t MostWalked = 64;

// Where the guard's knowledge of the input ends early.
enum class InputSetGap {
  None,
  TooDeep, // its loop devices nest deeper than followed
  Unknown, // something under it could not be asked, or there was too much
};

struct OutputGuard {
  // A file or device whose writing would change the input: the input itself
  // and what it reads through (`holdsFileSystem` false), or a device under
  // the input's file system and what that reads through (true).
  struct Member {
    FileIdentity id;
    bool holdsFileSystem = false;
  };
  std::vector<Member> inputSet;
  // Where the set is not whole, nothing can be ruled out: every regular file
  // and block device is refused.
  InputSetGap gap = InputSetGap::None;
  // Standard output and standard error where they lead to a file or a
  // device, as they were when the run started.
  bool standardOutputKnown = false;
  FileIdentity standardOutput;
  bool standardErrorKnown = false;
  FileIdentity standardError;
  WrittenFiles written;
  // File systems (by device) that outputs were found on and that are not
  // kept in the input: a run's outputs mostly share one, asked once.
  std::vector<uint64_t> fileSystemsApart;
};

// Takes the identities of standard output and standard error; called once,
// when the run starts.
void learnStandardStreams(OutputGuard &guard);
// Learns the input's set from the open input.
void learnInputSet(OutputGuard &guard, const InputFile &input);

// The standard stream that leads into the input's set, if one does; standard
// error when both do, since then not even a message may be written.
enum class StandardStream { None, Output, Error };
StandardStream standardStreamOnInput(const OutputGuard &guard);

// Why an output must not be written.
enum class Refusal {
  None,
  IsInput,           // a member of the input's chain
  HoldsFileSystem,   // a device under the input's file system, or what it reads
  FileSystemInInput, // a file on a file system that the input's chain holds
  NestsTooDeep,      // the output's loop devices nest deeper than followed
  InputNestsTooDeep, // the input's loop devices do: nothing can be ruled out
  InputUnknown,      // what lies under the input could not be learned whole
  UnknownLoop,       // a loop device whose file can't be learned
  InUse,             // a block device that the system holds (mounted, say)
  IsStandardOutput,  // where standard output leads
  IsStandardError,   // where standard error leads
  WrittenBefore,     // a regular file this run has written
};
struct RefusalReason {
  Refusal refusal = Refusal::None;
  int error = 0; // UnknownLoop: why
};

// Why `id` must not be written, if it must not. `fd` is a descriptor open on
// it (-1 before it is opened: `path` names it then); only the identity of the
// output's own descriptor tells a written file from a later one with its
// inode number, so WrittenBefore needs `fd`.
RefusalReason refusalFor(OutputGuard &guard, const FileIdentity &id, int fd,
                         const std::string &path);
// Why the output `name`, which does not exist yet, must not be created, if
// it must not: its folder's file system is kept in the input.
RefusalReason refusalForNewFile(OutputGuard &guard, const std::string &name);

// Prints the refusal's message for the output `name`; false when there is
// none.
bool reportRefusal(const RefusalReason &reason, const std::string &name);
