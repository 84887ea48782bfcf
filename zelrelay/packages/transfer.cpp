// Copying one package from a source.
#include "packages/transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "base/files.h"
#include "base/status.h"
#include "packages/digest.h"

namespace {

// However low the bandwidth limit, a subscriber hears from the copy this
// often, and so can cancel it.
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

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

  void Progress() {
    if (!Emit(*transfer.context, ZELRELAY_EVENT_PROGRESS, shownPath, transfer.total, transfer.finished))
      Fail(RELAY_CANCELLED);
  }

  // Waits until the bytes so far fit the limit, reporting as it waits.
  void Throttle(int64_t rate) {
    auto due = transfer.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(double(transfer.finished) / double(rate)));
    for (auto now = std::chrono::steady_clock::now(); now < due; now = std::chrono::steady_clock::now()) {
      std::this_thread::sleep_until(std::min(due, now + kProgressInterval));
      if (std::chrono::steady_clock::now() < due) Progress();
    }
  }

  void Receive(const void *data, size_t size) override {
    int64_t rate = transfer.context->options.maxbandwidth;
    // Under a limit, pieces of what the limit lets through in one interval.
    size_t piece = rate > 0 ? std::max<size_t>(1, size_t(rate / 5)) : size;
    for (const char *at = static_cast<const char *>(data); size > 0;) {
      size_t now = std::min(piece, size);
      copied += now;
      if (copied > entry.size) Fail(RELAY_PACKAGE_MISMATCH);
      UpdateSha256(digest, at, now);
      WriteAll(temp.file.fd, at, now);
      transfer.finished = base + copied;
      if (rate > 0) Throttle(rate);
      Progress();
      at += now;
      size -= now;
    }
  }
};

}  // namespace

void CopyPackage(Transfer &transfer, Source &source, const ComponentEntry &entry, const std::string &target,
                 const std::string &keepAt, const std::string &shownPath) {
  TempFile temp = CreateTempFile(target);
  CopySink sink(transfer, entry, shownPath, temp);
  source.FetchPackage(entry, sink);
  if (sink.copied != entry.size || FinishSha256(sink.digest) != entry.sha256) Fail(RELAY_PACKAGE_MISMATCH);
  if (link(temp.path.c_str(), keepAt.c_str()) != 0) Fail(WriteFailure(errno));
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
