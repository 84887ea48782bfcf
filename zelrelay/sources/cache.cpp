// Kept indexes of network sources.
#include "sources/cache.h"

#include <fcntl.h>

#include "base/digest.h"
#include "base/files.h"
#include "base/index.h"
#include "base/text.h"

namespace {

constexpr const char *kCacheFolder = ".zelrelay.sources";

}  // namespace

std::string IndexCache::PathOf(const std::string &url) const {
  return JoinPath(JoinPath(repository_, kCacheFolder), Sha256OfBytes(url.data(), url.size()).substr(0, 32));
}

// A few header lines, a blank line, then the index's text.
std::optional<CachedIndex> IndexCache::Load(const std::string &url) const {
  if (auto kept = fetched_.find(url); kept != fetched_.end()) return kept->second;
  FileDescriptor file{open(PathOf(url).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  std::string text;
  try {
    text = ReadLimited(file.fd, kIndexLimit + 4096, RELAY_INDEX_TOO_LARGE);
  } catch (const RelayError &) {
    return std::nullopt;
  }
  size_t body = text.find("\n\n");
  if (body == std::string::npos) return std::nullopt;
  CachedIndex cached;
  std::string_view head = std::string_view(text).substr(0, body);
  std::string keptUrl;
  IniLine line;
  while (NextIniLine(head, line)) {
    if (line.key == "url") keptUrl = line.value;
    if (line.key == "etag") cached.etag = line.value;
    if (line.key == "last-modified") cached.lastModified = line.value;
  }
  if (keptUrl != url) return std::nullopt;
  cached.text = text.substr(body + 2);
  return cached;
}

void IndexCache::Store(const std::string &url, const CachedIndex &cached) {
  fetched_[url] = cached;
  written_.erase(url);
  Keep(url);
}

void IndexCache::Keep(const std::string &url) {
  auto at = fetched_.find(url);
  if (!writable || at == fetched_.end() || written_.count(url)) return;
  const CachedIndex &cached = at->second;
  if (cached.etag.empty() && cached.lastModified.empty()) return;
  MakeDirectory(JoinPath(repository_, kCacheFolder));
  WriteFileAtomically(PathOf(url), "url=" + url + "\netag=" + cached.etag + "\nlast-modified=" +
                                       cached.lastModified + "\n\n" + cached.text);
  written_.insert(url);
}

const std::string *IndexCache::Fetched(const std::string &url) const {
  auto kept = fetched_.find(url);
  return kept == fetched_.end() ? nullptr : &kept->second.text;
}
