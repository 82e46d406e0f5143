// SPDX-License-Identifier: MIT
#include "output_file.h"

#include "platform.h"
#include "tool_common.h"

bool openOutputFile(OutputGuard &guard, const std::string &name, OutputFile &out) {
  FileIdentity id;
  if (reportRefusal(identityOfPath(name.c_str(), id) ? refusalFor(guard, id, -1, name)
                                                     : refusalForNewFile(guard, name),
                    name))
    return false;
  // Opened without emptying it, and checked again on the descriptor.
  Descriptor fd(openForWriting(name.c_str()));
  FileType type;
  uint64_t size = 0;
  if (fd.get() < 0 || !identityOfDescriptor(fd.get(), id) ||
      !measureDescriptor(fd.get(), type, size)) {
    printError("%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return false;
  }
  if (reportRefusal(refusalFor(guard, id, fd.get(), name), name))
    return false;
  // Only a file that holds something is emptied: some file systems take the
  // truncation of a file as the sign of a rewrite and write it back at once
  // when it is closed, which a new file does not need.
  out.regular = id.type == FileType::Regular;
  if (out.regular && size != 0 && resizeFile(fd.get(), 0) != 0) {
    printError("%s: Can't open file %s for writing\n", ProgName, name.c_str());
    return false;
  }
  if (out.regular)
    letKeepHoles(fd.get());
  out.positioned = positionOf(fd.get()) >= 0;
  out.at = 0;
  out.descriptor = std::move(fd);
  if (out.regular)
    addWrittenFile(guard.written, id.device, id.inode, id.stamp);
  return true;
}

size_t writeOutput(OutputFile &out, const void *data, size_t count) {
  const uint8_t *from = static_cast<const uint8_t *>(data);
  size_t done = 0;
  while (done < count) {
    const int64_t n = out.positioned ? writeAt(out.fd(), from + done, count - done, out.at)
                                     : writeNext(out.fd(), from + done, count - done);
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
    out.at += static_cast<uint64_t>(n);
  }
  return done;
}
