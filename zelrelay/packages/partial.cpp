// Partial packages, for copies that go on where they stopped.
#include "packages/partial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <unordered_map>

#include "base/listing.h"
#include "base/status.h"
#include "base/text.h"
#include "packages/storedzip.h"
#include "packages/verified.h"
#include "zelrelay_shared.h"

namespace {

// The state rides on the partial as an extended attribute: no second file
// to create per package. Where the file system keeps none, an interrupted
// package simply starts over.
constexpr const char *kStateAttribute = "user.zelrelay.resume";

std::map<std::string, std::string> ReadState(const std::string &path) {
  std::map<std::string, std::string> state;
  char text[4096];
  ssize_t length = getxattr(path.c_str(), kStateAttribute, text, sizeof text);
  std::string_view rest(text, length > 0 ? size_t(length) : 0);
  IniLine line;
  while (NextIniLine(rest, line))
    if (line.kind == IniLine::Entry) state[std::string(line.key)] = line.value;
  return state;
}

}  // namespace

PartialFile::PartialFile(const std::string &target, const ComponentEntry &entry, bool found, Meter &meter)
    : path_(target + kPartialSuffix), size_(entry.size), sha256_(entry.sha256), meter_(meter) {
  struct stat info;
  if (!found || lstat(path_.c_str(), &info) != 0) return;  // the common case: nothing to go on from
  std::map<std::string, std::string> state = ReadState(path_);
  bool same = state["sha256"] == sha256_ && state["size"] == std::to_string(size_) && !state["validator"].empty() &&
              S_ISREG(info.st_mode) && uint64_t(info.st_size) <= size_;
  if (same) {
    have_ = uint64_t(info.st_size);
    url_ = state["url"];
    validator_ = state["validator"];
  } else {
    unlink(path_.c_str());
  }
}

PartialFile::~PartialFile() {
  if (Offload()) Offload()->Drain(sum_);  // the worker is done with it
  if (!completed_) meter_.bytes -= counted_;
  if (!completed_ && (validator_.empty() || have_ == 0 || size_ < kWorthResuming)) unlink(path_.c_str());
}

// Bytes that cannot be read back count as missing: the caller starts over.
uint64_t PartialFile::SumKept(uint64_t offset, uint64_t size) {
  try {
    return ReadRange(file_.fd, offset, size, [&](const char *data, size_t got) {
      UpdateSha256(sum_.digest, data, got);
      sum_.crc = Crc32(sum_.crc, data, got);
    });
  } catch (const RelayError &) {
    return 0;
  }
}

void PartialFile::Restart() {
  if (ftruncate(file_.fd, 0) != 0 || lseek(file_.fd, 0, SEEK_SET) != 0) Fail(WriteFailure(errno));
  have_ = 0;
  ResetSum();  // nothing summed so far counts
}

void PartialFile::ResetSum() {
  if (Offload()) Offload()->Drain(sum_);
  sum_.digest = StartSha256();
  sum_.crc = 0;
}

// Opened only when an answer comes, so queued transfers hold no descriptor.
void PartialFile::Begin(Start start, const std::string &url, const std::string &validator) {
  bool resumed = start == Start::Resumed;
  bool fresh = file_.fd < 0;
  if (fresh) file_ = FileDescriptor{open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (resumed ? 0 : O_TRUNC), 0644)};
  if (file_.fd < 0) Fail(WriteFailure(errno));
  if (!resumed && !fresh) Restart();
  if (!resumed) have_ = 0;
  ResetSum();
  if (have_ > 0 && SumKept(0, have_) != have_) Restart();
  if (have_ > 0 && lseek(file_.fd, off_t(have_), SEEK_SET) < 0) Fail(RELAY_IO_ERROR);
  begun_ = true;
  resumed_ = have_ > 0;
  written_ = have_;
  meter_.bytes = meter_.bytes - counted_ + have_;
  counted_ = have_;
  url_ = url;
  validator_ = validator;
  if (size_ < kWorthResuming || validator_.empty()) return;
  std::string state = "sha256=" + sha256_ + "\nsize=" + std::to_string(size_) + "\nurl=" + url_ +
                      "\nvalidator=" + validator_ + "\n";
  fsetxattr(file_.fd, kStateAttribute, state.data(), state.size(), 0);
}

// Written back while the rest arrive: the batch's one sync, and the clone
// of its blocks into a merged archive, then find the bytes on disk instead
// of waiting for them there. Only a start: nothing waits here.
void PartialFile::WriteBack(bool all) {
  constexpr uint64_t kChunk = uint64_t(4) << 20;
  if (have_ < written_ + (all ? 1 : kChunk)) return;
  sync_file_range(file_.fd, off_t(written_), off_t(have_ - written_), SYNC_FILE_RANGE_WRITE);
  written_ = have_;
}

void PartialFile::Receive(const void *data, size_t size) {
  if (have_ + size > size_) Fail(RELAY_PACKAGE_MISMATCH);
  WriteAll(file_.fd, data, size);
  if (Offload()) {
    Offload()->Add(sum_, data, size);
  } else {
    UpdateSha256(sum_.digest, data, size);
    sum_.crc = Crc32(sum_.crc, data, size);
  }
  have_ += size;
  received_ += size;
  WriteBack(false);
  meter_.bytes += size;
  counted_ += size;
  if (meter_.pace) meter_.pace();
}

bool PartialFile::TakeWhole() {
  if (have_ != size_ || size_ == 0) return false;
  file_ = FileDescriptor{open(path_.c_str(), O_RDWR | O_CLOEXEC)};
  ResetSum();
  if (file_.fd < 0 || SumKept(0, size_) != size_) {
    file_ = FileDescriptor{};
    have_ = 0;
    validator_.clear();  // the destructor removes it
    return false;
  }
  begun_ = resumed_ = true;
  meter_.bytes = meter_.bytes - counted_ + have_;
  counted_ = have_;
  return true;
}

void PartialFile::Complete() {
  if (Offload()) Offload()->Drain(sum_);
  if (file_.fd < 0 || have_ != size_ || FinishSha256(sum_.digest) != sha256_) {
    validator_.clear();  // gone with the object
    Fail(RELAY_PACKAGE_MISMATCH);
  }
  StampVerified(file_.fd, sha256_);
  WriteBack(true);
  file_ = FileDescriptor{};
  completed_ = true;
}

std::string PartialName(const std::string &packagePath) {
  return packagePath.substr(packagePath.rfind('/') + 1) + kPartialSuffix;
}

std::unordered_set<std::string> PartialsIn(const std::string &repository) {
  std::unordered_set<std::string> names;
  for (std::string &name : ListDirectory(JoinPath(repository, ZELRELAY_PACKAGES_DIR)))
    if (name.ends_with(kPartialSuffix)) names.insert(std::move(name));
  return names;
}

void RemoveObsoletePartials(const std::string &repository, const Index &upstream,
                            const std::unordered_set<std::string> &found) {
  if (found.empty()) return;
  std::unordered_map<std::string, std::string_view> offered;  // partial's name -> digest
  for (const ComponentEntry &c : upstream.components) {
    offered[PartialName(PackagePath(c))] = c.sha256;
    offered[PartialName(TaggedPackagePath(c))] = c.sha256;
  }
  std::string directory = JoinPath(repository, ZELRELAY_PACKAGES_DIR);
  for (const std::string &name : found) {
    auto wanted = offered.find(name);
    std::string path = JoinPath(directory, name);
    if (wanted == offered.end() || ReadState(path)["sha256"] != wanted->second) unlink(path.c_str());
  }
}
