// Pushing a repository to a bucket of an S3-compatible object store, which
// then serves it as a web server would (docs/object-storage.md). The local
// repository stays the source of truth. The bucket is written as a
// repository on disk is: what its index will name goes up first (packages
// and merged archives, under names the bucket's index never names with
// other bytes), then the index's compressed copies and patches, then
// signed.ini, statement.ini, merged.ini and the index itself, each object
// replaced whole; what the index stops naming is deleted only after the
// grace period. A push that fails leaves the bucket serving the previous
// state, and the next goes on where it stopped.
#pragma once

#include <cstdint>
#include <string>

struct PushFigures {
  size_t uploaded = 0, unchanged = 0, retired = 0, deleted = 0;
  uint64_t bytes = 0;  // uploaded
};

// Holds the repository's writer lock, and the bucket against another
// pusher, for the whole push. Throws StoreError (push/bucket.h) for what
// the store refuses, RelayError for what the repository does.
PushFigures Push(const std::string &repository, const std::string &target);

// Thrown when another push holds the bucket.
struct PushHeld {
  std::string holder;
};
