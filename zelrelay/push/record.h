// What zelrelay-push knows of a bucket between pushes, kept in the
// repository (".zelrelay.pushed/<target>"): each object it uploaded, with
// the local file's stamp then and the store's ETag, so that the next push
// finds an unchanged file unchanged without reading it or asking the store;
// objects no index names any more, since when, so they are deleted only
// after the grace period; uploads in parts under way, to go on with them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct PushedObject {
  uint64_t size = 0;
  std::string etag, sha256, stamp;  // stamp: of the local file, as FileStampText gives it
};

// An upload in parts under way: only the same bytes may go on with it.
struct PendingUpload {
  std::string sha256, id;
};

struct PushRecord {
  std::map<std::string, PushedObject> objects;   // by key below the prefix
  std::map<std::string, int64_t> retired;         // key -> seconds since the epoch
  std::map<std::string, PendingUpload> uploads;  // by key
};

// The record of pushes of the repository to the target (an s3:// URL);
// empty when there is none or it does not read.
PushRecord ReadPushRecord(const std::string &repository, const std::string &target);
void WritePushRecord(const std::string &repository, const std::string &target, const PushRecord &record);
// "<inode>.<size>.<mtime in ns>" of a file, empty when it cannot be read.
std::string FileStampText(int fd);
