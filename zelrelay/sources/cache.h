// What each network source's index was when last fetched, so the next fetch
// asks only whether it changed: kept in the repository, one file per URL
// and route (the proxy it goes through) in ".zelrelay.sources/", and in the
// context's memory from a listing to the duplication that follows it, so
// that pair costs one request and both work on the same index.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

struct CachedIndex {
  std::string etag, lastModified, text;
};

class IndexCache {
 public:
  explicit IndexCache(std::string repository) : repository_(std::move(repository)) {}
  std::optional<CachedIndex> Load(const std::string &url) const;
  // Kept in memory; written to the repository only when writable.
  void Store(const std::string &url, const CachedIndex &cached);
  // Fetched in this context already: no need to ask again.
  const std::string *Fetched(const std::string &url) const;
  // Writes to the repository, when writable, what was fetched when it was
  // not (by a listing).
  void Keep(const std::string &url);
  // A listing starts afresh and a duplication ends so: a context kept open
  // would otherwise never see the upstream change.
  void Forget() {
    fetched_.clear();
    written_.clear();
  }

  bool writable = false;

 private:
  std::string repository_;
  std::map<std::string, CachedIndex> fetched_;
  std::set<std::string> written_;
  std::string PathOf(const std::string &url) const;
};
