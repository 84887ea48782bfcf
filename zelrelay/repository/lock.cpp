// Holding a repository for writing.
#include "repository/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "base/listing.h"
#include "base/served.h"
#include "base/status.h"
#include "base/text.h"
#include "zelrelay_shared.h"

namespace {

// Lock files this process holds: flock would let a second descriptor of the
// same process wait forever for the first.
std::mutex g_heldLock;
std::vector<std::pair<dev_t, ino_t>> g_held;

}  // namespace

WriteLock::~WriteLock() {
  if (file.fd < 0) return;
  if (marked && ftruncate(file.fd, 0) != 0) {
    // Left marked: the next writer looks for leftovers it need not.
  }
  std::lock_guard<std::mutex> hold(g_heldLock);
  auto at = std::find(g_held.begin(), g_held.end(), std::make_pair(device, inode));
  if (at != g_held.end()) g_held.erase(at);
  flock(file.fd, LOCK_UN);
}

void LockForWriting(WriteLock &lock, const std::string &repository, const std::function<bool()> &waiting) {
  FileDescriptor file{open(JoinPath(repository, kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
  if (file.fd < 0) Fail(WriteFailure(errno));
  struct stat info;
  if (fstat(file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  {
    std::lock_guard<std::mutex> hold(g_heldLock);
    if (std::find(g_held.begin(), g_held.end(), std::make_pair(info.st_dev, info.st_ino)) != g_held.end())
      Fail(RELAY_BUSY);
    g_held.emplace_back(info.st_dev, info.st_ino);
  }
  lock.device = info.st_dev;
  lock.inode = info.st_ino;
  lock.file = std::move(file);
  while (flock(lock.file.fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) Fail(RELAY_IO_ERROR);
    if (!waiting()) Fail(RELAY_CANCELLED);
    usleep(100 * 1000);
  }
  // A writer marks the lock file while it works; finding the mark, the next
  // knows one died, and only then looks through the folders for what it
  // left, which in a large repository costs more than the rest of a re-run.
  if (fstat(lock.file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  if (info.st_size > 0) {
    RemoveTemporaries(repository);
    RemoveTemporaries(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
    for (const char *served : {kHistoryDir, kPatchesDir})
      for (const std::string &name : ListDirectory(JoinPath(repository, served)))
        RemoveTemporaries(JoinPath(JoinPath(repository, served), name));
  }
  // Who holds it, for whoever finds it held; a killed holder's longer line
  // is cut to this one's.
  std::string holder = std::to_string(getpid()) + " " + FormatUtc(int64_t(time(nullptr))) + "\n";
  if (pwrite(lock.file.fd, holder.data(), holder.size(), 0) != ssize_t(holder.size()) ||
      ftruncate(lock.file.fd, off_t(holder.size())) != 0)
    Fail(WriteFailure(errno));
  lock.marked = true;
}
