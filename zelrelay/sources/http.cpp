// An upstream repository on a web server.
#include "sources/http.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/compression.h"
#include "base/digest.h"
#include "base/patch.h"
#include "base/served.h"
#include "base/statement.h"
#include "base/text.h"
#include "sources/s3.h"

namespace {

// Collects a small text; starts over when a retry answers.
class TextSink final : public ByteSink {
 public:
  explicit TextSink(size_t most) : limit_(most) {}
  uint64_t Have() const override { return 0; }
  const std::string &Origin() const override { return none_; }
  const std::string &Validator() const override { return none_; }
  void Begin(Start, const std::string &, const std::string &) override { text.clear(); }
  void Receive(const void *data, size_t size) override {
    if (text.size() + size > limit_) Fail(RELAY_INDEX_TOO_LARGE);
    text.append(static_cast<const char *>(data), size);
  }
  std::string text;

 private:
  size_t limit_;
  std::string none_;
};

// Runs one request, again after a transient failure as often as the
// settings allow, all of it within the deadline for an index.
Response Perform(const NetworkSettings &settings, Request request, ByteSink &sink) {
  Response outcome;
  request.deadline = Clock::now() + std::chrono::seconds(settings.indexTimeout);
  for (int attempt = 0;; ++attempt) {
    Network network(settings);
    network.Add(request, sink, [&](const Response &response) { outcome = response; });
    if (!network.Run(settings.waiting ? settings.waiting : [] { return true; })) Fail(RELAY_CANCELLED);
    if (!Retryable(outcome, settings, attempt, request.notBefore) || request.notBefore >= request.deadline)
      return outcome;
  }
}


}  // namespace

std::optional<Proxy> ProxyOf(const ZELRELAY_Proxy *record) {
  if (record == nullptr || record->host == nullptr) return std::nullopt;
  Proxy proxy;
  proxy.socks = record->type != 0;
  proxy.host = WideToNarrow(record->host);
  proxy.port = record->port;
  if (record->user) proxy.user = WideToNarrow(record->user);
  if (record->password) proxy.password = WideToNarrow(record->password);
  return proxy;
}

HttpSource::HttpSource(std::string url, std::optional<Proxy> proxy, const NetworkSettings &settings,
                       IndexCache *cache, std::optional<AwsSigning> signing)
    : base_(WithoutLogin(url, login_)), proxy_(std::move(proxy)), settings_(settings), cache_(cache),
      signing_(std::move(signing)) {
  if (RelayStatus refused = CheckScheme(base_, settings_); refused != RELAY_OK) Fail(refused);
  if (base_.back() != '/') base_ += '/';
}

std::string HttpSource::UrlOf(std::string_view path) const { return base_ + EscapeKey(path); }

Request HttpSource::NewRequest(const std::string &url) const {
  Request request;
  request.url = url;
  request.proxy = proxy_ ? &*proxy_ : nullptr;
  request.login = login_ ? &*login_ : nullptr;
  request.signing = signing_ ? &*signing_ : nullptr;
  return request;
}

std::string HttpSource::CacheKey(const std::string &url) const {
  // Through another proxy the same URL may answer otherwise: each route
  // keeps its own.
  if (!proxy_) return url;
  return url + " via " + std::string(proxy_->socks ? "socks5://" : "http://") + proxy_->host + ":" +
         std::to_string(proxy_->port);
}

std::optional<std::string> HttpSource::Get(Request request, size_t limit, Response &response) {
  TextSink sink(limit);
  request.compressed = true;
  // Indexes and signatures are small: the bandwidth limit is for packages.
  NetworkSettings unlimited = settings_;
  unlimited.maxbandwidth = 0;
  response = Perform(unlimited, request, sink);
  transfers_.bytes += response.received;
  response.status = Refused(response.status);
  if (response.status == HttpStatus(404)) return std::nullopt;
  if (response.status != RELAY_OK) Fail(response.status);
  return std::move(sink.text);
}

std::optional<std::string> HttpSource::FetchText(const std::string &name, size_t limit, Caching caching) {
  bool cached = caching == Caching::Kept;
  std::string url = UrlOf(name), key = CacheKey(url);
  if (cached) fetched_.push_back(key);
  if (cached && cache_ != nullptr)
    if (const std::string *text = cache_->Fetched(key)) {
      cache_->Keep(key);  // a duplication after a listing keeps what the listing fetched
      return *text;
    }
  Request request = NewRequest(url);
  std::optional<CachedIndex> kept = cached && cache_ != nullptr ? cache_->Load(key) : std::nullopt;
  if (kept) {
    request.ifNoneMatch = kept->etag;
    request.ifModifiedSince = kept->lastModified;
  }
  Response response;
  std::optional<std::string> text = Get(request, limit, response);
  if (!text) return std::nullopt;
  if (response.NotModified()) {
    if (!kept) Fail(RELAY_UNASKED_NOT_MODIFIED);
    cache_->Store(key, *kept);
    return kept->text;
  }
  if (cached && cache_ != nullptr) cache_->Store(key, CachedIndex{response.etag, response.lastModified, *text});
  return text;
}

namespace {

bool Served(const std::string &name) {
  return name == ZELRELAY_INDEX_FILE || name == ZELRELAY_MERGED_INDEX || name == kSignedIndexFile;
}

}  // namespace

// A patch from the kept text, when the source has one and it makes exactly
// the text it says, of the size the text has now.
std::optional<std::string> HttpSource::ByPatch(const std::string &name, const CachedIndex &kept, uint64_t whole) {
  std::string from = Sha256OfBytes(kept.text.data(), kept.text.size());
  Response response;
  std::optional<std::string> compressed;
  try {
    compressed = Get(NewRequest(UrlOf(std::string(kPatchesDir) + "/" + name + "/" + from + ".zst")), kIndexLimit,
                     response);
  } catch (const RelayError &) {
    return std::nullopt;  // the text itself may still come
  }
  if (!compressed) return std::nullopt;
  std::optional<std::string> patch = ZstdDecompress(*compressed, kIndexLimit);
  std::optional<std::string> text = patch ? ApplyPatch(kept.text, from, *patch) : std::nullopt;
  if (!text || (whole != 0 && text->size() != whole)) {
    transfers_.refused++;
    return std::nullopt;
  }
  transfers_.patched++;
  return text;
}

// The compressed copy, when the source has one of the size the text has now.
std::optional<std::string> HttpSource::ByCopy(const std::string &name, uint64_t whole) {
  Response response;
  std::optional<std::string> compressed;
  try {
    compressed = Get(NewRequest(UrlOf(name + ".zst")), kIndexLimit, response);
  } catch (const RelayError &) {
    return std::nullopt;
  }
  std::optional<std::string> text = compressed ? ZstdDecompress(*compressed, kIndexLimit) : std::nullopt;
  if (!text || (whole != 0 && text->size() != whole)) return std::nullopt;
  transfers_.compressed++;
  return text;
}

// One request of a single byte says whether the text changed since the
// kept one (304), and how large it is now; then it comes as a patch, a
// compressed copy, or whole. What is kept carries the text's own
// validators, for the next run's question.
std::optional<std::string> HttpSource::FetchServed(const std::string &name, TextForm form) {
  std::string url = UrlOf(name), key = CacheKey(url);
  fetched_.push_back(key);
  bool cheapest = form == TextForm::Cheapest;
  if (cheapest && cache_ != nullptr)
    if (const std::string *text = cache_->Fetched(key)) {
      cache_->Keep(key);
      return *text;
    }
  std::optional<CachedIndex> kept = cache_ != nullptr ? cache_->Load(key) : std::nullopt;
  Response answer;
  std::optional<std::string> text;
  if (cheapest) {
    Request probe = NewRequest(url);
    probe.length = 1;
    if (kept) {
      probe.ifNoneMatch = kept->etag;
      probe.ifModifiedSince = kept->lastModified;
    }
    if (!Get(probe, kIndexLimit, answer)) return std::nullopt;
    if (answer.NotModified()) {
      if (!kept) Fail(RELAY_UNASKED_NOT_MODIFIED);
      transfers_.unchanged++;
      cache_->Store(key, *kept);
      return kept->text;
    }
    if (kept) text = ByPatch(name, *kept, answer.whole);
    if (!text) text = ByCopy(name, answer.whole);
  }
  if (!text) {
    text = Get(NewRequest(url), kIndexLimit, answer);
    if (!text) return std::nullopt;
    transfers_.whole++;
  }
  if (cache_ != nullptr) cache_->Store(key, CachedIndex{answer.etag, answer.lastModified, *text});
  return text;
}

std::optional<std::string> HttpSource::ReadText(const std::string &name, TextForm form) {
  if (Served(name)) return FetchServed(name, form);
  return FetchText(name, kIndexLimit, Caching::Kept);
}

void HttpSource::KeepFetched() {
  if (cache_ != nullptr)
    for (const std::string &key : fetched_) cache_->Keep(key);
}

std::optional<Index> HttpSource::ReadIndex() {
  std::optional<std::string> text = FetchServed(ZELRELAY_INDEX_FILE, TextForm::Cheapest);
  if (!text) Fail(HttpStatus(404));
  Index index = ParseIndex(std::move(*text));
  if (!index.components.empty()) return index;
  std::optional<std::string> merged = FetchServed(ZELRELAY_MERGED_INDEX, TextForm::Cheapest);
  return merged ? ParseIndex(std::move(*merged)) : index;
}

namespace {

// One package's transfer, tried again after a transient failure.
struct PackageFetch : std::enable_shared_from_this<PackageFetch> {
  HttpSource &source;
  const ComponentEntry &entry;
  ByteSink &sink;
  std::function<void(RelayStatus)> done;
  std::string url;
  int attempt = 0;

  PackageFetch(HttpSource &from, const ComponentEntry &e, ByteSink &s, std::function<void(RelayStatus)> d)
      : source(from), entry(e), sink(s), done(std::move(d)), url(from.UrlOf(e.path)) {}

  // Goes on from the sink's bytes while the server still has what they
  // came from; a member of a merged archive is its range of the archive.
  void Start(Network &network, Clock::time_point when) {
    Request request = source.NewRequest(url);
    request.offset = entry.InArchive() ? entry.offset : 0;
    request.length = entry.InArchive() ? entry.size : 0;
    if (sink.Origin() == url && sink.Have() > 0) request.ifRange = sink.Validator();
    request.notBefore = when;
    auto self = shared_from_this();
    network.Add(request, sink, [self, &network](const Response &response) { self->Ended(network, response); });
  }

  void Ended(Network &network, const Response &response) {
    if (response.status == RELAY_OK) return done(RELAY_OK);
    if (response.http == 416 && sink.Have() > 0) {  // the kept bytes are no part of it now
      sink.Begin(ByteSink::Start::Afresh, url, {});
      return Start(network, Clock::now());
    }
    Clock::time_point when;
    if (Retryable(response, source.Settings(), attempt++, when)) return Start(network, when);
    done(response.status == HttpStatus(404) ? RELAY_PACKAGE_MISSING : source.Refused(response.status));
  }
};

}  // namespace

void HttpSource::Fetch(const ComponentEntry &entry, ByteSink &sink, Network &network,
                       std::function<void(RelayStatus)> done) {
  std::make_shared<PackageFetch>(*this, entry, sink, std::move(done))->Start(network, Clock::now());
}

std::optional<std::string> HttpSource::FetchSignature(const ComponentEntry &entry) {
  if (entry.InArchive()) return std::nullopt;
  try {
    return FetchText(std::string(entry.path) + ".sig", size_t(1) << 20, Caching::Uncached);
  } catch (const RelayError &) {
    return std::nullopt;
  }
}
