// Copying one package from the upstream.
#include "transfer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "digest.h"
#include "files.h"
#include "status.h"

namespace {

void Throttle(const Transfer &transfer, uint64_t copied) {
  int64_t rate = transfer.context->options.maxbandwidth;
  if (rate <= 0) return;
  auto due = transfer.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(double(copied) / double(rate)));
  std::this_thread::sleep_until(due);
}

FileDescriptor OpenSource(const std::string &source) {
  FileDescriptor file{open(source.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(errno == ENOENT ? RELAY_PACKAGE_MISSING : RELAY_IO_ERROR);
  return file;
}

}  // namespace

void CopyPackage(Transfer &transfer, const std::string &source, const ComponentEntry &entry,
                 const std::string &target, const std::string &shownPath) {
  FileDescriptor input = OpenSource(source);
  TempFile temp = CreateTempFile(target);
  Sha256 digest = StartSha256();
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  uint64_t copied = 0, base = transfer.finished;
  while (size_t got = ReadSome(input.fd, buffer.get(), kCopyChunk)) {
    copied += got;
    if (copied > entry.size) Fail(RELAY_PACKAGE_MISMATCH);
    UpdateSha256(digest, buffer.get(), got);
    WriteAll(temp.file.fd, buffer.get(), got);
    transfer.finished = base + copied;
    Throttle(transfer, transfer.finished);
    if (!Emit(*transfer.context, ZELRELAY_EVENT_PROGRESS, shownPath, transfer.total, transfer.finished))
      Fail(RELAY_CANCELLED);
  }
  if (copied != entry.size || FinishSha256(digest) != entry.sha256) Fail(RELAY_PACKAGE_MISMATCH);
  CommitTempFile(temp);
}

void CopySignature(const std::string &source, const std::string &target) {
  FileDescriptor input{open((source + ".sig").c_str(), O_RDONLY | O_CLOEXEC)};
  if (input.fd < 0) return;
  TempFile temp = CreateTempFile(target + ".sig");
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  while (size_t got = ReadSome(input.fd, buffer.get(), kCopyChunk)) WriteAll(temp.file.fd, buffer.get(), got);
  CommitTempFile(temp);
}

bool PackagePresent(const std::string &target, const ComponentEntry &entry) {
  struct stat info;
  if (stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) != entry.size)
    return false;
  try {
    return Sha256OfFile(target) == entry.sha256;
  } catch (const RelayError &) {
    return false;
  }
}
