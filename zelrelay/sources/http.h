// An upstream repository on a web server, over HTTP or HTTPS, directly or
// through the source's proxy. Its index is fetched conditionally; its
// packages are fetched side by side by the copying (packages/copying.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sources/cache.h"
#include "sources/network.h"
#include "sources/source.h"

class HttpSource final : public Source {
 public:
  // Throws RELAY_INSECURE_SOURCE for plain http:// under httpslevel 1,
  // RELAY_MALFORMED_URL for a URL that is none.
  // signing: for a bucket of an object store (sources/s3.h), whose URL this is.
  HttpSource(std::string url, std::optional<Proxy> proxy, const NetworkSettings &settings, IndexCache *cache,
             std::optional<AwsSigning> signing = std::nullopt);
  // server.ini; when it lists no component, as in a relay's repository after
  // the clean-up, merged.ini as well.
  std::optional<Index> ReadIndex() override;
  // Queued on the network, tried again after a transient failure, going
  // on from the sink's bytes while the server still has what they came from.
  void Fetch(const ComponentEntry &entry, ByteSink &sink, Network &network,
             std::function<void(RelayStatus)> done) override;
  bool Parallel() const override { return true; }
  std::optional<std::string> FetchSignature(const ComponentEntry &entry) override;
  // The index, merged.ini and signed.ini come the cheapest way that checks
  // out: unchanged (one request), as a patch from the text kept, as a
  // compressed copy, or whole.
  std::optional<std::string> ReadText(const std::string &name, TextForm form) override;
  const TextTransfers *Transfers() const override { return &transfers_; }
  void KeepFetched() override;

  std::string UrlOf(std::string_view path) const;
  // The URL without credentials: what a repository, an event or a report
  // may show.
  const std::string &Url() const { return base_; }
  // A request of the URL, through the source's proxy, with its credentials.
  Request NewRequest(const std::string &url) const;
  const NetworkSettings &Settings() const { return settings_; }
  // A signed request that the store refuses (403) is refused credentials.
  RelayStatus Refused(RelayStatus status) const {
    return signing_ && status == HttpStatus(403) ? RELAY_STORE_REFUSED : status;
  }

 private:
  std::optional<Login> login_;  // before base_, whose initializer fills it
  std::string base_;            // ends in "/"; without the credentials it was given with
  std::optional<Proxy> proxy_;
  NetworkSettings settings_;
  IndexCache *cache_;
  std::vector<std::string> fetched_;  // URLs of texts fetched through the cache
  TextTransfers transfers_;
  std::optional<AwsSigning> signing_;

  // nullopt when the server has no such file (404).
  // A kept text is asked for conditionally and kept again (sources/cache.h).
  enum class Caching { Kept, Uncached };
  std::optional<std::string> FetchText(const std::string &name, size_t limit, Caching caching);
  // One request, nullopt for a 404; counts what it received.
  std::optional<std::string> Get(Request request, size_t limit, Response &response);
  std::string CacheKey(const std::string &url) const;
  std::optional<std::string> FetchServed(const std::string &name, TextForm form);
  std::optional<std::string> ByPatch(const std::string &name, const CachedIndex &kept, uint64_t whole);
  std::optional<std::string> ByCopy(const std::string &name, uint64_t whole);
};

// The Proxy a source record names, if any.
std::optional<Proxy> ProxyOf(const ZELRELAY_Proxy *record);
