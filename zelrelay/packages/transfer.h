// Copying one package from a source: verified, throttled, reported, and
// visible only once complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "api/context.h"
#include "repository/index.h"
#include "sources/source.h"

struct Transfer {
  const ZELRELAY_ContextRecord *context;
  uint64_t total = 0;     // bytes the whole operation copies
  uint64_t finished = 0;  // bytes copied so far
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// Also gives the finished package a second name, keepAt, that the module's
// clean-up never touches, so the rest of the run can read it back whatever
// a clean-up elsewhere does. Throws RELAY_PACKAGE_MISSING,
// RELAY_PACKAGE_MISMATCH (nothing kept) or RELAY_CANCELLED when a progress
// subscriber cancels.
void CopyPackage(Transfer &transfer, Source &source, const ComponentEntry &entry, const std::string &target,
                 const std::string &keepAt, const std::string &shownPath);
// Copies the package's detached signature "<target>.sig" when the source has one.
void CopySignature(Source &source, const ComponentEntry &entry, const std::string &target);
// True when target holds exactly the package the entry describes.
bool PackagePresent(const std::string &target, const ComponentEntry &entry);
