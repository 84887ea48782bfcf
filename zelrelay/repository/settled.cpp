// What the last complete duplication left.
#include "repository/settled.h"

#include <sys/stat.h>

#include "base/digest.h"
#include "base/files.h"
#include "zelrelay_shared.h"

namespace {

constexpr const char *kSettledName = ".zelrelay.settled";

void Add(std::string &text, const void *data, size_t size) { text.append(static_cast<const char *>(data), size); }

std::string StampOf(const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "-";
  return std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) +
         "." + std::to_string(info.st_mtim.tv_nsec);
}

std::string RepositoryStamp(const std::string &repository) {
  return StampOf(JoinPath(repository, ZELRELAY_INDEX_FILE)) + " " + StampOf(JoinPath(repository, ZELRELAY_MERGED_INDEX)) +
         " " + StampOf(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
}

}  // namespace

std::string RunDigest(const ZELRELAY_Product *products, uint64_t count, const Index &upstream, int64_t keepcount,
                      int64_t maxmerge, int64_t dupdigisign, bool deleteUnlisted) {
  std::string text = upstream.digest;
  for (int64_t option : {keepcount, maxmerge, dupdigisign, int64_t(deleteUnlisted)}) Add(text, &option, sizeof option);
  for (uint64_t i = 0; i < count; ++i) {
    Add(text, &products[i].entity, sizeof products[i].entity);
    Add(text, &products[i].componentCount, sizeof products[i].componentCount);
    for (uint64_t c = 0; products[i].components && c < products[i].componentCount; ++c)
      Add(text, &products[i].components[c], sizeof products[i].components[c]);
  }
  return Sha256OfBytes(text.data(), text.size());
}

// The first line says what was asked and how the repository was left; one
// line follows for each component skipped.
std::optional<std::vector<std::string>> Settled(const std::string &repository, const std::string &digest) {
  std::optional<std::string> kept;
  try {
    kept = ReadWholeFile(JoinPath(repository, kSettledName));
  } catch (const RelayError &) {
    return std::nullopt;
  }
  std::string head = digest + " " + RepositoryStamp(repository) + "\n";
  if (!kept || !kept->starts_with(head)) return std::nullopt;
  std::vector<std::string> skipped;
  for (size_t at = head.size(), end; at < kept->size(); at = end + 1) {
    end = kept->find('\n', at);
    if (end == std::string::npos) return std::nullopt;  // cut short
    skipped.push_back(kept->substr(at, end - at));
  }
  return skipped;
}

void RecordSettled(const std::string &repository, const std::string &digest, const std::vector<std::string> &skipped) {
  std::string text = digest + " " + RepositoryStamp(repository) + "\n";
  for (const std::string &id : skipped) text += id + "\n";
  WriteFileAtomically(JoinPath(repository, kSettledName), text);
}
