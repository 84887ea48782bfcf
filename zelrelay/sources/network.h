// HTTP and HTTPS transfers through libcurl's multi interface, side by side
// on the calling thread: connections are kept and reused, at most a few
// transfers run per host, the sum of all of them keeps to the bandwidth
// limit, and the caller hears from the loop often enough to cancel.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"

using Clock = std::chrono::steady_clock;

// What a user may tune without rebuilding, from the environment
// (docs/local-relay.md), and the limits the options set.
struct NetworkSettings {
  long transfersPerHost = 4;  // ZELRELAY_TRANSFERS_PER_HOST
  long connectTimeout = 15;   // ZELRELAY_CONNECT_TIMEOUT, seconds
  long stallTimeout = 30;     // ZELRELAY_STALL_TIMEOUT: seconds without a byte
  long retries = 3;           // ZELRELAY_RETRIES: further tries of a transfer
  long retryAfterLimit = 60;  // a later Retry-After fails the source instead
  int64_t maxbandwidth = 0;   // bytes per second for all transfers together
  int64_t httpslevel = 0;     // 1 or more: plain http:// is refused

  static NetworkSettings FromEnvironment();
};

struct Proxy {
  bool socks = false;  // else an HTTP proxy
  std::string host;
  uint16_t port = 0;   // 0: libcurl's default
  std::string user, password;
};

struct Request {
  std::string url;
  const Proxy *proxy = nullptr;
  // A byte range [from, to) of the resource; to 0: to its end.
  uint64_t from = 0, to = 0;
  std::string ifRange;  // the validator the earlier bytes came with
  std::string ifNoneMatch, ifModifiedSince;
  Clock::time_point notBefore{};
};

struct Response {
  long http = 0;
  RelayStatus status = RELAY_OK;  // RELAY_OK: a 2xx or 304 answer, received whole
  std::string etag, lastModified;
  long retryAfter = -1;  // seconds, from a 429 or 503
  bool Partial() const { return http == 206; }
  bool NotModified() const { return http == 304; }
};

// Where a transfer's answer goes. Begin comes before the first byte of the
// body; a RelayError thrown from either ends the transfer with its status.
class Receiver {
 public:
  virtual void Begin(const Response &response) = 0;
  // Returns false when everything wanted has come: the rest is not fetched.
  virtual bool Body(const void *data, size_t size) = 0;

 protected:
  ~Receiver() = default;
};

class Network {
 public:
  explicit Network(const NetworkSettings &settings);
  ~Network();
  Network(const Network &) = delete;
  Network &operator=(const Network &) = delete;

  // Queues a transfer; done hears how it ended, and may queue more.
  void Add(const Request &request, Receiver &receiver, std::function<void(const Response &)> done);
  // Runs until no transfer is left. tick is called at least every 200 ms;
  // when it returns false every transfer is dropped and Run returns false.
  bool Run(const std::function<bool()> &tick);
  // Bytes of bodies received so far.
  uint64_t Received() const;

  const NetworkSettings &Settings() const;

  struct Transfer;

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
};

// The status of a refused source URL: plain http:// under httpslevel 1.
RelayStatus CheckScheme(const std::string &url, const NetworkSettings &settings);
// Whether a failed transfer is worth another try, and when.
bool Retryable(const Response &response, const NetworkSettings &settings, int attempt, Clock::time_point &when);
