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
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "packages/sink.h"

using Clock = std::chrono::steady_clock;

// What a user may tune without rebuilding, from the environment
// (docs/local-relay.md), and the limits the options set.
struct NetworkSettings {
  long transfersPerHost = 4;  // ZELRELAY_TRANSFERS_PER_HOST
  long connectTimeout = 15;   // ZELRELAY_CONNECT_TIMEOUT, seconds
  long stallTimeout = 30;     // ZELRELAY_STALL_TIMEOUT: seconds without a byte
  long indexTimeout = 300;    // ZELRELAY_INDEX_TIMEOUT: seconds for an index, however it trickles
  long retries = 3;           // ZELRELAY_RETRIES: further tries of a transfer
  long retryAfterLimit = 60;  // a later Retry-After fails the source instead
  int64_t maxbandwidth = 0;   // bytes per second for all transfers together
  int64_t httpslevel = 0;     // 1 or more: plain http:// is refused
  // Heard at least every 200 ms while an index or a signature is awaited;
  // false cancels the fetch (RELAY_CANCELLED).
  std::function<bool()> waiting;

  static NetworkSettings FromEnvironment();
};

struct Proxy {
  bool socks = false;  // else an HTTP proxy
  std::string host;
  uint16_t port = 0;   // 0: libcurl's default
  std::string user, password;
};

// What a source URL's user information gave: sent to its host, and never
// written anywhere.
struct Login {
  std::string user, password;
};

// Signing for an S3-compatible object store: libcurl's AWS Signature
// Version 4 (sources/s3.h says where the credentials come from).
struct AwsSigning {
  std::string region, key, secret, token;  // token: of temporary credentials, else empty
};

struct Request {
  std::string url;  // without credentials
  std::string method;  // empty: GET, or PUT with a body; "HEAD" asks for no body
  const Proxy *proxy = nullptr;
  const Login *login = nullptr;
  // The bytes wanted: length bytes from offset (length 0: to the end).
  uint64_t offset = 0, length = 0;
  // The validator the sink's bytes came with: then only the rest is asked
  // for, and only while the resource is still what they came from.
  std::string ifRange;
  std::string ifNoneMatch, ifModifiedSince;
  // Asks for the answer compressed, which libcurl takes apart: for texts.
  bool compressed = false;
  // Signed for an object store; payloadSha256 is the body's, which the
  // store checks (empty: that of no body).
  const AwsSigning *signing = nullptr;
  std::string payloadSha256;
  std::vector<std::pair<std::string, std::string>> headers;  // more of them, sent as they are
  // A body to send: these bytes, or size bytes of bodyFile from
  // bodyOffset. They must outlive the transfer.
  const std::string *body = nullptr;
  int bodyFile = -1;
  uint64_t bodyOffset = 0, bodySize = 0;
  Clock::time_point notBefore{};
  Clock::time_point deadline{};  // when set, the whole transfer ends by then
};

struct Response {
  long http = 0;
  RelayStatus status = RELAY_OK;  // RELAY_OK: a 2xx or 304 answer, received whole
  std::string etag, lastModified;
  std::string location;  // of a redirect
  long retryAfter = -1;  // seconds, from a 429 or 503
  uint64_t whole = 0;    // the resource's size, from Content-Range or Content-Length; 0: not said
  uint64_t received = 0;  // bytes of body that came
  std::string failure;    // the start of an error answer's body: an object store says why there
  std::string sha256Meta;  // x-amz-meta-sha256, what an object store keeps of an object's digest
  bool NotModified() const { return http == 304; }
};

class Network {
 public:
  explicit Network(const NetworkSettings &settings);
  ~Network();
  Network(const Network &) = delete;
  Network &operator=(const Network &) = delete;

  // Queues a transfer of the wanted bytes into the sink, which hears Begin
  // before the first of them (also when there are none). A server that
  // cannot resume answers whole, and the sink starts over; what it sends
  // beyond the wanted bytes is not taken. done hears how the transfer
  // ended, and may queue more.
  void Add(const Request &request, ByteSink &sink, std::function<void(const Response &)> done);
  // Runs until no transfer is left. tick is called at least every 200 ms;
  // when it returns false every transfer is dropped and Run returns false.
  bool Run(const std::function<bool()> &tick);

  struct Transfer;

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
};

// The status of a refused source URL: plain http:// under httpslevel 1.
RelayStatus CheckScheme(const std::string &url, const NetworkSettings &settings);
// The URL without the user information it may carry, which goes to login;
// throws RELAY_MALFORMED_URL for what is no URL.
std::string WithoutLogin(const std::string &url, std::optional<Login> &login);
// Whether a failed transfer is worth another try, and when.
bool Retryable(const Response &response, const NetworkSettings &settings, int attempt, Clock::time_point &when);
