// Whether a package file holds what the index says.
#include "packages/verified.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "base/digest.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/status.h"

namespace {

constexpr const char *kVerifiedAttribute = "user.zelrelay.verified";

std::string Stamp(const FileStamp &file, std::string_view sha256) {
  return std::string(sha256) + " " + std::to_string(file.size) + " " + std::to_string(file.modified.tv_sec) + "." +
         std::to_string(file.modified.tv_nsec);
}

}  // namespace

void StampVerified(int fd, std::string_view sha256) {
  struct stat info;
  if (fstat(fd, &info) != 0) return;
  std::string stamp = Stamp(FileStamp::Of(info), sha256);
  fsetxattr(fd, kVerifiedAttribute, stamp.data(), stamp.size(), 0);  // without one, the next run hashes
}

bool PackagePresent(const std::string &target, const ComponentEntry &entry, const FileStamp *known) {
  char stamp[256];
  if (known != nullptr && !VerifyRequested()) {
    ssize_t length = lgetxattr(target.c_str(), kVerifiedAttribute, stamp, sizeof stamp);
    if (length > 0 && std::string(stamp, size_t(length)) == Stamp(*known, entry.sha256)) return true;
  }
  FileDescriptor file{open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) != entry.size)
    return false;
  ssize_t length = fgetxattr(file.fd, kVerifiedAttribute, stamp, sizeof stamp);
  if (!VerifyRequested() && length > 0 && std::string(stamp, size_t(length)) == Stamp(FileStamp::Of(info), entry.sha256))
    return true;
  try {
    if (Sha256OfRange(file.fd, 0, entry.size) != entry.sha256) return false;
  } catch (const RelayError &) {
    return false;
  }
  StampVerified(file.fd, entry.sha256);
  return true;
}
