// Export: find a component in the index or, once the index has been
// stripped, in the merged archives, and extract its files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>

#include "api/context.h"
#include "api/guard.h"
#include "base/entity.h"
#include "base/files.h"
#include "base/text.h"
#include "packages/digest.h"
#include "packages/zip.h"
#include "repository/holdings.h"

namespace {

struct Found {
  ComponentEntry entry;
  std::string merged;  // the merged archive holding it; empty: a plain package
};

// The newest matching version of all the repository holds, in its index and
// in its merged archives alike.
std::optional<Found> FindHeld(const std::string &repository, const ZELRELAY_EntityItem &wanted) {
  std::optional<Found> best;
  for (const ComponentEntry &c : ReadHoldings(repository).index.components) {
    if (!RequestMatches(wanted, c.entity)) continue;
    if (best && CompareVersions(c.entity.version, best->entry.entity.version) >= 0) continue;
    if (!c.InArchive()) {
      best = Found{c, {}};
      continue;
    }
    ComponentEntry member = c;
    member.path = PackagePath(c);
    best = Found{member, JoinPath(repository, c.path)};
  }
  return best;
}

FileDescriptor OpenVerifiedPackage(const std::string &repository, const Found &found) {
  if (found.merged.empty()) {
    std::string path = JoinPath(repository, found.entry.path);
    uint64_t size = 0;
    if (Sha256OfFile(path, &size) != found.entry.sha256 || size != found.entry.size) Fail(RELAY_PACKAGE_MISMATCH);
    FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) Fail(RELAY_IO_ERROR);
    return file;
  }
  FileDescriptor file{open(P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  if (CopyMemberTo(found.merged, found.entry.path, file.fd) != found.entry.sha256) Fail(RELAY_PACKAGE_MISMATCH);
  return file;
}

// Creates the destination and its missing parents; returns its real path.
std::string PrepareDestination(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  mkdir(path.c_str(), 0755);
  char real[PATH_MAX];
  if (!IsDirectory(path) || realpath(path.c_str(), real) == nullptr) Fail(RELAY_BAD_DESTINATION);
  return real;
}

}  // namespace

int32_t ZELRELAY_ExportComponent(ZELRELAY_Context handle, const wchar_t *destination, ZELRELAY_EntityItem entity) {
  return GuardedStarted([&] {
    const ZELRELAY_ContextRecord &context = ContextOf(handle);
    if (destination == nullptr || *destination == 0) return RELAY_INVALID_ARGUMENT;
    CheckOptions(context);
    std::optional<Found> found = FindHeld(context.repository, entity);
    if (!found) return RELAY_NOT_FOUND;
    FileDescriptor package = OpenVerifiedPackage(context.repository, *found);
    ExtractArchive(package.fd, PrepareDestination(WideToNarrow(destination)));
    return RELAY_OK;
  });
}
