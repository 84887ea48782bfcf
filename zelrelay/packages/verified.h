// Whether a package file holds what the index says. A package the relay
// checked carries its digest with the size and time of change it had then,
// so a later run trusts it without hashing it again (unless the environment
// asks for it, base/environment.h).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/index.h"

void StampVerified(int fd, std::string_view sha256);

// What a package file's stamp judges it by: its size and time of change.
struct FileStamp {
  uint64_t size;
  struct timespec modified;
  static FileStamp Of(const struct stat &info) { return {uint64_t(info.st_size), info.st_mtim}; }
};

// True when target holds exactly the package the entry describes; known,
// when given, is target's stamp as just found.
bool PackagePresent(const std::string &target, const ComponentEntry &entry, const FileStamp *known = nullptr);
