// A bucket of an S3-compatible object store, as zelrelay-push writes it:
// signed requests through the relay's network layer (libcurl's AWS
// Signature Version 4), one at a time, each tried again after a transient
// failure, on connections kept from one to the next.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sources/network.h"
#include "sources/s3.h"

// Thrown for an answer the store gave that a push cannot go on after.
struct StoreError {
  RelayStatus status;
  std::string what;  // the request and the store's own code, as a line may say it
};

class Bucket {
 public:
  Bucket(S3Location location, const NetworkSettings &settings);
  ~Bucket();

  struct Object {
    uint64_t size = 0;
    std::string etag;  // as the listing gives it, quotes removed
  };
  // Every object below the prefix, by key relative to it.
  std::map<std::string, Object> List();
  // A small object's bytes; nullopt when there is none.
  std::optional<std::string> Get(const std::string &key);
  // What the object's metadata keeps of its digest; nullopt when there is
  // no such object, empty when it keeps none.
  std::optional<std::string> StoredSha256(const std::string &key);
  // Puts bytes, or size bytes of a file from offset, under key with their
  // SHA-256 kept in the object's metadata; returns the ETag.
  std::string Put(const std::string &key, const std::string &bytes, const std::string &sha256);
  std::string Put(const std::string &key, int file, uint64_t size, const std::string &sha256);
  void Delete(const std::string &key);

  // Multipart uploads, for large objects; a part list survives the push
  // that started it, so the next one sends only what is missing.
  struct Part {
    uint64_t size = 0;
    std::string etag;  // as the store gave it, quotes and all
  };
  std::string StartUpload(const std::string &key, const std::string &sha256);
  // By part number; empty when the upload is gone.
  std::map<int, Part> UploadedParts(const std::string &key, const std::string &upload);
  Part PutPart(const std::string &key, const std::string &upload, int part, int file, uint64_t offset,
               uint64_t size);
  // The parts, every one of the object's, make it; returns its ETag.
  std::string FinishUpload(const std::string &key, const std::string &upload, const std::map<int, Part> &parts);

  // Holding the prefix against a second pusher: a conditional create of a
  // lock object where the store has one, else the creation of a bucket,
  // which a store refuses to make twice (docs/object-storage.md). False
  // when another holds it.
  bool Hold();
  void Release() noexcept;
  // What holds it, as a line may say.
  std::string Holder() const;

 private:
  S3Location location_;
  NetworkSettings settings_;
  std::unique_ptr<Network> network_;
  std::string lockBucket_;
  bool heldByObject_ = false, heldByBucket_ = false;

  Response Send(Request request, std::string *body, const char *what);
  std::string PutObject(Request request, const std::string &key, const std::string &sha256);
  Request NewRequest(const std::string &url, const std::string &method) const;
  std::string KeyUrl(const std::string &key) const { return location_.base + EscapeKey(key); }
};
