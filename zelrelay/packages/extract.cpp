// Extracting one package. libarchive only reads; the relay creates every
// file itself, relative to directory descriptors, so that nothing is followed
// and every failure keeps its cause.
#include "packages/extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "base/digest.h"
#include "base/files.h"
#include "base/listing.h"
#include "base/status.h"

namespace {

// Deflate expands at most about 1032 times; a package declaring more lies.
constexpr uint64_t kDeflateRatio = 1032;
// A margin, so that the bound never refuses a small genuine package.
constexpr uint64_t kBombSlack = 64 << 10;

// Up to size bytes at offset at of the range; -1 with errno on failure.
ssize_t ReadAt(const PackageRange &range, uint64_t at, void *buffer, size_t size) {
  if (at >= range.size) return 0;
  size = size_t(std::min<uint64_t>(size, range.size - at));
  ssize_t got;
  do got = pread(range.fd, buffer, size, off_t(range.offset + at));
  while (got < 0 && errno == EINTR);
  return got;
}

[[noreturn]] void FailWrite(int error) {
  if (error == ENAMETOOLONG) Fail(RELAY_NAME_TOO_LONG);
  Fail(WriteFailure(error));
}

// In the staging directory only this extraction writes: a name already taken
// means two members claim it.
[[noreturn]] void FailCreate(int error) {
  if (error == EEXIST || error == ENOTDIR) Fail(RELAY_ARCHIVE_ERROR);
  FailWrite(error);
}

// A zip reader confined to the range. pread leaves the descriptor's offset
// alone, and the seek callback lets libarchive trust the central directory.
class PackageReader {
 public:
  explicit PackageReader(const PackageRange &range) : range_(range), buffer_(new char[kCopyChunk]) {
    if (!archive_) throw std::bad_alloc();
    archive_read_support_format_zip(archive_.get());
    archive_read_set_read_callback(archive_.get(), Read);
    archive_read_set_seek_callback(archive_.get(), Seek);
    archive_read_set_callback_data(archive_.get(), this);
    // Opening is where libarchive looks for a format it knows.
    if (archive_read_open1(archive_.get()) != ARCHIVE_OK) Fail(error_ ? RELAY_IO_ERROR : RELAY_NOT_A_ZIP);
  }
  PackageReader(const PackageReader &) = delete;
  PackageReader &operator=(const PackageReader &) = delete;

  // Warnings fail too: libarchive warns of names it cannot convert and of
  // headers that disagree.
  bool Next(archive_entry **entry) {
    int result = archive_read_next_header(archive_.get(), entry);
    if (result == ARCHIVE_EOF) return false;
    if (result != ARCHIVE_OK) Failed();
    return true;
  }

  // Writes the current member's data to fd; it must be exactly size bytes.
  // A bad CRC or a wrong size is only a warning to libarchive, at the end.
  void CopyData(int fd, uint64_t size) {
    const void *block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    uint64_t end = 0;
    for (;;) {
      int result = archive_read_data_block(archive_.get(), &block, &length, &offset);
      if (result == ARCHIVE_EOF) break;
      if (result != ARCHIVE_OK) Failed();
      if (offset < 0 || uint64_t(offset) > size || length > size - uint64_t(offset)) Fail(RELAY_ARCHIVE_ERROR);
      for (size_t done = 0; done < length;) {
        ssize_t put = pwrite(fd, static_cast<const char *>(block) + done, length - done, offset + off_t(done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) FailWrite(errno);
        done += size_t(put);
      }
      end = std::max(end, uint64_t(offset) + length);
    }
    if (end != size) Fail(RELAY_ARCHIVE_ERROR);
  }

 private:
  [[noreturn]] void Failed() const { Fail(error_ ? RELAY_IO_ERROR : RELAY_ARCHIVE_ERROR); }

  static la_ssize_t Read(archive *a, void *data, const void **block) {
    auto *self = static_cast<PackageReader *>(data);
    ssize_t got = ReadAt(self->range_, self->at_, self->buffer_.get(), kCopyChunk);
    if (got < 0) {
      self->error_ = errno;
      archive_set_error(a, self->error_, "package read failed");
      return ARCHIVE_FATAL;
    }
    self->at_ += uint64_t(got);
    *block = self->buffer_.get();
    return got;
  }

  static la_int64_t Seek(archive *, void *data, la_int64_t offset, int whence) {
    auto *self = static_cast<PackageReader *>(data);
    la_int64_t base = whence == SEEK_SET ? 0 : la_int64_t(whence == SEEK_CUR ? self->at_ : self->range_.size);
    if (offset < -base) return ARCHIVE_FATAL;
    self->at_ = uint64_t(base + offset);
    return la_int64_t(self->at_);
  }

  PackageRange range_;
  uint64_t at_ = 0;
  int error_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<archive, int (*)(archive *)> archive_{archive_read_new(), archive_read_free};
};

struct Member {
  std::vector<std::string> parts;  // the path, "." and empty components dropped
  bool directory = false;
  uint64_t size = 0;
  mode_t mode = 0644;
};

std::vector<std::string> MemberParts(const char *name) {
  if (name == nullptr || *name == '/') Fail(RELAY_UNSAFE_ARCHIVE_ENTRY);
  std::vector<std::string> parts;
  for (std::string_view rest = name; !rest.empty();) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part == "..") Fail(RELAY_UNSAFE_ARCHIVE_ENTRY);
    if (!part.empty() && part != ".") parts.emplace_back(part);
  }
  if (parts.empty()) Fail(RELAY_UNSAFE_ARCHIVE_ENTRY);
  return parts;
}

// Links are refused rather than judged: a link that stays inside can still
// be walked through by a later member. Modes keep only the execute bit.
Member Inspect(archive_entry *entry) {
  Member member;
  member.parts = MemberParts(archive_entry_pathname(entry));
  mode_t type = archive_entry_filetype(entry);
  if ((type != AE_IFREG && type != AE_IFDIR) || archive_entry_hardlink(entry) || archive_entry_symlink(entry))
    Fail(RELAY_UNSUPPORTED_MEMBER);
  member.directory = type == AE_IFDIR;
  if (member.directory) return member;
  if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0) Fail(RELAY_ARCHIVE_ERROR);
  member.size = uint64_t(archive_entry_size(entry));
  if (archive_entry_perm(entry) & 0111) member.mode = 0755;
  return member;
}

// Every member is judged before the first is written: its path and kind,
// and the sizes declared against what the package and the disk can hold.
void CheckMembers(const PackageRange &range, int destination) {
  uint64_t limit = range.size <= (UINT64_MAX - kBombSlack) / kDeflateRatio ? range.size * kDeflateRatio + kBombSlack
                                                                            : UINT64_MAX;
  uint64_t total = 0;
  PackageReader reader(range);
  archive_entry *entry = nullptr;
  while (reader.Next(&entry)) {
    uint64_t size = Inspect(entry).size;
    if (size > limit - total) Fail(RELAY_ARCHIVE_ERROR);
    total += size;
  }
  struct statvfs disk;
  if (fstatvfs(destination, &disk) == 0 && total > uint64_t(disk.f_bavail) * disk.f_frsize) Fail(RELAY_NO_SPACE);
}

FileDescriptor OpenDirectoryAt(int parent, const std::string &name) {
  return FileDescriptor{openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
}

// Opens the first count parts below root as directories, making those missing.
FileDescriptor MakeDirectories(int root, const std::vector<std::string> &parts, size_t count) {
  FileDescriptor directory{fcntl(root, F_DUPFD_CLOEXEC, 0)};
  if (directory.fd < 0) FailWrite(errno);
  for (size_t i = 0; i < count; ++i) {
    bool made = mkdirat(directory.fd, parts[i].c_str(), 0755) == 0;
    if (!made && errno != EEXIST) FailCreate(errno);
    FileDescriptor next = OpenDirectoryAt(directory.fd, parts[i]);
    if (next.fd < 0) FailCreate(errno);
    if (made && fchmod(next.fd, 0755) != 0) FailWrite(errno);  // whatever the umask
    directory = std::move(next);
  }
  return directory;
}

void CloseChecked(FileDescriptor &file) {
  int fd = std::exchange(file.fd, -1);
  if (close(fd) != 0) FailWrite(errno);
}

void StageFile(PackageReader &reader, archive_entry *entry, const Member &member, int parent) {
  const char *name = member.parts.back().c_str();
  FileDescriptor file{openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, member.mode)};
  if (file.fd < 0) FailCreate(errno);
  if (fchmod(file.fd, member.mode) != 0) FailWrite(errno);
  reader.CopyData(file.fd, member.size);
  if (archive_entry_mtime_is_set(entry)) {
    timespec times[2] = {{0, UTIME_OMIT}, {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
    if (futimens(file.fd, times) != 0) FailWrite(errno);
  }
  // Delayed allocation and quotas may only report the lack of space here.
  if (fsync(file.fd) != 0) FailWrite(errno);
  CloseChecked(file);
}

// Checks each member again: the package may have changed since CheckMembers.
void StageMembers(const PackageRange &range, int staging) {
  PackageReader reader(range);
  archive_entry *entry = nullptr;
  while (reader.Next(&entry)) {
    Member member = Inspect(entry);
    size_t parents = member.parts.size() - (member.directory ? 0 : 1);
    FileDescriptor parent = MakeDirectories(staging, member.parts, parents);
    if (!member.directory) StageFile(reader, entry, member, parent.fd);
  }
}

// A first pass only checks, so that a clash stops the export before
// anything has moved.
enum class Pass { Check, Move };

// Moves what staging holds into destination: files over files, directories
// merged into directories.
void Deliver(int staging, int destination, Pass pass) {
  for (const std::string &name : ListDirectory(staging)) {
    struct stat from, to;
    if (fstatat(staging, name.c_str(), &from, AT_SYMLINK_NOFOLLOW) != 0) Fail(RELAY_IO_ERROR);
    bool exists = fstatat(destination, name.c_str(), &to, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) FailWrite(errno);
    // A link to a directory counts as a file: nothing is followed.
    if (exists && (S_ISDIR(from.st_mode) != S_ISDIR(to.st_mode) || from.st_dev != to.st_dev))
      Fail(RELAY_BAD_DESTINATION);
    if (exists && S_ISDIR(to.st_mode)) {
      FileDescriptor in = OpenDirectoryAt(staging, name), out = OpenDirectoryAt(destination, name);
      if (in.fd < 0 || out.fd < 0 || faccessat(out.fd, ".", W_OK | X_OK, 0) != 0) Fail(RELAY_BAD_DESTINATION);
      Deliver(in.fd, out.fd, pass);
    } else if (pass == Pass::Move && renameat(staging, name.c_str(), destination, name.c_str()) != 0) {
      FailWrite(errno);
    }
  }
}

// Best effort, as it also runs while a failure unwinds.
void RemoveTree(int parent, const std::string &name) noexcept {
  if (unlinkat(parent, name.c_str(), 0) == 0 || errno != EISDIR) return;
  FileDescriptor directory = OpenDirectoryAt(parent, name);
  if (directory.fd >= 0) {
    try {
      for (const std::string &child : ListDirectory(directory.fd)) RemoveTree(directory.fd, child);
    } catch (...) {
    }
  }
  unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// A hidden directory inside the destination: on its file system, so the
// finished members move into place by rename; removed on every way out.
struct Staging {
  int parent = -1;
  std::string name;
  FileDescriptor directory;
  Staging() = default;
  Staging(const Staging &) = delete;
  Staging &operator=(const Staging &) = delete;
  ~Staging() {
    if (!name.empty()) RemoveTree(parent, name);
  }
};

}  // namespace

bool RangeHasDigest(const PackageRange &range, std::string_view sha256) {
  return Sha256OfRange(range.fd, range.offset, range.size) == sha256;
}

void ExtractPackage(const PackageRange &range, const std::string &destination) {
  FileDescriptor target{open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (target.fd < 0) Fail(RELAY_BAD_DESTINATION);
  CheckMembers(range, target.fd);
  Staging staging;
  std::string path = JoinPath(destination, ".zelrelay-export-XXXXXX");
  if (mkdtemp(path.data()) == nullptr) FailWrite(errno);
  staging.parent = target.fd;
  staging.name = path.substr(path.rfind('/') + 1);
  staging.directory = OpenDirectoryAt(target.fd, staging.name);
  if (staging.directory.fd < 0) Fail(RELAY_IO_ERROR);
  StageMembers(range, staging.directory.fd);
  Deliver(staging.directory.fd, target.fd, Pass::Check);
  Deliver(staging.directory.fd, target.fd, Pass::Move);
}
