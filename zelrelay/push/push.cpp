// Pushing a repository to a bucket.
#include "push/push.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/digest.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/index.h"
#include "base/listing.h"
#include "base/served.h"
#include "base/text.h"
#include "base/statement.h"
#include "push/bucket.h"
#include "push/record.h"
#include "repository/lock.h"
#include "zelrelay_shared.h"

namespace {

// Objects of more than four parts go up in parts, which a later push can go
// on from: ZELRELAY_PUSH_PART_SIZE bytes each (16 MiB unless set; stores
// take no less than 5 MiB), more where a store's most parts ask for it.
constexpr uint64_t kStoresSmallestPart = uint64_t(5) << 20;
constexpr uint64_t kMostParts = 1000;  // the fewest a store allows (S3 takes 10,000)

uint64_t PartSize() {
  const char *text = getenv("ZELRELAY_PUSH_PART_SIZE");
  std::optional<uint64_t> size = text ? ParseWhole(text) : std::nullopt;
  return size && *size >= kStoresSmallestPart ? *size : uint64_t(16) << 20;
}

// The texts a downstream reads first, in the order they go up: the index last.
constexpr const char *kTexts[] = {kSignedIndexFile, kStatementFile, ZELRELAY_MERGED_INDEX, ZELRELAY_INDEX_FILE};

struct Item {
  std::string key;     // relative to the repository and to the prefix alike
  std::string sha256;  // known from an index, else empty
};

// What the repository serves, in three waves: what the index will name,
// the index's companions, the index texts.
std::vector<std::vector<Item>> Served(const std::string &repository) {
  std::vector<std::vector<Item>> waves(3);
  std::set<std::string> seen;
  auto add = [&](size_t wave, std::string key, std::string sha256) {
    if (Exists(JoinPath(repository, key)) && seen.insert(key).second) waves[wave].push_back({key, sha256});
  };
  FileDescriptor root = OpenDirectory(repository);
  for (const char *name : {ZELRELAY_INDEX_FILE, ZELRELAY_MERGED_INDEX}) {
    std::optional<Index> index = ReadIndexAt(root.fd, name);
    for (const ComponentEntry &c : index ? index->components : std::vector<ComponentEntry>{}) {
      add(0, std::string(c.path), c.InArchive() ? "" : std::string(c.sha256));
      if (!c.InArchive()) add(0, std::string(c.path) + ".sig", "");
    }
  }
  for (const char *text : kTexts)
    for (const char *copy : {".zst", ".gz"}) add(1, std::string(text) + copy, "");
  for (const std::string &name : ListDirectory(JoinPath(repository, kPatchesDir)))
    for (const std::string &patch : ListDirectory(JoinPath(JoinPath(repository, kPatchesDir), name)))
      if (!patch.starts_with(kTemporaryPrefix)) add(1, std::string(kPatchesDir) + "/" + name + "/" + patch, "");
  for (const char *text : kTexts) add(2, text, "");
  return waves;
}

// Keys a push writes: only those may it delete.
bool Ours(const std::string &key) {
  return key.starts_with(ZELRELAY_PACKAGES_DIR "/") || key.starts_with(std::string(kPatchesDir) + "/") ||
         key.find(".ini") != std::string::npos;
}

// The keys the bucket's index and merged.ini name now: never written over
// with other bytes while they do.
std::set<std::string> NamedInBucket(Bucket &bucket) {
  std::set<std::string> named;
  for (const char *name : {ZELRELAY_INDEX_FILE, ZELRELAY_MERGED_INDEX}) {
    std::optional<std::string> text = bucket.Get(name);
    if (!text) continue;
    try {
      for (const ComponentEntry &c : ParseIndex(std::move(*text)).components) named.insert(std::string(c.path));
    } catch (const RelayError &) {
    }
  }
  return named;
}

class Pusher {
 public:
  Pusher(const std::string &repository, const std::string &target, Bucket &bucket)
      : repository_(repository), target_(target), bucket_(bucket), record_(ReadPushRecord(repository, target)) {}

  PushFigures Run();

 private:
  const std::string &repository_, &target_;
  Bucket &bucket_;
  PushRecord record_;
  std::map<std::string, Bucket::Object> listed_;
  std::set<std::string> named_;
  PushFigures figures_;

  void Send(const Item &item);
  std::string Upload(const std::string &key, int file, uint64_t size, const std::string &sha256);
  void Retire(const std::set<std::string> &served);
};

// An object the bucket holds with the size the file has, uploaded from the
// file as it still is, or whose kept digest is the file's, is there.
void Pusher::Send(const Item &item) {
  FileDescriptor file{open(JoinPath(repository_, item.key).c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  uint64_t size = uint64_t(info.st_size);
  std::string stamp = FileStampText(file.fd);
  auto listed = listed_.find(item.key);
  auto known = record_.objects.find(item.key);
  bool there = listed != listed_.end() && listed->second.size == size;
  if (there && known != record_.objects.end() && known->second.stamp == stamp &&
      known->second.etag == listed->second.etag) {
    figures_.unchanged++;
    return;
  }
  std::string sha256 = item.sha256.empty() ? Sha256OfRange(file.fd, 0, size) : item.sha256;
  if (there && bucket_.StoredSha256(item.key).value_or("") == sha256) {
    record_.objects[item.key] = {size, listed->second.etag, sha256, stamp};
    figures_.unchanged++;
    return;
  }
  if (listed != listed_.end() && named_.count(item.key) && item.key.starts_with(ZELRELAY_PACKAGES_DIR "/"))
    throw StoreError{RELAY_PACKAGE_MISMATCH, item.key + ": the bucket's index names other bytes under this name"};
  std::string etag = Upload(item.key, file.fd, size, sha256);
  record_.objects[item.key] = {size, etag, sha256, stamp};
  figures_.uploaded++;
  figures_.bytes += size;
}

// In parts when large, the upload kept in the record so that a push
// cut short goes on with it: with the same bytes only, for a name may come
// to hold others once the bucket's index no longer names it.
std::string Pusher::Upload(const std::string &key, int file, uint64_t size, const std::string &sha256) {
  uint64_t part = std::max(PartSize(), (size + kMostParts - 1) / kMostParts);
  if (size <= 4 * part) return bucket_.Put(key, file, size, sha256);
  PendingUpload &pending = record_.uploads[key];
  const std::string &upload = pending.id;
  std::map<int, Bucket::Part> done;
  if (pending.sha256 == sha256 && !upload.empty()) done = bucket_.UploadedParts(key, upload);
  if (done.empty()) {
    pending = {sha256, bucket_.StartUpload(key, sha256)};
    WritePushRecord(repository_, target_, record_);
  }
  std::map<int, Bucket::Part> parts;
  for (uint64_t offset = 0; offset < size; offset += part) {
    int number = int(offset / part) + 1;
    uint64_t length = std::min(part, size - offset);
    auto there = done.find(number);
    parts[number] = there != done.end() && there->second.size == length
                        ? there->second
                        : bucket_.PutPart(key, upload, number, file, offset, length);
  }
  std::string etag = bucket_.FinishUpload(key, upload, parts);
  record_.uploads.erase(key);
  return etag;
}

// What the bucket holds of ours that nothing served names is retired, and
// deleted once the grace period has passed: a downstream that read the
// bucket's index before this push may still be fetching it.
void Pusher::Retire(const std::set<std::string> &served) {
  int64_t now = int64_t(time(nullptr)), grace = GracePeriod();
  for (auto at = record_.retired.begin(); at != record_.retired.end();)
    at = served.count(at->first) ? record_.retired.erase(at) : std::next(at);
  std::erase_if(record_.uploads, [&](const auto &upload) { return !served.count(upload.first); });
  for (const auto &[key, object] : listed_) {
    if (served.count(key) || !Ours(key)) continue;
    int64_t since = record_.retired.emplace(key, now).first->second;
    if (now - since < grace) {
      figures_.retired++;
      continue;
    }
    bucket_.Delete(key);
    record_.retired.erase(key);
    record_.objects.erase(key);
    figures_.deleted++;
  }
}

PushFigures Pusher::Run() {
  listed_ = bucket_.List();
  named_ = NamedInBucket(bucket_);
  std::set<std::string> served;
  try {
    for (const std::vector<Item> &wave : Served(repository_))
      for (const Item &item : wave) {
        Send(item);
        served.insert(item.key);
      }
  } catch (...) {
    WritePushRecord(repository_, target_, record_);  // what went up stays known
    throw;
  }
  Retire(served);
  WritePushRecord(repository_, target_, record_);
  return figures_;
}

}  // namespace

PushFigures Push(const std::string &repository, const std::string &target) {
  if (!IsRegularFile(JoinPath(repository, ZELRELAY_INDEX_FILE))) Fail(RELAY_NOT_WRITABLE);
  WriteLock lock;
  LockForWriting(lock, repository, [] { return true; });
  Bucket bucket(S3LocationOf(target), NetworkSettings::FromEnvironment());
  if (!bucket.Hold()) throw PushHeld{bucket.Holder()};
  return Pusher(repository, target, bucket).Run();  // the bucket is released as it goes
}
