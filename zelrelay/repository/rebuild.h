// Rebuilding what a duplication changed: the merged archives of the
// products it touched or pruned, from every component they hold; then the
// copied packages and the archives put in place under names no index names
// yet, everything made durable in one batch before any of it shows, and
// merged.ini and the index replaced. Files the index stopped naming are
// retired, not deleted (repository/retired.h).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "repository/holdings.h"

// Copied in this run: complete under its partial's name, with this CRC-32.
struct CopiedPackage {
  uint32_t crc;
};
using CopiedPackages = std::unordered_map<std::string_view, CopiedPackage>;

// Copied packages, by their paths in the repository; each lies under its
// partial's name until it is put in place.
using Finished = std::vector<std::string_view>;

// Takes their names off the retired list, syncs everything written so far
// at once, then renames the packages.
void PutInPlace(const std::string &repository, Holdings &held, const Finished &finished);

// Whether a product's merged archives already hold exactly what it holds,
// in the parts maxmerge asks for, none of it copied again in this run: then
// they are left as they are.
bool ArchivesCurrent(const Holdings &held, const ProductEntry &product, int64_t maxmerge,
                     const CopiedPackages &copied);

// Rebuilds the products' archives and publishes the run. Returns the
// components found lost on the way, gone or damaged where nothing else
// holds them.
std::vector<ComponentEntry> Publish(const std::string &repository, int64_t maxmerge, Holdings &held,
                                    const std::vector<size_t> &products, const CopiedPackages &copied,
                                    const Finished &finished);

// Once the index is replaced: retires the files of the package directory
// that it and merged.ini no longer name, and deletes those retired longer
// than the grace period ago.
void RetireUnnamedFiles(const std::string &repository, Holdings &held);
