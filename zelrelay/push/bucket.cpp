// A bucket of an S3-compatible object store, as zelrelay-push writes it.
#include "push/bucket.h"

#include <expat.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "base/digest.h"
#include "base/text.h"

namespace {

// An answer's body, whole.
class StringSink final : public ByteSink {
 public:
  explicit StringSink(std::string &text) : text_(text) {}
  uint64_t Have() const override { return 0; }
  const std::string &Origin() const override { return none_; }
  const std::string &Validator() const override { return none_; }
  void Begin(Start, const std::string &, const std::string &) override { text_.clear(); }
  void Receive(const void *data, size_t size) override { text_.append(static_cast<const char *>(data), size); }

 private:
  std::string &text_;
  std::string none_;
};

// The text of each element an XML answer holds no element in, with the
// path of names to it ("ListBucketResult/Contents/Key"), in document order.
using Leaves = std::vector<std::pair<std::string, std::string>>;

struct LeafReader {
  std::vector<std::string> path;
  std::string text;
  bool leaf = false;
  Leaves leaves;
};

Leaves ReadLeaves(const std::string &xml) {
  LeafReader reader;
  std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
  if (!parser) throw std::bad_alloc();
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(
      parser.get(),
      [](void *user, const XML_Char *name, const XML_Char **) {
        auto *r = static_cast<LeafReader *>(user);
        r->path.emplace_back(name);
        r->text.clear();
        r->leaf = true;
      },
      [](void *user, const XML_Char *) {
        auto *r = static_cast<LeafReader *>(user);
        std::string joined;
        for (const std::string &part : r->path) joined += (joined.empty() ? "" : "/") + part;
        if (r->leaf) r->leaves.emplace_back(joined, r->text);
        r->leaf = false;
        r->path.pop_back();
      });
  XML_SetCharacterDataHandler(parser.get(), [](void *user, const XML_Char *data, int length) {
    static_cast<LeafReader *>(user)->text.append(data, size_t(length));
  });
  if (XML_Parse(parser.get(), xml.data(), int(xml.size()), 1) != XML_STATUS_OK) return {};
  return reader.leaves;
}

std::string Leaf(const Leaves &leaves, std::string_view path) {
  for (const auto &[name, text] : leaves)
    if (name == path) return text;
  return {};
}

std::string Unquoted(std::string etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
  return etag;
}

// A query string as the signature wants it: sorted by name, every value
// escaped, a name without a value written "name=".
std::string Query(std::vector<std::pair<std::string, std::string>> parameters) {
  std::sort(parameters.begin(), parameters.end());
  std::string query;
  for (const auto &[name, value] : parameters) {
    std::string escaped = EscapeKey(value);
    for (size_t at = 0; (at = escaped.find('/', at)) != std::string::npos;) escaped.replace(at, 1, "%2F");
    query += (query.empty() ? "?" : "&") + name + "=" + escaped;
  }
  return query;
}

std::string Sha256Of(const std::string &bytes) { return Sha256OfBytes(bytes.data(), bytes.size()); }

}  // namespace

Bucket::Bucket(S3Location location, const NetworkSettings &settings)
    : location_(std::move(location)), settings_(settings), network_(std::make_unique<Network>(settings_)) {
  settings_.maxbandwidth = 0;
  std::string tag = Sha256Of(location_.prefix).substr(0, 8);
  lockBucket_ = location_.bucket.substr(0, 63 - 14) + "-push-" + tag;
}

Bucket::~Bucket() { Release(); }

Request Bucket::NewRequest(const std::string &url, const std::string &method) const {
  Request request;
  request.url = url;
  request.method = method;
  request.signing = &location_.signing;
  return request;
}

// One request, again after a transient failure as the settings allow. The
// answer is the caller's to judge, but for refused credentials and what
// transfers cannot get past.
Response Bucket::Send(Request request, std::string *body, const char *what) {
  std::string ignored;
  StringSink sink(body ? *body : ignored);
  Response response;
  for (int attempt = 0;; ++attempt) {
    network_->Add(request, sink, [&](const Response &r) { response = r; });
    network_->Run([] { return true; });
    if (!Retryable(response, settings_, attempt, request.notBefore)) break;
    std::this_thread::sleep_until(request.notBefore);
    request.notBefore = {};
  }
  std::string code = Leaf(ReadLeaves(response.failure), "Error/Code");
  if (response.http == 403) throw StoreError{RELAY_STORE_REFUSED, std::string(what) + ": " + code};
  if (response.http == 0 && response.status != RELAY_OK) throw StoreError{response.status, what};
  response.failure = code;
  return response;
}

std::map<std::string, Bucket::Object> Bucket::List() {
  std::map<std::string, Object> objects;
  std::string token;
  do {
    std::vector<std::pair<std::string, std::string>> query = {{"list-type", "2"}, {"prefix", location_.prefix}};
    if (!token.empty()) query.emplace_back("continuation-token", token);
    std::string body;
    Request listing = NewRequest(location_.BucketUrl(location_.bucket) + Query(query), "GET");
    Response answer = Send(std::move(listing), &body, "listing the bucket");
    if (answer.status != RELAY_OK) throw StoreError{answer.status, "listing the bucket: " + answer.failure};
    Leaves leaves = ReadLeaves(body);
    std::string key;
    for (const auto &[name, text] : leaves) {
      if (name == "ListBucketResult/Contents/Key") key = text.substr(std::min(text.size(), location_.prefix.size()));
      if (name == "ListBucketResult/Contents/Size") objects[key].size = ParseWhole(text).value_or(0);
      if (name == "ListBucketResult/Contents/ETag") objects[key].etag = Unquoted(text);
    }
    bool more = Leaf(leaves, "ListBucketResult/IsTruncated") == "true";
    token = more ? Leaf(leaves, "ListBucketResult/NextContinuationToken") : "";
  } while (!token.empty());
  return objects;
}

std::optional<std::string> Bucket::Get(const std::string &key) {
  std::string body;
  Response answer = Send(NewRequest(KeyUrl(key), "GET"), &body, "reading the bucket");
  if (answer.http == 404) return std::nullopt;
  if (answer.status != RELAY_OK) throw StoreError{answer.status, "reading " + key + ": " + answer.failure};
  return body;
}

std::optional<std::string> Bucket::StoredSha256(const std::string &key) {
  Response answer = Send(NewRequest(KeyUrl(key), "HEAD"), nullptr, "reading the bucket");
  if (answer.http == 404) return std::nullopt;
  if (answer.status != RELAY_OK) throw StoreError{answer.status, "reading " + key + ": " + answer.failure};
  return answer.sha256Meta;
}

// The object's digest goes into its metadata, where the next push finds it.
std::string Bucket::PutObject(Request request, const std::string &key, const std::string &sha256) {
  request.headers.emplace_back("x-amz-meta-sha256", sha256);
  Response answer = Send(std::move(request), nullptr, "writing the bucket");
  if (answer.status != RELAY_OK) throw StoreError{answer.status, "writing " + key + ": " + answer.failure};
  return Unquoted(answer.etag);
}

std::string Bucket::Put(const std::string &key, const std::string &bytes, const std::string &sha256) {
  Request request = NewRequest(KeyUrl(key), "PUT");
  request.body = &bytes;
  request.bodySize = bytes.size();
  request.payloadSha256 = Sha256Of(bytes);
  return PutObject(std::move(request), key, sha256);
}

// The payload is signed as UNSIGNED-PAYLOAD: its digest is kept in the
// metadata instead, and hashing a large file twice would cost a read.
std::string Bucket::Put(const std::string &key, int file, uint64_t size, const std::string &sha256) {
  Request request = NewRequest(KeyUrl(key), "PUT");
  request.bodyFile = file;
  request.bodySize = size;
  request.payloadSha256 = "UNSIGNED-PAYLOAD";
  return PutObject(std::move(request), key, sha256);
}

void Bucket::Delete(const std::string &key) {
  Response answer = Send(NewRequest(KeyUrl(key), "DELETE"), nullptr, "deleting from the bucket");
  if (answer.status != RELAY_OK && answer.http != 404)
    throw StoreError{answer.status, "deleting " + key + ": " + answer.failure};
}

std::string Bucket::StartUpload(const std::string &key, const std::string &sha256) {
  Request request = NewRequest(KeyUrl(key) + Query({{"uploads", ""}}), "POST");
  request.headers.emplace_back("x-amz-meta-sha256", sha256);
  std::string body;
  Response answer = Send(request, &body, "starting an upload");
  std::string upload = Leaf(ReadLeaves(body), "InitiateMultipartUploadResult/UploadId");
  if (answer.status != RELAY_OK || upload.empty())
    throw StoreError{answer.status, "uploading " + key + ": " + answer.failure};
  return upload;
}

std::map<int, Bucket::Part> Bucket::UploadedParts(const std::string &key, const std::string &upload) {
  std::map<int, Part> parts;
  std::string marker;
  for (;;) {
    std::vector<std::pair<std::string, std::string>> query = {{"uploadId", upload}};
    if (!marker.empty()) query.emplace_back("part-number-marker", marker);
    std::string body;
    Response answer = Send(NewRequest(KeyUrl(key) + Query(query), "GET"), &body, "listing an upload's parts");
    if (answer.http == 404) return {};  // the upload is gone: start another
    if (answer.status != RELAY_OK) throw StoreError{answer.status, "uploading " + key + ": " + answer.failure};
    Leaves leaves = ReadLeaves(body);
    int number = 0;
    for (const auto &[name, text] : leaves) {
      if (name == "ListPartsResult/Part/PartNumber") number = int(ParseWhole(text).value_or(0));
      if (name == "ListPartsResult/Part/Size") parts[number].size = ParseWhole(text).value_or(0);
      if (name == "ListPartsResult/Part/ETag") parts[number].etag = text;
    }
    if (Leaf(leaves, "ListPartsResult/IsTruncated") != "true") return parts;
    marker = Leaf(leaves, "ListPartsResult/NextPartNumberMarker");
  }
}

Bucket::Part Bucket::PutPart(const std::string &key, const std::string &upload, int part, int file, uint64_t offset,
                             uint64_t size) {
  Request request = NewRequest(KeyUrl(key) + Query({{"partNumber", std::to_string(part)}, {"uploadId", upload}}),
                               "PUT");
  request.bodyFile = file;
  request.bodyOffset = offset;
  request.bodySize = size;
  request.payloadSha256 = "UNSIGNED-PAYLOAD";
  Response answer = Send(request, nullptr, "writing the bucket");
  if (answer.status != RELAY_OK || answer.etag.empty())
    throw StoreError{answer.status, "uploading " + key + ": " + answer.failure};
  return Part{size, answer.etag};
}

std::string Bucket::FinishUpload(const std::string &key, const std::string &upload, const std::map<int, Part> &parts) {
  std::string query = Query({{"uploadId", upload}}), complete = "<CompleteMultipartUpload>", body;
  for (const auto &[number, part] : parts)
    complete += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + part.etag + "</ETag></Part>";
  complete += "</CompleteMultipartUpload>";
  Request request = NewRequest(KeyUrl(key) + query, "POST");
  request.body = &complete;
  request.bodySize = complete.size();
  request.payloadSha256 = Sha256Of(complete);
  Response answer = Send(request, &body, "finishing an upload");
  std::string etag = Leaf(ReadLeaves(body), "CompleteMultipartUploadResult/ETag");
  if (answer.status != RELAY_OK || etag.empty())
    throw StoreError{answer.status, "uploading " + key + ": " + answer.failure};
  return Unquoted(etag);
}

bool Bucket::Hold() {
  std::string holder = "held since " + std::to_string(time(nullptr)) + " by process " + std::to_string(getpid()) + "\n";
  Request request = NewRequest(KeyUrl(".zelrelay.push-lock"), "PUT");
  request.body = &holder;
  request.bodySize = holder.size();
  request.payloadSha256 = Sha256Of(holder);
  request.headers.emplace_back("If-None-Match", "*");
  Response answer = Send(request, nullptr, "holding the bucket");
  if (answer.status == RELAY_OK) return heldByObject_ = true;
  if (answer.http == 412 || answer.http == 409) return false;
  if (answer.http != 501) throw StoreError{answer.status, "holding the bucket: " + answer.failure};
  // No conditional writes: a bucket, which the store makes only once.
  Response made = Send(NewRequest(location_.BucketUrl(lockBucket_), "PUT"), nullptr, "holding the bucket");
  if (made.status == RELAY_OK) return heldByBucket_ = true;
  if (made.http == 409) return false;
  throw StoreError{made.status, "holding the bucket: " + made.failure};
}

void Bucket::Release() noexcept {
  try {
    if (heldByObject_) Send(NewRequest(KeyUrl(".zelrelay.push-lock"), "DELETE"), nullptr, "releasing the bucket");
    if (heldByBucket_) Send(NewRequest(location_.BucketUrl(lockBucket_), "DELETE"), nullptr, "releasing the bucket");
  } catch (...) {
    // Left held: the next push says by what, and how to free it.
  }
  heldByObject_ = heldByBucket_ = false;
}

std::string Bucket::Holder() const {
  return "the object " + location_.Shown() + ".zelrelay.push-lock, or the bucket " + lockBucket_;
}
