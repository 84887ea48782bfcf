// Holding a repository for writing: an exclusive flock on its lock file,
// which is part of the repository format so any other writer (a clean-up
// tool, another relay) can take it too. The kernel drops it when its holder
// dies, so a writer killed with SIGKILL never makes the next one wait, and
// writers of different repositories never wait for each other.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "base/files.h"

inline constexpr const char *kLockName = ".zelrelay.lock";

struct WriteLock {
  FileDescriptor file;
  dev_t device = 0;
  ino_t inode = 0;
  bool marked = false;  // the lock is held and the file carries the mark
  WriteLock() = default;
  WriteLock(const WriteLock &) = delete;
  WriteLock &operator=(const WriteLock &) = delete;
  ~WriteLock();
};

// Waits for another process's writer of the same repository, then removes
// what a killed writer left behind, if one did, and marks the lock file with
// its holder: "PID STAMP\n", its process id and when it took the lock (UTC),
// for people and tools that find it held. Throws RELAY_BUSY when this process is
// already writing it (an event handler re-entering the relay), which would
// otherwise wait for itself. waiting is heard every 100 ms while another
// holds the lock; false gives up (RELAY_CANCELLED).
void LockForWriting(WriteLock &lock, const std::string &repository, const std::function<bool()> &waiting);
