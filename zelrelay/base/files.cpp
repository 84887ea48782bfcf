// File primitives: descriptors, whole-file reads, and writes that become
// visible only complete (temporary name, fsync, rename).
#include "base/files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/listing.h"
#include "base/status.h"

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) close(fd);
}

TempFile::~TempFile() {
  if (!path.empty()) unlink(path.c_str());
}

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string ParentOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsWritableDirectory(const std::string &path) {
  return IsDirectory(path) && access(path.c_str(), W_OK | X_OK) == 0;
}

bool IsRegularFile(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool Exists(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void MakeDirectory(const std::string &path) {
  if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(path))) Fail(WriteFailure(errno));
}

size_t ReadSome(int fd, void *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = read(fd, static_cast<char *>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(RELAY_IO_ERROR);
    if (got == 0) break;
    done += size_t(got);
  }
  return done;
}

uint64_t ReadRange(int fd, uint64_t offset, uint64_t size, const std::function<void(const char *, size_t)> &take) {
  std::unique_ptr<char[]> chunk(new char[kCopyChunk]);
  uint64_t done = 0;
  while (done < size) {
    ssize_t got = pread(fd, chunk.get(), size_t(std::min<uint64_t>(kCopyChunk, size - done)), off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(RELAY_IO_ERROR);
    if (got == 0) break;
    take(chunk.get(), size_t(got));
    done += uint64_t(got);
  }
  return done;
}

std::optional<std::string> ReadWholeFile(const std::string &path) {
  FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    Fail(RELAY_IO_ERROR);
  }
  std::string content;
  char buffer[16384];
  while (size_t got = ReadSome(file.fd, buffer, sizeof buffer)) content.append(buffer, got);
  return content;
}

void WriteAll(int fd, const void *data, size_t size) {
  const char *at = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t put = write(fd, at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) Fail(WriteFailure(errno));
    at += put;
    size -= size_t(put);
  }
}

TempFile CreateTempFile(const std::string &target) {
  TempFile temp;
  temp.target = target;
  std::string pattern = JoinPath(ParentOf(target), std::string(kTemporaryPrefix) + "XXXXXX");
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) Fail(WriteFailure(errno));
  temp.file.fd = fd;
  temp.path = pattern;
  fchmod(fd, 0644);
  return temp;
}

void SyncDirectory(const std::string &path) {
  FileDescriptor directory{open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd >= 0) fsync(directory.fd);
}

void SyncAll(const std::string &path) {
  FileDescriptor directory{open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd < 0 || syncfs(directory.fd) != 0) Fail(WriteFailure(errno));
}

void Rename(const std::string &from, const std::string &to) {
  if (rename(from.c_str(), to.c_str()) != 0) Fail(WriteFailure(errno));
}

void RenameTempFile(TempFile &temp) {
  temp.file = FileDescriptor{};
  Rename(temp.path, temp.target);
  temp.path.clear();
}

RelayStatus WriteFailure(int error) {
  // EFBIG too: the file system (or the process's limit) holds no more of it.
  return error == ENOSPC || error == EDQUOT || error == EFBIG ? RELAY_NO_SPACE : RELAY_IO_ERROR;
}

void CommitTempFile(TempFile &temp) {
  if (fsync(temp.file.fd) != 0) Fail(WriteFailure(errno));
  temp.file = FileDescriptor{};
  if (rename(temp.path.c_str(), temp.target.c_str()) != 0) Fail(WriteFailure(errno));
  temp.path.clear();
  SyncDirectory(ParentOf(temp.target));
}

void WriteFileAtomically(const std::string &path, const std::string &content) {
  TempFile temp = CreateTempFile(path);
  WriteAll(temp.file.fd, content.data(), content.size());
  CommitTempFile(temp);
}

void WriteFileUnsynced(const std::string &path, const std::string &content) {
  TempFile temp = CreateTempFile(path);
  WriteAll(temp.file.fd, content.data(), content.size());
  RenameTempFile(temp);
}

// Compared piece by piece: a large index is not held twice.
bool FileHolds(const std::string &path, const std::string &content) {
  FileDescriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) != content.size())
    return false;
  bool same = true;
  uint64_t at = 0;
  try {
    ReadRange(file.fd, 0, content.size(), [&](const char *data, size_t got) {
      same = same && memcmp(data, content.data() + at, got) == 0;
      at += got;
    });
  } catch (const RelayError &) {
    return false;
  }
  return same && at == content.size();
}

void WriteFileIfChanged(const std::string &path, const std::string &content) {
  if (!FileHolds(path, content)) WriteFileAtomically(path, content);
}

FileReplacement::FileReplacement(std::string path, std::function<void(std::string_view)> written)
    : path_(std::move(path)), written_(std::move(written)) {
  old_.fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (old_.fd >= 0 && (fstat(old_.fd, &info) != 0 || !S_ISREG(info.st_mode))) old_ = FileDescriptor{};
  if (old_.fd < 0) Differ();
}

// From here on the bytes are written: first those found equal so far.
void FileReplacement::Differ() {
  temp_.emplace(CreateTempFile(path_));
  if (same_ > 0 && ReadRange(old_.fd, 0, same_, [&](const char *data, size_t size) { Write(data, size); }) != same_)
    Fail(RELAY_IO_ERROR);
  old_ = FileDescriptor{};
}

void FileReplacement::Write(const char *data, size_t size) {
  WriteAll(temp_->file.fd, data, size);
  if (written_) written_({data, size});
}

void FileReplacement::Take() {
  if (!temp_) {
    uint64_t at = 0;
    bool equal = true;
    try {
      ReadRange(old_.fd, same_, text.size(), [&](const char *data, size_t size) {
        equal = equal && memcmp(data, text.data() + at, size) == 0;
        at += size;
      });
    } catch (const RelayError &) {
      equal = false;
    }
    if (equal && at == text.size()) {
      same_ += at;
      text.clear();
      return;
    }
    Differ();
  }
  Write(text.data(), text.size());
  text.clear();
}

bool FileReplacement::Changed() {
  Take();
  struct stat info;
  if (!temp_ && (fstat(old_.fd, &info) != 0 || uint64_t(info.st_size) != same_)) Differ();
  return temp_.has_value();
}

bool FileReplacement::Commit() {
  if (!Changed()) return false;
  CommitTempFile(*temp_);
  return true;
}

TempFile PrepareFile(const std::string &path, const std::string &content) {
  TempFile temp = CreateTempFile(path);
  WriteAll(temp.file.fd, content.data(), content.size());
  if (fsync(temp.file.fd) != 0) Fail(WriteFailure(errno));
  return temp;
}

bool RemoveFile(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

namespace {

// Where openat2 is missing: open, then ask the kernel where the file is.
long OpenCheckingPath(int directory, const std::string &path, int flags) {
  int fd = openat(directory, path.c_str(), flags);
  if (fd < 0) return fd;
  char here[PATH_MAX], there[PATH_MAX];
  std::string self = "/proc/self/fd/";
  if (!realpath((self + std::to_string(directory)).c_str(), here) ||
      !realpath((self + std::to_string(fd)).c_str(), there)) {
    close(fd);
    errno = EIO;
    return -1;
  }
  std::string_view inside(there), root(here);
  if (inside.substr(0, root.size()) != root || (inside.size() > root.size() && inside[root.size()] != '/')) {
    close(fd);
    errno = EXDEV;
    return -1;
  }
  return fd;
}

}  // namespace

FileDescriptor OpenBeneath(int directory, std::string_view name, uint64_t *size) {
  std::string path(name);
  open_how how{};
  how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, directory, path.c_str(), &how, sizeof how);
  if (fd < 0 && errno == ENOSYS) fd = OpenCheckingPath(directory, path, int(how.flags));
  if (fd < 0) {
    if (errno == ENOENT) return FileDescriptor{};
    if (errno == EXDEV) Fail(RELAY_LINK_LEAVES_UPSTREAM);
    if (errno == ENXIO) Fail(RELAY_NOT_REGULAR_FILE);  // a socket
    Fail(RELAY_IO_ERROR);
  }
  FileDescriptor file{int(fd)};
  struct stat info;
  if (fstat(file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  if (!S_ISREG(info.st_mode)) Fail(RELAY_NOT_REGULAR_FILE);
  if (size) *size = uint64_t(info.st_size);
  return file;
}

FileDescriptor OpenDirectory(const std::string &path) {
  return FileDescriptor{open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
}

std::string ReadLimited(int fd, size_t limit, RelayStatus tooLarge) {
  struct stat info;
  if (fstat(fd, &info) != 0) Fail(RELAY_IO_ERROR);
  if (uint64_t(info.st_size) > limit) Fail(tooLarge);
  std::string content;
  content.resize(size_t(info.st_size));
  size_t got = ReadSome(fd, content.data(), content.size());
  content.resize(got);
  // It may have grown since fstat.
  char more[4096];
  while (size_t extra = ReadSome(fd, more, sizeof more)) {
    if (content.size() + extra > limit) Fail(tooLarge);
    content.append(more, extra);
  }
  return content;
}

void RemoveTemporaries(const std::string &directory) {
  for (const std::string &name : ListDirectory(directory)) {
    if (!name.starts_with(kTemporaryPrefix)) continue;
    std::error_code ignored;
    std::filesystem::remove_all(JoinPath(directory, name), ignored);
  }
}
