// HTTP and HTTPS transfers through libcurl's multi interface.
#include "sources/network.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "base/text.h"

namespace {

constexpr auto kTickInterval = std::chrono::milliseconds(100);
constexpr const char *kUserAgent = "zelrelay/1.0";

// What libcurl knows of a transfer, or fallback when it does not say.
template <class T>
T Info(CURL *easy, CURLINFO what, T fallback) {
  T value = fallback;
  return curl_easy_getinfo(easy, what, &value) == CURLE_OK ? value : fallback;
}

// A failure of libcurl itself, not of a transfer: out of memory, or a fault.
[[noreturn]] void CurlFailed(bool memory) {
  if (memory) throw std::bad_alloc();
  Fail(RELAY_FAILED);
}

long EnvironmentNumber(const char *name, long fallback, long minimum) {
  const char *text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  return *end == '\0' && value >= minimum ? value : fallback;
}

// scheme://host:port, for the per-host limit.
std::string HostOf(const std::string &url) {
  size_t start = url.find("://");
  size_t end = start == std::string::npos ? std::string::npos : url.find('/', start + 3);
  return url.substr(0, end);
}

std::string Trimmed(const char *data, size_t size) {
  std::string text(data, size);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string{} : text.substr(start);
}

// Through a proxy, a 401 is the proxy's too: some answer so rather than
// 407, and the relay sends an upstream no credentials it could refuse.
bool ProxyRefused(long http) { return http == 407 || http == 401; }

RelayStatus ProxyFailure(CURL *easy) {
  switch (Info<long>(easy, CURLINFO_PROXY_ERROR, CURLPX_OK)) {
    case CURLPX_USER_REJECTED:
    case CURLPX_NO_AUTH:
    case CURLPX_LONG_USER:
    case CURLPX_LONG_PASSWD:
    case CURLPX_SEND_AUTH:
    case CURLPX_RECV_AUTH:
      return RELAY_PROXY_AUTH;
    case CURLPX_REPLY_CONNECTION_REFUSED:
    case CURLPX_REPLY_HOST_UNREACHABLE:
    case CURLPX_REPLY_NETWORK_UNREACHABLE:
    case CURLPX_RESOLVE_HOST:
      return RELAY_HOST_UNREACHABLE;
    default:
      return RELAY_PROXY_UNREACHABLE;
  }
}

// A redirect libcurl would not follow: to plain http:// under httpslevel,
// or to a scheme that is no web server's (file://, ftp://).
RelayStatus RedirectRefused(const std::string &location, const NetworkSettings &settings) {
  std::string scheme = location.substr(0, 7);
  for (char &c : scheme) c = char(tolower(static_cast<unsigned char>(c)));
  return scheme == "http://" && settings.httpslevel > 0 ? RELAY_INSECURE_SOURCE : RELAY_REDIRECT_REFUSED;
}

RelayStatus CurlFailure(CURLcode result, CURL *easy, const Response &response, bool proxied,
                        const NetworkSettings &settings) {
  long http = Info<long>(easy, CURLINFO_RESPONSE_CODE, 0);
  if (ProxyRefused(Info<long>(easy, CURLINFO_HTTP_CONNECTCODE, 0))) return RELAY_PROXY_AUTH;
  switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      return RELAY_PROXY_UNREACHABLE;
    case CURLE_COULDNT_RESOLVE_HOST:
      return RELAY_HOST_UNREACHABLE;
    case CURLE_COULDNT_CONNECT:
      return proxied ? RELAY_PROXY_UNREACHABLE : RELAY_HOST_UNREACHABLE;
    case CURLE_PROXY:
      return ProxyFailure(easy);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
      return RELAY_TLS_UNTRUSTED;
    case CURLE_OPERATION_TIMEDOUT:
      return RELAY_TIMED_OUT;
    case CURLE_UNSUPPORTED_PROTOCOL:  // a redirect not followed, or a reply without a status line
      return http >= 300 && http < 400 ? RedirectRefused(response.location, settings) : RELAY_TRANSFER_FAILED;
    case CURLE_URL_MALFORMAT:
      return RELAY_MALFORMED_URL;
    case CURLE_OUT_OF_MEMORY:
      return RELAY_OUT_OF_MEMORY;
    default:
      return RELAY_TRANSFER_FAILED;
  }
}

// SSL_CERT_FILE is OpenSSL's own variable, CURL_CA_BUNDLE the curl tool's;
// libcurl heeds neither unless told.
const char *CaBundle() {
  for (const char *name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
    if (const char *path = getenv(name); path != nullptr && *path != '\0') return path;
  return nullptr;
}

}  // namespace

NetworkSettings NetworkSettings::FromEnvironment() {
  NetworkSettings settings;
  settings.transfersPerHost = EnvironmentNumber("ZELRELAY_TRANSFERS_PER_HOST", settings.transfersPerHost, 1);
  settings.connectTimeout = EnvironmentNumber("ZELRELAY_CONNECT_TIMEOUT", settings.connectTimeout, 1);
  settings.stallTimeout = EnvironmentNumber("ZELRELAY_STALL_TIMEOUT", settings.stallTimeout, 1);
  settings.indexTimeout = EnvironmentNumber("ZELRELAY_INDEX_TIMEOUT", settings.indexTimeout, 1);
  settings.retries = EnvironmentNumber("ZELRELAY_RETRIES", settings.retries, 0);
  return settings;
}

struct Network::Transfer {
  Loop *loop = nullptr;
  Request request;
  ByteSink *sink = nullptr;
  std::function<void(const Response &)> done;
  std::string host;
  CURL *easy = nullptr;
  curl_slist *headers = nullptr;
  Response response;
  bool begun = false, paused = false, enough = false;
  RelayStatus failure = RELAY_OK;
  uint64_t sent = 0;  // of the request's body
  // Of the answer's body: bytes before the wanted ones, and the wanted
  // bytes still to come.
  uint64_t skip = 0, wanted = 0;

  // The answer's body starts. Unless the server sent just the range asked
  // for, it sends the resource whole, and the sink starts over.
  void Begin(long http) {
    response.http = http;
    begun = true;
    bool ranged = http == 206;
    const std::string &validator = response.etag.empty() ? response.lastModified : response.etag;
    bool resumed = ranged && !request.ifRange.empty() && sink->Have() > 0;
    sink->Begin(resumed ? ByteSink::Start::Resumed : ByteSink::Start::Afresh, request.url, validator);
    skip = ranged ? 0 : request.offset;
    wanted = request.length == 0 ? UINT64_MAX : request.length - sink->Have();
  }
  // False once every wanted byte has come.
  bool Take(const char *data, size_t size) {
    size_t skipped = size_t(std::min<uint64_t>(skip, size));
    skip -= skipped;
    size_t take = size_t(std::min<uint64_t>(size - skipped, wanted));
    if (take > 0) sink->Receive(data + skipped, take);
    wanted -= take;
    return wanted > 0;
  }

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

struct Network::Loop {
  NetworkSettings settings;
  CURLM *multi = nullptr;
  // Queued by host, in order, and those that must wait until a time; so a
  // run of many transfers never looks at all of them for each one done.
  std::map<std::string, std::deque<std::unique_ptr<Transfer>>> ready;
  std::multimap<Clock::time_point, std::unique_ptr<Transfer>> later;
  size_t queued = 0;
  std::map<CURL *, std::unique_ptr<Transfer>> active;
  std::map<std::string, long> perHost;
  uint64_t received = 0;
  Clock::time_point start = Clock::now();

  void Queue(std::unique_ptr<Transfer> t) {
    queued++;
    Clock::time_point when = t->request.notBefore;
    if (when > Clock::now()) later.emplace(when, std::move(t));
    else ready[t->host].push_back(std::move(t));
  }

  void StartDue();
  // A queued transfer that a free slot would take now.
  bool Startable() {
    for (auto &[host, queue] : ready)
      if (!queue.empty() && perHost[host] < settings.transfersPerHost) return true;
    return false;
  }
  void DropAll() {
    // A handle that cannot be taken out is freed all the same, with its transfer.
    for (auto &[easy, t] : active) (void)curl_multi_remove_handle(multi, easy);
    active.clear();
    ready.clear();
    later.clear();
    perHost.clear();
    queued = 0;
  }

  // Whether size more bytes keep all transfers within the limit so far.
  bool WithinBandwidth(size_t size) const {
    if (settings.maxbandwidth <= 0) return true;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(received + size) <= double(settings.maxbandwidth) * seconds + 1;
  }
};

namespace {

using Transfer = Network::Transfer;

size_t OnHeader(char *data, size_t size, size_t count, void *user) {
  auto *t = static_cast<Transfer *>(user);
  size_t bytes = size * count;
  std::string line = Trimmed(data, bytes);
  if (line.starts_with("HTTP/")) {  // a new answer, after a redirect or 100 Continue
    t->response.etag.clear();
    t->response.lastModified.clear();
    t->response.location.clear();
    t->response.whole = 0;
    return bytes;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos) return bytes;
  std::string name = line.substr(0, colon), value = Trimmed(line.data() + colon + 1, line.size() - colon - 1);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(tolower(c)); });
  if (name == "etag") t->response.etag = value;
  if (name == "last-modified") t->response.lastModified = value;
  if (name == "location") t->response.location = value;
  if (name == "x-amz-meta-sha256") t->response.sha256Meta = value;
  // "bytes A-B/SIZE" of a range; else the length of the whole.
  if (name == "content-range" && value.find('/') != std::string::npos)
    t->response.whole = ParseWhole(value.substr(value.find('/') + 1)).value_or(0);
  if (name == "content-length" && t->response.whole == 0)
    t->response.whole = ParseWhole(value).value_or(0);
  return bytes;
}

size_t OnBody(char *data, size_t size, size_t count, void *user) {
  auto *t = static_cast<Transfer *>(user);
  size_t bytes = size * count;
  long http = Info<long>(t->easy, CURLINFO_RESPONSE_CODE, 0);
  if (http < 200 || http >= 300) {  // an error page: its status counts, and its start says why
    constexpr size_t kKept = 4096;
    std::string &failure = t->response.failure;
    failure.append(data, std::min(bytes, kKept - std::min(kKept, failure.size())));
    return bytes;
  }
  if (!t->loop->WithinBandwidth(bytes)) {
    t->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  try {
    if (!t->begun) t->Begin(http);
    t->loop->received += bytes;
    if (t->Take(data, bytes)) return bytes;
    t->enough = true;
  } catch (const RelayError &e) {
    t->failure = e.status;
  } catch (const std::bad_alloc &) {
    t->failure = RELAY_OUT_OF_MEMORY;
  }
  return 0;
}

// Sets options one after another and keeps the first refusal: a transfer
// with an option missing (the protocols httpslevel allows, a header) must
// not run as if it had it.
struct Options {
  CURL *easy;
  CURLcode first = CURLE_OK;
  template <class T>
  void Set(CURLoption option, T value) {
    CURLcode result = curl_easy_setopt(easy, option, value);
    if (first == CURLE_OK) first = result;
  }
};

void SetProxy(Options &o, const Proxy *proxy) {
  if (proxy == nullptr) {
    o.Set(CURLOPT_PROXY, "");  // not even one from the environment
    return;
  }
  o.Set(CURLOPT_PROXY, proxy->host.c_str());
  o.Set(CURLOPT_NOPROXY, "");  // the source's proxy, whatever no_proxy says
  if (proxy->port != 0) o.Set(CURLOPT_PROXYPORT, long(proxy->port));
  o.Set(CURLOPT_PROXYTYPE, long(proxy->socks ? CURLPROXY_SOCKS5_HOSTNAME : CURLPROXY_HTTP));
  if (!proxy->user.empty() || !proxy->password.empty()) {
    o.Set(CURLOPT_PROXYUSERNAME, proxy->user.c_str());
    o.Set(CURLOPT_PROXYPASSWORD, proxy->password.c_str());
    o.Set(CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC));
  }
}

// The request's body, from memory or from a file.
size_t OnSend(char *buffer, size_t size, size_t count, void *user) {
  auto *t = static_cast<Transfer *>(user);
  const Request &r = t->request;
  size_t want = size_t(std::min<uint64_t>(size * count, r.bodySize - t->sent));
  if (want == 0) return 0;
  if (r.body) {
    memcpy(buffer, r.body->data() + t->sent, want);
  } else {
    ssize_t got = pread(r.bodyFile, buffer, want, off_t(r.bodyOffset + t->sent));
    if (got < 0) return CURL_READFUNC_ABORT;
    want = size_t(got);
  }
  t->sent += want;
  return want;
}

// The methods and bodies of requests to an object store, signed.
void SetStoreRequest(Options &o, Transfer &t) {
  const Request &r = t.request;
  if (r.method == "HEAD") o.Set(CURLOPT_NOBODY, 1L);
  else if (r.method == "DELETE") o.Set(CURLOPT_CUSTOMREQUEST, "DELETE");
  bool body = r.body || r.bodyFile >= 0;
  if (r.method == "PUT" || (body && r.method.empty())) {  // a PUT of nothing makes a bucket
    o.Set(CURLOPT_UPLOAD, 1L);
    o.Set(CURLOPT_INFILESIZE_LARGE, curl_off_t(r.bodySize));
  } else if (body || r.method == "POST") {
    o.Set(CURLOPT_POST, 1L);
    o.Set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.bodySize));
  }
  o.Set(CURLOPT_READFUNCTION, OnSend);
  o.Set(CURLOPT_READDATA, &t);
  if (!r.signing) return;
  std::string sign = "aws:amz:" + r.signing->region + ":s3";
  o.Set(CURLOPT_AWS_SIGV4, sign.c_str());
  // Apart: an access key may hold a colon, where USERPWD would split it.
  o.Set(CURLOPT_USERNAME, r.signing->key.c_str());
  o.Set(CURLOPT_PASSWORD, r.signing->secret.c_str());
}

void AddHeader(Transfer &t, const char *name, const std::string &value) {
  if (value.empty()) return;
  curl_slist *more = curl_slist_append(t.headers, (std::string(name) + ": " + value).c_str());
  if (more == nullptr) throw std::bad_alloc();  // the list stays as it was, for the transfer to free
  t.headers = more;
}

// Headers that never change for a request; libcurl copies the strings.
void Configure(Transfer &t, const NetworkSettings &settings) {
  Options o{t.easy};
  const Request &r = t.request;
  o.Set(CURLOPT_URL, r.url.c_str());
  o.Set(CURLOPT_PRIVATE, &t);
  o.Set(CURLOPT_NOSIGNAL, 1L);
  o.Set(CURLOPT_USERAGENT, kUserAgent);
  o.Set(CURLOPT_HEADERFUNCTION, OnHeader);
  o.Set(CURLOPT_HEADERDATA, &t);
  o.Set(CURLOPT_WRITEFUNCTION, OnBody);
  o.Set(CURLOPT_WRITEDATA, &t);
  const char *protocols = settings.httpslevel > 0 ? "https" : "http,https";
  o.Set(CURLOPT_PROTOCOLS_STR, protocols);
  o.Set(CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  o.Set(CURLOPT_FOLLOWLOCATION, 1L);
  o.Set(CURLOPT_MAXREDIRS, 5L);
  o.Set(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
  o.Set(CURLOPT_PIPEWAIT, 1L);
  // Larger pieces: fewer calls to write, to sum and to check the limit.
  o.Set(CURLOPT_BUFFERSIZE, 256L * 1024);
  o.Set(CURLOPT_CONNECTTIMEOUT, settings.connectTimeout);
  o.Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  o.Set(CURLOPT_LOW_SPEED_TIME, settings.stallTimeout);
  o.Set(CURLOPT_SSL_VERIFYPEER, 1L);
  o.Set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char *bundle = CaBundle()) o.Set(CURLOPT_CAINFO, bundle);
  o.Set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  SetProxy(o, r.proxy);
  if (r.login != nullptr) {
    o.Set(CURLOPT_USERNAME, r.login->user.c_str());
    o.Set(CURLOPT_PASSWORD, r.login->password.c_str());
  }
  if (r.deadline != Clock::time_point{}) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(r.deadline - Clock::now()).count();
    o.Set(CURLOPT_TIMEOUT_MS, long(std::max<long long>(left, 1)));
  }
  uint64_t from = r.offset + (r.ifRange.empty() ? 0 : t.sink->Have());
  if (from > 0 || r.length > 0) {
    std::string range = std::to_string(from) + "-" + (r.length > 0 ? std::to_string(r.offset + r.length - 1) : "");
    o.Set(CURLOPT_RANGE, range.c_str());
  }
  AddHeader(t, "If-Range", r.ifRange);
  AddHeader(t, "If-None-Match", r.ifNoneMatch);
  AddHeader(t, "If-Modified-Since", r.ifModifiedSince);
  SetStoreRequest(o, t);
  if (r.signing) {
    // libcurl 7.88 signs these as they are sent and sends no payload hash
    // of its own; no signed name may extend another (it sorts whole lines).
    static const std::string kNoBody = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    AddHeader(t, "x-amz-content-sha256", r.payloadSha256.empty() ? kNoBody : r.payloadSha256);
    AddHeader(t, "x-amz-security-token", r.signing->token);
  }
  for (const auto &[name, value] : r.headers) AddHeader(t, name.c_str(), value);
  if (r.compressed) o.Set(CURLOPT_ACCEPT_ENCODING, "");  // every encoding libcurl reads
  o.Set(CURLOPT_HTTPHEADER, t.headers);
  if (o.first != CURLE_OK) CurlFailed(o.first == CURLE_OUT_OF_MEMORY);
}

void Finish(Transfer &t, CURLcode result) {
  Response &response = t.response;
  long http = Info<long>(t.easy, CURLINFO_RESPONSE_CODE, 0);
  response.http = http;
  curl_off_t after = Info<curl_off_t>(t.easy, CURLINFO_RETRY_AFTER, -1);
  if (after > 0) response.retryAfter = long(after);
  response.received = uint64_t(std::max<curl_off_t>(Info<curl_off_t>(t.easy, CURLINFO_SIZE_DOWNLOAD_T, 0), 0));
  if (t.failure != RELAY_OK)
    response.status = t.failure;
  else if (t.enough)
    response.status = RELAY_OK;
  else if (result != CURLE_OK)
    response.status = CurlFailure(result, t.easy, response, t.request.proxy != nullptr, t.loop->settings);
  else if (t.request.proxy != nullptr && !t.request.proxy->socks && ProxyRefused(http))
    response.status = RELAY_PROXY_AUTH;
  else if ((http >= 200 && http < 300) || http == 304)
    response.status = RELAY_OK;
  else
    response.status = HttpStatus(http);
  if (response.status == RELAY_OK && !t.begun && http != 304) {
    try {  // an empty body: Begin still comes
      t.Begin(http);
    } catch (const RelayError &e) {
      response.status = e.status;
    }
  }
}

}  // namespace

Network::Network(const NetworkSettings &settings) : loop_(std::make_unique<Loop>()) {
  static std::once_flag once;
  static CURLcode initialised = CURLE_OK;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initialised != CURLE_OK) CurlFailed(initialised == CURLE_OUT_OF_MEMORY);
  loop_->settings = settings;
  loop_->multi = curl_multi_init();
  if (loop_->multi == nullptr) throw std::bad_alloc();
  CURLMcode result = curl_multi_setopt(loop_->multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
  if (result == CURLM_OK) result = curl_multi_setopt(loop_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, settings.transfersPerHost);
  if (result != CURLM_OK) {
    curl_multi_cleanup(loop_->multi);
    CurlFailed(result == CURLM_OUT_OF_MEMORY);
  }
}

Network::~Network() {
  loop_->DropAll();
  // Nothing is left to fail: every handle is out of it.
  (void)curl_multi_cleanup(loop_->multi);
}

void Network::Add(const Request &request, ByteSink &sink, std::function<void(const Response &)> done) {
  auto transfer = std::make_unique<Transfer>();
  transfer->loop = loop_.get();
  transfer->request = request;
  transfer->sink = &sink;
  transfer->done = std::move(done);
  transfer->host = HostOf(request.url);
  loop_->Queue(std::move(transfer));
}

void Network::Loop::StartDue() {
  Clock::time_point now = Clock::now();
  while (!later.empty() && later.begin()->first <= now) {
    std::unique_ptr<Transfer> t = std::move(later.begin()->second);
    later.erase(later.begin());
    ready[t->host].push_back(std::move(t));
  }
  for (auto &[host, queue] : ready)
    while (!queue.empty() && perHost[host] < settings.transfersPerHost) {
      std::unique_ptr<Transfer> t = std::move(queue.front());
      queue.pop_front();
      queued--;
      t->easy = curl_easy_init();
      if (t->easy == nullptr) throw std::bad_alloc();
      Configure(*t, settings);
      if (CURLMcode added = curl_multi_add_handle(multi, t->easy); added != CURLM_OK)
        CurlFailed(added == CURLM_OUT_OF_MEMORY);
      perHost[host]++;
      active[t->easy] = std::move(t);
    }
}

bool Network::Run(const std::function<bool()> &tick) {
  Loop &loop = *loop_;
  Clock::time_point lastTick = Clock::now();
  while (loop.queued > 0 || !loop.active.empty()) {
    loop.StartDue();
    for (auto &[easy, t] : loop.active)
      if (t->paused && loop.WithinBandwidth(1)) {
        t->paused = false;
        if (curl_easy_pause(easy, CURLPAUSE_CONT) != CURLE_OK) Fail(RELAY_TRANSFER_FAILED);
      }
    int running = 0;
    if (CURLMcode performed = curl_multi_perform(loop.multi, &running); performed != CURLM_OK)
      CurlFailed(performed == CURLM_OUT_OF_MEMORY);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(loop.multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = loop.active.find(message->easy_handle);
      RELAY_ASSERT(found != loop.active.end());  // libcurl tells only of handles it was given
      std::unique_ptr<Transfer> t = std::move(found->second);
      loop.active.erase(found);
      CURLMcode removed = curl_multi_remove_handle(loop.multi, t->easy);
      RELAY_ASSERT(removed == CURLM_OK);
      loop.perHost[t->host]--;
      Finish(*t, message->data.result);
      t->done(t->response);
    }
    if (Clock::now() - lastTick >= kTickInterval) {
      lastTick = Clock::now();
      if (!tick()) {
        loop.DropAll();
        return false;
      }
    }
    if (loop.queued == 0 && loop.active.empty()) break;
    if (loop.Startable()) continue;  // a freed slot is filled at once, not after the next wait
    // libcurl has timers of its own (connecting, retries of its own), and
    // says how long it may wait; so does the next transfer due.
    long wait = -1;
    if (curl_multi_timeout(loop.multi, &wait) != CURLM_OK || wait < 0 || wait > kTickInterval.count())
      wait = kTickInterval.count();
    if (!loop.later.empty())
      wait = std::min<long>(wait, long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           loop.later.begin()->first - Clock::now()).count()) + 1);
    if (wait > 0)
      if (CURLMcode polled = curl_multi_poll(loop.multi, nullptr, 0, int(wait), nullptr); polled != CURLM_OK)
        CurlFailed(polled == CURLM_OUT_OF_MEMORY);
  }
  return true;
}

RelayStatus CheckScheme(const std::string &url, const NetworkSettings &settings) {
  if (url.starts_with("https://")) return RELAY_OK;
  if (!url.starts_with("http://")) return RELAY_BAD_SOURCE;
  return settings.httpslevel > 0 ? RELAY_INSECURE_SOURCE : RELAY_OK;
}

std::string WithoutLogin(const std::string &url, std::optional<Login> &login) {
  std::unique_ptr<CURLU, void (*)(CURLU *)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) Fail(RELAY_MALFORMED_URL);
  char *user = nullptr, *password = nullptr, *bare = nullptr;
  CURLUcode gotUser = curl_url_get(parsed.get(), CURLUPART_USER, &user, CURLU_URLDECODE);
  CURLUcode gotPassword = curl_url_get(parsed.get(), CURLUPART_PASSWORD, &password, CURLU_URLDECODE);
  if (user != nullptr || password != nullptr) login = Login{user ? user : "", password ? password : ""};
  curl_free(user);
  curl_free(password);
  // Without user information there is none to take out; anything else
  // would leave credentials in the URL that is shown.
  if ((gotUser != CURLUE_OK && gotUser != CURLUE_NO_USER) ||
      (gotPassword != CURLUE_OK && gotPassword != CURLUE_NO_PASSWORD) ||
      curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
      curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_URL, &bare, 0) != CURLUE_OK)
    Fail(RELAY_MALFORMED_URL);
  std::string result = bare;
  curl_free(bare);
  return result;
}

bool Retryable(const Response &response, const NetworkSettings &settings, int attempt, Clock::time_point &when) {
  if (attempt >= settings.retries) return false;
  long wait = 1L << std::min(attempt, 3);  // 1, 2, 4, 8 seconds
  int32_t http = RELAY_HTTP - response.status;
  bool busy = http == 429 || http == 503;
  if (busy && response.retryAfter >= 0) {
    if (response.retryAfter > settings.retryAfterLimit) return false;
    wait = response.retryAfter;
  }
  bool transient = busy || http == 502 || http == 504 || response.status == RELAY_TRANSFER_FAILED ||
                   response.status == RELAY_TIMED_OUT;
  if (!transient) return false;
  when = Clock::now() + std::chrono::seconds(wait);
  return true;
}
