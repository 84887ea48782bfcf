// Holding a repository for writing: the context's named semaphore across
// processes, and an exclusive flock on the repository's lock file, since the
// module unlinks the semaphore after each context and two processes may then
// hold different ones.
#pragma once

#include <sys/types.h>

#include <semaphore.h>

#include <string>

#include "base/files.h"

inline constexpr const char *kLockName = ".zelrelay.lock";

struct WriteLock {
  sem_t *semaphore = SEM_FAILED;
  bool counted = false;  // raised the process's semaphore depth
  FileDescriptor file;
  dev_t device = 0;
  ino_t inode = 0;
  WriteLock() = default;
  WriteLock(const WriteLock &) = delete;
  WriteLock &operator=(const WriteLock &) = delete;
  ~WriteLock();
};

// Waits for other writers. Throws RELAY_BUSY when this process is already
// writing the repository (an event handler re-entering the relay), which
// would otherwise wait for itself.
void LockForWriting(WriteLock &lock, const std::string &repository, sem_t *semaphore);
