// Choosing the kind of a source, and the sources that answer.
#include "sources/source.h"

#include "base/status.h"
#include "base/text.h"
#include "sources/directory.h"
#include "sources/http.h"

std::unique_ptr<Source> OpenSource(const ZELRELAY_Source &record, const SourceSettings &settings) {
  if (record.url != nullptr) {
    std::string url = WideToNarrow(record.url);
    if (url.starts_with("http://") || url.starts_with("https://"))
      return std::make_unique<HttpSource>(url, ProxyOf(record.proxy), settings.network, settings.cache);
  }
  return std::make_unique<DirectorySource>(SourceDirectory(record.url));
}

void RefuseRepositoryAsSource(const ZELRELAY_Source *sources, uint64_t count, const std::string &repository,
                              const SourceSettings &settings) {
  for (uint64_t i = 0; sources != nullptr && i < count; ++i) {
    std::unique_ptr<Source> source;
    try {
      source = OpenSource(sources[i], settings);
    } catch (const RelayError &) {
      continue;  // ResolveUpstream reports it
    }
    if (source->IsDirectory(repository)) Fail(RELAY_SOURCE_IS_REPOSITORY);
  }
}

// Each source's ids are mapped on first need: a run with nothing to copy
// never needs them.
const ComponentEntry *Upstream::Offer(size_t i, const ComponentEntry &wanted) {
  if (sources_[i] == nullptr) return nullptr;
  if (!read_[i]) {
    read_[i] = true;
    try {
      indexes_[i] = sources_[i]->ReadIndex();
    } catch (const RelayError &) {
      indexes_[i].reset();  // an unreadable index offers nothing
    }
  }
  const Index *at = i == answered_ ? &index : indexes_[i] ? &*indexes_[i] : nullptr;
  if (at == nullptr) return nullptr;
  std::unordered_map<std::string, size_t> &ids = byId_[i];
  if (ids.empty())
    for (size_t c = 0; c < at->components.size(); ++c) ids.emplace(at->components[c].id, c);
  auto found = ids.find(wanted.id);
  if (found == ids.end()) return nullptr;
  const ComponentEntry &offered = at->components[found->second];
  return offered.sha256 == wanted.sha256 && offered.size == wanted.size ? &offered : nullptr;
}

Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count, const SourceSettings &settings) {
  if (sources == nullptr || count == 0) Fail(RELAY_NO_SOURCES);
  Upstream upstream;
  upstream.sources_.resize(count);
  upstream.indexes_.resize(count);
  upstream.read_.assign(count, false);
  upstream.byId_.resize(count);
  RelayStatus last = RELAY_NO_SOURCE_ANSWERED;
  bool found = false;
  for (uint64_t i = 0; i < count; ++i) {
    try {
      upstream.sources_[i] = OpenSource(sources[i], settings);
      if (found) continue;  // the rest are read only when a package needs them
      upstream.read_[i] = true;
      if (std::optional<Index> index = upstream.sources_[i]->ReadIndex()) {
        upstream.index = std::move(*index);
        upstream.answered_ = i;
        found = true;
      }
    } catch (const RelayError &e) {
      last = e.status;
    }
  }
  if (!found) Fail(last);
  return upstream;
}
