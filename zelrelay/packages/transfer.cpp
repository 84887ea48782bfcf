// The checks on single packages.
#include "packages/transfer.h"

#include <sys/stat.h>

#include "base/files.h"
#include "base/status.h"
#include "packages/digest.h"

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
