// Choosing the kind of a source, and the sources that answer.
#include "sources/source.h"

#include <ctime>

#include "base/digest.h"
#include "base/status.h"
#include "base/text.h"
#include "sources/directory.h"
#include "sources/http.h"
#include "sources/s3.h"

std::string SchemeOf(std::string_view url) {
  size_t end = url.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  std::string scheme;
  for (size_t i = 0; i < end; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    bool fits = (c >= 'a' && c <= 'z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    if (!fits) return {};
    scheme += c;
  }
  return scheme;
}

std::unique_ptr<Source> OpenSource(const ZELRELAY_Source &record, const SourceSettings &settings) {
  if (record.url == nullptr || *record.url == 0) Fail(RELAY_NO_URL);
  std::string url = WideToNarrow(record.url);
  std::string scheme = SchemeOf(url);
  if (scheme == "http" || scheme == "https")
    return std::make_unique<HttpSource>(url, ProxyOf(record.proxy), settings.network, settings.cache);
  if (scheme == "s3") {
    S3Location bucket = S3LocationOf(url);
    return std::make_unique<HttpSource>(bucket.base, ProxyOf(record.proxy), settings.network, settings.cache,
                                        bucket.signing);
  }
  return std::make_unique<DirectorySource>(SourceDirectory(url));
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

std::string ShownUrl(std::string_view url) {
  size_t start = url.find("://");
  if (start == std::string_view::npos) return std::string(url);
  start += 3;
  size_t end = url.find_first_of("/?#", start);
  size_t at = url.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, start)) + std::string(url.substr(start + at + 1));
}

// Each source's ids are mapped on first need: a run with nothing to copy
// never needs them.
const ComponentEntry *Upstream::Offer(size_t i, const ComponentEntry &wanted) {
  if (sources_[i] == nullptr) return nullptr;
  if (!states_[i].read) {
    states_[i].read = true;
    try {
      indexes_[i] = sources_[i]->ReadIndex();
      if (!indexes_[i]) states_[i].status = RELAY_NO_SOURCE_ANSWERED;
    } catch (const RelayError &e) {
      indexes_[i].reset();  // an unreadable index offers nothing
      states_[i].status = e.status;
    }
  }
  const Index *at = indexes_[i] ? &*indexes_[i] : i == answered_ ? &index : nullptr;
  if (at == nullptr) return nullptr;
  // The answering source offers what its own index lists: no map of its ids.
  if (at == &index && &wanted >= index.components.data() && &wanted < index.components.data() + index.components.size())
    return &wanted;
  std::unordered_map<std::string_view, size_t> &ids = byId_[i];
  if (ids.empty())
    for (size_t c = 0; c < at->components.size(); ++c) ids.emplace(at->components[c].id, c);
  auto found = ids.find(wanted.id);
  if (found == ids.end()) return nullptr;
  const ComponentEntry &offered = at->components[found->second];
  return offered.sha256 == wanted.sha256 && offered.size == wanted.size ? &offered : nullptr;
}

// The index the source's statement signs: its server.ini, or the signed.ini
// a relay keeps beside its own, in which case the relay's own index says
// where the bytes lie.
void Upstream::ReadSigned(size_t i, const Trust &trust) {
  Source &source = *sources_[i];
  std::optional<std::string> statementText = source.ReadText(kStatementFile);
  if (!statementText) Fail(RELAY_SIGNATURES_REFUSED);
  Statement statement = ParseStatement(*statementText);
  CheckStatement(statement, trust, int64_t(time(nullptr)));
  // A text that came as a patch or a compressed copy and is not the one
  // signed may have been changed on the way, or be stale: it is asked for
  // whole before the source is refused.
  for (TextForm form : {TextForm::Cheapest, TextForm::Whole})
    for (const char *name : {ZELRELAY_INDEX_FILE, kSignedIndexFile}) {
      std::optional<std::string> text = source.ReadText(name, form);
      if (!text || Sha256OfBytes(text->data(), text->size()) != statement.index) continue;
      bool fromIndexFile = std::string_view(name) == ZELRELAY_INDEX_FILE;
      index = ParseIndex(*text);
      if (!fromIndexFile) indexes_[i] = source.ReadIndex();
      answered_ = i;
      signed_ = SignedIndex{std::move(*text), std::move(*statementText), std::move(statement), fromIndexFile};
      return;
    }
  Fail(RELAY_INDEX_NOT_SIGNED);
}

void Upstream::Resolve(const ZELRELAY_Source *sources, uint64_t count, const SourceSettings &settings) {
  if (sources == nullptr || count == 0) Fail(RELAY_NO_SOURCES);
  sources_.resize(count);
  states_.resize(count);
  indexes_.resize(count);
  byId_.resize(count);
  RelayStatus last = RELAY_NO_SOURCE_ANSWERED;
  bool found = false;
  for (uint64_t i = 0; i < count; ++i) {
    SourceState &state = states_[i];
    if (sources[i].url != nullptr) state.url = ShownUrl(WideToNarrow(sources[i].url));
    if (const ZELRELAY_Proxy *proxy = sources[i].proxy; proxy != nullptr && proxy->host != nullptr) {
      state.proxy = WideToNarrow(proxy->host);
      if (proxy->port != 0) state.proxy += ":" + std::to_string(proxy->port);
    }
    try {
      sources_[i] = OpenSource(sources[i], settings);
      if (found) continue;  // the rest are read only when a package needs them
      state.read = true;
      if (settings.trust) {
        ReadSigned(i, *settings.trust);
        found = true;
      } else if (std::optional<Index> read = sources_[i]->ReadIndex()) {
        index = std::move(*read);
        answered_ = i;
        found = true;
      } else {
        state.status = RELAY_NO_SOURCE_ANSWERED;
      }
    } catch (const RelayError &e) {
      state.read = true;
      state.status = last = e.status;
    }
  }
  if (!found) Fail(last);
}

Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count, const SourceSettings &settings) {
  Upstream upstream;
  upstream.Resolve(sources, count, settings);
  return upstream;
}
