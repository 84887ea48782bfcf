// What one duplication copies, and the checks on single packages.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "api/context.h"
#include "repository/index.h"
#include "sources/network.h"
#include "sources/source.h"

struct Transfer {
  const ZELRELAY_ContextRecord *context;
  NetworkSettings network;
  uint64_t total = 0;     // bytes the whole operation copies
  uint64_t finished = 0;  // bytes copied so far
  Clock::time_point start = Clock::now();
};

// Copies the package's detached signature "<target>.sig" when the source has one.
void CopySignature(Source &source, const ComponentEntry &entry, const std::string &target);
// A package the relay checked carries its digest with the size and time of
// change it had then, so a later run trusts it without hashing it again;
// ZELRELAY_VERIFY=1 makes every run hash every package.
void StampVerified(int fd, const std::string &sha256);
bool VerifyRequested();
// True when target holds exactly the package the entry describes; known,
// when given, is target's status as just found.
bool PackagePresent(const std::string &target, const ComponentEntry &entry, const struct stat *known = nullptr);
