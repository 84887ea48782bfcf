// Holding a repository for writing.
#include "repository/lock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "base/status.h"

namespace {

// A writer that died while holding the semaphore must not stop every later
// one: after this wait the flock alone keeps writers of one repository apart.
constexpr time_t kSemaphoreWaitSeconds = 30;

std::mutex g_heldLock;
std::vector<std::pair<dev_t, ino_t>> g_held;
int g_semaphoreDepth = 0;

// Only the outermost writer of the process waits: the semaphore is one per
// process, and a nested writer would wait for itself.
bool TakeSemaphore(WriteLock &lock, sem_t *semaphore) {
  {
    std::lock_guard<std::mutex> hold(g_heldLock);
    lock.counted = true;
    if (g_semaphoreDepth++ > 0) return false;
  }
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += kSemaphoreWaitSeconds;
  while (sem_timedwait(semaphore, &until) != 0)
    if (errno != EINTR) return false;
  return true;
}

}  // namespace

WriteLock::~WriteLock() {
  std::lock_guard<std::mutex> hold(g_heldLock);
  if (file.fd >= 0) {
    auto at = std::find(g_held.begin(), g_held.end(), std::make_pair(device, inode));
    if (at != g_held.end()) g_held.erase(at);
    flock(file.fd, LOCK_UN);
  }
  if (semaphore != SEM_FAILED) sem_post(semaphore);
  if (counted) g_semaphoreDepth--;
}

void LockForWriting(WriteLock &lock, const std::string &repository, sem_t *semaphore) {
  if (TakeSemaphore(lock, semaphore)) lock.semaphore = semaphore;
  FileDescriptor file{open(JoinPath(repository, kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  struct stat info;
  if (fstat(file.fd, &info) != 0) Fail(RELAY_IO_ERROR);
  {
    std::lock_guard<std::mutex> hold(g_heldLock);
    if (std::find(g_held.begin(), g_held.end(), std::make_pair(info.st_dev, info.st_ino)) != g_held.end())
      Fail(RELAY_BUSY);
  }
  while (flock(file.fd, LOCK_EX) != 0)
    if (errno != EINTR) Fail(RELAY_IO_ERROR);
  std::lock_guard<std::mutex> hold(g_heldLock);
  lock.file = std::move(file);
  lock.device = info.st_dev;
  lock.inode = info.st_ino;
  g_held.emplace_back(info.st_dev, info.st_ino);
}
