// Export: find a component among what the repository holds and extract its
// package, straight from its merged archive when that is the only copy.
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
#include "packages/extract.h"
#include "repository/holdings.h"

namespace {

// The newest matching version of all the repository holds, in its index and
// in its merged archives alike.
const ComponentEntry *FindHeld(const Holdings &held, const ZELRELAY_EntityItem &wanted) {
  const ComponentEntry *best = nullptr;
  for (const ComponentEntry *c : held.components)
    if (RequestMatches(wanted, c->entity) && (!best || IsNewer(c->entity.version, best->entity.version))) best = c;
  return best;
}

// The package file, or the merged archive whose member it is. The digest is
// checked through the descriptor that is then extracted, so what is
// extracted is what was checked.
FileDescriptor OpenVerifiedPackage(const std::string &repository, const ComponentEntry &c) {
  FileDescriptor file{open(JoinPath(repository, c.path).c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  struct stat info;
  if (fstat(file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  uint64_t offset = c.InArchive() ? c.offset : 0;
  if ((!c.InArchive() && uint64_t(info.st_size) != c.size) || !RangeHasDigest({file.fd, offset, c.size}, c.sha256))
    Fail(RELAY_PACKAGE_MISMATCH);
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
    Holdings held(context.repository);
    if (held.indexDamage != RELAY_OK) Fail(held.indexDamage);
    const ComponentEntry *found = FindHeld(held, entity);
    if (found == nullptr) return RELAY_NOT_FOUND;
    FileDescriptor package = OpenVerifiedPackage(context.repository, *found);
    uint64_t offset = found->InArchive() ? found->offset : 0;
    ExtractPackage({package.fd, offset, found->size}, PrepareDestination(WideToNarrow(destination)));
    return RELAY_OK;
  });
}
