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
#include "packages/extract.h"
#include "packages/zip.h"
#include "repository/merge.h"

namespace {

// Largest manifest read from a merged archive.
constexpr size_t kManifestLimit = 16 << 20;

struct Found {
  ComponentEntry entry;
  std::string merged;  // the merged archive holding it; empty: a plain package
};

void ConsiderBest(std::optional<Found> &best, const ComponentEntry &entry, const std::string &merged) {
  if (!best || CompareVersions(entry.entity.version, best->entry.entity.version) < 0) best = Found{entry, merged};
}

std::optional<Found> FindInIndex(const std::string &repository, const ZELRELAY_EntityItem &wanted) {
  std::optional<Found> best;
  std::optional<Index> index = ReadIndex(repository);
  if (!index) return best;
  for (const ComponentEntry &c : index->components)
    if (RequestMatches(wanted, c.entity) && IsRegularFile(JoinPath(repository, c.path))) ConsiderBest(best, c, {});
  return best;
}

std::vector<std::string> MergedArchives(const std::string &directory) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return names;
  while (dirent *entry = readdir(dir.get()))
    if (IsMergedArchiveName(entry->d_name)) names.push_back(JoinPath(directory, entry->d_name));
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Found> FindInMerged(const std::string &repository, const ZELRELAY_EntityItem &wanted) {
  std::optional<Found> best;
  for (const std::string &merged : MergedArchives(JoinPath(repository, ZELRELAY_PACKAGES_DIR))) {
    Index manifest;
    try {
      manifest = ParseIndex(ReadMemberBytes(merged, kMergedManifest, kManifestLimit));
    } catch (const RelayError &) {
      continue;  // not one of ours, or damaged: the others may still hold it
    }
    for (const ComponentEntry &c : manifest.components)
      if (RequestMatches(wanted, c.entity)) ConsiderBest(best, c, merged);
  }
  return best;
}

uint64_t SizeOf(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) Fail(RELAY_IO_ERROR);
  return uint64_t(info.st_size);
}

// The digest is checked through the descriptor that is then extracted, so
// what is extracted is what was checked. A merged archive's member is copied
// out first, onto the destination's file system.
FileDescriptor OpenVerifiedPackage(const std::string &repository, const Found &found, const std::string &destination) {
  const ComponentEntry &c = found.entry;
  if (found.merged.empty()) {
    FileDescriptor file{open(JoinPath(repository, c.path).c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) Fail(RELAY_IO_ERROR);
    if (SizeOf(file.fd) != c.size || !RangeHasDigest({file.fd, 0, c.size}, c.sha256)) Fail(RELAY_PACKAGE_MISMATCH);
    return file;
  }
  FileDescriptor file = CreateScratchFile(destination);
  if (CopyMemberTo(found.merged, c.path, file.fd) != c.sha256 || SizeOf(file.fd) != c.size)
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
    std::optional<Found> found = FindInIndex(context.repository, entity);
    if (!found) found = FindInMerged(context.repository, entity);
    if (!found) return RELAY_NOT_FOUND;
    std::string target = PrepareDestination(WideToNarrow(destination));
    FileDescriptor package = OpenVerifiedPackage(context.repository, *found, target);
    ExtractPackage({package.fd, 0, found->entry.size}, target);
    return RELAY_OK;
  });
}
