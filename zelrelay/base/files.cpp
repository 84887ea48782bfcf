// File primitives: descriptors, whole-file reads, and writes that become
// visible only complete (temporary name, fsync, rename).
#include "base/files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string JoinPath(const std::string &directory, const std::string &name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
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

void MakeDirectory(const std::string &path) {
  if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(path))) Fail(RELAY_IO_ERROR);
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
    if (put < 0) Fail(RELAY_IO_ERROR);
    at += put;
    size -= size_t(put);
  }
}

TempFile CreateTempFile(const std::string &target) {
  TempFile temp;
  temp.target = target;
  std::string pattern = JoinPath(ParentOf(target), ".zelrelay-XXXXXX");
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) Fail(RELAY_IO_ERROR);
  temp.file.fd = fd;
  temp.path = pattern;
  fchmod(fd, 0644);
  return temp;
}

FileDescriptor CreateScratchFile(const std::string &directory) {
  FileDescriptor file{open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
  if (file.fd >= 0) return file;
  // File systems without O_TMPFILE: a hidden name, gone at once.
  std::string pattern = JoinPath(directory, ".zelrelay-XXXXXX");
  file = FileDescriptor{mkostemp(pattern.data(), O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  unlink(pattern.c_str());
  return file;
}

namespace {

void SyncDirectory(const std::string &path) {
  FileDescriptor directory{open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd >= 0) fsync(directory.fd);
}

}  // namespace

void CommitTempFile(TempFile &temp) {
  if (fsync(temp.file.fd) != 0) Fail(RELAY_IO_ERROR);
  temp.file = FileDescriptor{};
  if (rename(temp.path.c_str(), temp.target.c_str()) != 0) Fail(RELAY_IO_ERROR);
  temp.path.clear();
  SyncDirectory(ParentOf(temp.target));
}

void WriteFileAtomically(const std::string &path, const std::string &content) {
  TempFile temp = CreateTempFile(path);
  WriteAll(temp.file.fd, content.data(), content.size());
  CommitTempFile(temp);
}

bool RemoveFile(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }
