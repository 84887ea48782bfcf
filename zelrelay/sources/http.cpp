// An upstream repository on a web server.
#include "sources/http.h"

#include <algorithm>
#include <memory>

#include "base/text.h"
#include "repository/merge.h"

namespace {

// Collects a small text; starts over when a retry answers.
struct TextReceiver final : Receiver {
  std::string text;
  Response response;
  size_t limit;
  explicit TextReceiver(size_t most) : limit(most) {}
  void Begin(const Response &answer) override {
    response = answer;
    text.clear();
  }
  bool Body(const void *data, size_t size) override {
    if (text.size() + size > limit) Fail(RELAY_INDEX_TOO_LARGE);
    text.append(static_cast<const char *>(data), size);
    return true;
  }
};

// Runs one request, again after a transient failure as often as the
// settings allow.
Response Perform(const NetworkSettings &settings, Request request, Receiver &receiver) {
  Response outcome;
  for (int attempt = 0;; ++attempt) {
    Network network(settings);
    network.Add(request, receiver, [&](const Response &response) { outcome = response; });
    network.Run([] { return true; });
    if (!Retryable(outcome, settings, attempt, request.notBefore)) return outcome;
  }
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/';
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
                       IndexCache *cache)
    : base_(std::move(url)), proxy_(std::move(proxy)), settings_(settings), cache_(cache) {
  if (RelayStatus refused = CheckScheme(base_, settings_); refused != RELAY_OK) Fail(refused);
  if (base_.back() != '/') base_ += '/';
}

std::string HttpSource::UrlOf(const std::string &path) const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = base_;
  for (unsigned char c : path) {
    if (Unreserved(c)) {
      url += char(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

std::optional<std::string> HttpSource::FetchText(const std::string &name, size_t limit, bool cached) {
  std::string url = UrlOf(name);
  if (cached && cache_ != nullptr)
    if (const std::string *text = cache_->Fetched(url)) return *text;
  Request request;
  request.url = url;
  request.proxy = proxy_ ? &*proxy_ : nullptr;
  std::optional<CachedIndex> kept = cached && cache_ != nullptr ? cache_->Load(url) : std::nullopt;
  if (kept) {
    request.ifNoneMatch = kept->etag;
    request.ifModifiedSince = kept->lastModified;
  }
  TextReceiver receiver(limit);
  // Indexes and signatures are small: the bandwidth limit is for packages.
  NetworkSettings unlimited = settings_;
  unlimited.maxbandwidth = 0;
  Response response = Perform(unlimited, request, receiver);
  if (response.status == HttpStatus(404)) return std::nullopt;
  if (response.status != RELAY_OK) Fail(response.status);
  if (response.NotModified() && kept) {
    cache_->Store(url, *kept);
    return kept->text;
  }
  if (cached && cache_ != nullptr)
    cache_->Store(url, CachedIndex{receiver.response.etag, receiver.response.lastModified, receiver.text});
  return receiver.text;
}

std::optional<Index> HttpSource::ReadIndex() {
  std::optional<std::string> text = FetchText(ZELRELAY_INDEX_FILE, kIndexLimit, true);
  if (!text) Fail(HttpStatus(404));
  Index index = ParseIndex(*text);
  if (!index.components.empty()) return index;
  std::optional<std::string> merged = FetchText(kMergedIndex, kIndexLimit, true);
  return merged ? ParseIndex(*merged) : index;
}

Request HttpSource::PackageRequest(const ComponentEntry &entry, uint64_t have, const std::string &validator) const {
  Request request;
  request.url = UrlOf(entry.path);
  request.proxy = proxy_ ? &*proxy_ : nullptr;
  uint64_t start = entry.InArchive() ? entry.offset : 0;
  request.from = start + have;
  request.to = entry.InArchive() ? start + entry.size : 0;
  if (have > 0) request.ifRange = validator;
  return request;
}

namespace {

// Hands a package's bytes to the sink. A server that cannot resume answers
// a range request whole (200), and then the bytes before the range are
// skipped; a member of a merged archive ends where its range does, whatever
// the server sends after it.
struct PackageReceiver final : Receiver {
  const ComponentEntry &entry;
  PackageSink &sink;
  std::string url;
  uint64_t skip = 0, wanted = 0, taken = 0;
  PackageReceiver(const ComponentEntry &e, PackageSink &s, std::string from) : entry(e), sink(s), url(std::move(from)) {}

  void Begin(const Response &answer) override {
    sink.Begin(answer.Partial() && sink.Have() > 0, url, answer.etag.empty() ? answer.lastModified : answer.etag);
    skip = answer.Partial() || !entry.InArchive() ? 0 : entry.offset;
    wanted = entry.InArchive() ? entry.size - sink.Have() : UINT64_MAX;
    taken = 0;
  }
  bool Body(const void *data, size_t size) override {
    const char *at = static_cast<const char *>(data);
    size_t skipped = size_t(std::min<uint64_t>(skip, size));
    skip -= skipped;
    size_t take = size_t(std::min<uint64_t>(size - skipped, wanted - taken));
    if (take > 0) sink.Receive(at + skipped, take);
    taken += take;
    return taken < wanted;
  }
};

struct PackageFetch : std::enable_shared_from_this<PackageFetch> {
  HttpSource &source;
  const ComponentEntry &entry;
  PackageSink &sink;
  std::function<void(RelayStatus)> done;
  PackageReceiver receiver;
  int attempt = 0;

  PackageFetch(HttpSource &from, const ComponentEntry &e, PackageSink &s, std::function<void(RelayStatus)> d)
      : source(from), entry(e), sink(s), done(std::move(d)), receiver(e, s, from.UrlOf(e.path)) {}

  void Start(Network &network, Clock::time_point when) {
    bool same = sink.Origin() == receiver.url && !sink.Validator().empty();
    Request request = source.PackageRequest(entry, same ? sink.Have() : 0, same ? sink.Validator() : "");
    request.notBefore = when;
    auto self = shared_from_this();
    network.Add(request, receiver, [self, &network](const Response &response) { self->Ended(network, response); });
  }

  void Ended(Network &network, const Response &response) {
    if (response.status == RELAY_OK) return done(RELAY_OK);
    if (response.http == 416 && sink.Have() > 0) {  // the kept bytes are no part of it now
      sink.Begin(false, receiver.url, {});
      return Start(network, Clock::now());
    }
    Clock::time_point when;
    if (Retryable(response, source.Settings(), attempt++, when)) return Start(network, when);
    done(response.status == HttpStatus(404) ? RELAY_PACKAGE_MISSING : response.status);
  }
};

}  // namespace

void HttpSource::Fetch(const ComponentEntry &entry, PackageSink &sink, Network &network,
                       std::function<void(RelayStatus)> done) {
  std::make_shared<PackageFetch>(*this, entry, sink, std::move(done))->Start(network, Clock::now());
}

std::optional<std::string> HttpSource::FetchSignature(const ComponentEntry &entry) {
  if (entry.InArchive()) return std::nullopt;
  try {
    return FetchText(entry.path + ".sig", size_t(1) << 20, false);
  } catch (const RelayError &) {
    return std::nullopt;
  }
}
