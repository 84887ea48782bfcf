// Copying one package from a source.
#include "packages/transfer.h"

#include <sys/stat.h>

#include <thread>

#include "base/files.h"
#include "base/status.h"
#include "packages/digest.h"

namespace {

void Throttle(const Transfer &transfer, uint64_t copied) {
  int64_t rate = transfer.context->options.maxbandwidth;
  if (rate <= 0) return;
  auto due = transfer.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(double(copied) / double(rate)));
  std::this_thread::sleep_until(due);
}

// Hashes and writes what arrives, refusing more than the index announced.
struct CopySink final : PackageSink {
  Transfer &transfer;
  const ComponentEntry &entry;
  const std::string &shownPath;
  TempFile &temp;
  Sha256 digest = StartSha256();
  uint64_t copied = 0, base;

  CopySink(Transfer &t, const ComponentEntry &e, const std::string &shown, TempFile &file)
      : transfer(t), entry(e), shownPath(shown), temp(file), base(t.finished) {}

  void Receive(const void *data, size_t size) override {
    copied += size;
    if (copied > entry.size) Fail(RELAY_PACKAGE_MISMATCH);
    UpdateSha256(digest, data, size);
    WriteAll(temp.file.fd, data, size);
    transfer.finished = base + copied;
    Throttle(transfer, transfer.finished);
    if (!Emit(*transfer.context, ZELRELAY_EVENT_PROGRESS, shownPath, transfer.total, transfer.finished))
      Fail(RELAY_CANCELLED);
  }
};

}  // namespace

void CopyPackage(Transfer &transfer, Source &source, const ComponentEntry &entry, const std::string &target,
                 const std::string &shownPath) {
  TempFile temp = CreateTempFile(target);
  CopySink sink(transfer, entry, shownPath, temp);
  source.FetchPackage(entry, sink);
  if (sink.copied != entry.size || FinishSha256(sink.digest) != entry.sha256) Fail(RELAY_PACKAGE_MISMATCH);
  CommitTempFile(temp);
}

void CopySignature(Source &source, const ComponentEntry &entry, const std::string &target) {
  if (std::optional<std::string> signature = source.FetchSignature(entry))
    WriteFileAtomically(target + ".sig", *signature);
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
